// The rig's drive server: answers every SCSI command the kernel's userspace SCSI backstore (TCMU)
// hands it for one CD-ROM, from our virtual drive, so a disc image becomes a real drive
// (/dev/sr0, /dev/sg0) inside a real kernel.
//
//   cddaplay_drive_server ENTRY UIO_NAME
//     ENTRY     what CDDAPLAY_IMAGES takes for one unit: a CUE sheet's path or `builtin`
//     UIO_NAME  the name of the backstore's uio device (/sys/class/uio/uioN/name), waited for
//
// CDDAPLAY_FAULTS works as for the library's virtual drives (passthru/faults.h): latency, failing
// sectors and not-ready travel through the kernel. A hanging command never gets its data or a
// status. When the kernel gives it up (its time-out, then ABORT TASK or a reset through the
// loopback host; the backstore tells us with its TMR notification) the server drops it with TASK
// ABORTED, as a drive does when its host adapter aborts a command: the abort succeeds at once and
// the kernel ends the command (DID_TIME_OUT) at its time-out. Without the notification only the
// backstore's cmd_time_out ends it. Every other command is answered meanwhile.
//
// Each CDB's transfer is checked against the space the kernel gave it: a READ CD that would move
// more than that is refused with 05/24/00 (a real drive would overrun the host's buffer); other
// commands answer what fits, their allocation length being only an upper bound.
//
// One thread: the ring is read and answered in order, one command at a time.

#define __LINUX_UIO_H  // glibc's struct iovec instead of the kernel's
#include <fcntl.h>
#include <linux/target_core_user.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "passthru/backend.h"
#include "passthru/faults.h"
#include "passthru/image/drive.h"
#include "passthru/image/image_backend.h"

namespace {

using passthru::ScsiCommand;
using passthru::ScsiOutcome;

std::string read_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The uio device whose name is `wanted`: "/dev/uioN" and the size of its map, once it appears.
bool find_uio(const std::string &wanted, std::string &node, std::size_t &map_size) {
    for (int n = 0; n < 16; ++n) {
        const std::string sys = "/sys/class/uio/uio" + std::to_string(n);
        if (read_line(sys + "/name") != wanted) continue;
        node = "/dev/uio" + std::to_string(n);
        map_size = std::strtoull(read_line(sys + "/maps/map0/size").c_str(), nullptr, 0);
        return map_size > 0;
    }
    return false;
}

// The hang items of CDDAPLAY_FAULTS are the server's own business; the rest go to the virtual drive.
std::string without_hangs(const std::string &faults) {
    std::string kept;
    std::size_t from = 0;
    while (from <= faults.size()) {
        std::size_t end = faults.find(';', from);
        if (end == std::string::npos) end = faults.size();
        std::string item = faults.substr(from, end - from);
        const std::size_t first = item.find_first_not_of(" \t");
        const std::string bare = first == std::string::npos ? "" : item.substr(first);
        if (!bare.empty() && bare.rfind("hang", 0) != 0 && bare.rfind("stuck", 0) != 0)
            kept += (kept.empty() ? "" : ";") + bare;
        from = end + 1;
    }
    return kept;
}

passthru::CommandKind kind_of(std::uint8_t op) {
    using passthru::CommandKind;
    switch (op) {
    case passthru::kOpInquiry: return CommandKind::inquiry;
    case passthru::kOpTestUnitReady: return CommandKind::tur;
    case passthru::kOpReadToc: return CommandKind::readtoc;
    case passthru::kOpReadCd: return CommandKind::readcd;
    default: return CommandKind::none;
    }
}

struct Hangs {
    passthru::Faults faults;
    int seen[static_cast<int>(passthru::CommandKind::any) + 1] = {};
};

bool hangs(Hangs &h, const std::uint8_t *cdb) {
    using passthru::CommandKind;
    const CommandKind kind = kind_of(cdb[0]);
    const int nth_of_kind = kind == CommandKind::none ? 0 : ++h.seen[static_cast<int>(kind)];
    const int nth_any = ++h.seen[static_cast<int>(CommandKind::any)];
    if (kind == CommandKind::readcd) {
        const std::int64_t count = (std::int64_t{cdb[6]} << 16) | (cdb[7] << 8) | cdb[8];
        if (passthru::touches(h.faults.hang_lba, static_cast<std::int32_t>(get_be32(cdb + 2)), count)) return true;
    }
    if (h.faults.hang_kind == CommandKind::none) return false;
    const int nth = h.faults.hang_kind == CommandKind::any ? nth_any : nth_of_kind;
    if (h.faults.hang_kind != CommandKind::any && h.faults.hang_kind != kind) return false;
    return h.faults.hang_nth == 0 || h.faults.hang_nth == nth;
}

// The fewest bytes a READ CD moves when it is answered in full: whole sectors, or at least 2048
// bytes of user data a sector.
std::uint64_t read_cd_bytes(const std::uint8_t *cdb) {
    const std::uint64_t count = (std::uint64_t{cdb[6]} << 16) | (cdb[7] << 8) | cdb[8];
    if ((cdb[9] & 0xF8) == 0xF8) return count * passthru::image::kSectorBytes;
    return (cdb[9] & 0x10) ? count * 2048 : 0;
}

constexpr std::uint8_t kTaskAborted = 0x40;  // SAM status: the task was aborted

bool is_data_out(std::uint8_t op) { return op == 0x15 || op == 0x55 || op == 0x2A || op == 0xAA || op == 0x3B; }

// Seconds since boot, as /proc/uptime counts them, for the scenarios to compare.
double uptime_s() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Ring {
    std::uint8_t *map = nullptr;
    tcmu_mailbox *mailbox = nullptr;
    std::uint32_t seen = 0;  // offset in the command ring of the next entry not yet read
};

tcmu_cmd_entry *entry_at(const Ring &ring, std::uint32_t offset) {
    return reinterpret_cast<tcmu_cmd_entry *>(ring.map + ring.mailbox->cmdr_off + offset);
}

// Answers one command into the entry at the tail (out-of-order completion lets any id take it).
void complete(Ring &ring, std::uint16_t id, const ScsiOutcome &o, bool read_len) {
    tcmu_mailbox *mb = ring.mailbox;
    tcmu_cmd_entry *e = entry_at(ring, mb->cmd_tail);
    while (tcmu_hdr_get_op(e->hdr.len_op) != TCMU_OP_CMD) {  // padding and abort notes need no answer
        mb->cmd_tail = (mb->cmd_tail + tcmu_hdr_get_len(e->hdr.len_op)) % mb->cmdr_size;
        e = entry_at(ring, mb->cmd_tail);
    }
    e->hdr.cmd_id = id;
    e->rsp.scsi_status = o.target_status;
    std::memset(e->rsp.sense_buffer, 0, sizeof e->rsp.sense_buffer);
    std::memcpy(e->rsp.sense_buffer, o.sense, o.sense_length);
    if (read_len) {
        e->hdr.uflags |= TCMU_UFLAG_READ_LEN;
        e->rsp.read_len = o.transferred;
    }
    __atomic_thread_fence(__ATOMIC_RELEASE);
    mb->cmd_tail = (mb->cmd_tail + tcmu_hdr_get_len(e->hdr.len_op)) % mb->cmdr_size;
}

struct Server {
    Ring ring;
    Hangs hangs;
    std::vector<std::uint8_t> buffer;
    bool read_len = false;
    std::vector<std::uint16_t> hung;  // ids of the commands left unanswered
    bool tell_next = false;           // the command after a hang is logged with its time
};

// The kernel aborted the commands a TMR entry lists: those that hang are dropped (TASK ABORTED, no
// data), which lets the kernel's abort finish. True when one was.
bool drop_aborted(Server &s, const tcmu_tmr_entry *tmr) {
    bool dropped = false;
    for (std::uint32_t i = 0; i < tmr->cmd_cnt; ++i) {
        const std::uint16_t id = tmr->cmd_ids[i];
        const auto it = std::find(s.hung.begin(), s.hung.end(), id);
        if (it == s.hung.end()) continue;
        s.hung.erase(it);
        std::fprintf(stderr, "drive server: command id %u aborted at %.1f s (task management function %u)\n", id,
                     uptime_s(), tmr->tmr_type);
        ScsiOutcome aborted{};
        aborted.target_status = kTaskAborted;
        complete(s.ring, id, aborted, s.read_len);
        dropped = true;
    }
    return dropped;
}

// Reads one command out of the ring, runs it and answers it, unless it is to hang.
void serve(Server &s, tcmu_cmd_entry *e) {
    const std::uint8_t *cdb = s.ring.map + e->req.cdb_off;
    const std::uint16_t id = e->hdr.cmd_id;
    std::uint64_t space = 0;
    for (std::uint32_t i = 0; i < e->req.iov_cnt; ++i) space += e->req.iov[i].iov_len;
    if (hangs(s.hangs, cdb)) {
        std::fprintf(stderr, "drive server: command %02X (id %u) hangs at %.1f s\n", cdb[0], id, uptime_s());
        s.hung.push_back(id);
        s.tell_next = true;
        return;
    }
    if (s.tell_next) std::fprintf(stderr, "drive server: next command %02X at %.1f s\n", cdb[0], uptime_s());
    s.tell_next = false;
    ScsiCommand c{};
    c.cdb_length = static_cast<std::uint8_t>(cdb[0] < 0x20 ? 6 : cdb[0] < 0x60 ? 10 : cdb[0] < 0xA0 ? 16 : 12);
    std::memcpy(c.cdb, cdb, c.cdb_length);
    s.buffer.assign(space, 0);
    c.data = s.buffer.data();
    c.data_length = static_cast<std::uint32_t>(space);
    c.direction = space == 0 ? passthru::DataDirection::none : passthru::DataDirection::in;
    c.cancellable = false;
    ScsiOutcome o{};
    if (cdb[0] == passthru::kOpReadCd && read_cd_bytes(cdb) > space) {
        std::fprintf(stderr, "drive server: READ CD wants %llu bytes, given %llu\n",
                     static_cast<unsigned long long>(read_cd_bytes(cdb)), static_cast<unsigned long long>(space));
        passthru::set_check_condition(o, 0x05, 0x24, 0x00);
    } else if (is_data_out(cdb[0])) {
        passthru::set_check_condition(o, 0x05, 0x20, 0x00);
    } else {
        passthru::CancelToken never;
        passthru::image::image_backend().execute(0, 0, 0, c, o, never);
        if (o.target_status == 0x02 && o.sense[2] == 0x05 && o.sense[12] == 0x20)
            std::fprintf(stderr, "drive server: unknown command %02X\n", cdb[0]);
    }
    // What the data phase carried back: the bytes the drive produced, iovec by iovec.
    std::uint64_t left = o.target_status == 0 ? o.transferred : 0;
    const std::uint8_t *from = s.buffer.data();
    for (std::uint32_t i = 0; i < e->req.iov_cnt && left > 0; ++i) {
        const std::uint64_t n = std::min<std::uint64_t>(left, e->req.iov[i].iov_len);
        std::memcpy(s.ring.map + reinterpret_cast<std::uintptr_t>(e->req.iov[i].iov_base), from, n);
        from += n;
        left -= n;
    }
    if (o.target_status != 0) o.transferred = 0;
    complete(s.ring, id, o, s.read_len);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ENTRY UIO_NAME\n", argv[0]);
        return 2;
    }
    Server s;
    const char *faults = std::getenv("CDDAPLAY_FAULTS");
    std::string problems;
    s.hangs.faults = passthru::parse_faults(faults ? faults : "", problems);
    if (!problems.empty()) std::fputs(problems.c_str(), stderr);
    setenv("CDDAPLAY_FAULTS", without_hangs(faults ? faults : "").c_str(), 1);
    setenv("CDDAPLAY_IMAGES", argv[1], 1);
    const passthru::Backend &drive = passthru::image::image_backend();
    drive.open();
    if (drive.device_type(0, 0, 0) != 5) {
        std::fprintf(stderr, "drive server: no unit for '%s'\n", argv[1]);
        return 1;
    }

    std::string node;
    std::size_t map_size = 0;
    for (int tries = 0; !find_uio(argv[2], node, map_size); ++tries) {
        if (tries == 200) {
            std::fprintf(stderr, "drive server: no uio device named '%s'\n", argv[2]);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    void *map = fd < 0 ? MAP_FAILED : mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "drive server: cannot map %s: %s\n", node.c_str(), std::strerror(errno));
        return 1;
    }
    s.ring.map = static_cast<std::uint8_t *>(map);
    s.ring.mailbox = static_cast<tcmu_mailbox *>(map);
    s.ring.seen = s.ring.mailbox->cmd_tail;
    s.read_len = (s.ring.mailbox->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
    std::fprintf(stderr, "drive server: serving '%s' on %s\n", argv[1], node.c_str());

    // Commands may have arrived before the device was opened: look at the ring before each wait.
    for (;;) {
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        const std::uint32_t head = s.ring.mailbox->cmd_head;
        bool answered = false;
        while (s.ring.seen != head) {
            tcmu_cmd_entry *e = entry_at(s.ring, s.ring.seen);
            const std::uint32_t length = tcmu_hdr_get_len(e->hdr.len_op);
            if (tcmu_hdr_get_op(e->hdr.len_op) == TCMU_OP_CMD) {
                serve(s, e);
                answered = true;
            } else if (tcmu_hdr_get_op(e->hdr.len_op) == TCMU_OP_TMR) {
                answered |= drop_aborted(s, reinterpret_cast<const tcmu_tmr_entry *>(e));
            }
            s.ring.seen = (s.ring.seen + length) % s.ring.mailbox->cmdr_size;
        }
        if (answered) {
            const std::uint32_t kick = 0;
            if (write(fd, &kick, sizeof kick) != sizeof kick) break;
        }
        std::uint32_t events = 0;
        if (read(fd, &events, sizeof events) != sizeof events && errno != EINTR) break;
    }
    std::fprintf(stderr, "drive server: %s closed: %s\n", node.c_str(), std::strerror(errno));
    return 1;
}
