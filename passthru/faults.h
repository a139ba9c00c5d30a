#pragma once
// Fault injection for tests: what the virtual drives (and the manager) do wrong on purpose.
//
// Read once per library load from the environment variable CDDAPLAY_FAULTS (the program loads the
// library anew in each phase, so a test sets the variable before it starts the program). The value
// is a list of items separated by ';', each `key` or `key=value`; spaces around items are ignored.
// A malformed item is reported once on standard error and ignored.
//
//   latency=MS          every command of a virtual drive takes MS milliseconds (0..60000)
//   latency=A-B         every command takes A..B milliseconds, drawn anew for each command from a
//                       generator seeded by `seed` (the same seed gives the same sequence)
//   seed=N              seed of that generator (0..4294967295, default 1)
//   fail_read=A-B       a READ CD touching LBA A..B (inclusive; `A` alone = one sector) fails with
//                       CHECK CONDITION 03/11/00 (unrecovered read error); repeatable. Sectors fail
//                       one by one, as damage does: a group holding a bad sector fails whole,
//                       while a read of its good neighbours alone succeeds.
//   hang=KIND#N         the Nth command of KIND never completes until aborted (or the library is
//                       unloaded); KIND: inquiry, tur, readtoc, readcd, any; without #N every
//                       command of KIND hangs. Counted over all units, from the library's load.
//   hang_lba=A-B        a READ CD touching LBA A..B never completes until aborted; repeatable
//   stuck               a command that hangs ignores aborts and unloads too, as a command blocked
//                       in the system does (a stalled file, a driver that never answers): only the
//                       end of the process ends it
//   stuck=PATH          the same, but the command comes back (timed out) once the file PATH exists,
//                       as a system call that returns very late: after an abort, or an unload
//   not_ready           every unit answers NOT READY 02/3A/00 (no medium) to media commands
//   not_ready=U         only unit U (0-based, in CDDAPLAY_IMAGES order); repeatable
//   pending             virtual drives answer through the library's worker, pending first, as real
//                       drives do (without it and without latency or hang faults they answer at once)
//   immediate           the library answers every command at once: SendASPI32Command returns the
//                       final status, nothing is left pending and no event is signalled (a hang
//                       then ends at once with SRB_HaStat HASTAT_COMMAND_TIMEOUT)
//   adapters=N          N virtual adapters (1..8): the units sit on the first, the others are empty
//   dup_adapters=N      N virtual adapters, each carrying all the units
//   units=N             N units (1..15), made by repeating the CDDAPLAY_IMAGES list in order
//                       (units=8 with CDDAPLAY_IMAGES=builtin: eight copies of the built-in disc)
//   ansi=V              INQUIRY byte 2 (the version; its low 3 bits are the ANSI version), 0..255
//   inquiry_targstat=S  an INQUIRY that succeeds completes with SS_COMP yet SRB_TargStat S (a quirk
//                       of some ASPI layers; applies to every adapter)
//   toc_start=N:LBA     READ TOC format 0 in LBA form reports track N (or 170 for the lead-out)
//                       starting at LBA, whatever the disc says: a table of contents that cannot
//                       be right; repeatable
//   trace=PATH          every command a virtual drive is given appends one line to the file PATH:
//                       "unit U:" and the descriptor block's bytes in hexadecimal, e.g.
//                       "unit 0: BB 00 02 C0 FF FF 00 00 00 00 00 00" (a test reads the order back)
//
// Example: latency=20;fail_read=100-120;hang=readcd#3;hang_lba=300-310;not_ready;immediate;
//          adapters=2;units=8;ansi=0;inquiry_targstat=2;toc_start=2:-5;trace=/tmp/commands.txt

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace passthru {

struct LbaRange {
    std::int64_t first;
    std::int64_t last;  // inclusive
};

struct TocStart {
    int track;  // 1..99, or 170 (0xAA) for the lead-out
    std::int32_t lba;
};

enum class CommandKind : std::uint8_t { none, inquiry, tur, readtoc, readcd, any };

struct Faults {
    std::chrono::milliseconds latency{0};
    std::chrono::milliseconds latency_max{0};  // latency..latency_max; equal to latency when fixed
    std::uint32_t seed = 1;
    std::vector<LbaRange> fail_read;
    CommandKind hang_kind = CommandKind::none;
    int hang_nth = 0;  // 0: every command of hang_kind
    std::vector<LbaRange> hang_lba;
    bool not_ready_all = false;
    std::vector<int> not_ready_units;
    bool immediate = false;
    bool stuck = false;
    std::string stuck_until_path;  // empty: a stuck command never comes back
    bool pending = false;
    int adapters = 1;
    bool duplicate_adapters = false;
    int units = 0;  // 0: one unit per CDDAPLAY_IMAGES entry
    int ansi_version = 5;
    int inquiry_target_status = -1;  // -1: the real target status
    std::vector<TocStart> toc_starts;
    std::string trace_path;  // empty: no trace
};

// Parses a CDDAPLAY_FAULTS value. Each malformed item adds one line to `problems`.
Faults parse_faults(std::string_view text, std::string &problems);

// The faults of this library instance: CDDAPLAY_FAULTS, parsed and reported (stderr) on first use.
const Faults &library_faults();

// True when [first, first+count) overlaps any of the ranges.
bool touches(const std::vector<LbaRange> &ranges, std::int64_t first, std::int64_t count);

}  // namespace passthru
