#include "tests/cdrom/no_handles.h"

namespace cdrom_test {

// Windows gives a process millions of handles: nothing here runs them out.
NoHandles::NoHandles() = default;
NoHandles::~NoHandles() = default;

}  // namespace cdrom_test
