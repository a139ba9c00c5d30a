// The sg back end under the shared real-drive tests (tests/real_drive/seam.h).
#include "passthru/sg/sg_backend.h"
#include "tests/passthru_sg/fake_system.h"
#include "tests/real_drive/seam.h"

const passthru::Backend &real_drive_test::backend_under_test() { return passthru::sg::sg_backend(); }

void real_drive_test::use_fake_system(bool fake) {
    passthru::sg::use_system(fake ? &sg_test::FakeMachine::system() : nullptr);
}
