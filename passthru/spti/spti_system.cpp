// The real system calls behind SptiSystem.
#include "passthru/spti/spti_system.h"

#include <cstdio>

namespace passthru::spti {
namespace {

DWORD logical_drives() { return GetLogicalDrives(); }

UINT drive_type(const char *root) { return GetDriveTypeA(root); }

DWORD dos_device(const char *name, char *target, DWORD size) { return QueryDosDeviceA(name, target, size); }

HANDLE open_device(const char *path, DWORD access, DWORD *error) {
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    *error = 0;
    return h;
}

void close_handle(HANDLE handle) { CloseHandle(handle); }

HANDLE create_event() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

DWORD start_ioctl(HANDLE device, DWORD code, void *in, DWORD in_size, void *out, DWORD out_size, OVERLAPPED *overlapped,
                  DWORD *returned) {
    ResetEvent(overlapped->hEvent);
    *returned = 0;
    if (DeviceIoControl(device, code, in, in_size, out, out_size, nullptr, overlapped))
        return GetOverlappedResult(device, overlapped, returned, FALSE) ? 0 : GetLastError();
    return GetLastError();
}

DWORD wait_ioctl(HANDLE device, OVERLAPPED *overlapped, DWORD milliseconds, DWORD *returned) {
    // An event wait rather than GetOverlappedResultEx, which Windows 7 lacks.
    const DWORD waited = WaitForSingleObject(overlapped->hEvent, milliseconds);
    if (waited == WAIT_TIMEOUT) return ERROR_IO_INCOMPLETE;
    *returned = 0;
    // Should the event wait itself fail, the system's own wait still ends only with the ioctl.
    const BOOL wait = waited == WAIT_OBJECT_0 ? FALSE : TRUE;
    return GetOverlappedResult(device, overlapped, returned, wait) ? 0 : GetLastError();
}

void cancel_ioctl(HANDLE device, OVERLAPPED *overlapped) { CancelIoEx(device, overlapped); }

void report(const char *line) { std::fprintf(stderr, "%s\n", line); }

constexpr SptiSystem kRealSystem{logical_drives, drive_type,   dos_device, open_device, close_handle, create_event,
                                 start_ioctl,    wait_ioctl,   cancel_ioctl, report};

}  // namespace

const SptiSystem &real_spti_system() { return kRealSystem; }

}  // namespace passthru::spti
