#include "aspi/binding.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/messages.h"

// The library's view of one request: the block aspi_send fills, with the exchange's own event and
// (unless the command is direct) data buffer. Owned by its binding and reused for the next request once the library
// has let go of it; a request given up while the library may still complete it is kept for good.
struct AspiInFlight {
    SRB_ExecSCSICmd srb;
    platform::EventHandle event;  // the exchange's own event: the library signals this one
    std::uint8_t *data;
    std::uint32_t capacity;       // bytes at data
    AspiInFlight *next_kept;      // in the list of requests kept alive
};

namespace {

std::atomic<long long> g_timeout_cap_ms{std::chrono::milliseconds::max().count()};
std::atomic<AspiStandIn *> g_stand_in{nullptr};
std::atomic<int> g_kept_alive{0};

platform::LibraryHandle load_aspi_library() {
    if (AspiStandIn *s = g_stand_in.load()) {
        if (s->fail_load) return nullptr;
        ++s->loaded;
        return s;
    }
    return platform::load_library(platform::aspi_library_name());
}

void *find_aspi_entry(platform::LibraryHandle library, const char *name) {
    if (AspiStandIn *s = g_stand_in.load(); s && library == s) {
        return std::strcmp(name, "GetASPI32SupportInfo") == 0 ? reinterpret_cast<void *>(s->support_info)
                                                                : reinterpret_cast<void *>(s->send_command);
    }
    return platform::find_entry(library, name);
}

void unload_aspi_library(platform::LibraryHandle library) {
    if (AspiStandIn *s = g_stand_in.load(); s && library == s) {
        --s->loaded;
        return;
    }
    platform::free_library(library);
}

using InFlight = AspiInFlight;

// Requests the library may still complete. Kept reachable, never freed.
std::atomic<InFlight *> g_kept_alive_list{nullptr};

void dispose(InFlight *flight) {
    platform::close_event(flight->event);
    delete[] flight->data;
    delete flight;
}

// The binding's request, made with its event when it has none. Null when out of memory, or (with
// `no_event` set) when no event could be made.
InFlight *binding_flight(AspiBinding *binding, bool &no_event) {
    if (binding->exchange) return binding->exchange;
    auto *flight = new (std::nothrow) InFlight{};
    if (!flight) return nullptr;
    flight->event = platform::create_event();
    no_event = !flight->event;
    if (no_event) {
        delete flight;
        return nullptr;
    }
    return binding->exchange = flight;
}

// The flight's own data buffer, grown to hold `length` bytes. False when out of memory.
bool reserve_data(InFlight &flight, std::uint32_t length) {
    if (flight.capacity >= length) return true;
    auto *grown = new (std::nothrow) std::uint8_t[length];
    if (!grown) return false;
    delete[] flight.data;
    flight.data = grown;
    flight.capacity = length;
    return true;
}

std::uint8_t status_of(SRB_ExecSCSICmd &srb) {
    // The library stores SRB_Status last, with release ordering, possibly from its own thread.
    return std::atomic_ref<std::uint8_t>(srb.SRB_Status).load(std::memory_order_acquire);
}

void fill_request(SRB_ExecSCSICmd &srb, AspiUnit unit, const AspiCommand &command, std::uint8_t *data,
                  platform::EventHandle event) {
    srb = zeroed_request<SRB_ExecSCSICmd>(SC_EXEC_SCSI_CMD, unit.ha_id);
    srb.SRB_Flags = command.data ? SRB_DIR_IN | SRB_EVENT_NOTIFY : SRB_EVENT_NOTIFY;
    srb.SRB_Target = unit.target;
    srb.SRB_Lun = unit.lun;
    srb.SRB_BufLen = command.data_length;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = command.sense_length;
    srb.SRB_CDBLen = command.cdb_length;
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, command.cdb, sizeof srb.CDBByte);
}

// Sense key, ASC and ASCQ, from sense data in fixed (0x70, 0x71) or descriptor (0x72, 0x73) format.
void take_sense(const std::uint8_t (&sense)[SENSE_LEN + 2], AspiOutcome &outcome) {
    const std::uint8_t format = sense[0] & 0x7F;
    if (format == 0x70 || format == 0x71) {
        outcome.sense_key = sense[2] & 0x0F;
        outcome.asc = sense[12];
        outcome.ascq = sense[13];
    } else if (format == 0x72 || format == 0x73) {
        outcome.sense_key = sense[1] & 0x0F;
        outcome.asc = sense[2];
        outcome.ascq = sense[3];
    }
}

// The one judgement of a completed request.
AspiOutcome judge(SRB_ExecSCSICmd &srb) {
    AspiOutcome outcome{};
    // Acquire the status first: everything the library wrote before it is visible from here on.
    outcome.aspi_status = status_of(srb);
    outcome.host_status = srb.SRB_HaStat;
    outcome.target_status = srb.SRB_TargStat;
    const bool check_condition = outcome.aspi_status == SS_ERR && outcome.host_status == HASTAT_OK &&
                                 outcome.target_status == STATUS_CHKCOND;
    // The system gave the command up before our own wait ran out (a kernel or port driver
    // time-out, after which it aborts the command at the drive): the same hang, seen sooner.
    const bool system_timed_out = outcome.aspi_status == SS_ERR && (outcome.host_status == HASTAT_TIMEOUT ||
                                                                     outcome.host_status == HASTAT_COMMAND_TIMEOUT);
    outcome.end = outcome.aspi_status == SS_COMP ? AspiEnd::done
                  : check_condition              ? AspiEnd::refused
                  : system_timed_out             ? AspiEnd::timed_out
                                                 : AspiEnd::failed;
    if (check_condition) take_sense(srb.SenseArea, outcome);
    return outcome;
}

void send_abort(const AspiBinding *binding, std::uint8_t ha_id, void *to_abort) {
    SRB_Abort abort = zeroed_request<SRB_Abort>(SC_ABORT_SRB, ha_id);
    abort.SRB_ToAbort = to_abort;
    binding->lpSendASPI32Command(&abort);
}

// A request the library may still write to or signal leaves the binding and is kept alive for
// good (true); one the library has let go of stays with the binding for its next request (false).
bool keep_alive_if_still_held(AspiBinding *binding, InFlight *flight, bool given_up) {
    bool released = status_of(flight->srb) != SS_PENDING;
    // A given-up request counts as let go only once its completion has also been signalled.
    if (released && given_up)
        released = platform::wait_event(flight->event, std::chrono::milliseconds{0}) ==
                   platform::WaitResult::signalled;
    if (released) return false;
    binding->exchange = nullptr;
    // Deliberately never freed: a late completion lands here, harmlessly.
    flight->next_kept = g_kept_alive_list.load();
    while (!g_kept_alive_list.compare_exchange_weak(flight->next_kept, flight)) {
    }
    ++g_kept_alive;
    return true;
}

// SC_HA_INQUIRY's HA_Unique[2] bit 1: the adapter reports residual byte counts. Asked once per
// adapter and binding.
bool reports_residual(AspiBinding *binding, std::uint8_t ha_id) {
    if (binding->residual_adapter == ha_id) return binding->residual_reported;
    SRB_HAInquiry inquiry;
    const bool answered = aspi_inquire_adapter(binding, ha_id, inquiry);
    binding->residual_adapter = ha_id;
    binding->residual_reported = answered && (inquiry.HA_Unique[2] & 0x02) != 0;
    return binding->residual_reported;
}

// An outcome the library had no part in: nothing came back from it.
AspiOutcome ended(AspiEnd end, std::uint8_t aspi_status) {
    AspiOutcome outcome{};
    outcome.end = end;
    outcome.aspi_status = aspi_status;
    return outcome;
}

// Nothing sent, so no library ever holds the caller's buffer.
AspiOutcome not_sent(bool no_event) {
    return no_event ? ended(AspiEnd::no_event, SS_PENDING) : ended(AspiEnd::failed, SS_INSUFFICIENT_RESOURCES);
}

// Submits the flight's request and waits for it at most `timeout`. False when it was given up.
bool submit_and_wait(AspiBinding *binding, InFlight &flight, std::chrono::milliseconds timeout) {
    platform::reset_event(flight.event);
    if (binding->lpSendASPI32Command(&flight.srb) != SS_PENDING) return true;
    const std::chrono::milliseconds cap{g_timeout_cap_ms.load()};
    const auto wait = platform::wait_event(flight.event, std::min(timeout, cap));
    if (wait != platform::WaitResult::timed_out) return true;
    std::printf("%s", msg::wait_timeout);
    send_abort(binding, flight.srb.SRB_HaId, &flight.srb);
    return false;
}

// Bytes the library reports as not delivered into a direct buffer: zeroed, and left out of the count.
void account_direct(const InFlight &flight, const AspiCommand &command, bool residual, AspiOutcome &outcome) {
    if (!residual) return;
    const std::uint32_t missing = std::min(flight.srb.SRB_BufLen, command.data_length);
    if (missing > 0) std::memset(command.data + (command.data_length - missing), 0, missing);
    outcome.transferred = command.data_length - missing;
}

}  // namespace

int bind_aspi(AspiBinding *binding) {
    binding->residual_adapter = -1;
    binding->library = load_aspi_library();
    if (!binding->library) {
        std::printf("%s", msg::load_failed);
        return 0;
    }
    binding->lpGetASPI32SupportInfo =
        reinterpret_cast<GetASPI32SupportInfoFn>(find_aspi_entry(binding->library, "GetASPI32SupportInfo"));
    binding->lpSendASPI32Command =
        reinterpret_cast<SendASPI32CommandFn>(find_aspi_entry(binding->library, "SendASPI32Command"));
    const char *missing = !binding->lpGetASPI32SupportInfo ? msg::no_support_info
                          : !binding->lpSendASPI32Command  ? msg::no_send_command
                                                           : nullptr;
    if (missing) {
        std::printf("%s", missing);
        release_aspi(binding);
        return 0;
    }
    return 1;
}

void release_aspi(AspiBinding *binding) {
    if (binding->exchange) dispose(binding->exchange);
    binding->exchange = nullptr;
    binding->residual_adapter = -1;
    if (binding->library) unload_aspi_library(binding->library);
    binding->library = nullptr;
    binding->lpGetASPI32SupportInfo = nullptr;
    binding->lpSendASPI32Command = nullptr;
}

AspiOutcome aspi_send(AspiBinding *binding, AspiUnit unit, const AspiCommand &command) {
    const std::uint32_t length = command.data ? command.data_length : 0;
    const bool direct = command.direct && length > 0;
    const bool residual = direct && reports_residual(binding, unit.ha_id);
    bool no_event = false;
    InFlight *flight = binding_flight(binding, no_event);
    // Without a residual count to go by (or without a request sent at all), a direct buffer starts zeroed.
    if (direct && (!flight || !residual)) std::memset(command.data, 0, length);
    if (!flight || !reserve_data(*flight, direct ? 0 : length)) return not_sent(no_event);

    std::uint8_t *sent_data = direct ? command.data : length > 0 ? flight->data : nullptr;
    fill_request(flight->srb, unit, command, sent_data, flight->event);
    if (residual) flight->srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    // The binding's buffer starts as zeros, so bytes the library does not write come back as
    // zeros, never as an earlier request's data.
    if (!direct && length > 0) std::memset(flight->data, 0, length);

    if (!submit_and_wait(binding, *flight, command.timeout)) {
        AspiOutcome outcome = ended(AspiEnd::timed_out, SS_PENDING);
        // A request the library still holds is kept, with a direct command's buffer.
        outcome.buffer_kept = keep_alive_if_still_held(binding, flight, true) && direct;
        return outcome;
    }
    AspiOutcome outcome = judge(flight->srb);  // acquires the status: the data before it is visible
    if (outcome.end == AspiEnd::timed_out) std::printf("%s", msg::wait_timeout);  // the system's time-out
    if (outcome.end == AspiEnd::done) outcome.transferred = length;
    if (direct) account_direct(*flight, command, residual, outcome);
    else if (length > 0) std::memcpy(command.data, flight->data, length);
    // A failed wait leaves the request possibly still running: it is kept alive then.
    outcome.buffer_kept = keep_alive_if_still_held(binding, flight, false) && direct;
    return outcome;
}

bool aspi_inquire_adapter(AspiBinding *binding, std::uint8_t ha_id, SRB_HAInquiry &inquiry) {
    inquiry = zeroed_request<SRB_HAInquiry>(SC_HA_INQUIRY, ha_id);
    return binding->lpSendASPI32Command(&inquiry) == SS_COMP;
}

int aspi_requests_kept_alive() { return g_kept_alive.load(); }

void set_aspi_timeout(std::chrono::milliseconds timeout) { g_timeout_cap_ms = timeout.count(); }

void install_aspi_stand_in(AspiStandIn *stand_in) { g_stand_in = stand_in; }
