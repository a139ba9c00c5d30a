#include "passthru/image/drive.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "aspi/aspi32.h"
#include "common/byte_order.h"
#include "passthru/image/cdtext_packs.h"

namespace passthru::image {
namespace {

constexpr std::uint8_t kKeyNotReady = 0x02, kKeyMediumError = 0x03, kKeyIllegalRequest = 0x05;
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

void inquiry(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    if ((c.cdb[1] & 0x01) || c.cdb[2] != 0) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    std::uint8_t r[36] = {};
    r[0] = 0x05;          // qualifier 0, CD/DVD device
    r[1] = 0x80;          // removable medium
    r[2] = unit.version;
    r[3] = 0x02;          // response data format 2
    r[4] = sizeof r - 5;  // additional length
    std::memcpy(r + 8, "CDDAPLAY", 8);
    std::memcpy(r + 16, "VIRTUAL CD-ROM  ", 16);
    std::memcpy(r + 32, "1.0 ", 4);
    send(c, o, r, sizeof r, get_be16(c.cdb + 3));
}

void request_sense(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    std::uint8_t r[kSenseBytes] = {0x70, 0, 0, 0, 0, 0, 0, kSenseBytes - 8};
    if (unit.not_ready) {
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

void read_cd(Unit &unit, const ScsiCommand &c, ScsiOutcome &o) {
    const Disc &disc = *unit.disc;
    const int expected = (c.cdb[1] >> 2) & 0x07;
    const auto lba = static_cast<std::int32_t>(get_be32(c.cdb + 2));
    const std::int64_t count = (std::int64_t{c.cdb[6]} << 16) | (c.cdb[7] << 8) | c.cdb[8];
    const bool main_channel_ok = c.cdb[9] == 0x10 || c.cdb[9] == 0xF8;
    if (expected > 5 || !main_channel_ok || (c.cdb[10] & 0x07) != 0)
        return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    if (count == 0) return;
    if (lba < 0 || lba >= disc.lead_out || lba + count > disc.lead_out)
        return check_condition(unit, o, kKeyIllegalRequest, kAscLbaOutOfRange);
    const auto sectors = static_cast<std::int32_t>(count);
    if (!sector_type_matches(disc, expected, lba, sectors))
        return check_condition(unit, o, kKeyIllegalRequest, kAscIllegalModeForTrack);

    const std::uint64_t wanted = std::uint64_t(sectors) * kSectorBytes;
    const std::uint32_t fit = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, data_in_capacity(c)));
    const std::int32_t whole = static_cast<std::int32_t>(fit / kSectorBytes);
    const std::uint32_t part = fit % kSectorBytes;
    bool ok = whole == 0 || read_sectors(disc, lba, whole, c.data);
    if (ok && part > 0) {
        std::uint8_t last[kSectorBytes];
        ok = read_sectors(disc, lba + whole, 1, last);
        if (ok) std::memcpy(c.data + std::size_t(whole) * kSectorBytes, last, part);
    }
    if (!ok) return check_condition(unit, o, kKeyMediumError, kAscUnrecoveredRead);
    o.transferred = fit;
    if (fit < wanted) o.host_status = HASTAT_DO_DU;
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
    const bool known = op == kOpInquiry || op == kOpTestUnitReady || op == kOpRequestSense ||
                       op == kOpReadCapacity || op == kOpReadToc || op == kOpReadCd;
    if (!known) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidOpcode);
    if (c.cdb_length < needed_cdb_length(op)) return check_condition(unit, o, kKeyIllegalRequest, kAscInvalidField);
    if (op == kOpInquiry) return inquiry(unit, c, o);
    if (op == kOpRequestSense) return request_sense(unit, c, o);
    if (unit.not_ready) return check_condition(unit, o, kKeyNotReady, kAscNoMedium);
    switch (op) {
    case kOpTestUnitReady: return;
    case kOpReadCapacity: return read_capacity(unit, c, o);
    case kOpReadToc: return read_toc(unit, c, o);
    default: return read_cd(unit, c, o);
    }
}

}  // namespace passthru::image
