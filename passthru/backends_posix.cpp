// The back ends of the posix build, in adapter order: the virtual drives first, so "-d0" is the
// first image; then the real drives through SG_IO.
#include <iterator>

#include "passthru/backend.h"
#include "passthru/image/image_backend.h"
#include "passthru/sg/sg_backend.h"

namespace passthru {

BackendList registered_backends() {
    static const Backend *const kBackends[] = {&image::image_backend(), &sg::sg_backend()};
    return {kBackends, static_cast<int>(std::size(kBackends))};
}

}  // namespace passthru
