#pragma once
// Every text the program prints, exactly as printed (misspellings included: users and scripts
// know them this way). The described lines go to standard output with printf; the lines for
// people at the end go to standard error.

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
