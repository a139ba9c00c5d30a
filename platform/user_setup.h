#pragma once
// What the program arranges for, or finds out about, the user's set-up before it looks for units.
// One implementation file per platform (user_setup_posix.cpp, user_setup_win32.cpp). Main thread.

#include <string>

namespace platform {

// Sets an environment variable of the process, where a library loaded later reads it (setenv;
// SetEnvironmentVariableA and the C library's copy on Windows). False when it could not be set.
bool set_environment(const char *name, const char *value);

// A CD-ROM device node that exists but that this user may not open: Linux's /dev/sr*, the first
// by name. Empty `node` when there is none (always on Windows, where drives need no permission of
// their own).
struct BlockedDrive {
    std::string node;
};
BlockedDrive blocked_drive();

}  // namespace platform
