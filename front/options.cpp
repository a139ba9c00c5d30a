#include "front/options.h"

namespace {

std::int32_t code(char c) { return static_cast<signed char>(c); }

// -t followed by one character selects that track; by two, a two-digit track; by more, none
// (reading "-t100" as track 10 would quietly play the wrong track).
std::int32_t track_index_of(const char *arg) {
    if (arg[2] == '\0' || arg[3] == '\0') return code(arg[2]) - '1';
    if (arg[4] != '\0') return -1;
    return (code(arg[2]) - '0') * 10 + (code(arg[3]) - '0') - 1;
}

}  // namespace

Selection parse_options(int argc, const char *const *argv) {
    Selection s{0, 0, false, false, nullptr, nullptr};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-') continue;
        switch (arg[1]) {
        case 'd':
            s.unit_index = code(arg[2]) - '0';
            s.unit_arg = arg;
            break;
        case 't':
            s.track_index = track_index_of(arg);
            s.track_arg = arg;
            break;
        case 'l': s.list = true; break;
        case 'h': s.usage = true; return s;
        default: break;
        }
    }
    return s;
}
