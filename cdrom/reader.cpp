#include "cdrom/reader.h"

#include <atomic>
#include <cstdio>

#include "aspi/binding.h"
#include "cdrom/cdrom_types.h"
#include "cdrom/commands.h"
#include "common/messages.h"

namespace {

AspiBinding g_reader_binding;  // written by open/close (driver thread) only while unpublished
// Written by open (release, after the binding is complete) and close (before it is torn down);
// read by every read_cdrom_sectors (acquire) before it touches the binding.
std::atomic<bool> g_reader_bound{false};

}  // namespace

int open_cdrom_reader() {
    if (!bind_aspi(&g_reader_binding)) return 0;
    g_reader_bound.store(true, std::memory_order_release);
    return 1;
}

void close_cdrom_reader() {
    g_reader_bound.store(false, std::memory_order_release);
    release_aspi(&g_reader_binding);
}

namespace {

// How a READ CD ended, from the one judgement of its outcome.
ReadResult result_of(const AspiOutcome &outcome) {
    if (outcome.end == AspiEnd::done) return ReadResult::delivered;
    return outcome.end == AspiEnd::refused ? ReadResult::refused : ReadResult::lost;
}

// The reader's checks before any READ CD; false when nothing may be sent.
bool may_send(std::int32_t count) {
    if (count > MAX_READ_SECTORS) {
        std::printf("%s", msg::over_10_sectors);
        return false;
    }
    return count > 0 && g_reader_bound.load(std::memory_order_acquire);
}

}  // namespace

int read_cdrom_sectors(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                       std::int32_t lba, std::int32_t count) {
    return read_cdrom_sectors_outcome(ha_id, target, lun, buffer, lba, count) == ReadResult::delivered ? 1 : 0;
}

ReadResult read_cdrom_sectors_outcome(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                                      std::uint8_t *buffer, std::int32_t lba, std::int32_t count) {
    if (!may_send(count)) return ReadResult::lost;
    const AspiOutcome outcome = aspi_send(&g_reader_binding, unit_at(ha_id, target, lun), build_read_cd(buffer, lba, count));
    reported_no_event(outcome);
    return result_of(outcome);
}

ReadResult read_cdrom_sectors_direct(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                                     std::int32_t lba, std::int32_t count, bool &buffer_kept) {
    buffer_kept = false;
    if (!may_send(count)) return ReadResult::lost;
    AspiCommand read = build_read_cd(buffer, lba, count);
    read.direct = true;
    const AspiOutcome outcome = aspi_send(&g_reader_binding, unit_at(ha_id, target, lun), read);
    buffer_kept = outcome.buffer_kept;
    return result_of(outcome);
}

int set_cdrom_speed(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint16_t read_kbs) {
    if (!g_reader_bound.load(std::memory_order_acquire)) return 0;
    const AspiOutcome outcome = aspi_send(&g_reader_binding, unit_at(ha_id, target, lun), build_set_cd_speed(read_kbs));
    return !reported_no_event(outcome) && outcome.end == AspiEnd::done ? 1 : 0;
}
