#pragma once
// Every system call the SPTI back end makes goes through one SptiSystem: a static table of plain
// functions. The back end uses real_spti_system() unless a test installs a fake of its own (see
// spti_backend.h), so enumeration, the pass-through, its cancellation and the mapping of results
// run unchanged against a made-up machine.
//
// Errors come back as Win32 error codes (what GetLastError() said right after the call) rather
// than through the thread's last-error value, so a fake needs no thread state and the caller never
// reads a stale one. 0 is success.
//
// Every device handle is opened for overlapped I/O: an ioctl is started, then waited for in slices,
// so the waiting thread can ask the system to cancel it. An ioctl's buffers and its OVERLAPPED
// belong to the system from start_ioctl returning ERROR_IO_PENDING until wait_ioctl returns
// anything but ERROR_IO_INCOMPLETE; cancel_ioctl does not shorten that.
//
// Threads: the functions themselves hold no state; any thread may call them. Which thread calls
// which is the back end's business (spti_backend.h).

#include <windows.h>

namespace passthru::spti {

struct SptiSystem {
    // GetLogicalDrives(): bit n set when drive letter 'A' + n exists.
    DWORD (*logical_drives)();
    // GetDriveTypeA(root), root like "D:\\": DRIVE_CDROM for a CD-ROM drive.
    UINT (*drive_type)(const char *root);
    // QueryDosDeviceA(name, target, size), name like "D:": the device the letter stands for, e.g.
    // "\\Device\\CdRom0" (the first of the NUL-separated list); 0 when there is none.
    DWORD (*dos_device)(const char *name, char *target, DWORD size);

    // CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
    // FILE_FLAG_OVERLAPPED, nullptr). `access` is 0 (queries only: address and properties),
    // GENERIC_READ | GENERIC_WRITE (what the pass-through demands) or GENERIC_READ (the CD-ROM
    // driver's own requests). The handle, or null with *error set.
    HANDLE (*open_device)(const char *path, DWORD access, DWORD *error);
    void (*close_handle)(HANDLE handle);
    // CreateEventW(nullptr, TRUE, FALSE, nullptr): a manual-reset event for an OVERLAPPED, or null.
    HANDLE (*create_event)();

    // DeviceIoControl(device, code, in, in_size, out, out_size, nullptr, overlapped), its event
    // reset first. 0 when it completed at once (*returned: the bytes in `out`), ERROR_IO_PENDING
    // when the system carries on with it, or the error it failed with at once.
    DWORD (*start_ioctl)(HANDLE device, DWORD code, void *in, DWORD in_size, void *out, DWORD out_size,
                         OVERLAPPED *overlapped, DWORD *returned);
    // Waits at most `milliseconds` (INFINITE: no limit) for a pending ioctl: WaitForSingleObject on
    // its event, then GetOverlappedResult. ERROR_IO_INCOMPLETE while it still runs; otherwise it has
    // ended: 0 (*returned set) or its error (ERROR_OPERATION_ABORTED once cancelled).
    DWORD (*wait_ioctl)(HANDLE device, OVERLAPPED *overlapped, DWORD milliseconds, DWORD *returned);
    // CancelIoEx(device, overlapped): asks the system to end the ioctl early. A request only: the
    // ioctl still ends through wait_ioctl, maybe later, maybe having transferred data anyway.
    void (*cancel_ioctl)(HANDLE device, OVERLAPPED *overlapped);

    // Writes one line (a newline is added) to standard error.
    void (*report)(const char *line);
};

// The running system's calls.
const SptiSystem &real_spti_system();

}  // namespace passthru::spti
