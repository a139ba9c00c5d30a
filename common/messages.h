#pragma once
// Every text the program prints, exactly as printed (misspellings included: users and scripts
// know them this way). All of them go to standard output with printf.

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
}  // namespace msg
