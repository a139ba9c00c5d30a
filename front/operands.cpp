#include "front/operands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "common/messages.h"
#include "platform/user_setup.h"

namespace {

bool names_a_file(const char *operand) {
    std::error_code error;
    const auto status = std::filesystem::status(std::filesystem::path(operand), error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// Why `path` cannot be handed to the library as an image; empty when it can.
std::string why_unplayable(const char *path) {
    if (std::strchr(path, ';')) return msg::image_name_has_separator;
    errno = 0;
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file) return std::strerror(errno != 0 ? errno : EACCES);
    return {};
}

}  // namespace

bool take_image_operand(const Selection &selection, const char **image) {
    *image = nullptr;
    for (const char *operand : selection.operands) {
        if (!names_a_file(operand)) {
            std::fprintf(stderr, msg::ignored_operand, operand);
        } else if (*image) {
            std::fprintf(stderr, msg::second_image, operand);
        } else {
            *image = operand;
        }
    }
    if (!*image) return true;
    const std::string why = why_unplayable(*image);
    if (!why.empty()) {
        std::fprintf(stderr, msg::image_unplayable, *image, why.c_str());
        return false;
    }
    // "builtin" alone is the library's word for its own disc, not a file of that name.
    const std::string entry = std::strcmp(*image, "builtin") == 0 ? std::string("./builtin") : std::string(*image);
    if (!platform::set_environment("CDDAPLAY_IMAGES", entry.c_str())) {
        std::fprintf(stderr, msg::image_unplayable, *image, std::strerror(errno));
        return false;
    }
    return true;
}

void hint_no_unit() {
    // Our pass-through library has named the drives this user may not open, and the group to join:
    // said once is enough.
    if (!platform::blocked_drive().node.empty()) return;
    std::fprintf(stderr, "%s", msg::hint_image);
}
