#include "front/options.h"

#include <cstdio>
#include <cstring>

#include "common/cd_speed.h"
#include "common/messages.h"

namespace {

std::int32_t code(char c) { return static_cast<signed char>(c); }

// -d followed by one character selects that unit; by more, none (reading "-d10" as unit 1 would
// quietly play the wrong unit).
std::int32_t unit_index_of(const char *value) {
    if (value[0] != '\0' && value[1] != '\0') return -1;
    return code(value[0]) - '0';
}

// -t followed by one character selects that track; by two, a two-digit track; by more, none
// (reading "-t100" as track 10 would quietly play the wrong track).
std::int32_t track_index_of(const char *value) {
    if (value[0] == '\0' || value[1] == '\0') return code(value[0]) - '1';
    if (value[2] != '\0') return -1;
    return (code(value[0]) - '0') * 10 + (code(value[1]) - '0') - 1;
}

// The value of -d, -t or -s: the rest of the argument, or the next argument when the letter stands
// alone and a number follows ("-t 3"); `i` then moves past it.
const char *option_value(int argc, const char *const *argv, int &i) {
    const char *arg = argv[i];
    if (arg[2] == '\0' && i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9') return argv[++i];
    return arg + 2;
}

constexpr std::int32_t KBS_PER_SPEED = 176;  // 1x: 75 sectors of 2352 bytes a second, in kB/s
constexpr std::int32_t MAX_SPEED = 372;
constexpr std::int32_t MAX_TRACK_LIMIT = 99;

}  // namespace

// The number `digits` spell when it is one from 0 to `max`; -1 otherwise.
std::int32_t number_up_to(const char *digits, std::int32_t max) {
    std::int32_t n = 0;
    if (*digits == '\0') return -1;
    for (const char *c = digits; *c; ++c) {
        if (*c < '0' || *c > '9') return -1;
        n = n * 10 + (*c - '0');
        if (n > max) return -1;
    }
    return n;
}

std::int32_t track_limit_of(const char *digits) {
    const std::int32_t n = number_up_to(digits, MAX_TRACK_LIMIT);
    return n == 0 ? -1 : n;
}

std::int32_t read_speed_of(const char *digits) {
    const std::int32_t n = number_up_to(digits, MAX_SPEED);
    if (n < 0) return -1;
    return n == 0 ? SPEED_MAXIMUM_KBS : n * KBS_PER_SPEED;
}

Selection parse_options(int argc, const char *const *argv) {
    Selection s{};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-') {
            s.operands.push_back(arg);
            continue;
        }
        switch (arg[1]) {
        case 'd':
            s.unit_value = option_value(argc, argv, i);
            s.unit_index = unit_index_of(s.unit_value);
            break;
        case 't':
            s.track_value = option_value(argc, argv, i);
            s.track_index = track_index_of(s.track_value);
            break;
        case 'l': s.list = true; break;
        case 'r': s.repeat = true; break;
        case 'n': {
            const std::int32_t limit = track_limit_of(arg + 2);
            if (limit < 0) std::fprintf(stderr, msg::bad_track_limit, arg, MAX_TRACK_LIMIT);
            else s.track_limit = limit;
            break;
        }
        case 'h': s.usage = true; return s;
        case '-':
            if (std::strcmp(arg, "--help") != 0) {
                std::fprintf(stderr, msg::unknown_option, arg);
                break;
            }
            s.help = true;
            return s;
        case 's': {
            const char *value = option_value(argc, argv, i);
            const std::int32_t kbs = read_speed_of(value);
            if (kbs < 0)
                std::fprintf(stderr, msg::bad_speed, arg, MAX_SPEED);
            else
                s.read_speed_kbs = kbs;
            break;
        }
        default: std::fprintf(stderr, msg::unknown_option, arg); break;
        }
    }
    return s;
}
