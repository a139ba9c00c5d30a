#include "tests/real_drive/library.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "passthru/manager.h"

namespace real_drive_test {

using namespace std::chrono_literals;

Exec::Exec(std::vector<std::uint8_t> cdb, std::uint32_t length, std::uint8_t flags)
    : buffer(length, kCanary), event(platform::create_event()) {
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = kRealAdapter;
    srb.SRB_Flags = static_cast<std::uint8_t>((length > 0 ? flags : 0) | SRB_EVENT_NOTIFY);
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = length > 0 ? buffer.data() : nullptr;
    srb.SRB_SenseLen = 14;
    srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
    srb.SRB_PostProc = event;
    std::memset(srb.SenseArea, kCanary, sizeof srb.SenseArea);
}

Exec::~Exec() { platform::close_event(event); }

std::uint32_t Exec::run() {
    submitted = passthru::send_command(&srb);
    if (submitted == SS_PENDING) signalled = platform::wait_event(event, 20s) == platform::WaitResult::signalled;
    return submitted;
}

std::uint8_t Exec::status() const {
    return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t &>(srb.SRB_Status)).load(std::memory_order_acquire);
}

std::vector<std::uint8_t> read_cd_cdb(std::uint32_t sectors) {
    return {0xBE, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(sectors), 0x10, 0, 0};
}

std::uint32_t abort_request(Exec &exec) {
    auto abort = request_block<SRB_Abort>(SC_ABORT_SRB);
    abort.SRB_ToAbort = &exec.srb;
    return passthru::send_command(&abort);
}

}  // namespace real_drive_test
