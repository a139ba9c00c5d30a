// The rig's SG_IO probe: sends one command through SG_IO and prints everything the kernel said
// about it on one line, so the rig can record (and check) what a real kernel returns where the sg
// back end's fake machine (tests/passthru_sg/fake_system.h) has to assume it.
//
//   cddaplay_sg_probe NODE CDB DXFER_LEN TIMEOUT_MS
//     NODE        /dev/srN or /dev/sgN, opened O_RDONLY | O_NONBLOCK as the back end opens it
//     CDB         the command in hexadecimal, e.g. be04000003e8000001f81000
//     DXFER_LEN   bytes to read (0: no data phase)
//     TIMEOUT_MS  the header's time-out
//
// Prints "open errno=E" when the node does not open, "ioctl errno=E ms=T" when SG_IO fails, or
// "status=S host=H driver=D sb_len_wr=N resid=R info=I duration=MS ms=T sense=..." (hexadecimal
// but for the counts; T is the time the call took as seen from here). Exits 0 in every case.

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s NODE CDB DXFER_LEN TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    const std::string hex = argv[2];
    std::vector<unsigned char> cdb;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        cdb.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    std::vector<unsigned char> data(std::strtoul(argv[3], nullptr, 0));
    unsigned char sense[96] = {};

    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("open errno=%s\n", strerrorname_np(errno));
        return 0;
    }
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = data.empty() ? SG_DXFER_NONE : SG_DXFER_FROM_DEV;
    h.dxfer_len = static_cast<unsigned>(data.size());
    h.dxferp = data.empty() ? nullptr : data.data();
    h.cmd_len = static_cast<unsigned char>(cdb.size());
    h.cmdp = cdb.data();
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.timeout = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 0));
    const auto start = std::chrono::steady_clock::now();
    const int result = ioctl(fd, SG_IO, &h);
    const int error = errno;
    const long long took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (result != 0) {
        std::printf("ioctl errno=%s ms=%lld\n", strerrorname_np(error), took);
        return 0;
    }
    std::printf("status=%02x host=%02x driver=%02x sb_len_wr=%u resid=%d info=%x duration=%u ms=%lld sense=", h.status,
                h.host_status, h.driver_status, h.sb_len_wr, h.resid, h.info, h.duration, took);
    for (unsigned i = 0; i < h.sb_len_wr; ++i) std::printf("%02x", sense[i]);
    std::printf("\n");
    close(fd);
    return 0;
}
