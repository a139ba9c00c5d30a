#pragma once
// An in-process pass-through for unit tests: installed as the binding's stand-in library, it
// records every request block it is sent and answers as the test scripts it.

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "aspi/binding.h"

struct RecordedRequest {
    std::uint8_t command;               // SRB_Cmd
    void *address;                      // the block as the library saw it
    std::vector<std::uint8_t> bytes;    // its bytes at submit time
    SRB_ExecSCSICmd exec;               // valid when command == SC_EXEC_SCSI_CMD
    SRB_HAInquiry ha_inquiry;           // valid when command == SC_HA_INQUIRY
    SRB_Abort abort;                    // valid when command == SC_ABORT_SRB
};

class FakePassThru {
public:
    FakePassThru();   // installs itself; one at a time
    ~FakePassThru();  // uninstalls

    // What GetASPI32SupportInfo returns.
    std::uint32_t support_word = 0x0101;
    // Scripted answers; each returns the submit status. Defaults: an adapter inquiry answers
    // SS_COMP with HA_SCSI_ID 7; an exec request completes with SS_COMP (pending, signalled);
    // an abort returns SS_COMP.
    std::function<std::uint32_t(SRB_HAInquiry &)> on_ha_inquiry;
    std::function<std::uint32_t(SRB_ExecSCSICmd &)> on_exec;
    std::function<std::uint32_t(SRB_Abort &)> on_abort;

    // Entry points missing from the "library", and a library that cannot be loaded at all.
    void remove_support_info();
    void remove_send_command();
    void fail_load();

    // Bindings that hold the library now (0 when every path released it).
    int loaded() const { return stand_in_.loaded.load(); }
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> exec_requests() const;
    int support_info_calls() const { return support_info_calls_; }

    // Completes an exec request the way a library does: fields, then SRB_Status last, then the
    // event. Returns SS_PENDING, the submit status of a request that completes later.
    static std::uint32_t complete(SRB_ExecSCSICmd &srb, std::uint8_t status, std::uint8_t targ_stat = 0);

private:
    static std::uint32_t support_info_entry();
    static std::uint32_t send_command_entry(void *srb);

    AspiStandIn stand_in_{};
    mutable std::mutex mutex_;  // guards requests_: the reader sends from worker threads
    std::vector<RecordedRequest> requests_;
    int support_info_calls_ = 0;
};
