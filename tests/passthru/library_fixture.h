#pragma once
// Drives our pass-through library the way any program does: loaded by name with
// platform::load_library (the file beside the test in <build>/bin), through its exported entry
// points only. The environment is set before each load, since the library reads it then.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "aspi/aspi32.h"
#include "platform/platform.h"
#include "tests/support/loaded_library.h"

namespace passthru_test {

using namespace std::chrono_literals;

inline void set_env(const char *name, const char *value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");
#else
    if (value) setenv(name, value, 1);
    else unsetenv(name);
#endif
}

using InfoFn = const char *(ASPI_CDECL *)(void);

// One load of the library, with CDDAPLAY_IMAGES / CDDAPLAY_FAULTS as given (null: unset).
class PassThru {
public:
    explicit PassThru(const char *images, const char *faults = nullptr) {
        set_env("CDDAPLAY_IMAGES", images);
        set_env("CDDAPLAY_FAULTS", faults);
        set_env("CDDAPLAY_IMAGES_REPORTED", nullptr);  // each test is a fresh run of the program
        library_ = platform::load_library(platform::aspi_library_name());
        if (!library_) return;
        support_ = reinterpret_cast<GetASPI32SupportInfoFn>(platform::find_entry(library_, "GetASPI32SupportInfo"));
        send_ = reinterpret_cast<SendASPI32CommandFn>(platform::find_entry(library_, "SendASPI32Command"));
        info_ = reinterpret_cast<InfoFn>(platform::find_entry(library_, "CddaplayPassThruInfo"));
    }
    ~PassThru() { unload(); }
    PassThru(const PassThru &) = delete;
    PassThru &operator=(const PassThru &) = delete;

    bool ready() const { return library_ && support_ && send_ && info_; }
    std::uint32_t support_word() const { return support_(); }
    std::uint32_t send(void *srb) const { return send_(srb); }
    const char *info() const { return info_(); }
    void unload() {
        if (!library_) return;
        platform::free_library(library_);
        library_ = nullptr;
        // On Windows a worker still on its way out holds the DLL a moment longer, and a load in
        // that moment would get the same instance; the next test wants a fresh one.
        for (int i = 0; i < 1000 && test_support::library_is_loaded(platform::aspi_library_name()); ++i)
            platform::sleep_ms(5ms);
    }

private:
    platform::LibraryHandle library_ = nullptr;
    GetASPI32SupportInfoFn support_ = nullptr;
    SendASPI32CommandFn send_ = nullptr;
    InfoFn info_ = nullptr;
};

struct Cdb {
    std::uint8_t bytes[16];
    std::uint8_t length;
};

inline Cdb inquiry_cdb(std::uint8_t allocation = 128) { return {{0x12, 0, 0, 0, allocation, 0}, 6}; }
inline Cdb tur_cdb() { return {{0x00}, 6}; }
inline Cdb read_toc_cdb(bool msf, std::uint8_t start, std::uint16_t allocation) {
    return {{0x43, std::uint8_t(msf ? 0x02 : 0x00), 0, 0, 0, 0, start, std::uint8_t(allocation >> 8),
             std::uint8_t(allocation), 0},
            10};
}
inline Cdb read_cd_cdb(std::int32_t lba, std::uint32_t count, std::uint8_t expected_type = 0) {
    const auto l = static_cast<std::uint32_t>(lba);
    return {{0xBE, std::uint8_t(expected_type << 2), std::uint8_t(l >> 24), std::uint8_t(l >> 16), std::uint8_t(l >> 8),
             std::uint8_t(l), std::uint8_t(count >> 16), std::uint8_t(count >> 8), std::uint8_t(count), 0x10, 0, 0},
            12};
}

inline constexpr std::uint8_t kCanary = 0xCC;
inline constexpr std::size_t kSlack = 64;  // canary bytes past the end of every data buffer

// One SC_EXEC_SCSI_CMD with its own event and a data buffer followed by canary bytes.
class Request {
public:
    Request(const Cdb &cdb, std::uint32_t length, std::uint8_t target = 0, std::uint8_t ha = 0)
        : buffer_(length + kSlack, kCanary), event_(platform::create_event()) {
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = ha;
        srb.SRB_Flags = length > 0 ? SRB_DIR_IN | SRB_EVENT_NOTIFY : SRB_EVENT_NOTIFY;
        srb.SRB_Target = target;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = length > 0 ? buffer_.data() : nullptr;
        srb.SRB_SenseLen = 16;
        srb.SRB_CDBLen = cdb.length;
        srb.SRB_PostProc = event_;
        std::memcpy(srb.CDBByte, cdb.bytes, sizeof srb.CDBByte);
        std::memset(srb.SenseArea, kCanary, sizeof srb.SenseArea);
    }
    ~Request() { platform::close_event(event_); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    std::uint8_t *data() { return buffer_.data(); }
    std::uint8_t status() const {
        return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t &>(srb.SRB_Status)).load(std::memory_order_acquire);
    }
    std::uint8_t sense_key() const { return srb.SenseArea[2] & 0x0F; }
    std::uint8_t asc() const { return srb.SenseArea[12]; }
    std::uint8_t ascq() const { return srb.SenseArea[13]; }
    // Whether the event is signalled now (consumes the signal).
    bool signalled() const { return platform::wait_event(event_, 0ms) == platform::WaitResult::signalled; }
    bool wait(std::chrono::milliseconds limit = 10s) const {
        return platform::wait_event(event_, limit) == platform::WaitResult::signalled;
    }
    // The bytes after the first `written` ones of the buffer are all still canary.
    bool untouched_from(std::size_t written) const {
        for (std::size_t i = written; i < buffer_.size(); ++i)
            if (buffer_[i] != kCanary) return false;
        return true;
    }

    SRB_ExecSCSICmd srb;

private:
    std::vector<std::uint8_t> buffer_;
    platform::EventHandle event_;
};

// Submits and, when pending, waits for the completion: the usual exchange. Returns SRB_Status.
inline std::uint8_t run(const PassThru &library, Request &request) {
    const std::uint32_t submitted = library.send(&request.srb);
    if (submitted != SS_PENDING) {
        EXPECT_EQ(submitted, request.status()) << "an answer at once is also stored in SRB_Status";
        return static_cast<std::uint8_t>(submitted);
    }
    EXPECT_TRUE(request.wait()) << "a pending request is signalled";
    EXPECT_FALSE(request.signalled()) << "and signalled once";
    return request.status();
}

inline std::uint32_t abort_request(const PassThru &library, Request &request) {
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = request.srb.SRB_HaId;
    abort.SRB_ToAbort = &request.srb;
    return library.send(&abort);
}

// A folder of its own under the system's temporary folder, removed afterwards.
class TempDir {
public:
    TempDir() {
        static int counter = 0;
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("cddaplay_passthru_" + std::string(test ? test->name() : "x") + "_" +
                 std::to_string(reinterpret_cast<std::uintptr_t>(this) % 100000) + "_" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string write(const std::string &name, const std::vector<std::uint8_t> &bytes) const {
        std::ofstream out(path_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return (path_ / name).string();
    }
    std::string write(const std::string &name, const std::string &text) const {
        return write(name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

private:
    std::filesystem::path path_;
};

// Recognisable sector contents for test images: every 4 bytes carry the file's tag and the
// sector's index in the file.
inline std::vector<std::uint8_t> image_bytes(std::uint8_t tag, int sectors) {
    std::vector<std::uint8_t> bytes(std::size_t(sectors) * 2352);
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::size_t sector = i / 2352;
        bytes[i] = tag;
        bytes[i + 1] = static_cast<std::uint8_t>(sector >> 8);
        bytes[i + 2] = static_cast<std::uint8_t>(sector);
        bytes[i + 3] = static_cast<std::uint8_t>(i / 4);
    }
    return bytes;
}

}  // namespace passthru_test
