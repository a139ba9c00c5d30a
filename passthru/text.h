#pragma once
// Text helpers of the library's readers (fault settings, image lists, sheets, drive descriptions).

#include <string_view>

namespace passthru {

// `s` without the blanks (spaces, tabs, NULs of fixed-width fields) and line ends at either side.
inline std::string_view trim(std::string_view s) {
    constexpr std::string_view blanks{" \t\r\n\0", 5};
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace passthru
