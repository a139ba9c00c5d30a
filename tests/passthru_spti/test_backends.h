#pragma once
// The back end list the tests link in place of the library's own: a stand-in for the virtual
// drives (adapters but no units; how many is set per test), then the spti back end.

#include "passthru/backend.h"

namespace spti_test {

void set_virtual_adapters(int count);

}  // namespace spti_test
