#pragma once
// Checking the chosen unit and reading its table of contents.
//
// Main thread only, after discovery and before playback starts. Binds its own AspiBinding for the
// call and releases it before returning, on every path. The binding's one completion event, made
// with its first command, serves all three commands and goes with the binding.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cdrom/cdrom_types.h"

// Sends TEST UNIT READY, then READ TOC (format 0), then READ TOC format 1 (the sessions), each
// once, to the unit given by the four fields of its CdromDevice; ignore_target_status counts only
// when it is exactly 1. A unit that rejects format 1 (or times out on it, after "wait time out\n")
// is taken as single-session. TEST UNIT READY is judged by readiness_of (unit_status.h).
//
// Returns the process-wide table filled by parse_cdrom_toc, or null when:
// - bind_aspi failed (its message printed), or an event could not be made ("fail to create event\n");
// - a command never completed ("wait time out\n", printed by the exchange with its abort);
// - TEST UNIT READY did not complete SS_COMP, or its target status was not 0 while the target
//   status counts ("cdrom_device is not abilable\n");
// - READ TOC completed with a status other than SS_COMP, or its answer held no descriptor at all
//   (nothing printed: the caller reports "fail to get cdrom_data\n");
// - the table cannot be right (see toc_fault): one line on standard error says what is wrong.
// A failed call leaves the table as it was. The table stays valid for the life of the process.
CdromToc *get_cdrom_toc(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                        std::int32_t ignore_target_status);

// Parses a READ TOC format 0 answer of which the first `length` bytes are valid (bytes the drive
// did not return are never read; the header's data length narrows `length` further). Descriptor
// i becomes entry i, whatever track number the disc gives it, and the last entry filled is the
// lead-out: `track_count` is the header's last track number, cut to 100, and cut further to the
// descriptors actually present minus one (a disc whose first track is not 1 sends fewer
// descriptors than its last track number). Writes only track_count and entries 0..track_count.
// Returns false, leaving `toc` untouched, when not even one descriptor is present.
bool parse_cdrom_toc(const std::uint8_t *response, std::size_t length, CdromToc *toc);

// Parses a READ TOC format 1 answer (at least 12 bytes) into toc->last_session and
// toc->last_session_first. The table's tracks must be parsed already: a first track of the last
// session outside [0, lead-out] is not believed. False, leaving `toc` untouched, when the answer
// is short or not believed.
bool parse_session_info(const std::uint8_t *response, std::size_t length, CdromToc *toc);

// 100 minutes of sectors: no disc reaches it, so an address beyond it is not a disc's.
inline constexpr std::int32_t MAX_DISC_LBA = 100 * 60 * 75;

// What makes a table of contents impossible, in plain words, or empty when it can be right: a
// negative address, an address beyond 100 minutes, a track (or the lead-out) starting before the
// one before it. The addresses come from the drive, so they are compared, never added.
std::string toc_fault(const CdromToc &toc);
