// The spti back end with the real system calls, on the machine the tests run on. Where Windows (or
// Wine) shows no CD-ROM drive, it finds none and says nothing; where it shows one, the drive must
// at least be numbered sanely.
#include <gtest/gtest.h>

#include "passthru/spti/spti_backend.h"

namespace {

using passthru::spti::spti_backend;

bool machine_shows_a_cd_drive() {
    const DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        const char root[] = {static_cast<char>('A' + i), ':', '\\', '\0'};
        if ((drives & (DWORD{1} << i)) && GetDriveTypeA(root) == DRIVE_CDROM) return true;
    }
    HANDLE h = CreateFileA("\\\\.\\CdRom0", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

TEST(SptiOnThisMachine, FindsNoDriveWhereTheSystemShowsNone) {
    passthru::spti::use_system(nullptr);
    spti_backend().open();
    const int adapters = spti_backend().adapter_count();
    if (!machine_shows_a_cd_drive()) {
        EXPECT_EQ(adapters, 0);
    }
    for (int a = 0; a < adapters; ++a) EXPECT_LE(spti_backend().adapter_identity(a).own_scsi_id, 16);
    spti_backend().close();
    EXPECT_EQ(spti_backend().adapter_count(), 0);
}

}  // namespace
