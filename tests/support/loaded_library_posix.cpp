#include "tests/support/loaded_library.h"

#include <dlfcn.h>

namespace test_support {

bool library_is_loaded(const char *name) {
    // RTLD_NOLOAD finds a loaded library without loading it; the reference it takes is given back.
    void *handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

}  // namespace test_support
