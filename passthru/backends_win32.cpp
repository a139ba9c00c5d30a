// The back ends of the win32 build, in adapter order: the virtual drives first, so "-d0" is the
// first image; then the real drives through the SCSI pass-through ioctl.
#include <iterator>

#include "passthru/backend.h"
#include "passthru/image/image_backend.h"
#include "passthru/spti/spti_backend.h"

namespace passthru {

BackendList registered_backends() {
    static const Backend *const kBackends[] = {&image::image_backend(), &spti::spti_backend()};
    return {kBackends, static_cast<int>(std::size(kBackends))};
}

}  // namespace passthru
