#pragma once
// Every line the pass-through library writes to standard error, in one place, each exactly as it is
// printed. A line is `prefix`, its text and a line end; the texts of a sheet name the sheet first,
// and a sheet's notes their line in it. The program prints its own lines (common/messages.h).

#include <cstdint>
#include <string>
#include <string_view>

namespace passthru::msg {

inline constexpr char prefix[] = "wnaspi32: ";

// A whole line: the prefix, `text` and the line end.
inline std::string line(std::string_view text) { return prefix + std::string(text) + "\n"; }

// Fault settings (CDDAPLAY_FAULTS), read once per load
inline std::string fault_ignored(std::string_view item) {
    return "CDDAPLAY_FAULTS: ignoring '" + std::string(item) + "'";
}

// Images (CDDAPLAY_IMAGES), as they are loaded; an image that does not load leaves an empty drive
inline constexpr char too_many_units[] = "CDDAPLAY_IMAGES: only the first 15 units are served";

inline std::string empty_drive(std::size_t unit) { return "; unit " + std::to_string(unit) + " is an empty drive"; }

inline std::string sheet_unreadable(const std::string &sheet, const std::string &why) {
    return "cannot read the CUE sheet '" + sheet + "': " + why;
}

// What a sheet's reader said of it (`what` begins with its line where it has one).
inline std::string sheet_says(const std::string &sheet, const std::string &what) { return "'" + sheet + "', " + what; }

// Why a FLAC file with an embedded sheet cannot be played.
inline std::string embedded_sheet_refused(const std::string &file, const std::string &why) {
    return "'" + file + "': " + why;
}

// A sheet's faults and notes, each after "line N: " where it has a line
inline std::string at_line(int line, const std::string &what) { return "line " + std::to_string(line) + ": " + what; }
inline std::string track_name(int number) { return "track " + std::to_string(number); }
inline constexpr char quote_not_closed[] = "a quote (\") is not closed";

// A CUE sheet's
inline std::string cue_unknown_keyword(const std::string &key) {
    return "unknown keyword '" + key +
           "' (expected FILE, TRACK, INDEX, PREGAP, POSTGAP, FLAGS, TITLE, PERFORMER, SONGWRITER, ISRC, "
           "CATALOG, CDTEXTFILE or REM)";
}
inline constexpr char cue_no_file[] = "no FILE line: a sheet names at least one image file";
inline constexpr char cue_no_track[] = "no TRACK line";
inline constexpr char cue_sheet_end[] = "the end of the sheet";
inline std::string cue_track_line(const std::string &word) { return "TRACK " + word; }
inline std::string cue_file_without_track(const std::string &name) {
    return "FILE '" + name + "' has no TRACK or INDEX after it (expected a TRACK line)";
}
inline std::string cue_index_01_missing(int track, const std::string &where, int index_00_line) {
    return "INDEX 01 of " + track_name(track) + " is missing (expected before " + where +
           (index_00_line > 0 ? "; its INDEX 00 is on line " + std::to_string(index_00_line) + ")" : ")");
}
inline constexpr char cue_file_needs[] = "FILE needs a name and a type, as in FILE \"album.bin\" BINARY";
inline std::string cue_file_type(const std::string &type) {
    return "unsupported file type '" + type + "' (expected BINARY, MOTOROLA or WAVE)";
}
inline constexpr char cue_track_before_file[] = "TRACK before FILE (expected a FILE line first)";
inline constexpr char cue_track_needs[] = "TRACK needs a number and a type, as in TRACK 01 AUDIO";
inline std::string cue_bad_track_number(const std::string &word) {
    return "bad track number '" + word + "' (expected 01 to 99)";
}
inline std::string cue_track_order(int number, int after) {
    return track_name(number) + " out of order after " + track_name(after) + " (expected TRACK " +
           std::to_string(after + 1) + ")";
}
inline std::string cue_track_type(const std::string &type) {
    return "unsupported track type '" + type + "' (expected AUDIO, MODE1/2352, MODE1/2048, MODE2/2352 or MODE2/2336)";
}
inline constexpr char cue_session_needs[] = "REM SESSION needs a session number from 01 to 99";
inline std::string cue_session_backwards(const std::string &word) { return "REM SESSION " + word + " goes backwards"; }
inline constexpr char cue_index_outside[] = "INDEX outside a TRACK (expected a TRACK line first)";
inline constexpr char cue_index_needs[] = "INDEX needs a number and a time, as in INDEX 01 00:00:00";
inline std::string cue_bad_index_number(const std::string &word) {
    return "bad index number '" + word + "' (expected 00 to 99)";
}
inline std::string cue_index_order(const std::string &word, int track) {
    return "INDEX " + word + " out of order in " + track_name(track);
}
inline std::string cue_index_before_01(const std::string &word) { return "INDEX " + word + " before INDEX 01"; }
inline std::string cue_bad_time(const std::string &word) {
    return "bad time '" + word + "' (expected mm:ss:ff, ss below 60, ff below 75)";
}
inline std::string cue_index_backwards(const std::string &word, const std::string &from) {
    return "INDEX " + word + " goes backwards (expected " + from + " or later in this FILE)";
}
inline std::string cue_data_in_wave(int track, const std::string &mode) {
    return track_name(track) + " is " + mode + " data, but a WAVE file holds audio only";
}
inline std::string cue_sector_size_mix(const std::string &file, int sector_bytes, int track, const std::string &mode) {
    return "FILE '" + file + "' holds " + std::to_string(sector_bytes) + "-byte sectors; " + track_name(track) + " (" +
           mode + ") needs a FILE of its own";
}
inline std::string cue_gap_outside(const std::string &gap) {
    return gap + " outside a TRACK (expected a TRACK line first)";
}
inline std::string cue_gap_needs(const std::string &gap) { return gap + " needs a time, as in " + gap + " 00:02:00"; }
inline constexpr char cue_pregap_after_index[] = "PREGAP after INDEX (expected it before the track's first INDEX)";
inline std::string cue_gap_twice(const std::string &gap, int track) { return gap + " given twice for " + track_name(track); }
inline constexpr char cue_flags_outside[] = "FLAGS outside a TRACK (expected a TRACK line first)";
inline std::string cue_unknown_flag(const std::string &flag) {
    return "unknown flag '" + flag + "' (expected DCP, 4CH, PRE or SCMS)";
}
inline constexpr char cue_cdtextfile_needs[] = "CDTEXTFILE needs a file name";
inline std::string cue_cdtext_unused(const std::string &name, const std::string &why) {
    return "CD-Text file '" + name + "' not used: " + (why.empty() ? "not found" : why);
}
inline std::string cue_cannot_use(const std::string &name, const std::string &why) {
    return "cannot use '" + name + "': " + (why.empty() ? "not found" : why);
}
inline std::string cue_file_empty(const std::string &name, bool audio) {
    return "'" + name + "' holds no " + (audio ? "audio" : "data");
}
inline std::string cue_file_too_long(const std::string &name) {
    return "'" + name + "' is too long for a CD (over 99:59:74)";
}
inline std::string cue_partial_sector(const std::string &name, std::uint64_t bytes_in, std::uint64_t sector_bytes) {
    return "'" + name + "' ends " + std::to_string(bytes_in) + " bytes into a " + std::to_string(sector_bytes) +
           "-byte sector; the rest of that sector is silence";
}
inline std::string cue_track_empty_before(int track, int next) {
    return track_name(track) + " is empty (" + track_name(next) + " starts where it starts)";
}
inline constexpr char cue_disc_too_long[] = "the disc is too long for a CD (over 99:59:74)";
inline std::string cue_last_track_empty(int track) { return track_name(track) + " is empty (nothing after its INDEX 01)"; }

// A cdrdao table of contents' faults, each after "line N: " where it has a line
inline constexpr char toc_empty[] = "the file is empty";
inline constexpr char toc_no_track[] = "no TRACK";
inline std::string toc_before_first_track(const std::string &word) {
    return "'" + word + "' before the first TRACK (expected CD_DA, CATALOG, CD_TEXT or TRACK)";
}
inline constexpr char toc_no_what[] = "NO before what (expected COPY or PRE_EMPHASIS)";
inline constexpr char toc_index_needs[] = "INDEX needs a time (m:s:f)";
inline std::string toc_unknown_word(const std::string &word) { return "unknown word '" + word + "'"; }
inline constexpr char toc_track_needs[] = "TRACK needs a mode, as in TRACK AUDIO";
inline std::string toc_track_mode(const std::string &mode) {
    return "unsupported track mode '" + mode + "' (expected AUDIO, MODE1, MODE1_RAW, MODE2 or MODE2_RAW)";
}
inline constexpr char toc_too_many_tracks[] = "more than 99 tracks";
inline std::string toc_needs_length(const std::string &word) { return word + " needs a length (m:s:f)"; }
inline std::string toc_needs_file(const std::string &word) { return word + " needs a file name in quotes"; }
inline constexpr char toc_second_file[] = "a second file in one track (expected one per track)";
inline constexpr char toc_no_file_name[] = "no file name (standard input cannot be played)";
inline std::string toc_needs_start(const std::string &word) {
    return word + " needs a start, as in AUDIOFILE \"a.wav\" 0";
}
inline std::string toc_bad_start(const std::string &word) {
    return "bad start '" + word + "' (expected m:s:f, samples or #bytes)";
}
inline std::string toc_file_skipped(const std::string &file, const std::string &at, const std::string &expected) {
    return "'" + file + "' at " + at + " does not follow on from the track before (at " + expected +
           "); a CUE sheet cannot skip part of a file";
}
inline constexpr char toc_cd_text_needs[] = "CD_TEXT needs a block { ... }";
inline std::string toc_cd_text_unknown(const std::string &word) {
    return "unknown word '" + word + "' in CD_TEXT (expected LANGUAGE_MAP or LANGUAGE)";
}
inline constexpr char toc_cd_text_open[] = "a CD_TEXT block is not closed";
inline constexpr char toc_language_needs[] = "LANGUAGE needs a block { ... }";
inline constexpr char toc_language_open[] = "a LANGUAGE block is not closed";
inline constexpr char toc_value_missing[] = "a value is missing at the end";
inline constexpr char toc_block_open[] = "a block { ... } is not closed";
inline std::string toc_track_without_file(int number) {
    return "track " + std::to_string(number) + " has no file data (expected AUDIOFILE or DATAFILE)";
}

// A file cut short: the INDEX lines after its end keep their places as silence.
inline std::string file_ends_before_index(const std::string &name, const std::string &ends, const std::string &index) {
    return "'" + name + "' ends at " + ends + ", before its INDEX at " + index + "; the rest of it plays as silence";
}

// A file typed BINARY or MOTOROLA that begins with an audio file's header.
inline std::string audio_file_typed_raw(const std::string &name, const char *typed, const char *kind) {
    return "'" + name + "' is typed " + typed + " but is a " + kind + " file; it is read as one (type it WAVE in the sheet)";
}

// A BINARY file whose samples are stored most significant byte first.
inline std::string byte_swapped(const std::string &name) {
    return "'" + name + "' holds byte-swapped (big-endian) audio though it is typed BINARY; it is read swapped "
           "(type it MOTOROLA in the sheet)";
}

// Why a file a sheet names cannot be read as an image file (the reason in the lines above)
inline std::string no_such_file_in(const std::string &folder) { return "no such file in " + folder; }
inline std::string file_too_large(std::uint64_t limit) {
    return "it is larger than " + std::to_string(limit) + " bytes";
}
inline constexpr char not_cdtext_packs[] = "it is not a series of 18-byte CD-Text packs";
inline constexpr char kind_folder[] = "a folder";
inline constexpr char kind_fifo[] = "a FIFO (named pipe)";
inline constexpr char kind_device[] = "a device";
inline constexpr char kind_socket[] = "a socket";
inline constexpr char kind_other[] = "something other than a file";
inline std::string not_a_file(const char *kind) { return "it is " + std::string(kind) + ", not a file"; }
inline constexpr char not_a_regular_file[] = "it is not a regular file";

// Why an audio file cannot be played (the reason in the lines above)
inline std::string not_cd_audio(const std::string &format, int rate, int channels, const std::string &samples) {
    return "it is " + format + ", " + std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s), " +
           samples + "; a CD holds 44100 Hz, 2 channels, 16-bit";
}
inline std::string wav_not_cd_audio(bool pcm, unsigned rate, unsigned channels, unsigned bits) {
    return "it is " + std::string(pcm ? "PCM" : "compressed") + " WAV, " + std::to_string(rate) + " Hz, " +
           std::to_string(channels) + " channel(s), " + std::to_string(bits) +
           "-bit; a CD holds PCM, 44100 Hz, 2 channels, 16-bit";
}
inline std::string sndfile_missing(const char *library) {
    return "audio files are read with libsndfile (" + std::string(library) +
           "), which is not installed; install it (Debian: libsndfile1) or use a BIN image";
}
inline std::string not_audio_read(const char *decoder_says) {
    return "not an audio file this build reads (" + std::string(decoder_says) + ")";
}
inline std::string cannot_decode_again(const char *decoder_says) {
    return "cannot decode it again (" + std::string(decoder_says) + ")";
}
inline constexpr char not_seekable[] = "it cannot be read at a chosen position";
inline constexpr char not_plain_wav[] = "not a plain WAV file (this build reads no other audio files)";
inline constexpr char wav_format_too_short[] = "its format chunk is too short";
inline constexpr char wav_format_cut_short[] = "its format chunk is cut short";
inline constexpr char wav_samples_before_format[] = "its samples come before their format";
inline constexpr char wav_no_samples[] = "no samples (data chunk) near its start";
inline constexpr char wav_no_format[] = "no format chunk near its start";
inline constexpr char flac_cuesheet_cut_short[] = "its CUESHEET block is cut short";
inline constexpr char flac_cuesheet_no_track[] = "its CUESHEET block lists no track";
inline constexpr char flac_no_sheet[] =
    "it holds no cue sheet (no CUESHEET block or tag); name a .cue sheet for it instead";

// While playing: once per file
inline std::string audio_ends_early(const std::string &path, const std::string &ends, const std::string &stated) {
    return "'" + path + "' ends at " + ends + " though its header says " + stated + "; the rest of it plays as silence";
}

inline constexpr char file_not_open[] = "not open";
inline constexpr char file_shrunk[] = "the file is shorter than when it was loaded";

inline std::string file_unreadable(const std::string &path, const std::string &reason) {
    return "cannot read '" + path + "': " + reason + "; the virtual drive answers with a read error there";
}

// Real drives (sg, spti)
// Each line goes to standard error after this prefix (real_drive/frame.h's report).
inline constexpr char real_drive_prefix[] = "cddaplay: ";
inline std::string cannot_open(const std::string &name, const std::string &why) {
    return "cannot open " + name + ": " + why;
}
inline std::string no_free_slot(const std::string &name) {
    return name + ": no free target/LUN on its adapter; left out";
}
// CDDAPLAY_DESCRIBE=1: one line per unit; `unit` is the back end's own "NAME VENDOR MODEL (...)".
inline std::string unit_line(int adapter, int target, int lun, const std::string &unit) {
    return "adapter " + std::to_string(adapter) + " target " + std::to_string(target) + " lun " + std::to_string(lun) +
           ": " + unit;
}
inline std::string vendor_and_model(const std::string &vendor, const std::string &model) {
    return vendor.empty() && model.empty() ? "(vendor and model unknown)" : vendor + " " + model;
}
// sg
inline constexpr char sg_ask_group[] = " (is the user in group cdrom?)";
inline std::string sg_no_permission(const std::string &nodes, const std::string &group) {
    const std::string join = group.empty() ? "the group that owns them" : "group " + group;
    return "no permission to open " + nodes + ": ask for the user to be added to " + join + ", then log in again";
}
inline std::string sg_no_address(const std::string &node) {
    return node + ": the kernel does not tell its SCSI address; left out";
}
inline std::string sg_place(int host, int channel, int target, int lun) {
    return "(scsi " + std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
           std::to_string(lun) + ")";
}
inline constexpr char sg_open_read_write[] = "open for reading and writing";
inline constexpr char sg_open_read_only[] = "open for reading only (the drive takes no reading speed)";
inline std::string sg_adapter_name(int host, int channel) {
    return "sg scsi" + std::to_string(host) + ":" + std::to_string(channel);
}
// spti
inline constexpr char spti_no_query_event[] =
    "no event for the drive queries (Windows is out of resources); real drives left out";
inline std::string spti_no_event(const std::string &name) {
    return name + ": no event for its commands (Windows is out of resources); left out";
}
inline std::string spti_read_only(const std::string &name) {
    return name + " is open for reading only: Windows denies writing to it (a policy such as \"CD and DVD: Deny "
                  "write access\", or an account without the right); it plays through the CD-ROM driver's own "
                  "requests instead of the SCSI pass-through";
}
inline std::string spti_cannot_open_now(const std::string &name, const std::string &why) {
    return "cannot open " + name + " now: " + why + "; cddaplay tries again at each command";
}
inline std::string spti_busy(const std::string &name) {
    return name + " is busy: another program (a burning or ripping tool?) has it to itself; its commands fail until "
                  "that program lets go of it";
}
inline constexpr char spti_access_denied[] = "access denied (another program may have the drive to itself, or Windows "
                                             "allows this account no access to it)";
inline constexpr char spti_sharing_violation[] = "another program has the drive to itself (close it)";
inline std::string spti_windows_error(unsigned long error) { return "Windows error " + std::to_string(error); }
inline std::string spti_place(int port, int path, int target, int lun) {
    return "(port " + std::to_string(port) + " path " + std::to_string(path) + " target " + std::to_string(target) +
           " lun " + std::to_string(lun) + ")";
}
inline std::string spti_place_unaddressed(int device_number) {
    return "(no SCSI address; device number " + std::to_string(device_number) + ")";
}
inline constexpr char spti_made_up_adapter[] = "spti made-up";
inline std::string spti_adapter_name(int port, int path) {
    return "spti port" + std::to_string(port) + ":" + std::to_string(path);
}
}  // namespace passthru::msg
