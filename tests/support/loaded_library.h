#pragma once
// Whether the tests left a run-time library loaded: asked of the system without loading it.

namespace test_support {

// True when a library of that file name is loaded in this process now.
bool library_is_loaded(const char *name);

}  // namespace test_support
