#pragma once
// Binding the pass-through library and the one request exchange every caller uses.
//
// Each user of the library owns one AspiBinding in static storage, binds it for its phase and
// releases it afterwards: five in all, those of discovery, the table of contents reader, the
// listing's unit probe, the CD-Text reader and the sector reader. A binding is used by one thread
// at a time, but two bindings may be in use at once (CD-Text is read while playback reads sectors):
// the library takes commands from any thread. The sector reader's is bound on the playback
// driver's thread before any fetch worker starts and only read while bound.

#include <atomic>
#include <chrono>

#include "aspi/aspi32.h"
#include "platform/platform.h"

struct AspiInFlight;  // defined by the exchange (binding.cpp)

struct AspiBinding {
    platform::LibraryHandle library;                 // null when nothing is loaded
    GetASPI32SupportInfoFn lpGetASPI32SupportInfo;   // valid while bound
    SendASPI32CommandFn lpSendASPI32Command;         // valid while bound
    AspiInFlight *exchange;  // the exchange's request, buffer and event, reused; freed by release_aspi
    // Whether the adapter last asked about reports residual byte counts (SC_HA_INQUIRY): -1 none
    // asked yet; reset by release_aspi.
    int residual_adapter;
    bool residual_reported;
};

// The longest wait for one request to complete.
inline constexpr std::chrono::milliseconds ASPI_TIMEOUT_MS{10000};

// Loads the library by name and looks up both entry points (both are required).
// Returns 1 when bound; 0 after printing one of "fail to load the wnaspi32.dll\n",
// "fail to get the process lpGetASPI32SupportInfo\n" (also when both are missing) or
// "fail to get the process lpSendASPI32Command\n", with nothing left loaded.
int bind_aspi(AspiBinding *binding);

// Unloads the library if the binding holds one; the binding is empty afterwards.
void release_aspi(AspiBinding *binding);

enum class ExchangeOutcome { finished, timed_out };

// Submits one zeroed and filled SRB_ExecSCSICmd (SRB_EVENT_NOTIFY, an event in SRB_PostProc) and
// waits for it. A submit answered at once (anything but SS_PENDING) is not waited for.
//
// finished:  the request's SRB_Status, SRB_HaStat, SRB_TargStat, SenseArea, SRB_BufLen and data
//            are those the library left; the caller judges SRB_Status itself (SS_COMP = success).
// timed_out: no completion within the time-out: "wait time out\n" has been printed and one
//            SC_ABORT_SRB naming the request and its adapter sent. The caller's request and buffer
//            are left as they were.
//
// The library is sent a copy of the request whose data buffer and event are the exchange's own:
// it never holds the caller's block, buffer or `event` (which the exchange does not use; the
// request names it as the interface asks). Its event is reset before the submit, so a stray
// signal from an earlier request cannot end the wait. A buffer coming in starts as zeros: bytes
// the library does not write come back as zeros. The copy belongs to the binding and serves its
// next request too, so an exchange allocates nothing once the binding has served one request as
// large. A request the library may still write to or signal after it was given up (it did not
// complete the abort) leaves the binding and is kept alive for good, so a late completion lands in
// memory nobody else uses; the caller may free its request, buffer and event as soon as this
// returns. Out of memory or handles for the copy: nothing is sent, and the request finishes with
// SRB_Status SS_INSUFFICIENT_RESOURCES.
ExchangeOutcome aspi_exchange(AspiBinding *binding, SRB_ExecSCSICmd *request, platform::EventHandle event);

// As aspi_exchange, for data coming in, but the library writes it straight into the caller's
// buffer: no copy, for the sector reader's chunk buffers. The request sent names the exchange's
// own event (whatever SRB_PostProc the caller's block holds). Bytes the library does not deliver
// come back as zeros: an adapter that reports residual byte counts (HA_Unique) has only the
// undelivered tail zeroed after the request; any other has the whole buffer zeroed before it.
// `buffer_kept` is set when the request was given up while the library may still write into the
// caller's buffer: the caller must then never reuse or free that buffer (the exchange keeps the
// rest of the request alive, as aspi_exchange does). A request without data coming in goes
// through aspi_exchange.
ExchangeOutcome aspi_exchange_direct(AspiBinding *binding, SRB_ExecSCSICmd *request, bool &buffer_kept);

// How many given-up requests the library still held when the exchange gave up on them.
int aspi_requests_kept_alive();

// ---- Test seams ----
// Shortens the exchange's wait in tests; the program always waits ASPI_TIMEOUT_MS.
void set_aspi_timeout(std::chrono::milliseconds timeout);

// An in-process stand-in for the library file. While installed, bind_aspi "loads" it instead of
// the file (failing like a missing file when fail_load is set) and looks the entry points up in
// it (a null entry point is a missing one); `loaded` counts the bindings that hold it.
struct AspiStandIn {
    GetASPI32SupportInfoFn support_info;
    SendASPI32CommandFn send_command;
    bool fail_load;
    std::atomic<int> loaded;
};
void install_aspi_stand_in(AspiStandIn *stand_in);  // nullptr: load the real library again
