#include "passthru/spti/read_only.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "passthru/scsi_opcodes.h"

namespace passthru::spti {
namespace {

constexpr std::uint32_t kInquiryBytes = 36;

ReadOnlyPlan refused(std::uint8_t asc) {
    ReadOnlyPlan p;
    p.step = ReadOnlyStep::refused;
    p.asc = asc;
    return p;
}

void put_le32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

ReadOnlyPlan plan_read_toc(const ScsiCommand &c) {
    // The format is in byte 2; older drives' callers put it in the top bits of byte 9.
    std::uint8_t format = c.cdb[2] & 0x0F;
    if (format == 0) format = static_cast<std::uint8_t>(c.cdb[9] >> 6);
    if (format != 0 && format != 1 && format != 5) return refused(kInvalidField);
    ReadOnlyPlan p;
    p.step = ReadOnlyStep::read_toc;
    // Addresses exist in formats 0 and 1 only; SessionTrack is reserved (0) but for format 0.
    const bool msf = (c.cdb[1] & 0x02) != 0 && format != 5;
    p.input[0] = static_cast<std::uint8_t>(format | (msf ? 0x80 : 0));  // Format:4, Reserved1:3, Msf:1
    p.input[1] = format == 0 ? c.cdb[6] : 0;                               // SessionTrack
    p.input_size = kReadTocExBytes;
    p.answer_bytes = std::min<std::uint32_t>(get_be16(&c.cdb[7]), c.data_length);
    return p;
}

ReadOnlyPlan plan_read_cd(const ScsiCommand &c) {
    const std::uint8_t sector_type = (c.cdb[1] >> 2) & 0x07;
    const bool main_channel_only = (c.cdb[9] == 0x10 || c.cdb[9] == 0xF8) && (c.cdb[10] & 0x07) == 0;
    if ((sector_type != 0 && sector_type != 1) || !main_channel_only) return refused(kInvalidField);
    const std::uint32_t lba = get_be32(&c.cdb[2]);
    const std::uint32_t sectors = std::uint32_t{c.cdb[6]} << 16 | std::uint32_t{c.cdb[7]} << 8 | c.cdb[8];
    if (sectors == 0) {
        ReadOnlyPlan p;
        p.step = ReadOnlyStep::nothing;
        return p;
    }
    // An address past the lead-in's negative ones and a length the buffer holds, or the drive's
    // own refusal of the field.
    if (lba >= 0x80000000u || sectors > c.data_length / kRawSectorBytes) return refused(kInvalidField);
    ReadOnlyPlan p;
    p.step = ReadOnlyStep::raw_read;
    const std::uint64_t offset = std::uint64_t{lba} * kCookedSectorBytes;
    put_le32(p.input, static_cast<std::uint32_t>(offset));  // DiskOffset, a LARGE_INTEGER
    put_le32(p.input + 4, static_cast<std::uint32_t>(offset >> 32));
    put_le32(p.input + 8, sectors);                         // SectorCount
    put_le32(p.input + 12, kTrackModeCdda);                 // TrackMode
    p.input_size = kRawReadInfoBytes;
    p.answer_bytes = sectors * kRawSectorBytes;
    return p;
}

void put_padded(std::uint8_t *field, std::size_t size, const std::string &text) {
    std::memset(field, ' ', size);
    for (std::size_t i = 0; i < size && i < text.size(); ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        field[i] = ch >= 0x20 && ch < 0x7F ? ch : '?';  // INQUIRY text is printable ASCII
    }
}

}  // namespace

ReadOnlyPlan plan_read_only(const ScsiCommand &c) {
    switch (c.cdb[0]) {
    case kOpInquiry: {
        if (c.cdb[1] & 0x01) return refused(kInvalidField);  // vital product data
        ReadOnlyPlan p;
        p.step = ReadOnlyStep::inquiry;
        p.answer_bytes = std::min<std::uint32_t>(c.cdb[4], c.data_length);
        return p;
    }
    case kOpTestUnitReady: {
        ReadOnlyPlan p;
        p.step = ReadOnlyStep::check_verify;
        return p;
    }
    case kOpReadToc: return plan_read_toc(c);
    case kOpReadCd: return plan_read_cd(c);
    default: return refused(kInvalidOpcode);
    }
}

std::uint32_t descriptor_inquiry(const std::string &vendor, const std::string &model, const std::string &revision,
                                 std::uint8_t *data, std::uint32_t length) {
    std::uint8_t inquiry[kInquiryBytes] = {};
    inquiry[0] = 0x05;                   // CD/DVD device, connected
    inquiry[1] = 0x80;                   // removable medium
    inquiry[2] = 0x05;                   // SPC-3: its status byte counts
    inquiry[3] = 0x02;                   // response data format 2
    inquiry[4] = kInquiryBytes - 5;      // additional length
    put_padded(inquiry + 8, 8, vendor);
    put_padded(inquiry + 16, 16, model);
    put_padded(inquiry + 32, 4, revision);
    const std::uint32_t n = std::min(length, kInquiryBytes);
    if (n > 0) std::memcpy(data, inquiry, n);
    return n;
}

}  // namespace passthru::spti
