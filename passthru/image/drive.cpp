#include "passthru/image/drive.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "aspi/aspi32.h"
#include "common/byte_order.h"
#include "passthru/image/cdtext_packs.h"
#include "passthru/messages.h"
#include "platform/platform.h"

namespace passthru::image {
namespace {

constexpr std::uint8_t kKeyNotReady = 0x02, kKeyMediumError = 0x03, kKeyIllegalRequest = 0x05;
constexpr std::uint8_t kAscSavingUnsupported = 0x39;
constexpr std::uint8_t kAscInvalidOpcode = 0x20, kAscLbaOutOfRange = 0x21, kAscInvalidField = 0x24,
                       kAscNoMedium = 0x3A, kAscIllegalModeForTrack = 0x64, kAscUnrecoveredRead = 0x11;
constexpr std::uint8_t kLeadOutTrack = 0xAA;
constexpr std::int32_t kMsfOffset = 150;

void check_condition(Unit &unit, ScsiOutcome &o, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    set_check_condition(o, key, asc, ascq);
    std::memcpy(unit.last_sense, o.sense, kSenseBytes);
    unit.has_sense = true;
}

std::uint32_t data_in_capacity(const ScsiCommand &c) {
    return c.direction == DataDirection::in && c.data ? c.data_length : 0;
}

// Hands the first min(size, allowed) bytes of a response to the caller: what fits in its buffer,
// and an overrun when it does not all fit.
void send(const ScsiCommand &c, ScsiOutcome &o, const std::uint8_t *response, std::size_t size, std::size_t allowed) {
    const std::size_t wanted = std::min(size, allowed);
    const std::size_t fit = std::min<std::size_t>(wanted, data_in_capacity(c));
    if (fit > 0) std::memcpy(c.data, response, fit);
    o.transferred = static_cast<std::uint32_t>(fit);
    if (fit < wanted) o.host_status = HASTAT_DO_DU;
}

// VPD pages: 00 (the pages supported) and 80 (the unit serial number).
void inquiry_vpd(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    static constexpr std::uint8_t kSupported[] = {0x05, 0x00, 0x00, 2, 0x00, 0x80};
    static constexpr std::uint8_t kSerial[] = {0x05, 0x80, 0x00, 8, 'C', 'D', 'D', 'A', '0', '0', '0', '1'};
    if (c.cdb[2] == 0x00) return send(c, o, kSupported, sizeof kSupported, get_be16(c.cdb + 3));
    if (c.cdb[2] == 0x80) return send(c, o, kSerial, sizeof kSerial, get_be16(c.cdb + 3));
    check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
}

void inquiry(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    if (c.cdb[1] & 0x01) return inquiry_vpd(unit, c, o);
    if (c.cdb[2] != 0) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    std::uint8_t r[56] = {};
    r[0] = 0x05;          // qualifier 0, CD/DVD device
    r[1] = 0x80;          // removable medium
    r[2] = unit.version;
    r[3] = 0x02;          // response data format 2
    r[4] = sizeof r - 5;  // additional length
    std::memcpy(r + 8, "CDDAPLAY", 8);
    std::memcpy(r + 16, "VIRTUAL CD-ROM  ", 16);
    std::memcpy(r + 32, "1.0 ", 4);
    // Vendor specific: the image this drive holds, space-padded (cut at 20 bytes).
    std::memset(r + 36, ' ', 20);
    std::memcpy(r + 36, unit.image_name.data(), std::min<std::size_t>(unit.image_name.size(), 20));
    send(c, o, r, sizeof r, get_be16(c.cdb + 3));
}

void request_sense(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    std::uint8_t r[kSenseBytes] = {0x70, 0, 0, 0, 0, 0, 0, kSenseBytes - 8};
    if (unit.not_ready || !unit.disc) {
        r[2] = kKeyNotReady;
        r[12] = kAscNoMedium;
    } else if (unit.has_sense) {
        std::memcpy(r, unit.last_sense, kSenseBytes);
    }
    unit.has_sense = false;
    send(c, o, r, sizeof r, c.cdb[4]);
}

void read_capacity(const Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    std::uint8_t r[8];
    put_be32(r, static_cast<std::uint32_t>(unit.disc->lead_out - 1));
    put_be32(r + 4, 2048);
    send(c, o, r, sizeof r, sizeof r);
}

void put_address(std::uint8_t *p, std::int32_t lba, bool msf) {
    if (!msf) return put_be32(p, static_cast<std::uint32_t>(lba));
    const std::int32_t frames = lba + kMsfOffset;
    p[0] = 0;
    p[1] = static_cast<std::uint8_t>(frames / (60 * 75));
    p[2] = static_cast<std::uint8_t>(frames / 75 % 60);
    p[3] = static_cast<std::uint8_t>(frames % 75);
}

void put_descriptor(std::uint8_t *p, std::uint8_t control, std::uint8_t number, std::int32_t lba, bool msf) {
    p[0] = 0;
    p[1] = static_cast<std::uint8_t>(0x10 | (control & 0x0F));  // ADR 1: Q sub-channel position
    p[2] = number;
    p[3] = 0;
    put_address(p + 4, lba, msf);
}

// READ TOC format 1: the sessions, and where the last one's first track starts.
void session_info(Unit &unit, const ScsiCommand &c, ScsiOutcome &o, bool msf) {
    const Disc &disc = *unit.disc;
    const Track &first_of_last = last_session_first_track(disc);
    std::uint8_t r[12] = {};
    put_be16(r, sizeof r - 2);
    r[2] = disc.tracks.front().session;
    r[3] = disc.tracks.back().session;
    put_descriptor(r + 4, first_of_last.control, static_cast<std::uint8_t>(first_of_last.number), first_of_last.start,
                   msf);
    send(c, o, r, sizeof r, get_be16(c.cdb + 7));
}

// Format 5: the CD-Text packs after a 4-byte header; a disc without text has a header only.
void read_cdtext(const Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const std::vector<std::uint8_t> packs = cdtext_packs_of(*unit.disc);
    std::vector<std::uint8_t> r(4 + packs.size());
    put_be16(r.data(), static_cast<std::uint16_t>(r.size() - 2));
    std::copy(packs.begin(), packs.end(), r.begin() + 4);
    send(c, o, r.data(), r.size(), get_be16(c.cdb + 7));
}

void read_toc(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const Disc &disc = *unit.disc;
    // SFF-8020 drives took the format from the top bits of the control byte.
    const int format = (c.cdb[2] & 0x0F) != 0 ? (c.cdb[2] & 0x0F) : (c.cdb[9] >> 6);
    if (format == 5) return read_cdtext(unit, c, o);
    const bool msf = (c.cdb[1] & 0x02) != 0;
    const int start = c.cdb[6];
    const int first_number = disc.tracks.front().number;
    const int last_number = disc.tracks.back().number;
    if (format == 1) return session_info(unit, c, o, msf);
    if (format != 0 || (start > last_number && start != kLeadOutTrack))
        return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);

    std::array<std::uint8_t, 4 + 8 * 100> r{};
    std::size_t size = 4;
    if (start != kLeadOutTrack) {
        for (const Track &t : disc.tracks) {
            if (t.number < start) continue;
            put_descriptor(r.data() + size, t.control, static_cast<std::uint8_t>(t.number), t.start, msf);
            size += 8;
        }
    }
    put_descriptor(r.data() + size, disc.tracks.back().control, kLeadOutTrack, disc.lead_out, msf);
    size += 8;
    put_be16(r.data(), static_cast<std::uint16_t>(size - 2));
    r[2] = static_cast<std::uint8_t>(first_number);
    r[3] = static_cast<std::uint8_t>(last_number);
    send(c, o, r.data(), size, get_be16(c.cdb + 7));
}

bool is_data_at(const Disc &disc, std::int32_t lba) {
    std::uint8_t control = disc.tracks.front().control;  // sectors before track 1 belong to it
    for (const Track &t : disc.tracks)
        if (t.start <= lba) control = t.control;
    return (control & kControlData) != 0;
}

// Whether the sectors' track types suit the expected sector type of READ CD (byte 1 bits 4-2).
bool sector_type_matches(const Disc &disc, int expected, std::int32_t lba, std::int32_t count) {
    if (expected == 0) return true;
    for (std::int32_t l = lba; l < lba + count;) {
        if (is_data_at(disc, l) != (expected != 1)) return false;
        // Jump to the next track boundary: the type only changes there.
        std::int32_t next = lba + count;
        for (const Track &t : disc.tracks)
            if (t.start > l) {
                next = std::min(next, t.start);
                break;
            }
        l = next;
    }
    return true;
}

bool touches_session_gap(const Disc &disc, std::int32_t lba, std::int32_t count) {
    for (const Segment &g : disc.segments)
        if (g.kind == SegmentKind::unreadable && lba < g.start + g.length && g.start < lba + count) return true;
    return false;
}

struct Slice {
    std::uint32_t offset;
    std::uint32_t size;
};

// What READ CD returns of one 2352-byte sector when it asks for user data only: an audio sector
// whole; of a data sector only its user data, as a real drive does (Mode 1: 2048 bytes after the
// 16-byte sync and header; Mode 2 XA: 2048 bytes of Form 1 or 2324 of Form 2 after the subheader).
// So a read that expected 2352 bytes a sector gets a short transfer from a data track.
Slice user_data(TrackMode mode, const std::uint8_t *sector) {
    constexpr std::uint8_t kSubmodeForm2 = 0x20;
    switch (mode) {
    case TrackMode::audio: return {0, kSectorBytes};
    case TrackMode::mode1_2352:
    case TrackMode::mode1_2048: return {16, 2048};
    case TrackMode::mode2_2352:
    case TrackMode::mode2_2336: return (sector[18] & kSubmodeForm2) ? Slice{24, 2324} : Slice{24, 2048};
    }
    return {0, kSectorBytes};
}

// One line per file, the first time a read of it fails: the sound goes silent there, and this says why.
void report_read_failure(Unit &unit, const Disc &disc, const ReadFailure &failure) {
    if (failure.file < 0 || failure.file >= static_cast<int>(disc.files.size())) return;
    if (std::find(unit.files_reported.begin(), unit.files_reported.end(), failure.file) != unit.files_reported.end())
        return;
    unit.files_reported.push_back(failure.file);
    platform::write_text(stderr, msg::line(msg::file_unreadable(disc.files[failure.file].path, failure.reason)));
}

// Audio sectors only: nothing to slice, so they go straight into the caller's buffer.
bool all_audio(const Disc &disc, std::int32_t lba, std::int32_t count) {
    return sector_type_matches(disc, 1, lba, count);
}

// Whole 2352-byte sectors straight into the caller's buffer, as many as fit (the last one in part).
bool read_whole_sectors(const Disc &disc, std::int32_t lba, std::int32_t sectors, std::uint8_t *data,
                        std::uint32_t capacity, ScsiOutcome &o, ReadFailure &failure) {
    const std::uint64_t wanted = std::uint64_t(sectors) * kSectorBytes;
    const std::uint32_t fit = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, capacity));
    const std::int32_t whole = static_cast<std::int32_t>(fit / kSectorBytes);
    const std::uint32_t part = fit % kSectorBytes;
    if (whole > 0 && !read_sectors(disc, lba, whole, data, &failure)) return false;
    if (part > 0) {
        std::uint8_t last[kSectorBytes];
        if (!read_sectors(disc, lba + whole, 1, last, &failure)) return false;
        std::memcpy(data + std::size_t(whole) * kSectorBytes, last, part);
    }
    o.transferred = fit;
    if (fit < wanted) o.host_status = HASTAT_DO_DU;
    return true;
}

// A read that spans data sectors: sectors are read in batches and handed over slice by slice until
// the caller's buffer is full; no sector is read that would not fit at least in part.
bool read_user_data(Unit &unit, const Disc &disc, std::int32_t lba, std::int32_t sectors, std::uint8_t *data,
                    std::uint32_t capacity, ScsiOutcome &o, ReadFailure &failure) {
    constexpr std::int32_t kBatch = 16;
    constexpr std::uint32_t kSmallestSlice = 2048;
    unit.staging.resize(std::size_t{kBatch} * kSectorBytes);
    std::uint32_t filled = 0;
    std::int32_t done = 0;
    bool cut = false;
    while (done < sectors && !cut && filled < capacity) {
        const std::uint32_t may_fit = (capacity - filled + kSmallestSlice - 1) / kSmallestSlice;
        const std::int32_t batch = static_cast<std::int32_t>(
            std::min<std::uint32_t>({static_cast<std::uint32_t>(kBatch), static_cast<std::uint32_t>(sectors - done), may_fit}));
        if (!read_sectors(disc, lba + done, batch, unit.staging.data(), &failure)) return false;
        for (std::int32_t i = 0; i < batch && !cut; ++i) {
            const std::uint8_t *sector = unit.staging.data() + std::size_t(i) * kSectorBytes;
            const Slice slice = user_data(track_at(disc, lba + done + i).mode, sector);
            const std::uint32_t n = std::min(slice.size, capacity - filled);
            std::memcpy(data + filled, sector + slice.offset, n);
            filled += n;
            cut = n < slice.size;
        }
        done += batch;
    }
    o.transferred = filled;
    if (cut || done < sectors) o.host_status = HASTAT_DO_DU;
    return true;
}

void read_cd(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const Disc &disc = *unit.disc;
    const int expected = (c.cdb[1] >> 2) & 0x07;
    const auto lba = static_cast<std::int32_t>(get_be32(c.cdb + 2));
    const std::int64_t count = (std::int64_t{c.cdb[6]} << 16) | (c.cdb[7] << 8) | c.cdb[8];
    // Main channel: user data with any sync, header and EDC fields (of an audio sector they are all
    // its 2352 bytes of user data); no C2 error flags.
    const std::uint8_t fields = c.cdb[9];
    const bool main_channel_ok = (fields & 0x10) && !(fields & 0x06);
    if (expected > 5 || !main_channel_ok || (c.cdb[10] & 0x07) != 0)
        return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    if (count == 0) return;
    if (lba < 0 || lba >= disc.lead_out || lba + count > disc.lead_out)
        return check_condition(unit, o, kKeyIllegalRequest, kAscLbaOutOfRange);
    const auto sectors = static_cast<std::int32_t>(count);
    if (touches_session_gap(disc, lba, sectors)) return check_condition(unit, o, kKeyIllegalRequest, kAscLbaOutOfRange);
    if (!sector_type_matches(disc, expected, lba, sectors))
        return check_condition(unit, o, kKeyIllegalRequest, kAscIllegalModeForTrack);

    const std::uint32_t capacity = data_in_capacity(c);
    ReadFailure failure;
    const bool whole_sectors = (fields & 0xF8) == 0xF8;
    const bool ok = whole_sectors || all_audio(disc, lba, sectors)
                        ? read_whole_sectors(disc, lba, sectors, c.data, capacity, o, failure)
                        : read_user_data(unit, disc, lba, sectors, c.data, capacity, o, failure);
    if (!ok) {
        report_read_failure(unit, disc, failure);
        return check_condition(unit, o, kKeyMediumError, kAscUnrecoveredRead);
    }
}

void set_cd_speed(Unit &unit, const ScsiCommand &c) { unit.read_speed = get_be16(c.cdb + 2); }

// MODE SENSE (6) and (10): the CD capabilities page 2A only, with no block descriptor.
void mode_sense(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const bool ten = c.cdb[0] == kOpModeSense10;
    const int page = c.cdb[2] & 0x3F, control = c.cdb[2] >> 6;
    if (page != 0x2A && page != 0x3F) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    if (control == 3) return check_condition(unit, o, kKeyIllegalRequest, kAscSavingUnsupported);
    const std::size_t header = ten ? 8 : 4;
    std::uint8_t r[8 + 22] = {};
    std::uint8_t *p = r + header;
    p[0] = 0x2A;
    p[1] = 20;
    if (control != 1) {  // 1 asks which fields can be changed: none
        p[4] = 0x71;     // audio play, Mode 2 Form 1 and Form 2, multi-session
        p[5] = 0x07;     // CD-DA commands, accurate CD-DA stream, R-W sub-channel
        p[6] = 0x29;     // tray loading, eject, lock
        put_be16(p + 8, 7056);   // 40x
        put_be16(p + 12, 256);   // buffer KiB
        put_be16(p + 14, unit.read_speed == SPEED_MAXIMUM_KBS ? 7056 : unit.read_speed);
    }
    const std::size_t size = header + 22;
    if (ten) put_be16(r, static_cast<std::uint16_t>(size - 2));
    else r[0] = static_cast<std::uint8_t>(size - 1);
    send(c, o, r, size, ten ? get_be16(c.cdb + 7) : c.cdb[4]);
}

// GET CONFIGURATION: the profile list (CD-ROM), Core, Removable Medium and CD Read features.
void get_configuration(const Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const bool medium = unit.disc && !unit.not_ready;
    const std::uint8_t current = medium ? 0x01 : 0x00;
    struct Feature {
        std::uint16_t code;
        bool always_current;
        std::uint8_t body[8];
        std::uint8_t body_size;
    };
    const Feature features[] = {
        {0x0000, true, {0x00, 0x08, current, 0}, 4},           // profile list: CD-ROM
        {0x0001, true, {0, 0, 0, 1, 0, 0, 0, 0}, 8},           // core: SCSI
        {0x0003, true, {0x29, 0, 0, 0}, 4},                    // removable medium: tray, eject, lock
        {0x001E, false, {0x03, 0, 0, 0}, 4},                   // CD read: CD-Text, C2 flags
    };
    const int request_type = c.cdb[1] & 0x03;
    const std::uint16_t from = get_be16(c.cdb + 2);
    std::uint8_t r[8 + 4 * 12] = {};
    std::size_t size = 8;
    for (const Feature &f : features) {
        const bool is_current = f.always_current || medium;
        if (request_type == 2 ? f.code != from : f.code < from) continue;
        if (request_type == 1 && !is_current) continue;
        put_be16(r + size, f.code);
        r[size + 2] = static_cast<std::uint8_t>(0x02 | (is_current ? 0x01 : 0x00));  // persistent
        if (f.code == 0x001E) r[size + 2] = static_cast<std::uint8_t>(0x08 | (is_current ? 1 : 0));  // version 2
        r[size + 3] = f.body_size;
        std::memcpy(r + size + 4, f.body, f.body_size);
        size += 4 + f.body_size;
    }
    put_be32(r, static_cast<std::uint32_t>(size - 4));
    put_be16(r + 6, medium ? 0x0008 : 0x0000);
    send(c, o, r, size, get_be16(c.cdb + 7));
}

// GET EVENT STATUS NOTIFICATION, polled: media events only (no change; whether a disc is in).
void event_status(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    if (!(c.cdb[1] & 0x01)) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    constexpr std::uint8_t kMediaClass = 0x10;
    std::uint8_t r[8] = {0, 2, 0x80, kMediaClass};  // no event of the classes asked for
    std::size_t size = 4;
    if (c.cdb[4] & kMediaClass) {
        r[1] = 6;
        r[2] = 4;  // media class
        r[5] = unit.disc && !unit.not_ready ? 0x02 : 0x00;  // media present, door closed
        size = 8;
    }
    send(c, o, r, size, get_be16(c.cdb + 7));
}

// READ DISC INFORMATION: a finished disc, its sessions and tracks.
void read_disc_information(const Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const Disc &disc = *unit.disc;
    const Track &last_first = last_session_first_track(disc);
    std::uint8_t r[34] = {};
    put_be16(r, sizeof r - 2);
    r[2] = 0x0E;  // last session complete, disc finalized
    r[3] = static_cast<std::uint8_t>(disc.tracks.front().number);
    r[4] = disc.tracks.back().session;
    r[5] = static_cast<std::uint8_t>(last_first.number);
    r[6] = static_cast<std::uint8_t>(disc.tracks.back().number);
    r[8] = disc.tracks.back().session > 1 || disc.tracks.back().mode >= TrackMode::mode2_2352 ? 0x20 : 0x00;
    put_be32(r + 16, 0xFFFFFFFF);
    put_be32(r + 20, 0xFFFFFFFF);
    send(c, o, r, sizeof r, get_be16(c.cdb + 7));
}

// READ TRACK INFORMATION by track number (address type 1) or by an LBA in the track (type 0).
void read_track_information(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const Disc &disc = *unit.disc;
    const std::uint32_t address = get_be32(c.cdb + 2);
    const Track *track = nullptr;
    if ((c.cdb[1] & 0x03) == 0 && address < static_cast<std::uint32_t>(disc.lead_out))
        track = &track_at(disc, static_cast<std::int32_t>(address));
    for (const Track &t : disc.tracks)
        if ((c.cdb[1] & 0x03) == 1 && static_cast<std::uint32_t>(t.number) == address) track = &t;
    if (!track) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    const std::int32_t end = track == &disc.tracks.back() ? disc.lead_out : (track + 1)->start;
    std::uint8_t r[36] = {};
    put_be16(r, sizeof r - 2);
    r[2] = static_cast<std::uint8_t>(track->number);
    r[3] = track->session;
    r[5] = track->control & 0x0F;
    r[6] = track->mode == TrackMode::audio ? 0x0F : track->mode <= TrackMode::mode1_2048 ? 0x01 : 0x02;
    put_be32(r + 8, static_cast<std::uint32_t>(track->start));
    put_be32(r + 24, static_cast<std::uint32_t>(end - track->start));
    send(c, o, r, sizeof r, get_be16(c.cdb + 7));
}

// The descriptor block length each command needs.
int needed_cdb_length(std::uint8_t op) {
    if (op < 0x20) return 6;
    if (op < 0x60) return 10;
    return 12;
}

}  // namespace

void execute_drive_command(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    o = ScsiOutcome{};
    const std::uint8_t op = c.cdb[0];
    if (std::find(std::begin(kKnownOps), std::end(kKnownOps), op) == std::end(kKnownOps))
        return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidOpcode);
    if (c.cdb_length < needed_cdb_length(op)) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    // What a drive answers with or without a disc.
    switch (op) {
    case kOpInquiry: return inquiry(unit, c, o);
    case kOpRequestSense: return request_sense(unit, c, o);
    case kOpSetCdSpeed: return set_cd_speed(unit, c);
    case kOpModeSense6:
    case kOpModeSense10: return mode_sense(unit, c, o);
    case kOpGetConfiguration: return get_configuration(unit, c, o);
    case kOpEventStatus: return event_status(unit, c, o);
    case kOpPreventAllow: return;
    default: break;
    }
    if (unit.not_ready || !unit.disc) return check_condition(unit, o, kKeyNotReady, kAscNoMedium);
    switch (op) {
    case kOpTestUnitReady: return;
    case kOpReadCapacity: return read_capacity(unit, c, o);
    case kOpReadToc: return read_toc(unit, c, o);
    case kOpReadDiscInformation: return read_disc_information(unit, c, o);
    case kOpReadTrackInformation: return read_track_information(unit, c, o);
    default: return read_cd(unit, c, o);
    }
}

}  // namespace passthru::image
