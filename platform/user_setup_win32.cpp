// Windows: the process environment block and the C library's copy of it.
#include "platform/user_setup.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

bool set_environment(const char *name, const char *value) {
    return SetEnvironmentVariableA(name, value) != 0 && _putenv_s(name, value) == 0;
}

BlockedDrive blocked_drive() { return {}; }

}  // namespace platform
