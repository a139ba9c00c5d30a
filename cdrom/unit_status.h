#pragma once
// What the listing shows of one CD-ROM unit: who made it (INQUIRY) and whether a disc is in
// (TEST UNIT READY). Main thread only, after discovery; binds its own AspiBinding for the call and
// releases it before returning. Prints nothing.

#include "cdrom/cdrom_types.h"

struct CdromUnitStatus {
    bool answered;       // the INQUIRY completed; the identity below is the unit's own
    char vendor[9];      // INQUIRY bytes 8-15, 16-31 and 32-35, trailing spaces removed,
    char product[17];    // anything but printable ASCII shown as '?'
    char revision[5];
    // A virtual drive of our pass-through library (vendor "CDDAPLAY") names the image it holds in
    // the vendor-specific INQUIRY bytes 36-55, trailing spaces removed; empty for any other unit.
    char image[21];
    bool disc_in;        // TEST UNIT READY answered ready (asked twice: the first answer after a
                         // disc change is "medium may have changed")
};

CdromUnitStatus probe_cdrom_unit(const CdromDevice &unit);
