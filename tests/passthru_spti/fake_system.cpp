#include "tests/passthru_spti/fake_system.h"

#include <algorithm>
#include <cstring>

#include <ntddcdrm.h>

namespace spti_test {
namespace {

FakeMachine *g_machine = nullptr;

void put_le32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string letter_name(char letter) { return std::string("\\\\.\\") + letter + ":"; }
std::string cdrom_name(int n) { return "\\\\.\\CdRom" + std::to_string(n); }

// STORAGE_DEVICE_DESCRIPTOR with the vendor and product strings after its fixed part.
std::vector<std::uint8_t> device_descriptor(const FakeDrive &d) {
    std::vector<std::uint8_t> b(40, 0);
    put_le32(b, 12, static_cast<std::uint32_t>(b.size()));
    b.insert(b.end(), d.vendor.begin(), d.vendor.end());
    b.push_back(0);
    put_le32(b, 16, static_cast<std::uint32_t>(b.size()));
    b.insert(b.end(), d.model.begin(), d.model.end());
    b.push_back(0);
    put_le32(b, 20, static_cast<std::uint32_t>(b.size()));
    b.insert(b.end(), d.revision.begin(), d.revision.end());
    b.push_back(0);
    put_le32(b, 0, 1);
    put_le32(b, 4, static_cast<std::uint32_t>(b.size()));
    return b;
}

}  // namespace

struct FakeCalls {
    static FakeDrive *drive_named(const std::string &name) {
        for (FakeDrive &d : g_machine->drives)
            if ((d.letter && letter_name(*d.letter) == name) || (d.cdrom && cdrom_name(*d.cdrom) == name)) return &d;
        return nullptr;
    }
    static FakeDrive *drive_of(HANDLE h) {
        const auto it = g_machine->handles_.find(h);
        return it == g_machine->handles_.end() ? nullptr : drive_named(it->second);
    }
    static HANDLE new_handle(const std::string &name, DWORD access = 0) {
        HANDLE h = reinterpret_cast<HANDLE>(g_machine->next_handle_);
        g_machine->next_handle_ += 4;
        g_machine->handles_[h] = name;
        g_machine->access_[h] = access;
        return h;
    }

    static DWORD logical_drives() {
        auto lock = g_machine->lock();
        DWORD bits = 0;
        for (const auto &[letter, type] : g_machine->letters) bits |= DWORD{1} << (letter - 'A');
        return bits;
    }
    static UINT drive_type(const char *root) {
        auto lock = g_machine->lock();
        const auto it = g_machine->letters.find(root[0]);
        return it == g_machine->letters.end() ? DRIVE_NO_ROOT_DIR : it->second;
    }
    static DWORD dos_device(const char *name, char *target, DWORD size) {
        auto lock = g_machine->lock();
        const FakeDrive *d = drive_named(std::string("\\\\.\\") + name);
        if (!d || !d->cdrom) return 0;
        const std::string device = "\\Device\\CdRom" + std::to_string(*d->cdrom);
        if (device.size() + 2 > size) return 0;
        std::memcpy(target, device.c_str(), device.size() + 1);
        target[device.size() + 1] = '\0';
        return static_cast<DWORD>(device.size() + 2);
    }
    static HANDLE open_device(const char *path, DWORD access, DWORD *error) {
        auto lock = g_machine->lock();
        FakeDrive *d = drive_named(path);
        *error = !d                   ? ERROR_FILE_NOT_FOUND
                 : access == GENERIC_READ ? d->read_only_error
                 : access != 0            ? d->open_error
                                          : 0;
        if (const auto it = g_machine->query_open_errors.find(path); access == 0 && it != g_machine->query_open_errors.end())
            *error = it->second;
        if (*error != 0) return nullptr;
        if (access == GENERIC_READ) g_machine->read_only_opens.emplace_back(path);
        else if (access != 0) g_machine->read_write_opens.emplace_back(path);
        return new_handle(path, access);
    }
    static void close_handle(HANDLE h) {
        auto lock = g_machine->lock();
        g_machine->handles_.erase(h);
        g_machine->access_.erase(h);
    }
    static HANDLE create_event() {
        auto lock = g_machine->lock();
        return new_handle("");
    }
    static DWORD start_ioctl(HANDLE device, DWORD code, void *in, DWORD in_size, void *out, DWORD out_size,
                             OVERLAPPED *overlapped, DWORD *returned) {
        auto lock = g_machine->lock();
        *returned = 0;
        FakeDrive *d = drive_of(device);
        if (!d || !overlapped || !g_machine->handles_.count(overlapped->hEvent)) return ERROR_INVALID_HANDLE;
        const std::string &name = g_machine->handles_[device];
        if (code == IOCTL_SCSI_GET_ADDRESS) {
            if (const auto it = g_machine->address_errors.find(name); it != g_machine->address_errors.end()) return it->second;
            if (!d->address) return ERROR_NOT_SUPPORTED;
            SCSI_ADDRESS a{sizeof(SCSI_ADDRESS), static_cast<UCHAR>(d->address->port), static_cast<UCHAR>(d->address->path),
                           static_cast<UCHAR>(d->address->target), static_cast<UCHAR>(d->address->lun)};
            if (out_size < sizeof a) return ERROR_INSUFFICIENT_BUFFER;
            std::memcpy(out, &a, sizeof a);
            *returned = sizeof a;
            return 0;
        }
        if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
            const auto *query = static_cast<const STORAGE_PROPERTY_QUERY *>(in);
            if (in_size < sizeof *query) return ERROR_INVALID_PARAMETER;
            const std::vector<std::uint8_t> bytes =
                query->PropertyId == StorageAdapterProperty ? d->adapter_descriptor : device_descriptor(*d);
            if (bytes.empty()) return ERROR_NOT_SUPPORTED;
            *returned = std::min<DWORD>(out_size, static_cast<DWORD>(bytes.size()));
            std::memcpy(out, bytes.data(), *returned);
            return 0;
        }
        if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
            if (const auto it = g_machine->number_errors.find(name); it != g_machine->number_errors.end()) return it->second;
            const auto disk = g_machine->disk_numbers.find(name);
            const bool as_disk = disk != g_machine->disk_numbers.end();
            if (!d->device_number && !as_disk) return ERROR_INVALID_FUNCTION;
            const STORAGE_DEVICE_NUMBER n =
                as_disk ? STORAGE_DEVICE_NUMBER{FILE_DEVICE_DISK, disk->second, 1}
                        : STORAGE_DEVICE_NUMBER{FILE_DEVICE_CD_ROM, static_cast<DWORD>(*d->device_number), 0xFFFFFFFF};
            if (out_size < sizeof n) return ERROR_INSUFFICIENT_BUFFER;
            std::memcpy(out, &n, sizeof n);
            *returned = sizeof n;
            return 0;
        }
        if (code == IOCTL_STORAGE_CHECK_VERIFY || code == IOCTL_CDROM_READ_TOC_EX || code == IOCTL_CDROM_RAW_READ) {
            if ((g_machine->access_[device] & GENERIC_READ) == 0) return ERROR_ACCESS_DENIED;
            const auto *bytes = static_cast<const std::uint8_t *>(in);
            DriverCall call{name, code, std::vector<std::uint8_t>(bytes, bytes + (bytes ? in_size : 0)), out_size};
            g_machine->driver_calls.push_back(call);
            return g_machine->driver ? g_machine->driver(call, static_cast<std::uint8_t *>(out), *returned)
                                     : ERROR_INVALID_FUNCTION;
        }
        if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT) return ERROR_INVALID_FUNCTION;
        // The system refuses the pass-through on a handle without write access.
        if ((g_machine->access_[device] & GENERIC_WRITE) == 0) return ERROR_ACCESS_DENIED;
        auto *packet = static_cast<PassThroughPacket *>(out);
        g_machine->calls.push_back({g_machine->handles_[device], packet->sptd, in_size, out_size});
        if (in != out || out_size < sizeof *packet) return ERROR_INVALID_PARAMETER;
        const DWORD error = g_machine->respond ? g_machine->respond(*packet)
                                               : answer_data(std::vector<std::uint8_t>(packet->sptd.DataTransferLength, 0x5A))(*packet);
        if (error == ERROR_IO_PENDING) {
            g_machine->held_ = FakeMachine::Held{overlapped, packet};
            g_machine->changed_.notify_all();
        } else if (error == 0) {
            *returned = sizeof *packet;
        }
        return error;
    }
    static DWORD wait_ioctl(HANDLE, OVERLAPPED *overlapped, DWORD milliseconds, DWORD *returned) {
        auto lock = g_machine->lock();
        auto &held = g_machine->held_;
        if (!held || held->overlapped != overlapped) return ERROR_INVALID_PARAMETER;
        const auto done = [&] { return held->done; };
        if (milliseconds == INFINITE) g_machine->changed_.wait(lock, done);
        else if (!g_machine->changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) return ERROR_IO_INCOMPLETE;
        *returned = held->returned;
        const DWORD error = held->error;
        held.reset();
        g_machine->changed_.notify_all();
        return error;
    }
    static void cancel_ioctl(HANDLE, OVERLAPPED *) {
        auto lock = g_machine->lock();
        ++g_machine->cancels;
        g_machine->changed_.notify_all();
    }
    static void report(const char *line) {
        auto lock = g_machine->lock();
        g_machine->reports.emplace_back(line);
    }
};

FakeMachine::FakeMachine() {
    g_machine = this;
    letters['C'] = DRIVE_FIXED;
    SetEnvironmentVariableA("CDDAPLAY_IMAGES_REPORTED", nullptr);  // a new machine is a new run
}

FakeMachine::~FakeMachine() { g_machine = nullptr; }

void FakeMachine::add(const FakeDrive &d) {
    auto held = lock();
    drives.push_back(d);
    if (d.letter) letters[*d.letter] = DRIVE_CDROM;
}

const passthru::spti::SptiSystem &FakeMachine::system() {
    static const passthru::spti::SptiSystem calls{
        FakeCalls::logical_drives, FakeCalls::drive_type,  FakeCalls::dos_device,   FakeCalls::open_device,  FakeCalls::close_handle,
        FakeCalls::create_event,   FakeCalls::start_ioctl, FakeCalls::wait_ioctl,   FakeCalls::cancel_ioctl,
        FakeCalls::report};
    return calls;
}

bool FakeMachine::finish(const Responder &answer) {
    auto held = lock();
    if (!held_ || held_->done) return false;
    held_->error = answer(*held_->packet);
    held_->returned = held_->error == 0 ? sizeof(PassThroughPacket) : 0;
    held_->done = true;
    changed_.notify_all();
    return true;
}

void FakeMachine::wait_for_cancel() {
    auto held = lock();
    changed_.wait(held, [this] { return cancels > 0; });
}

void FakeMachine::wait_for_held() {
    auto held = lock();
    changed_.wait(held, [this] { return held_.has_value() && !held_->done; });
}

int FakeMachine::open_handles() const {
    auto held = lock();
    return static_cast<int>(handles_.size());
}

bool FakeMachine::holding() const {
    auto held = lock();
    return held_.has_value();
}

FakeDrive drive(std::optional<char> letter, std::optional<int> cdrom, ScsiAddress address) {
    FakeDrive d;
    d.letter = letter;
    d.cdrom = cdrom;
    d.device_number = cdrom;
    d.address = address;
    d.adapter_descriptor = adapter_descriptor(128 * 1024, 33, 3);
    return d;
}

std::vector<std::uint8_t> adapter_descriptor(std::uint32_t max_transfer, std::uint32_t pages, std::uint32_t mask) {
    std::vector<std::uint8_t> b(32, 0);
    put_le32(b, 0, 1);
    put_le32(b, 4, 32);
    put_le32(b, 8, max_transfer);
    put_le32(b, 12, pages);
    put_le32(b, 16, mask);
    return b;
}

Responder answer_data(std::vector<std::uint8_t> bytes) {
    return [bytes](PassThroughPacket &p) -> DWORD {
        const std::size_t n = std::min<std::size_t>(bytes.size(), p.sptd.DataTransferLength);
        if (n > 0) std::memcpy(p.sptd.DataBuffer, bytes.data(), n);
        p.sptd.DataTransferLength = static_cast<ULONG>(n);
        p.sptd.ScsiStatus = 0;
        p.sptd.SenseInfoLength = 0;
        return 0;
    };
}

Responder answer_status(std::uint8_t status, std::vector<std::uint8_t> sense, std::uint32_t transferred) {
    return [=](PassThroughPacket &p) -> DWORD {
        p.sptd.ScsiStatus = status;
        p.sptd.DataTransferLength = transferred;
        const std::size_t n = std::min<std::size_t>(sense.size(), p.sptd.SenseInfoLength);
        auto *area = reinterpret_cast<std::uint8_t *>(&p) + p.sptd.SenseInfoOffset;
        if (n > 0) std::memcpy(area, sense.data(), n);
        p.sptd.SenseInfoLength = static_cast<UCHAR>(n);
        return 0;
    };
}

Responder fail_with(DWORD error) {
    return [error](PassThroughPacket &) { return error; };
}

Responder hold() {
    return [](PassThroughPacket &) -> DWORD { return ERROR_IO_PENDING; };
}

}  // namespace spti_test
