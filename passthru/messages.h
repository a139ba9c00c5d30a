#pragma once
// Every text the pass-through library writes for people, exactly as written.

#include <string>

namespace passthru::msg {

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
