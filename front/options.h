#pragma once
// The command line: -d<unit digit>, -t<one or two track digits>, -s<speed>, -l, -h.

#include <cstdint>

struct Selection {
    std::int32_t unit_index;   // 0-based position in the unit list; out of range falls back to 0
    std::int32_t track_index;  // 0-based (0 is track 1); out of range falls back to 0
    bool usage;                // -h was met: print the usage text and do nothing else
    // -s<N>: read at N x (N x 176 kB/s; -s0 the drive's maximum), as kB/s for SET CD SPEED (0xFFFF
    // for the maximum); -1 without -s. A value that is no number 0-372 is ignored with one line on
    // standard error.
    std::int32_t read_speed_kbs = -1;
    bool list;                 // -l: list the units and the disc instead of playing
    const char *unit_arg;      // the -d argument that chose unit_index, null when none was given
    const char *track_arg;     // the -t argument that chose track_index, null when none was given
    // -n<K>: play K tracks from the chosen one (1-99); 0 without -n: to the end of the audio. A
    // value that is no number 1-99 is ignored with one line on standard error.
    std::int32_t track_limit = 0;
    bool repeat = false;       // -r: play the range again and again until stopped
};

// Examines argv[1..argc-1] in order. Arguments not starting with '-' and unknown letters are
// ignored; a repeated option overrides the earlier one; -h ends the parsing at once. The digits are
// plain arithmetic on the characters' codes as signed 8-bit values, unchecked: the caller's range
// checks catch what is not a digit. "-d" or "-t" alone reads only the argument's terminator (a
// negative index, which falls back to 0). A -t with more than two characters after the letter
// ("-t100") names no track: its index is -1, out of range like any other.
Selection parse_options(int argc, const char *const *argv);

// K for -n<K>: 1-99, or -1 when `digits` is not such a number.
std::int32_t track_limit_of(const char *digits);

// The kB/s for -s<digits> ("4" -> 704, "0" -> 0xFFFF), or -1 when `digits` is not a number 0-372
// (372 x 176 is the last that fits below 0xFFFF).
std::int32_t read_speed_of(const char *digits);
