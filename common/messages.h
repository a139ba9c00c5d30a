#pragma once
// Every text the program prints, exactly as printed (misspellings included: users and scripts
// know them this way). The described lines go to standard output with printf; each section says
// where its lines go. The pass-through library's lines are in passthru/messages.h.

namespace msg {
// Front end
inline constexpr char usage[] = "usage:command -d0 -t3<ENTER>\n";
inline constexpr char no_device[] = "fail to get cdrom_device.\n";
inline constexpr char no_toc[] = "fail to get cdrom_data\n";
inline constexpr char device_line[] = "cdrom_device is %d/%d now.\n";
inline constexpr char track_line[] = "start %d/%d cdrom_track.\n";

// Pass-through binding and exchange
inline constexpr char load_failed[] = "fail to load the wnaspi32.dll\n";
inline constexpr char no_support_info[] = "fail to get the process lpGetASPI32SupportInfo\n";
inline constexpr char no_send_command[] = "fail to get the process lpSendASPI32Command\n";
inline constexpr char wait_timeout[] = "wait time out\n";

// CD access
inline constexpr char no_adapters[] = "this pc does'nt support adapters\n";
inline constexpr char event_failed[] = "fail to create event\n";
inline constexpr char over_max_device[] = "over max device\n";
inline constexpr char not_ready[] = "cdrom_device is not abilable\n";
inline constexpr char over_10_sectors[] = "get cdrom data over 10 sectors\n";

// Playback
inline constexpr char malloc_failed[] = "fail to malloc\n";
inline constexpr char no_wave_device[] = "fail to get the wave device\n";
inline constexpr char now_playing[] = "now playing...\n";
inline constexpr char finished[] = "Finished.\n";

// --help, on standard output
inline constexpr char full_usage[] =
    "usage: cddaplay [-d<unit>] [-t<track>] [-n<K>] [-r] [-s<speed>] [-l] [image]\n"
    "Plays an audio CD digitally, from the chosen track to the end of the disc's audio.\n"
    "\n"
    "  -d<unit>   the CD-ROM unit, 0 for the first one found (default 0)\n"
    "  -t<track>  the first track to play, one or two digits (default 1);\n"
    "             -t0 plays a hidden track before track 1 when the disc has one\n"
    "  -n<K>      play K tracks from the first one, then stop\n"
    "  -r         play the range again and again until stopped\n"
    "  -s<speed>  read at speed x 176 kB/s, -s0 at the drive's maximum (-s4 is plenty)\n"
    "  -l         list the units and the disc in the chosen unit; play nothing\n"
    "  -h         print the short usage line and exit with status 1\n"
    "  --help     print this text and exit\n"
    "  image      a CUE sheet (or another disc image) to play instead of a drive,\n"
    "             the same as CDDAPLAY_IMAGES naming it alone\n"
    "\n"
    "A space may stand between an option and its number (-t 3).\n"
    "Keys while playing: space pause, n next track, p previous track, left/right seek 10 s,\n"
    "q or ENTER stop.\n"
    "Exit status: 0 once playing has started or the listing is printed, 130 after Ctrl+C,\n"
    "1 otherwise.\n";

// -l, on standard output
inline constexpr char listing_image[] = "  image \"%s\"";
inline constexpr char listing_disc[] = "\nunit %d: %d tracks, %s\n";
inline constexpr char listing_header[] = "track  type   start     length  (start: disc address mm:ss:ff; length: m:ss)\n";
inline constexpr char listing_track[] = "%5d  %-5s  %s  %6s%s%s\n";
inline constexpr char listing_hidden[] = "  hidden track before track 1: play it with -t0";

// Lines for people, on standard error
inline constexpr char unknown_option[] = "cddaplay: ignoring '%s': there is no such option (cddaplay --help lists them)\n";
inline constexpr char ignored_operand[] = "cddaplay: ignoring '%s': no such file to play\n";
inline constexpr char second_image[] = "cddaplay: ignoring '%s': only one image is played at a time\n";
inline constexpr char image_unplayable[] = "cddaplay: cannot play '%s': %s\n";
inline constexpr char image_name_has_separator[] =
    "its name holds a ';', which separates images for the pass-through library; rename the file";
inline constexpr char image_refused[] = "the pass-through library could not load it as a disc image (see above)";
inline constexpr char hint_image[] =
    "cddaplay: no CD-ROM unit found; to play a disc image, name its CUE sheet: cddaplay album.cue\n";
// Standard error (fprintf), additions to the described program
inline constexpr char usage_more[] =
    "  -d<unit> -t<track>  the unit (from 0) and the track to start at\n"
    "  -n<K>               play K tracks from that one, then stop\n"
    "  -r                  play the range again and again until stopped\n"
    "  -s<N>               read at N x speed (-s0: the drive's fastest)\n"
    "  -l                  list the units and the disc, and what would play\n"
    "keys while playing: space pause, n next track, p previous track, left/right seek 10 s,\n"
    "  q or ENTER stop\n";
inline constexpr char bad_track_limit[] =
    "cddaplay: ignoring '%s': the number of tracks is -n and a number from 1 to %d, such as -n1\n";
inline constexpr char status_paused[] = "  paused";
inline constexpr char would_play[] = "\nwould play: track %d to track %d, %s%s\n";
inline constexpr char would_play_repeated[] = ", again and again";

// -l, on standard output: the units, one line each, and the disc in the chosen one
inline constexpr char listing_no_unit[] = "no CD-ROM unit found\n";
inline constexpr char listing_unit[] = "unit %d: adapter %d target %d lun %d  ";
inline constexpr char listing_identity[] = "%s %s %s  ";
inline constexpr char listing_no_answer[] = "(no answer)  ";
inline constexpr char listing_disc_in[] = "disc in";
inline constexpr char listing_no_disc[] = "no disc";
inline constexpr char listing_unit_empty[] = "\nunit %d: no disc\n";
inline constexpr char listing_disc_names[] = "disc: ";
inline constexpr char listing_audio[] = "audio";
inline constexpr char listing_data[] = "data";

// The status line, on standard error when it is a terminal
inline constexpr char status_head[] = "Track %02d/%02d  %s / %s  [-%s]";

// Fallbacks and refusals of the options, on standard error
inline constexpr char bad_speed[] =
    "cddaplay: ignoring '%s': the reading speed is -s and a number from 0 (the drive's maximum) to %d, such as -s4\n";
inline constexpr char no_such_unit[] =
    "cddaplay: there is no unit \"%s\" (%d found, numbered from 0); using unit 0 instead\n";
inline constexpr char no_such_track[] =
    "cddaplay: there is no track \"%s\" on this disc (%d tracks); playing from track 1 instead\n";
inline constexpr char nothing_to_play[] =
    "cddaplay: nothing to play: the disc has no audio track from track %d on; choose an audio track with -t\n";
inline constexpr char data_track_skipped[] =
    "cddaplay: track %d is a data track; playing from track %d, the next audio track\n";

// Playback and the sound output, on standard error
inline constexpr char speed_refused[] =
    "cddaplay: the drive did not accept the reading speed (SET CD SPEED); it plays at the speed it chooses itself\n";
inline constexpr char out_of_memory_after_stuck_read[] =
    "cddaplay: out of memory after a read the drive never finished; playback stops\n";
inline constexpr char sound_failed[] = "cddaplay: %s: %s\n";  // what failed, and ALSA's reason
inline constexpr char sound_stopped[] = "the sound output stopped working, so playback ends";
inline constexpr char sound_cannot_open[] =
    "the sound output \"default\" cannot be opened for CD audio (check the ALSA configuration)";

// CD access, additions to the described program: a table of contents refused (standard error),
// and CD-Text's title and performer joined
inline constexpr char toc_refused[] =
    "cddaplay: the disc's table of contents cannot be right: %s; the disc is not played\n";
inline constexpr char toc_lead_out[] = "the lead-out";
inline constexpr char toc_track[] = "track %d";
inline constexpr char toc_negative[] = "%s starts at a negative address (%d)";
inline constexpr char toc_beyond_100_minutes[] = "%s starts beyond 100 minutes (sector %d)";
inline constexpr char toc_backwards[] = "%s starts before track %d (sector %d before %d)";
inline constexpr char title_performer_separator[] = " - ";
}  // namespace msg
