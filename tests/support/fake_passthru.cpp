#include "tests/support/fake_passthru.h"

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace {
FakePassThru *g_current = nullptr;
}

FakePassThru::FakePassThru() {
    stand_in_.support_info = &support_info_entry;
    stand_in_.send_command = &send_command_entry;
    on_ha_inquiry = [](SRB_HAInquiry &ha) {
        ha.HA_SCSI_ID = 7;
        ha.SRB_Status = SS_COMP;
        return std::uint32_t{SS_COMP};
    };
    on_exec = [](SRB_ExecSCSICmd &srb) { return complete(srb, SS_COMP); };
    on_abort = [](SRB_Abort &) { return std::uint32_t{SS_COMP}; };
    g_current = this;
    install_aspi_stand_in(&stand_in_);
}

FakePassThru::~FakePassThru() {
    install_aspi_stand_in(nullptr);
    g_current = nullptr;
}

void FakePassThru::remove_support_info() { stand_in_.support_info = nullptr; }
void FakePassThru::remove_send_command() { stand_in_.send_command = nullptr; }
void FakePassThru::fail_load() { stand_in_.fail_load = true; }

std::vector<RecordedRequest> FakePassThru::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> FakePassThru::exec_requests() const {
    std::vector<RecordedRequest> out;
    for (auto &r : requests())
        if (r.command == SC_EXEC_SCSI_CMD) out.push_back(r);
    return out;
}

std::uint32_t FakePassThru::complete(SRB_ExecSCSICmd &srb, std::uint8_t status, std::uint8_t targ_stat) {
    srb.SRB_TargStat = targ_stat;
    std::atomic_ref<std::uint8_t>(srb.SRB_Status).store(status, std::memory_order_release);
    platform::signal_event(srb.SRB_PostProc);
    return SS_PENDING;
}

std::uint32_t FakePassThru::support_info_entry() {
    ++g_current->support_info_calls_;
    return g_current->support_word;
}

std::uint32_t FakePassThru::send_command_entry(void *block) {
    FakePassThru &self = *g_current;
    RecordedRequest r{};
    r.command = *static_cast<std::uint8_t *>(block);
    r.address = block;
    std::size_t size = r.command == SC_HA_INQUIRY      ? sizeof(SRB_HAInquiry)
                       : r.command == SC_EXEC_SCSI_CMD ? sizeof(SRB_ExecSCSICmd)
                       : r.command == SC_ABORT_SRB     ? sizeof(SRB_Abort)
                                                       : sizeof(SRB_Header);
    r.bytes.assign(static_cast<std::uint8_t *>(block), static_cast<std::uint8_t *>(block) + size);
    if (r.command == SC_HA_INQUIRY) std::memcpy(&r.ha_inquiry, block, size);
    if (r.command == SC_EXEC_SCSI_CMD) std::memcpy(&r.exec, block, size);
    if (r.command == SC_ABORT_SRB) std::memcpy(&r.abort, block, size);
    {
        std::lock_guard lock(self.mutex_);
        self.requests_.push_back(r);
    }
    switch (r.command) {
    case SC_HA_INQUIRY: return self.on_ha_inquiry(*static_cast<SRB_HAInquiry *>(block));
    case SC_EXEC_SCSI_CMD: return self.on_exec(*static_cast<SRB_ExecSCSICmd *>(block));
    case SC_ABORT_SRB: return self.on_abort(*static_cast<SRB_Abort *>(block));
    default: return SS_INVALID_CMD;
    }
}
