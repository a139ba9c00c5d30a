#pragma once
// Every system call the SG_IO back end makes goes through one SgSystem: a static table of plain
// functions. The back end uses real_sg_system() unless a test installs a fake of its own (see
// sg_backend.h), so enumeration and the mapping of results run unchanged against a made-up machine.
//
// Errors come back as negative errno values rather than through errno, so a fake needs no thread
// state and the caller never reads a stale errno.
//
// Threads: the functions themselves hold no state; any thread may call them. Which thread calls
// which is the back end's business (sg_backend.h).

#include <scsi/sg.h>

#include <string>
#include <vector>

namespace passthru::sg {

struct SgSystem {
    // The names in a directory, without "." and "..", in no particular order. False when the
    // directory cannot be listed (missing, no permission).
    bool (*list_dir)(const char *path, std::vector<std::string> &names);
    // The target of a symbolic link, as stored. False when `path` is not a readable link.
    bool (*read_link)(const char *path, std::string &target);
    // The contents of a small file (a sysfs attribute). False when it cannot be read.
    bool (*read_file)(const char *path, std::string &text);

    // open(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC): a descriptor, or -errno.
    // O_NONBLOCK keeps the cdrom layer from checking (and demanding) a disc at open. The kernel lets
    // commands it counts as writing (SET CD SPEED among them) through SG_IO only on a node open for
    // writing, unless the user is privileged.
    int (*open_node)(const char *path, bool writable);
    void (*close_node)(int fd);
    // ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun): 0, or -errno. idlun[0] packs id | lun << 8 |
    // channel << 16 | host << 24, each cut to 8 bits.
    int (*get_idlun)(int fd, int *idlun);
    // ioctl(fd, SG_IO, header): 0 when the command was carried out (its SCSI, host and driver
    // status are in the header), or -errno when it could not be submitted. Blocks until the
    // command ends or the kernel's time-out in the header has run out and its error handling is done.
    int (*sg_io)(int fd, sg_io_hdr_t *header);

    // Writes one line (a newline is added) to standard error.
    void (*report)(const char *line);

    // The name of the group that owns `path` (its number when the group has no name); empty when
    // it cannot be told.
    std::string (*group_of)(const char *path);
};

// The running system's calls.
const SgSystem &real_sg_system();

}  // namespace passthru::sg
