#pragma once
// Whether a CD-ROM unit is ready for its disc to be read, and what the listing shows of it.
// Main thread only, after discovery. Prints nothing but what the exchange prints.

#include "aspi/binding.h"
#include "cdrom/cdrom_types.h"

enum class Readiness { ready, not_ready, no_answer };

// The one readiness rule, for the listing ("disc in") and for playback (get_cdrom_toc) alike,
// judged from the outcome of one TEST UNIT READY: ready when it completed SS_COMP and, unless
// ignore_target_status is exactly 1, with target status 0; no_answer when it never completed
// (timed out, after "wait time out\n" and the abort) or was never sent (no event); otherwise
// not_ready. A unit that reports a disc change (a unit attention) is therefore not ready when
// first asked, and the listing and playback say the same of it.
Readiness readiness_of(const AspiOutcome &test_unit_ready, std::int32_t ignore_target_status);

struct CdromUnitStatus {
    bool answered;       // the INQUIRY completed; the identity below is the unit's own
    char vendor[9];      // INQUIRY bytes 8-15, 16-31 and 32-35, trailing spaces removed,
    char product[17];    // anything but printable ASCII shown as '?'
    char revision[5];
    // A virtual drive of our pass-through library (vendor "CDDAPLAY") names the image it holds in
    // the vendor-specific INQUIRY bytes 36-55, trailing spaces removed; empty for any other unit.
    char image[21];
    bool disc_in;        // test_unit_ready said ready
};

// Sends INQUIRY, then TEST UNIT READY (judged by readiness_of), through its own AspiBinding,
// bound for the call and released before returning. A library that cannot be bound (its message
// printed), or commands that cannot be sent for want of an event (silently), leave the unit
// neither answered nor with a disc in.
CdromUnitStatus probe_cdrom_unit(const CdromDevice &unit);
