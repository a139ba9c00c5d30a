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
// The playback's reads' event: made on the first, kept for the next (one read at a time; fetch
// workers hand over through the driver's guard) and closed with the binding. A read the library
// may still signal takes it along and leaves the next read to make another.
platform::EventHandle g_read_event = nullptr;

}  // namespace

int open_cdrom_reader() {
    if (!bind_aspi(&g_reader_binding)) return 0;
    g_reader_bound.store(true, std::memory_order_release);
    return 1;
}

void close_cdrom_reader() {
    g_reader_bound.store(false, std::memory_order_release);
    release_aspi(&g_reader_binding);
    if (g_read_event) platform::close_event(g_read_event);
    g_read_event = nullptr;
}

namespace {

// One READ CD through the reader's binding: through the exchange's own buffer, or straight into
// the caller's when `buffer_kept` is given.
int send_read_cd(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer, std::int32_t lba,
                 std::int32_t count, bool *buffer_kept) {
    if (count > MAX_READ_SECTORS) {
        std::printf("%s", msg::over_10_sectors);
        return 0;
    }
    if (count <= 0 || !g_reader_bound.load(std::memory_order_acquire)) return 0;
    const bool direct = buffer_kept != nullptr;
    platform::EventHandle event = direct && g_read_event ? g_read_event : create_command_event();
    if (!event) return 0;
    SRB_ExecSCSICmd srb;
    build_read_cd(&srb, ha_id, target, lun, buffer, lba, count, event);
    const ExchangeOutcome outcome = direct ? aspi_exchange_direct(&g_reader_binding, &srb, event, *buffer_kept)
                                           : aspi_exchange(&g_reader_binding, &srb, event);
    if (direct && !*buffer_kept) g_read_event = event;
    else if (direct) g_read_event = nullptr;  // left with the request, never closed
    else platform::close_event(event);
    return outcome == ExchangeOutcome::finished && srb.SRB_Status == SS_COMP ? 1 : 0;
}

}  // namespace

int read_cdrom_sectors(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                       std::int32_t lba, std::int32_t count) {
    return send_read_cd(ha_id, target, lun, buffer, lba, count, nullptr);
}

int read_cdrom_sectors_direct(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                              std::int32_t lba, std::int32_t count, bool &buffer_kept) {
    buffer_kept = false;
    return send_read_cd(ha_id, target, lun, buffer, lba, count, &buffer_kept);
}

int set_cdrom_speed(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint16_t read_kbs) {
    if (!g_reader_bound.load(std::memory_order_acquire)) return 0;
    platform::EventHandle event = create_command_event();
    if (!event) return 0;
    SRB_ExecSCSICmd srb;
    build_set_cd_speed(&srb, ha_id, target, lun, read_kbs, event);
    const ExchangeOutcome outcome = aspi_exchange(&g_reader_binding, &srb, event);
    platform::close_event(event);
    return outcome == ExchangeOutcome::finished && srb.SRB_Status == SS_COMP ? 1 : 0;
}
