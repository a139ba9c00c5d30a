// Opt-in hardware test: the audio disc in the first CD drive, through our library's sg back end.
// Exits 77 ("skipped") when there is no drive or no audio disc in it, 0 when it passed, 1 when not.
//
// 1. Reads the first 10 s of track 1 twice with READ CD, as the program does: the audio must not be
//    silence, and the second read must give the same bytes.
// 2. Runs the built cddaplay on track 1 into ALSA's file sink and presses ENTER after 10 s: the
//    program must end normally and what it played must not be silence.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "cdrom/discovery.h"
#include "cdrom/reader.h"
#include "cdrom/toc.h"
#include "tests/e2e/program_run.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSkipped = 77;
constexpr std::int32_t kTenSeconds = 750;  // sectors

int skip(const char *why) {
    std::printf("skipped: %s\n", why);
    return kSkipped;
}

int fail(const char *why) {
    std::printf("FAILED: %s\n", why);
    return 1;
}

bool silent(const std::vector<std::uint8_t> &audio) {
    return std::all_of(audio.begin(), audio.end(), [](std::uint8_t b) { return b == 0; });
}

// `count` sectors from `lba`, 10 per request; empty when a request failed.
std::vector<std::uint8_t> read_sectors(const CdromDevice &d, std::int32_t lba, std::int32_t count) {
    std::vector<std::uint8_t> audio(static_cast<std::size_t>(count) * SECTOR_BYTES);
    for (std::int32_t done = 0; done < count; done += MAX_READ_SECTORS) {
        const std::int32_t n = std::min(MAX_READ_SECTORS, count - done);
        if (!read_cdrom_sectors(d.ha_id, d.target, d.lun, audio.data() + std::size_t(done) * SECTOR_BYTES, lba + done, n))
            return {};
    }
    return audio;
}

int read_twice(const CdromDevice &d, std::int32_t start, std::int32_t sectors) {
    if (!open_cdrom_reader()) return fail("the reader could not bind the library");
    const auto first = read_sectors(d, start, sectors);
    const auto second = read_sectors(d, start, sectors);
    close_cdrom_reader();
    if (first.empty() || second.empty()) return fail("READ CD failed");
    if (silent(first)) return fail("the first 10 s of track 1 read as silence");
    if (first != second) return fail("a second read of the same sectors gave other bytes");
    std::printf("read %d sectors twice, identical, not silence\n", sectors);
    return 0;
}

int play_ten_seconds(std::int32_t sectors) {
    const fs::path dir = fs::temp_directory_path() / ("cddaplay-hardware-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path capture = dir / "out.raw";
    std::ofstream(dir / "capture.conf") << "pcm.!default { type file; slave.pcm { type null }; file \""
                                        << capture.string() << "\"; format \"raw\" }\n";
    const ProgramRun run = run_program(
        {CDDAPLAY_BIN_DIR "/cddaplay", "-d0", "-t1"},
        {{"CDDAPLAY_IMAGES", "\x01"}, {"CDDAPLAY_FAULTS", "\x01"}, {"ALSA_CONFIG_PATH", (dir / "capture.conf").string()}},
        {"now playing...", 10s}, 120s);
    std::ifstream in(capture, std::ios::binary);
    std::vector<std::uint8_t> audio{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    fs::remove_all(dir);
    std::printf("cddaplay printed:\n%s(exit status %d, %zu bytes played)\n", run.out.c_str(), run.exit_status, audio.size());
    if (run.exit_status != 0) return fail("cddaplay did not end normally");
    if (run.out.rfind("cdrom_device is 0/", 0) != 0) return fail("cddaplay did not play the first drive");
    audio.resize(std::min(audio.size(), std::size_t(sectors) * SECTOR_BYTES));
    if (audio.empty() || silent(audio)) return fail("cddaplay played silence");
    return 0;
}

}  // namespace

int main() {
    unsetenv("CDDAPLAY_IMAGES");  // the real drives only: the first drive is then unit 0
    unsetenv("CDDAPLAY_FAULTS");
    const CdromDeviceList *devices = get_cdrom_device();
    if (!devices || devices->count == 0) return skip("no CD drive");
    const CdromDevice d = devices->slots[0];
    const CdromToc *toc = get_cdrom_toc(d.ha_id, d.target, d.lun, d.ignore_target_status);
    if (!toc) return skip("no disc in the first drive");
    if (toc->track_count < 1 || !toc->entries[0].is_audio) return skip("track 1 of the disc is not audio");
    const std::int32_t start = toc->entries[0].start_lba;
    const std::int32_t sectors = std::min(kTenSeconds, toc->entries[1].start_lba - start);
    if (sectors <= 0) return fail("track 1 has no sectors");
    if (const int result = read_twice(d, start, sectors)) return result;
    return play_ten_seconds(sectors);
}
