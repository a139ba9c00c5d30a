#include "tests/passthru_sg/fake_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sg_test {
namespace {

FakeMachine *g_machine = nullptr;

std::string hctl(const KernelAddress &a) {
    return std::to_string(a.host) + ":" + std::to_string(a.channel) + ":" + std::to_string(a.target) + ":" +
           std::to_string(a.lun);
}

}  // namespace

struct FakeCalls {
    static bool list_dir(const char *path, std::vector<std::string> &names) {
        const auto it = g_machine->dirs.find(path);
        if (it == g_machine->dirs.end()) return false;
        names = it->second;
        return true;
    }
    static bool read_link(const char *path, std::string &target) {
        const auto it = g_machine->links.find(path);
        if (it == g_machine->links.end()) return false;
        target = it->second;
        return true;
    }
    static bool read_file(const char *path, std::string &text) {
        const auto it = g_machine->files.find(path);
        if (it == g_machine->files.end()) return false;
        text = it->second;
        return true;
    }
    static int open_node(const char *path, bool writable) {
        if (const auto it = g_machine->open_errors.find(path); it != g_machine->open_errors.end()) return -it->second;
        if (const auto it = g_machine->write_errors.find(path); writable && it != g_machine->write_errors.end())
            return -it->second;
        const auto &dev = g_machine->dirs["/dev"];
        const std::string name = std::string(path).substr(5);
        if (std::string(path).rfind("/dev/", 0) != 0 || std::find(dev.begin(), dev.end(), name) == dev.end())
            return -ENOENT;
        const int fd = g_machine->next_fd_++;
        g_machine->open_fds[fd] = path;
        g_machine->opens.push_back(path);
        g_machine->opens_writable.push_back(writable);
        return fd;
    }
    static void close_node(int fd) { g_machine->open_fds.erase(fd); }
    static int get_idlun(int fd, int *out) {
        const auto node = g_machine->open_fds.find(fd);
        if (node == g_machine->open_fds.end()) return -EBADF;
        const auto it = g_machine->idlun.find(node->second);
        if (it == g_machine->idlun.end()) return -ENOTTY;
        const KernelAddress &a = it->second;
        out[0] = (a.target & 0xFF) | (a.lun & 0xFF) << 8 | (a.channel & 0xFF) << 16 | (a.host & 0xFF) << 24;
        out[1] = 0;
        return 0;
    }
    static int sg_io(int fd, sg_io_hdr_t *header) {
        std::function<int(sg_io_hdr_t &)> respond;
        {
            std::lock_guard lock(g_machine->calls_mutex);
            const auto node = g_machine->open_fds.find(fd);
            if (node == g_machine->open_fds.end()) return -EBADF;
            const auto *cdb = static_cast<const std::uint8_t *>(header->cmdp);
            g_machine->calls.push_back({node->second, *header, std::vector<std::uint8_t>(cdb, cdb + header->cmd_len)});
            respond = g_machine->respond;
        }
        if (!respond) return answer_data(std::vector<std::uint8_t>(header->dxfer_len, 0x5A))(*header);
        return respond(*header);
    }
    static void report(const char *line) { g_machine->reports.emplace_back(line); }
    static std::string group_of(const char *) { return g_machine->node_group; }
};

FakeMachine::FakeMachine() {
    g_machine = this;
    dirs["/dev"] = {"null", "tty0", "sda", "loop0"};
}

FakeMachine::~FakeMachine() { g_machine = nullptr; }

void FakeMachine::add(const CdUnit &u) {
    const std::string dir = "/sys/bus/scsi/devices/" + hctl(u.address);
    const std::string target = "../../devices/pci0000:00/0000:00:1f.2/ata3/host2/target2:0:0/" + hctl(u.address);
    if (u.in_sysfs) {
        files[dir + "/type"] = std::to_string(u.type) + "\n";
        files[dir + "/vendor"] = u.vendor + "\n";
        files[dir + "/model"] = u.model + "\n";
    }
    if (u.sr) {
        const std::string name = "sr" + std::to_string(*u.sr);
        dirs["/dev"].push_back(name);
        idlun["/dev/" + name] = u.address;
        if (u.in_sysfs) {
            links["/sys/block/" + name + "/device"] = target;
            dirs[dir + "/block"] = {name};
            const std::string queue = dir + "/block/" + name + "/queue/";
            if (u.max_hw_kib > 0) files[queue + "max_hw_sectors_kb"] = std::to_string(u.max_hw_kib) + "\n";
            if (u.max_kib > 0) files[queue + "max_sectors_kb"] = std::to_string(u.max_kib) + "\n";
            if (u.max_segments > 0) files[queue + "max_segments"] = std::to_string(u.max_segments) + "\n";
        }
    }
    if (u.sg) {
        const std::string name = "sg" + std::to_string(*u.sg);
        dirs["/dev"].push_back(name);
        idlun["/dev/" + name] = u.address;
        if (u.in_sysfs) links["/sys/class/scsi_generic/" + name + "/device"] = "../../../" + hctl(u.address);
    }
}

void FakeMachine::add_other_sg(int sg, KernelAddress address) {
    const std::string name = "sg" + std::to_string(sg);
    dirs["/dev"].push_back(name);
    links["/sys/class/scsi_generic/" + name + "/device"] = "../../../" + hctl(address);
    files["/sys/bus/scsi/devices/" + hctl(address) + "/type"] = "0\n";
}

const passthru::sg::SgSystem &FakeMachine::system() {
    static const passthru::sg::SgSystem calls{FakeCalls::list_dir, FakeCalls::read_link, FakeCalls::read_file,
                                              FakeCalls::open_node, FakeCalls::close_node, FakeCalls::get_idlun,
                                              FakeCalls::sg_io,     FakeCalls::report,     FakeCalls::group_of};
    return calls;
}

std::function<int(sg_io_hdr_t &)> answer_data(std::vector<std::uint8_t> bytes) {
    return [bytes](sg_io_hdr_t &h) {
        const std::size_t n = std::min<std::size_t>(bytes.size(), h.dxfer_len);
        if (n > 0) std::memcpy(h.dxferp, bytes.data(), n);
        h.resid = static_cast<int>(h.dxfer_len - n);
        return 0;
    };
}

std::function<int(sg_io_hdr_t &)> answer_status(std::uint8_t status, std::uint16_t host, std::uint16_t driver,
                                                std::vector<std::uint8_t> sense, int resid) {
    return [=](sg_io_hdr_t &h) {
        h.status = status;
        h.masked_status = static_cast<unsigned char>((status >> 1) & 0x7F);
        h.host_status = host;
        h.driver_status = driver;
        h.resid = resid;
        const std::size_t n = std::min<std::size_t>(sense.size(), h.mx_sb_len);
        if (n > 0) std::memcpy(h.sbp, sense.data(), n);
        h.sb_len_wr = static_cast<unsigned char>(n);
        h.info = status || host || driver ? SG_INFO_CHECK : 0;
        return 0;
    };
}

std::function<int(sg_io_hdr_t &)> kernel_check_condition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                                         std::optional<std::uint32_t> information) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = information ? 0xF0 : 0x70;
    sense[2] = key;
    if (information) {
        for (int i = 0; i < 4; ++i) sense[3 + i] = static_cast<std::uint8_t>(*information >> (24 - 8 * i));
    }
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return answer_status(0x02, 0x00, 0x08, sense, 0);
}

std::function<int(sg_io_hdr_t &)> kernel_time_out() { return answer_status(0x00, 0x03, 0x00); }

std::function<int(sg_io_hdr_t &)> fail_with(int error) {
    return [error](sg_io_hdr_t &) { return -error; };
}

}  // namespace sg_test
