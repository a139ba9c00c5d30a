// CUE sheets as rippers, burners and tool chains write them, played end to end from two of their
// tracks each and compared bit for bit. Every audio sector of every file carries a tag of its own
// (first sample = the tag), so a sector played in the wrong place, twice or not at all shows.
//
// Under wine64 the Windows build reads plain WAV only: sheets over FLAC or AIFF files must then be
// refused with a reason, and sheets with non-ASCII file names are left to the native run.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>

#include "tests/e2e/e2e_fixture.h"

namespace {

using namespace e2e;

constexpr int kSector = 2352;

// Tags from here on make sectors of a tone (music-like audio, which shows its byte order) rather
// than of noise.
constexpr int kToneTags = 100000;

// One sector of audio with its tag: a non-silent pattern no other tag repeats.
void tagged_sector(int tag, std::uint8_t *out) {
    std::uint32_t x = 0x9E3779B9u * static_cast<std::uint32_t>(tag) + 1;
    for (int k = 0; k < kSector / 2; ++k) {
        if (tag >= kToneTags && k > 0) {  // a 441 Hz tone at -6 dB, whole cycles per sector
            const auto v = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * (k / 2) / 100.0));
            out[2 * k] = static_cast<std::uint8_t>(v);
            out[2 * k + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8);
            continue;
        }
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::uint16_t v = k == 0 ? static_cast<std::uint16_t>(tag) : static_cast<std::uint16_t>(x | 1);
        out[2 * k] = static_cast<std::uint8_t>(v);
        out[2 * k + 1] = static_cast<std::uint8_t>(v >> 8);
    }
}

// How a file stores its sectors.
enum class Store { bin, bin_be, wav, wavex, flac, aiff, data2048, data2336, data2352 };

struct Part {
    Store store;
    int first_tag;
    int sectors;
};

struct FileSpec {
    std::string name;  // UTF-8, as on disk
    std::vector<Part> parts;
    int cut_bytes = 0;  // bytes missing at the file's end (a rip not a whole number of sectors)
    int keep_sectors = 0;  // when not 0: the file is cut after its header and this many sectors
};

// A stretch of the expected disc: sectors with consecutive tags, or silence (tag 0), or sectors no
// test plays (tag -1, a data track).
struct Piece {
    int tag;
    int sectors;
    int cut_bytes = 0;  // the last sector ends in this many zero bytes
};

enum class OnWindows { plays, refused, not_run };
enum class Encoding { utf8, utf8_bom, utf16le, utf16be, cp1252 };

struct SheetCase {
    const char *name;
    std::vector<FileSpec> files;
    Encoding encoding;
    std::string sheet;  // UTF-8 here; written in `encoding`
    std::vector<Piece> disc;
    int track_count;
    std::vector<std::pair<int, int>> plays;  // track number, its start LBA
    const char *note = "";                   // a line standard error must hold, once
    OnWindows windows = OnWindows::plays;
};

std::vector<std::uint8_t> raw_sectors(const Part &p) {
    const int stored = p.store == Store::data2048 ? 2048 : p.store == Store::data2336 ? 2336 : kSector;
    std::vector<std::uint8_t> bytes(std::size_t(p.sectors) * stored);
    std::vector<std::uint8_t> sector(kSector);
    for (int i = 0; i < p.sectors; ++i) {
        tagged_sector(p.first_tag + i, sector.data());
        std::memcpy(bytes.data() + std::size_t(i) * stored, sector.data(), std::size_t(stored));
    }
    if (p.store == Store::bin_be)
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

void put_le(std::string &out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
}

// A plain WAV as many rippers write it, with a LIST chunk of odd length (padded) before the data.
void write_wav(const fs::path &path, const std::vector<std::uint8_t> &pcm) {
    const std::string list("INFOISFT\x07\x00\x00\x00ripper\x00", 19);  // odd: padded to 20
    std::string head = "RIFF";
    put_le(head, static_cast<std::uint32_t>(4 + 24 + 8 + list.size() + 1 + 8 + pcm.size()), 4);
    head += "WAVEfmt ";
    put_le(head, 16, 4);
    put_le(head, 1, 2);
    put_le(head, 2, 2);
    put_le(head, 44100, 4);
    put_le(head, 44100 * 4, 4);
    put_le(head, 4, 2);
    put_le(head, 16, 2);
    head += "LIST";
    put_le(head, static_cast<std::uint32_t>(list.size()), 4);
    head += list + '\0';
    head += "data";
    put_le(head, static_cast<std::uint32_t>(pcm.size()), 4);
    std::ofstream f(path, std::ios::binary);
    f.write(head.data(), std::streamsize(head.size()));
    f.write(reinterpret_cast<const char *>(pcm.data()), std::streamsize(pcm.size()));
}

void write_with_sndfile(const fs::path &path, int format, const std::vector<std::uint8_t> &pcm) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format | SF_FORMAT_PCM_16;
    SNDFILE *sf = sf_open(path.string().c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    std::vector<short> samples(pcm.size() / 2);
    std::memcpy(samples.data(), pcm.data(), pcm.size());
    EXPECT_EQ(sf_writef_short(sf, samples.data(), sf_count_t(samples.size() / 2)), sf_count_t(samples.size() / 2));
    sf_close(sf);
}

void write_file(const fs::path &folder, const FileSpec &wanted) {
    std::vector<std::uint8_t> bytes;
    for (const Part &p : wanted.parts) {
        const auto part = raw_sectors(p);
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    bytes.resize(bytes.size() - std::size_t(wanted.cut_bytes));
    const fs::path path = folder / fs::path(wanted.name);  // UTF-8 bytes, as the native run wants them
    if (wanted.keep_sectors) {  // a rip cut short: its header still tells the full length
        write_file(folder, {wanted.name, wanted.parts});
        const auto header = fs::file_size(path) - bytes.size();
        return fs::resize_file(path, header + std::uintmax_t(wanted.keep_sectors) * kSector);
    }
    switch (wanted.parts.front().store) {
    case Store::wav: return write_wav(path, bytes);
    case Store::wavex: return write_with_sndfile(path, SF_FORMAT_WAVEX, bytes);
    case Store::flac: return write_with_sndfile(path, SF_FORMAT_FLAC, bytes);
    case Store::aiff: return write_with_sndfile(path, SF_FORMAT_AIFF, bytes);
    default: std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }
}

std::u32string code_points(const std::string &utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<std::uint8_t>(utf8[i]);
        const int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (int k = 1; k < n; ++k) cp = cp << 6 | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3F);
        out += cp;
        i += std::size_t(n);
    }
    return out;
}

std::string encode(const std::string &utf8, Encoding e) {
    std::string out;
    switch (e) {
    case Encoding::utf8: return utf8;
    case Encoding::utf8_bom: return "\xEF\xBB\xBF" + utf8;
    case Encoding::cp1252:
        for (char32_t cp : code_points(utf8)) out += static_cast<char>(cp);  // Latin-1 letters only
        return out;
    case Encoding::utf16le:
    case Encoding::utf16be:
        out = e == Encoding::utf16le ? "\xFF\xFE" : "\xFE\xFF";
        for (char32_t cp : code_points(utf8)) {  // the sheets stay within the BMP
            const char hi = static_cast<char>(cp >> 8), lo = static_cast<char>(cp);
            out += e == Encoding::utf16le ? std::string{lo, hi} : std::string{hi, lo};
        }
        return out;
    }
    return out;
}

std::vector<std::uint8_t> expected_audio(const std::vector<Piece> &disc, int from_lba) {
    std::vector<std::uint8_t> out;
    int lba = 0;
    for (const Piece &p : disc) {
        for (int i = 0; i < p.sectors; ++i, ++lba) {
            if (lba < from_lba) continue;
            std::vector<std::uint8_t> sector(kSector, 0);
            if (p.tag > 0) tagged_sector(p.tag + i, sector.data());
            if (i == p.sectors - 1 && p.cut_bytes) std::fill(sector.end() - p.cut_bytes, sector.end(), 0);
            out.insert(out.end(), sector.begin(), sector.end());
        }
    }
    return out;
}

std::vector<Part> one(Store s, int tag, int sectors) { return {{s, tag, sectors}}; }

// Three tracks in three files, each track's pregap at the end of the file before (the layout of
// exact-copy rippers' "gaps appended to the previous track"); the same audio in three formats.
std::string gaps_appended(const char *ext) {
    return std::string("REM COMMENT \"ExactAudioCopy v1.6\"\n") + "FILE \"01 - One." + ext + "\" WAVE\n" +
           "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:03:00\n" + "FILE \"02 - Two." +
           ext + "\" WAVE\n    INDEX 01 00:00:00\n  TRACK 03 AUDIO\n    INDEX 00 00:04:00\n" + "FILE \"03 - Three." +
           ext + "\" WAVE\n    INDEX 01 00:00:00\n";
}
std::vector<FileSpec> gaps_appended_files(Store s, const char *ext) {
    const std::string e = ext;
    return {{"01 - One." + e, one(s, 1, 300)}, {"02 - Two." + e, one(s, 1000, 375)}, {"03 - Three." + e, one(s, 2000, 300)}};
}
const std::vector<Piece> kGapsAppendedDisc = {{1, 300}, {1000, 375}, {2000, 300}};

std::vector<SheetCase> sheet_cases() {
    return {
        {"single_bin_with_index00_pregaps",
         {{"Artist - Album.bin", one(Store::bin, 1, 900)}},
         Encoding::utf8,
         "REM GENRE Pop\nREM DATE 2001\nREM DISCID 8A0B5C0C\nREM COMMENT \"ExactAudioCopy v1.6\"\n"
         "CATALOG 0724384960650\nPERFORMER \"Artist\"\nTITLE \"Album\"\nFILE \"Artist - Album.bin\" BINARY\n"
         "  TRACK 01 AUDIO\n    TITLE \"First\"\n    PERFORMER \"Artist\"\n    ISRC GBAYE0100001\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    TITLE \"Second\"\n    INDEX 00 00:03:00\n    INDEX 01 00:04:00\n"
         "  TRACK 03 AUDIO\n    TITLE \"Third\"\n    INDEX 00 00:08:00\n    INDEX 01 00:08:50\n",
         {{1, 900}},
         3,
         {{2, 300}, {3, 650}}},
        {"one_bin_per_track_with_the_gap_at_the_start_of_the_next_file",
         {{"01.bin", one(Store::bin, 1000, 300)}, {"02.bin", one(Store::bin, 2000, 375)}, {"03.bin", one(Store::bin, 3000, 300)}},
         Encoding::utf8,
         "FILE \"01.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE \"02.bin\" BINARY\n  TRACK 02 AUDIO\n"
         "    INDEX 00 00:00:00\n    INDEX 01 00:01:00\nFILE \"03.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n",
         {{1000, 300}, {2000, 375}, {3000, 300}},
         3,
         {{1, 0}, {3, 675}}},
        // The next three are the same audio: WAV and FLAC play bit-exact as the BIN does.
        {"gaps_appended_bin", gaps_appended_files(Store::bin, "bin"), Encoding::utf8,
         [] {
             std::string s = gaps_appended("bin");
             for (auto at = s.find("WAVE"); at != std::string::npos; at = s.find("WAVE")) s.replace(at, 4, "BINARY");
             return s;
         }(),
         kGapsAppendedDisc, 3, {{2, 300}, {3, 675}}},
        {"gaps_appended_wav", gaps_appended_files(Store::wav, "wav"), Encoding::utf8, gaps_appended("wav"),
         kGapsAppendedDisc, 3, {{2, 300}, {3, 675}}},
        {"gaps_appended_flac", gaps_appended_files(Store::flac, "flac"), Encoding::utf8, gaps_appended("flac"),
         kGapsAppendedDisc, 3, {{2, 300}, {3, 675}}, "", OnWindows::refused},
        {"single_flac_image_crlf",
         {{"Album.flac", one(Store::flac, 1, 900)}},
         Encoding::utf8,
         "PERFORMER \"Band\"\r\nTITLE \"Live\"\r\nFILE \"Album.flac\" WAVE\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
         "  TRACK 02 AUDIO\r\n    INDEX 00 00:03:25\r\n    INDEX 01 00:04:00\r\n  TRACK 03 AUDIO\r\n    INDEX 01 00:08:50\r\n",
         {{1, 900}},
         3,
         {{1, 0}, {3, 650}},
         "",
         OnWindows::refused},
        {"single_wave_extensible_file",
         {{"CDImage.wav", one(Store::wavex, 1, 600)}},
         Encoding::utf8,
         "FILE \"CDImage.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:05:25\n",
         {{1, 600}},
         2,
         {{1, 0}, {2, 400}}},
        {"aiff_image",
         {{"image.aiff", one(Store::aiff, 1, 500)}},
         Encoding::utf8,
         "FILE \"image.aiff\" AIFF\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:02:50\n",
         {{1, 500}},
         2,
         {{1, 0}, {2, 200}},
         "",
         OnWindows::refused},
        {"motorola_byte_order",
         {{"image.bin", one(Store::bin_be, 1, 600)}},
         Encoding::utf8,
         "FILE \"image.bin\" MOTOROLA\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n",
         {{1, 600}},
         2,
         {{1, 0}, {2, 300}}},
        {"pregap_and_postgap_silence_postgap_written_first",
         {{"a.bin", one(Store::bin, 1, 600)}},
         Encoding::utf8,
         "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
         "    POSTGAP 00:01:00\n    INDEX 01 00:03:00\n  TRACK 03 AUDIO\n    PREGAP 00:00:30\n    INDEX 01 00:06:00\n",
         {{0, 150}, {1, 450}, {0, 105}, {451, 150}},
         3,
         {{2, 375}, {3, 705}}},
        {"mixed_mode_data_track_first_in_one_bin",
         {{"game.bin", {{Store::data2352, 50000, 300}, {Store::bin, 1, 600}}}},
         Encoding::utf8,
         "FILE \"game.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    PREGAP 00:02:00\n"
         "    INDEX 01 00:04:00\n  TRACK 03 AUDIO\n    INDEX 00 00:08:00\n    INDEX 01 00:08:30\n",
         {{-1, 300}, {0, 150}, {1, 600}},
         3,
         {{2, 450}, {3, 780}}},
        {"mode1_2048_iso_with_wave_tracks",
         {{"data.iso", one(Store::data2048, 50000, 200)}, {"Track02.wav", one(Store::wav, 1, 300)},
          {"Track03.wav", one(Store::wav, 1000, 250)}},
         Encoding::utf8,
         "FILE \"data.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\nFILE \"Track02.wav\" WAVE\n"
         "  TRACK 02 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\nFILE \"Track03.wav\" WAVE\n  TRACK 03 AUDIO\n"
         "    INDEX 01 00:00:00\n",
         {{-1, 200}, {0, 150}, {1, 300}, {1000, 250}},
         3,
         {{2, 350}, {3, 650}}},
        {"mode2_2336_data_file",
         {{"vcd.bin", one(Store::data2336, 50000, 150)}, {"audio.bin", one(Store::bin, 1, 450)}},
         Encoding::utf8,
         "FILE \"vcd.bin\" BINARY\n  TRACK 01 MODE2/2336\n    INDEX 01 00:00:00\nFILE \"audio.bin\" BINARY\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n  TRACK 03 AUDIO\n    INDEX 01 00:03:00\n",
         {{-1, 150}, {1, 450}},
         3,
         {{2, 150}, {3, 375}}},
        {"mode2_2352_data_file",
         {{"track01.bin", one(Store::data2352, 50000, 100)}, {"track02.bin", one(Store::bin, 1, 200)},
          {"track03.bin", one(Store::bin, 500, 200)}},
         Encoding::utf8,
         "FILE \"track01.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\nFILE \"track02.bin\" BINARY\n"
         "  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:01:00\nFILE \"track03.bin\" BINARY\n  TRACK 03 AUDIO\n"
         "    INDEX 01 00:00:00\n",
         {{-1, 100}, {1, 200}, {500, 200}},
         3,
         {{2, 175}, {3, 300}}},
        {"utf8_with_bom_and_accented_names",
         {{"Café del Mar – 01.wav", one(Store::wav, 1, 300)}, {"Café del Mar – 02.wav", one(Store::wav, 1000, 300)}},
         Encoding::utf8_bom,
         "PERFORMER \"Café del Mar\"\nTITLE \"Volumen Uno – Édition\"\nFILE \"Café del Mar – 01.wav\" WAVE\n"
         "  TRACK 01 AUDIO\n    TITLE \"Señorita\"\n    INDEX 01 00:00:00\nFILE \"Café del Mar – 02.wav\" WAVE\n"
         "  TRACK 02 AUDIO\n    TITLE \"Größe\"\n    INDEX 01 00:00:00\n",
         {{1, 300}, {1000, 300}},
         2,
         {{1, 0}, {2, 300}},
         "",
         OnWindows::not_run},
        {"utf16_little_endian_crlf",
         {{"track 1.wav", one(Store::wav, 1, 300)}, {"track 2.wav", one(Store::wav, 1000, 300)}},
         Encoding::utf16le,
         "PERFORMER \"Motörhead\"\r\nTITLE \"Überall\"\r\nFILE \"track 1.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"
         "    INDEX 01 00:00:00\r\nFILE \"track 2.wav\" WAVE\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n",
         {{1, 300}, {1000, 300}},
         2,
         {{1, 0}, {2, 300}}},
        {"utf16_big_endian",
         {{"disc.bin", one(Store::bin, 1, 600)}},
         Encoding::utf16be,
         "TITLE \"Ünïcödé\"\nFILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
         "    INDEX 00 00:02:00\n    INDEX 01 00:03:00\n",
         {{1, 600}},
         2,
         {{1, 0}, {2, 225}}},
        {"windows_1252_name_bytes",
         {{"Résumé.bin", one(Store::bin, 1, 400)}},
         Encoding::cp1252,
         "TITLE \"Résumé\"\nFILE \"Résumé.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
         "    INDEX 01 00:02:00\n",
         {{1, 400}},
         2,
         {{1, 0}, {2, 150}},
         "",
         OnWindows::not_run},
        {"unquoted_names_with_spaces_lower_case_tabs_blank_lines",
         {{"My Album Side A.bin", one(Store::bin, 1, 300)}, {"My Album Side B.bin", one(Store::bin, 1000, 300)}},
         Encoding::utf8,
         "\r\nfile My Album Side A.bin binary\r\n\ttrack 01 audio\r\n\t\tindex 01 00:00:00\r\n\r\n\ttrack 02 audio\r\n"
         "\t\tindex 01 00:02:00\r\nfile My Album Side B.bin binary\r\n\ttrack 03 audio\r\n\t\tindex 01 00:00:00\r\n\r\n",
         {{1, 300}, {1000, 300}},
         3,
         {{2, 150}, {3, 300}}},
        {"names_in_another_letter_case",
         {{"Track01.wav", one(Store::wav, 1, 300)}, {"Track02.wav", one(Store::wav, 1000, 300)}},
         Encoding::utf8,
         "FILE \"TRACK01.WAV\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE \"TRACK02.WAV\" WAVE\n  TRACK 02 AUDIO\n"
         "    INDEX 01 00:00:00\n",
         {{1, 300}, {1000, 300}},
         2,
         {{1, 0}, {2, 300}},
         "line 1: 'TRACK01.WAV' is not there; using 'Track01.wav' (other letter case)",
         OnWindows::not_run},
        {"wav_sheet_over_files_reencoded_to_flac",
         {{"01.flac", one(Store::flac, 1, 300)}, {"02.flac", one(Store::flac, 1000, 300)}},
         Encoding::utf8,
         "FILE \"01.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE \"02.wav\" WAVE\n  TRACK 02 AUDIO\n"
         "    INDEX 01 00:00:00\n",
         {{1, 300}, {1000, 300}},
         2,
         {{1, 0}, {2, 300}},
         "line 4: '02.wav' is not there; using '02.flac' (same name, other audio format)",
         OnWindows::refused},
        {"bin_not_a_whole_number_of_sectors",
         {{"rip.bin", one(Store::bin, 1, 500), 1000}},
         Encoding::utf8,
         "FILE \"rip.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:03:25\n",
         {{1, 500, 1000}},
         2,
         {{1, 0}, {2, 250}},
         "line 1: 'rip.bin' ends 1352 bytes into a 2352-byte sector; the rest of that sector is silence"},
        {"cdtext_file_flags_songwriter_and_unknown_rem",
         {{"disc.bin", one(Store::bin, 1, 450)}},
         Encoding::utf8,
         "REM REPLAYGAIN_ALBUM_GAIN -7.89 dB\nREM SOMETHING_NEW whatever\nCDTEXTFILE \"disc.cdt\"\nSONGWRITER \"Writer\"\n"
         "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    FLAGS DCP PRE\n    SONGWRITER \"Someone\"\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    FLAGS 4CH\n    REM REPLAYGAIN_TRACK_GAIN -6.10 dB\n    INDEX 01 00:02:00\n",
         {{1, 450}},
         2,
         {{1, 0}, {2, 150}}},
        // Audio files typed BINARY in a sheet: read as the audio files they are, never as noise.
        {"wav_typed_binary",
         {{"rip.wav", one(Store::wav, 1, 600)}},
         Encoding::utf8,
         "FILE \"rip.wav\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n",
         {{1, 600}},
         2,
         {{1, 0}, {2, 300}},
         "line 1: 'rip.wav' is typed BINARY but is a WAV file; it is read as one (type it WAVE in the sheet)"},
        {"flac_typed_motorola",
         {{"rip.flac", one(Store::flac, 1, 450)}},
         Encoding::utf8,
         "FILE \"rip.flac\" MOTOROLA\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n",
         {{1, 450}},
         2,
         {{2, 150}},
         "line 1: 'rip.flac' is typed MOTOROLA but is a FLAC file; it is read as one (type it WAVE in the sheet)",
         OnWindows::refused},
        // Big-endian audio typed BINARY (as toc2cue writes cdrdao's images): read swapped.
        {"byte_swapped_binary",
         {{"cdrdao.bin", one(Store::bin_be, kToneTags + 1, 600)}},
         Encoding::utf8,
         "FILE \"cdrdao.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n",
         {{kToneTags + 1, 600}},
         2,
         {{1, 0}, {2, 300}},
         "cdrdao.bin' holds byte-swapped (big-endian) audio though it is typed BINARY; it is read swapped (type it "
         "MOTOROLA in the sheet)"},
        // A WAV cut short in its second track: the first two play, the third is silence.
        {"truncated_wav",
         {{"cut.wav", one(Store::wav, 1, 900), 0, 500}},
         Encoding::utf8,
         "FILE \"cut.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n"
         "  TRACK 03 AUDIO\n    INDEX 01 00:08:00\n",
         {{1, 500}, {0, 400}},
         3,
         {{2, 300}, {3, 600}},
         "line 1: 'cut.wav' ends at 00:06:50, before its INDEX at 00:08:00; the rest of it plays as silence"},
        {"hidden_track_before_index01_of_track_one",
         {{"htoa.bin", one(Store::bin, 1, 900)}},
         Encoding::utf8,
         "FILE \"htoa.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:04:00\n  TRACK 02 AUDIO\n"
         "    INDEX 01 00:08:00\n",
         {{1, 900}},
         2,
         {{1, 300}, {2, 600}}},
    };
}

class Sheets : public Cddaplay {
protected:
    // Plays the cases [first, last) of the table; three parts keep each test well within its time
    // under wine64, where every run of the program costs seconds.
    void play_cases(std::size_t first, std::size_t last);
};

TEST_F(Sheets, RealWorldSheetsPlayBitExactFromTwoTracksEachPart1) {
    ASSERT_GE(sheet_cases().size(), 20u);
    play_cases(0, 8);
}

TEST_F(Sheets, RealWorldSheetsPlayBitExactFromTwoTracksEachPart2) { play_cases(8, 16); }

TEST_F(Sheets, RealWorldSheetsPlayBitExactFromTwoTracksEachPart3) { play_cases(16, sheet_cases().size()); }

void Sheets::play_cases(std::size_t first, std::size_t last) {
    const auto cases = sheet_cases();
    for (std::size_t i = first; i < last; ++i) {
        const SheetCase &c = cases[i];
        SCOPED_TRACE(c.name);
        if (under_wine() && c.windows == OnWindows::not_run) continue;
        const fs::path folder = dir / c.name;
        fs::create_directories(folder);
        for (const FileSpec &f : c.files) write_file(folder, f);
        std::ofstream(folder / "disc.cdt", std::ios::binary) << std::string(36, '\x8F');
        const std::string sheet = encode(c.sheet, c.encoding);
        std::ofstream(folder / "disc.cue", std::ios::binary).write(sheet.data(), std::streamsize(sheet.size()));
        env["CDDAPLAY_IMAGES"] = (folder / "disc.cue").string();

        if (under_wine() && c.windows == OnWindows::refused) {
            ProgramRun r = run({});
            EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
            EXPECT_NE(r.err.find("not a plain WAV file"), std::string::npos) << r.err;
            continue;
        }
        for (const auto &[track, start] : c.plays) {
            SCOPED_TRACE("from track " + std::to_string(track));
            fs::remove(capture);
            ProgramRun r = run({"-t" + std::to_string(track)});
            EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart " + std::to_string(track) + "/" +
                                     std::to_string(c.track_count) + " cdrom_track.\nnow playing...\nFinished.\n"));
            EXPECT_EQ(r.exit_status, 0);
            expect_audio(expected_audio(c.disc, start));
            if (*c.note && !under_wine()) {
                const auto at = r.err.find(c.note);
                EXPECT_NE(at, std::string::npos) << r.err;
                EXPECT_EQ(at, r.err.rfind(c.note)) << "said once in a run, though the library is loaded three times";
            }
        }
    }
}

// A FLAC cut short at 80 % still says in its header how long it was: a track that starts before
// the cut plays every sample the file holds (a seek that fails must not silence it) and silence
// after, and one line says where the file ends.
TEST_F(Sheets, AFlacCutShortPlaysEverySampleItHoldsFromAnyTrack) {
    if (under_wine()) GTEST_SKIP() << "this build reads plain WAV only";
    write_file(dir, {"cut.flac", one(Store::flac, 1, 900)});
    fs::resize_file(dir / "cut.flac", fs::file_size(dir / "cut.flac") * 8 / 10);
    std::ofstream(dir / "cut.cue") << "FILE \"cut.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                      "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n  TRACK 03 AUDIO\n    INDEX 01 00:08:00\n";
    env["CDDAPLAY_IMAGES"] = (dir / "cut.cue").string();
    std::optional<std::size_t> ends[2];
    for (int i = 0; i < 2; ++i) {
        const int track = 2 + i, start = 300 * (1 + i);
        fs::remove(capture);
        ProgramRun r = run({"-t" + std::to_string(track)});
        EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart " + std::to_string(track) +
                                 "/3 cdrom_track.\nnow playing...\nFinished.\n"));
        ends[i] = heard(expected_audio({{1, 900}}, start));
        ASSERT_TRUE(ends[i].has_value()) << "the file's audio, then silence only";
        *ends[i] += std::size_t(start) * kSector;
        const std::string said = "cut.flac' ends at ";
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(said), r.err.rfind(said)) << "said once";
    }
    EXPECT_EQ(ends[0], ends[1]) << "the same samples, whichever track playing starts from";
    EXPECT_GT(*ends[1], std::size_t(680) * kSector) << "all but the last, broken block of the file";
    EXPECT_LE(*ends[1], std::size_t(720) * kSector);
}

// ---- A FLAC image that carries its own sheet, named directly as the entry ----

std::string be(std::uint64_t v, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
    return out;
}

// A CUESHEET metadata block: tracks as (number, first sector, {index number, sectors after it}).
std::string cuesheet_block(const std::vector<std::pair<int, std::vector<std::pair<int, int>>>> &tracks, int starts[],
                           int lead_out) {
    std::string body(128, '\0');
    body += be(88200, 8) + '\x80' + std::string(258, '\0') + static_cast<char>(tracks.size() + 1);
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        body += be(std::uint64_t(starts[t]) * 588, 8) + static_cast<char>(tracks[t].first) + std::string(26, '\0') +
                static_cast<char>(tracks[t].second.size());
        for (const auto &[number, offset] : tracks[t].second)
            body += be(std::uint64_t(offset) * 588, 8) + static_cast<char>(number) + std::string(3, '\0');
    }
    body += be(std::uint64_t(lead_out) * 588, 8) + '\xAA' + std::string(27, '\0');
    return body;
}

std::string vorbis_comments(const std::vector<std::string> &entries) {
    std::string body;
    put_le(body, 4, 4);
    body += "test";
    put_le(body, static_cast<std::uint32_t>(entries.size()), 4);
    for (const std::string &e : entries) {
        put_le(body, static_cast<std::uint32_t>(e.size()), 4);
        body += e;
    }
    return body;
}

// Puts metadata blocks (type, body) right after the FLAC file's STREAMINFO block.
void add_flac_blocks(const fs::path &path, const std::vector<std::pair<int, std::string>> &blocks) {
    std::ifstream in(path, std::ios::binary);
    std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    ASSERT_EQ(file.substr(0, 4), "fLaC");
    const bool streaminfo_last = (file[4] & 0x80) != 0;
    file[4] = static_cast<char>(file[4] & 0x7F);
    std::string added;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const bool last = streaminfo_last && i + 1 == blocks.size();
        added += static_cast<char>(blocks[i].first | (last ? 0x80 : 0)) + be(blocks[i].second.size(), 3) + blocks[i].second;
    }
    file.insert(8 + 34, added);  // "fLaC", STREAMINFO's header and its 34 bytes
    std::ofstream(path, std::ios::binary).write(file.data(), std::streamsize(file.size()));
}

TEST_F(Sheets, AFlacWithItsOwnSheetPlaysAsADiscBitExact) {
    if (under_wine()) GTEST_SKIP() << "this build reads plain WAV only";
    int starts[] = {0, 250, 600};
    const std::string block = cuesheet_block({{1, {{1, 0}}}, {2, {{0, 0}, {1, 50}}}, {3, {{1, 0}}}}, starts, 900);
    const std::string tag_sheet = "CUESHEET=TITLE \"From the tag\"\nFILE \"Album.wav\" WAVE\n  TRACK 01 AUDIO\n"
                                  "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n";
    struct Image {
        const char *name;
        std::vector<std::pair<int, std::string>> blocks;
        std::vector<std::pair<int, int>> plays;  // track, its start LBA
        int tracks;
    };
    const Image images[] = {
        {"block.flac", {{4, vorbis_comments({"ALBUM=Caf\xC3\xA9", "ARTIST=Band"})}, {5, block}}, {{2, 300}, {3, 600}}, 3},
        {"tag.flac", {{4, vorbis_comments({"TITLE=Album", tag_sheet})}, {5, block}}, {{2, 150}}, 2},
    };
    for (const Image &image : images) {
        SCOPED_TRACE(image.name);
        write_file(dir, {image.name, one(Store::flac, 1, 900)});
        add_flac_blocks(dir / image.name, image.blocks);
        env["CDDAPLAY_IMAGES"] = (dir / image.name).string();
        for (const auto &[track, start] : image.plays) {
            fs::remove(capture);
            ProgramRun r = run({"-t" + std::to_string(track)});
            EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart " + std::to_string(track) + "/" +
                                     std::to_string(image.tracks) + " cdrom_track.\nnow playing...\nFinished.\n"))
                << r.err;
            expect_audio(expected_audio({{1, 900}}, start));
        }
    }
}

// cdrdao's own table of contents: raw big-endian audio in one file with lengths, a PREGAP of
// silence, a START inside the file, and a little-endian (SWAP) file of its own.
TEST_F(Sheets, ACdrdaoTocPlaysAsADiscBitExact) {
    write_file(dir, {"image.bin", one(Store::bin_be, 1, 900)});
    write_file(dir, {"le.bin", one(Store::bin, 5000, 300)});
    std::ofstream(dir / "album.toc") << "CD_DA\n\nCD_TEXT {\n  LANGUAGE_MAP {\n    0 : EN\n  }\n  LANGUAGE 0 {\n"
                                        "    TITLE \"Caf\\351\"\n    PERFORMER \"Band\"\n  }\n}\n\n"
                                        "// Track 1\nTRACK AUDIO\nNO COPY\nNO PRE_EMPHASIS\nTWO_CHANNEL_AUDIO\n"
                                        "CD_TEXT {\n  LANGUAGE 0 {\n    TITLE \"One\"\n  }\n}\n"
                                        "AUDIOFILE \"image.bin\" 0 0:4:0\n\nTRACK AUDIO\nPREGAP 0:1:0\n"
                                        "AUDIOFILE \"image.bin\" 0:4:0 0:4:0\n\nTRACK AUDIO\nISRC \"GBAYE0100001\"\n"
                                        "FILE \"image.bin\" 0:8:0\nSTART 0:0:50\n\nTRACK AUDIO\nSWAP\n"
                                        "AUDIOFILE \"le.bin\" 0\n";
    env["CDDAPLAY_IMAGES"] = (dir / "album.toc").string();
    for (const auto &[track, start] : {std::pair{2, 375}, std::pair{3, 725}, std::pair{4, 975}}) {
        SCOPED_TRACE("from track " + std::to_string(track));
        fs::remove(capture);
        ProgramRun r = run({"-t" + std::to_string(track)});
        EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart " + std::to_string(track) +
                                 "/4 cdrom_track.\nnow playing...\nFinished.\n"))
            << r.err;
        expect_audio(expected_audio({{1, 300}, {0, 75}, {301, 600}, {5000, 300}}, start));
    }
}

TEST_F(Sheets, ARefusedEntryKeepsItsUnitNumber) {
    fs::create_directories(dir / "good");
    write_file(dir / "good", {"good.bin", one(Store::bin, 1, 300)});
    std::ofstream(dir / "good" / "good.cue") << "FILE \"good.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n";
    std::ofstream(dir / "broken.cue") << "FILE \"good/good.bin\" BINARY\n  TRACK 01 AUDIO\n  TRACK 02 AUDIO\n";
    env["CDDAPLAY_IMAGES"] = (dir / "broken.cue").string() + ";" + (dir / "good" / "good.cue").string();

    ProgramRun second = run({"-d1"});
    EXPECT_EQ(second.out, printed("cdrom_device is 1/2 now.\nstart 1/2 cdrom_track.\nnow playing...\nFinished.\n"));
    EXPECT_EQ(second.exit_status, 0);
    expect_audio(expected_audio({{1, 300}}, 0));
    const std::string reason = "broken.cue', line 3: INDEX 01 of track 1 is missing (expected before TRACK 02)";
    EXPECT_NE(second.err.find(reason), std::string::npos) << second.err;
    EXPECT_EQ(second.err.find(reason), second.err.rfind(reason)) << "said once per run";

    ProgramRun first = run({"-d0"});
    EXPECT_EQ(first.out, printed("cdrom_device is 0/2 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(first.exit_status, 1);
    EXPECT_NE(first.err.find("unit 0 is an empty drive"), std::string::npos) << first.err;
}

TEST_F(Sheets, AFifoAFolderOrAnUnreadableFileInPlaceOfTheBinIsRefusedAtOnce) {
    if (under_wine()) GTEST_SKIP() << "POSIX file kinds";
    const std::string sheet = "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    struct Kind {
        const char *name;
        const char *reason;
    };
    for (const Kind &k : {Kind{"fifo", "it is a FIFO (named pipe), not a file"}, Kind{"folder", "it is a folder, not a file"},
                          Kind{"loop", "Too many levels of symbolic links"}, Kind{"unreadable", "Permission denied"}}) {
        SCOPED_TRACE(k.name);
        const fs::path folder = dir / k.name;
        fs::create_directories(folder);
        std::ofstream(folder / "disc.cue") << sheet;
        const fs::path bin = folder / "disc.bin";
        if (std::string(k.name) == "fifo") {
            ASSERT_EQ(mkfifo(bin.c_str(), 0600), 0);
        }
        if (std::string(k.name) == "folder") fs::create_directory(bin);
        if (std::string(k.name) == "loop") fs::create_symlink("disc.bin", bin);  // unreadable, even for root
        if (std::string(k.name) == "unreadable") {
            if (geteuid() == 0) continue;  // root reads it anyway
            write_file(folder, {"disc.bin", one(Store::bin, 1, 75)});
            fs::permissions(bin, fs::perms::none);
        }
        env["CDDAPLAY_IMAGES"] = (folder / "disc.cue").string();
        ProgramRun r = run({});
        EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.err.find("line 1: cannot use 'disc.bin': " + std::string(k.reason)), std::string::npos) << r.err;
    }
}

}  // namespace
