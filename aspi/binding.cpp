#include "aspi/binding.h"

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

InFlight *launch_copy(AspiBinding *binding, const SRB_ExecSCSICmd *request) {
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

std::uint8_t status_of(const SRB_ExecSCSICmd &srb) {
    // The library stores SRB_Status last, with release ordering, possibly from its own thread.
    return std::atomic_ref<const std::uint8_t>(srb.SRB_Status).load(std::memory_order_acquire);
}

void copy_back(const InFlight &flight, SRB_ExecSCSICmd *request) {
    // Acquire the status first: everything the library wrote before it is visible from here on.
    const std::uint8_t status = status_of(flight.srb);
    std::uint8_t *caller_data = request->SRB_BufPointer;
    const std::uint32_t length = caller_data && !(request->SRB_Flags & SRB_DIR_OUT) ? request->SRB_BufLen : 0;
    if (length > 0) std::memcpy(caller_data, flight.data, length);
    void *caller_event = request->SRB_PostProc;
    *request = flight.srb;
    request->SRB_BufPointer = caller_data;
    request->SRB_PostProc = caller_event;
    request->SRB_Status = status;
}

void send_abort(const AspiBinding *binding, const SRB_ExecSCSICmd *request, void *to_abort) {
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = request->SRB_HaId;
    abort.SRB_ToAbort = to_abort;
    binding->lpSendASPI32Command(&abort);
}

// Keeps a request the library has let go of for the binding's next one; a request the library may
// still write to or signal leaves the binding and is kept alive for good.
void settle(AspiBinding *binding, InFlight *flight, bool given_up) {
    bool released = status_of(flight->srb) != SS_PENDING;
    // A given-up request counts as let go only once its completion has also been signalled.
    if (released && given_up)
        released = platform::wait_event(flight->event, std::chrono::milliseconds{0}) ==
                   platform::WaitResult::signalled;
    if (released) return;
    binding->exchange = nullptr;
    // Deliberately never freed: a late completion lands here, harmlessly.
    flight->next_kept = g_kept_alive_list.load();
    while (!g_kept_alive_list.compare_exchange_weak(flight->next_kept, flight)) {
    }
    ++g_kept_alive;
}

}  // namespace

int bind_aspi(AspiBinding *binding) {
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
    if (binding->library) unload_aspi_library(binding->library);
    binding->library = nullptr;
    binding->lpGetASPI32SupportInfo = nullptr;
    binding->lpSendASPI32Command = nullptr;
}

ExchangeOutcome aspi_exchange(AspiBinding *binding, SRB_ExecSCSICmd *request, platform::EventHandle event) {
    InFlight *flight = launch_copy(binding, request);
    // Out of memory or handles: the library works on the caller's own request, as it always did.
    SRB_ExecSCSICmd *submitted = flight ? &flight->srb : request;
    // Wait on the event the library signals.
    platform::EventHandle waited = flight ? flight->event : event;
    platform::reset_event(waited);

    const std::uint32_t submit_status = binding->lpSendASPI32Command(submitted);
    if (submit_status == SS_PENDING) {
        const auto wait = platform::wait_event(waited, std::chrono::milliseconds{g_timeout_ms.load()});
        if (wait == platform::WaitResult::timed_out) {
            std::printf("%s", msg::wait_timeout);
            send_abort(binding, request, submitted);
            if (flight) settle(binding, flight, true);
            return ExchangeOutcome::timed_out;
        }
    }
    if (flight) {
        copy_back(*flight, request);
        // A failed wait leaves the request possibly still running; settle keeps it then.
        settle(binding, flight, false);
    }
    return ExchangeOutcome::finished;
}

int aspi_requests_kept_alive() { return g_kept_alive.load(); }

void set_aspi_timeout(std::chrono::milliseconds timeout) { g_timeout_ms = timeout.count(); }

void install_aspi_stand_in(AspiStandIn *stand_in) { g_stand_in = stand_in; }
