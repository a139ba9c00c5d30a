#pragma once
// Finding the CD-ROM units behind the pass-through library.
//
// Main thread only, before any other drive access. Binds its own AspiBinding for the call and
// releases it before returning, on every path.

#include "cdrom/cdrom_types.h"

// Walks adapters 0..n-1 (n from GetASPI32SupportInfo), skips an adapter whose SC_HA_INQUIRY does
// not answer SS_COMP, and sends INQUIRY to every target 0-15 but the adapter's own HA_SCSI_ID, at
// every LUN 0-7, one request at a time on the binding's one completion event (made with the first
// INQUIRY sent). A unit is kept when its INQUIRY
// completes SS_COMP with peripheral device type 5; its ignore_target_status is 1 when it claims no
// ANSI version or its INQUIRY came back with a non-zero target status.
//
// Returns the process-wide list (count reset to 0 once the library answered as usable, then
// filled in order adapter, target, LUN), or null after printing one of: a bind_aspi message,
// "this pc does'nt support adapters\n", "fail to create event\n", "wait time out\n" (an INQUIRY
// never completed; the whole discovery fails) or "over max device\n" (an 8th unit; its record is
// in the last slot). The list stays valid for the life of the process.
CdromDeviceList *get_cdrom_device();
