#pragma once
// The command line: -d<unit digit>, -t<one or two track digits>, -s<speed>, -l, -h, --help, and
// the name of an image file to play.

#include <cstdint>
#include <vector>

struct Selection {
    std::int32_t unit_index;   // 0-based position in the unit list; out of range falls back to 0
    std::int32_t track_index;  // 0-based (0 is track 1); out of range falls back to 0
    bool usage;                // -h was met: print the usage text and do nothing else
    // -s<N>: read at N x (N x 176 kB/s; -s0 the drive's maximum), as kB/s for SET CD SPEED (0xFFFF
    // for the maximum); -1 without -s. A value that is no number 0-372 is ignored with one line on
    // standard error.
    std::int32_t read_speed_kbs = -1;
    bool list;                 // -l: list the units and the disc instead of playing
    // The text after -d or -t that chose unit_index or track_index ("1" for both -d1 and -d 1),
    // null when none was given.
    const char *unit_value;
    const char *track_value;
    bool help = false;                  // --help: print the full usage text, exit 0
    std::vector<const char *> operands;  // arguments not starting with '-', in order
    // -n<K>: play K tracks from the chosen one (1-99); 0 without -n: to the end of the audio. A
    // value that is no number 1-99 is ignored with one line on standard error.
    std::int32_t track_limit = 0;
    bool repeat = false;       // -r: play the range again and again until stopped
};

// Examines argv[1..argc-1] in order. Arguments not starting with '-' are collected in `operands`;
// unknown options are ignored with one line on standard error; a repeated option overrides the
// earlier one; -h and --help end the parsing at once. -d, -t or -s alone, followed by an argument
// starting with a digit, takes that argument as its value ("-t 3" is "-t3"). The digits are plain
// arithmetic on the characters' codes as signed 8-bit values, unchecked: the caller's range checks
// catch what is not a digit. "-d" or "-t" with no value reads only the terminator (a negative index,
// which falls back to 0). A -t value of more than two characters ("-t100") names no track, and a -d
// value of more than one ("-d10") no unit: the index is -1, out of range like any other.
Selection parse_options(int argc, const char *const *argv);

// K for -n<K>: 1-99, or -1 when `digits` is not such a number.
std::int32_t track_limit_of(const char *digits);

// The kB/s for -s<digits> ("4" -> 704, "0" -> 0xFFFF), or -1 when `digits` is not a number 0-372
// (372 x 176 is the last that fits below 0xFFFF).
std::int32_t read_speed_of(const char *digits);
