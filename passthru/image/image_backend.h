#pragma once
// The image back end: virtual CD-ROM drives serving disc images, for the demo and for tests.
//
// Configured when the library loads, from the environment:
//   CDDAPLAY_IMAGES  a list separated by ';' of CUE sheet paths (FILE names relative to the sheet's
//                    folder), cdrdao .toc files (toc_sheet.h), FLAC files carrying their own sheet
//                    (flac_sheet.h) or the word `builtin` (the synthesized disc of builtin_disc.h). Each
//                    entry becomes one unit of the virtual adapter, in order: targets 0, 1, ...
//                    skipping 7 (the adapter's own id), LUN 0; at most 15 units. An entry that does
//                    not load keeps its unit as an empty drive (INQUIRY answers, media commands get
//                    NOT READY 02/3A/00), so unit numbers always follow the list. Reasons and notes
//                    go to standard error once per run of the program (image_source.h says how).
//                    Unset: the back end has no adapter at all. Set but empty: one adapter, no unit.
//   CDDAPLAY_FAULTS  fault injection, see passthru/faults.h (latency, failing or hanging reads,
//                    not-ready units, extra adapters, unit count, INQUIRY version).

#include "passthru/backend.h"

namespace passthru::image {

const Backend &image_backend();

}  // namespace passthru::image
