// The back ends of the win32 build, in adapter order: the virtual drives first, so "-d0" is the
// first image (the SCSI pass-through ioctl back end for real drives adds itself here).
#include <iterator>

#include "passthru/backend.h"
#include "passthru/image/image_backend.h"

namespace passthru {

BackendList registered_backends() {
    static const Backend *const kBackends[] = {&image::image_backend()};
    return {kBackends, static_cast<int>(std::size(kBackends))};
}

}  // namespace passthru
