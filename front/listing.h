#pragma once
// -l: the program's only listing, on standard output. Every CD-ROM unit found (number, adapter,
// target and LUN, INQUIRY vendor, product and revision, the image a virtual drive holds, whether
// a disc is in), then the chosen unit's track count and total playing time (m:ss), the disc's own
// title and performer, a header line, and per track: audio or data, start as a disc address
// mm:ss:ff (2 s before LBA 0), length as m:ss (up to track_end_lba: an Enhanced CD's last audio
// track ends where its audio ends), CD-Text title and performer. A hidden track (audio before
// track 1) comes first as track 0. Last, what would play with the selection's -t, -n and -r (from
// which track to which, how long, whether again and again). Nothing is played.

#include <cstdint>

#include "cdrom/cdrom_types.h"
#include "front/options.h"

// The exit status: 0 once listed (also without a unit, or with no disc in the chosen one);
// 1 when the chosen unit has a disc whose table of contents cannot be read (after
// "fail to get cdrom_data\n").
int list_units(const CdromDeviceList &devices, std::int32_t unit, const Selection &selection);

// The sectors of audio before track 1: track 1 is audio and starts after LBA 0, its pregap holding
// a hidden track that -t0 plays. 0 when there is none.
std::int32_t hidden_track_sectors(const CdromToc &toc);

// -t0 (or -t00) on a disc with a hidden track: play from LBA 0, as "track 0".
bool hidden_track_chosen(const Selection &selection, const CdromToc &toc);
