#include "passthru/real_drive/numbering.h"

namespace passthru::real_drive {
namespace {

bool fits(const Slot &s) { return s.target >= 0 && s.target < kAspiTargets && s.lun >= 0 && s.lun < kAspiLuns; }

int choose_own_id(const bool (&target_used)[kAspiTargets]) {
    if (!target_used[kPreferredOwnId]) return kPreferredOwnId;
    for (int t = kAspiTargets - 1; t >= 0; --t)
        if (!target_used[t]) return t;
    return kNoFreeTarget;
}

}  // namespace

Numbering number_slots(const std::vector<Slot> &wanted) {
    Numbering n;
    n.slots.resize(wanted.size());
    bool slot_used[kAspiTargets][kAspiLuns] = {};
    bool target_used[kAspiTargets] = {};
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!fits(wanted[i])) continue;
        n.slots[i] = wanted[i];
        slot_used[wanted[i].target][wanted[i].lun] = target_used[wanted[i].target] = true;
    }
    n.own_scsi_id = choose_own_id(target_used);
    const auto take_slot = [&](std::optional<Slot> &slot, bool unused_target_only) {
        for (int t = 0; t < kAspiTargets; ++t) {
            if (t == n.own_scsi_id || (unused_target_only && target_used[t])) continue;
            for (int l = 0; l < (unused_target_only ? 1 : kAspiLuns); ++l) {
                if (slot_used[t][l]) continue;
                slot = Slot{t, l};
                slot_used[t][l] = target_used[t] = true;
                return true;
            }
        }
        return false;
    };
    for (std::size_t i = 0; i < wanted.size(); ++i)
        if (!fits(wanted[i]) && !take_slot(n.slots[i], true)) take_slot(n.slots[i], false);
    return n;
}

}  // namespace passthru::real_drive
