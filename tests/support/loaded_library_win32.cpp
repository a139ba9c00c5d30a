#include "tests/support/loaded_library.h"

#include <windows.h>

namespace test_support {

bool library_is_loaded(const char *name) { return GetModuleHandleA(name) != nullptr; }

}  // namespace test_support
