#include "aspi/binding.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/messages.h"

// The library's view of one request: a copy of the caller's block whose data buffer and event
// belong to the exchange. Owned by its binding and reused for the next request once the library
// has let go of it; a request given up while the library may still complete it is kept for good.
struct AspiInFlight {
    SRB_ExecSCSICmd srb;
    platform::EventHandle event;  // the exchange's own event: the library signals this one
    std::uint8_t *data;
    std::uint32_t capacity;       // bytes at data
    AspiInFlight *next_kept;      // in the list of requests kept alive
};

namespace {

std::atomic<long long> g_timeout_ms{ASPI_TIMEOUT_MS.count()};
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

// The binding's request, made or grown to hold `length` bytes. Null when out of memory or handles.
InFlight *reusable_flight(AspiBinding *binding, std::uint32_t length) {
    InFlight *flight = binding->exchange;
    if (!flight) {
        flight = new (std::nothrow) InFlight{};
        if (!flight) return nullptr;
        flight->event = platform::create_event();
        if (!flight->event) {
            delete flight;
            return nullptr;
        }
        binding->exchange = flight;
    }
    if (flight->capacity < length) {
        auto *grown = new (std::nothrow) std::uint8_t[length];
        if (!grown) return nullptr;
        delete[] flight->data;
        flight->data = grown;
        flight->capacity = length;
    }
    return flight;
}

// The binding's request made ready to send as a copy of the caller's, data and event being the
// exchange's own. Null when out of memory or handles.
InFlight *prepare_copied_request(AspiBinding *binding, const SRB_ExecSCSICmd *request) {
    const std::uint32_t length = request->SRB_BufPointer ? request->SRB_BufLen : 0;
    InFlight *flight = reusable_flight(binding, length);
    if (!flight) return nullptr;
    flight->srb = *request;
    flight->srb.SRB_BufPointer = length > 0 ? flight->data : nullptr;
    flight->srb.SRB_PostProc = flight->event;
    if (length > 0) {
        // Data going out is the caller's; a buffer coming in starts as zeros, so bytes the library
        // does not write come back as zeros, never as an earlier request's data.
        if (request->SRB_Flags & SRB_DIR_OUT)
            std::memcpy(flight->data, request->SRB_BufPointer, length);
        else
            std::memset(flight->data, 0, length);
    }
    return flight;
}

std::uint8_t status_of(SRB_ExecSCSICmd &srb) {
    // The library stores SRB_Status last, with release ordering, possibly from its own thread.
    return std::atomic_ref<std::uint8_t>(srb.SRB_Status).load(std::memory_order_acquire);
}

// The library's outcome into the caller's block, which keeps its own data pointer and event.
void take_outcome(InFlight &flight, SRB_ExecSCSICmd *request) {
    // Acquire the status first: everything the library wrote before it is visible from here on.
    const std::uint8_t status = status_of(flight.srb);
    std::uint8_t *caller_data = request->SRB_BufPointer;
    void *caller_event = request->SRB_PostProc;
    *request = flight.srb;
    request->SRB_BufPointer = caller_data;
    request->SRB_PostProc = caller_event;
    request->SRB_Status = status;
}

void copy_back(InFlight &flight, SRB_ExecSCSICmd *request) {
    const std::uint32_t length =
        request->SRB_BufPointer && !(request->SRB_Flags & SRB_DIR_OUT) ? request->SRB_BufLen : 0;
    take_outcome(flight, request);  // acquires the status: the data written before it is visible
    if (length > 0) std::memcpy(request->SRB_BufPointer, flight.data, length);
}

void send_abort(const AspiBinding *binding, const SRB_ExecSCSICmd *request, void *to_abort) {
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = request->SRB_HaId;
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
    std::memset(&inquiry, 0, sizeof inquiry);
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    inquiry.SRB_HaId = ha_id;
    const bool answered = binding->lpSendASPI32Command(&inquiry) == SS_COMP;
    binding->residual_adapter = ha_id;
    binding->residual_reported = answered && (inquiry.HA_Unique[2] & 0x02) != 0;
    return binding->residual_reported;
}

// The binding's request made ready to send as a copy of the caller's whose data pointer stays the
// caller's; the event is the exchange's own. Null when out of memory or handles.
InFlight *prepare_direct_request(AspiBinding *binding, const SRB_ExecSCSICmd *request, bool residual) {
    InFlight *flight = reusable_flight(binding, 0);
    if (!flight) return nullptr;
    flight->srb = *request;
    flight->srb.SRB_PostProc = flight->event;
    if (residual) flight->srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    return flight;
}

// Copies the outcome back into the caller's block, leaving its data pointer, length, flags and
// event as they were, and zeroes the bytes the library reports as not delivered.
void finish_direct(InFlight &flight, SRB_ExecSCSICmd *request, bool residual) {
    const std::uint8_t caller_flags = request->SRB_Flags;
    const std::uint32_t caller_length = request->SRB_BufLen;
    take_outcome(flight, request);
    request->SRB_Flags = caller_flags;
    request->SRB_BufLen = caller_length;
    if (!residual) return;
    const std::uint32_t missing = std::min(flight.srb.SRB_BufLen, caller_length);
    if (missing > 0) std::memset(request->SRB_BufPointer + (caller_length - missing), 0, missing);
}

// Out of memory or handles: the request is not sent, so no library ever holds the caller's block
// (which may live in a stack frame about to end); it fails like a request the library refused.
ExchangeOutcome not_sent(SRB_ExecSCSICmd *request) {
    request->SRB_Status = SS_INSUFFICIENT_RESOURCES;
    return ExchangeOutcome::finished;
}

// Submits `submitted` and waits for it, waiting on `waited`. False when it was given up.
bool submit_and_wait(AspiBinding *binding, SRB_ExecSCSICmd *request, SRB_ExecSCSICmd *submitted,
                     platform::EventHandle waited) {
    platform::reset_event(waited);
    if (binding->lpSendASPI32Command(submitted) != SS_PENDING) return true;
    const auto wait = platform::wait_event(waited, std::chrono::milliseconds{g_timeout_ms.load()});
    if (wait != platform::WaitResult::timed_out) return true;
    std::printf("%s", msg::wait_timeout);
    send_abort(binding, request, submitted);
    return false;
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

ExchangeOutcome aspi_exchange(AspiBinding *binding, SRB_ExecSCSICmd *request, platform::EventHandle) {
    InFlight *flight = prepare_copied_request(binding, request);
    if (!flight) return not_sent(request);
    if (!submit_and_wait(binding, request, &flight->srb, flight->event)) {
        keep_alive_if_still_held(binding, flight, true);
        return ExchangeOutcome::timed_out;
    }
    copy_back(*flight, request);
    // A failed wait leaves the request possibly still running: it is kept alive then.
    keep_alive_if_still_held(binding, flight, false);
    return ExchangeOutcome::finished;
}

ExchangeOutcome aspi_exchange_direct(AspiBinding *binding, SRB_ExecSCSICmd *request, bool &buffer_kept) {
    buffer_kept = false;
    const std::uint32_t length = request->SRB_BufPointer ? request->SRB_BufLen : 0;
    if (length == 0 || !(request->SRB_Flags & SRB_DIR_IN)) return aspi_exchange(binding, request, nullptr);
    const bool residual = reports_residual(binding, request->SRB_HaId);
    InFlight *flight = prepare_direct_request(binding, request, residual);
    // Without a residual count to go by (or without a request sent at all), the buffer starts zeroed.
    if (!flight || !residual) std::memset(request->SRB_BufPointer, 0, length);
    if (!flight) return not_sent(request);
    const bool finished = submit_and_wait(binding, request, &flight->srb, flight->event);
    if (finished) finish_direct(*flight, request, residual);
    // A failed wait leaves the request possibly still running: kept then, with the caller's buffer.
    buffer_kept = keep_alive_if_still_held(binding, flight, !finished);
    return finished ? ExchangeOutcome::finished : ExchangeOutcome::timed_out;
}

int aspi_requests_kept_alive() { return g_kept_alive.load(); }

void set_aspi_timeout(std::chrono::milliseconds timeout) { g_timeout_ms = timeout.count(); }

void install_aspi_stand_in(AspiStandIn *stand_in) { g_stand_in = stand_in; }
