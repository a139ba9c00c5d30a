// The spti back end under the shared real-drive tests (tests/real_drive/seam.h).
#include "passthru/spti/spti_backend.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/real_drive/seam.h"

const passthru::Backend &real_drive_test::backend_under_test() { return passthru::spti::spti_backend(); }

void real_drive_test::use_fake_system(bool fake) {
    passthru::spti::use_system(fake ? &spti_test::FakeMachine::system() : nullptr);
}
