#pragma once
// -l: the program's only listing, on standard output. Every CD-ROM unit found (number, adapter,
// target and LUN, INQUIRY vendor, product and revision, whether a disc is in), then the chosen
// unit's table of contents: per track audio or data, start as mm:ss:ff (disc time, 2 s before
// LBA 0), length as mm:ss:ff, CD-Text title and performer; the disc's own title and performer and
// its total playing time; last, what would play with the selection's -t, -n and -r (from which track
// to which, how long, whether again and again). Nothing is played.

#include <cstdint>

#include "cdrom/cdrom_types.h"
#include "front/options.h"

// The exit status: 0 once listed (also without a unit, or with no disc in the chosen one);
// 1 when the chosen unit has a disc whose table of contents cannot be read (after
// "fail to get cdrom_data\n").
int list_units(const CdromDeviceList &devices, std::int32_t unit, const Selection &selection);
