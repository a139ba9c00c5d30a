#pragma once
// ASPI addresses for the units of one adapter of a real-drive back end (sg, spti).
//
// A unit keeps the target and LUN it has on the system's bus when they fit ASPI's ranges
// (target <= 15, LUN <= 7); otherwise it takes a free slot, LUN 0 of an unused target first. The
// adapter's own SCSI id (HA_SCSI_ID) is one that no unit uses: 7 when free, else the highest free
// target, else kNoFreeTarget (the player then skips no target). A unit for which no slot is left
// is left out.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace passthru::real_drive {

inline constexpr int kAspiTargets = 16;
inline constexpr int kAspiLuns = 8;
inline constexpr int kPreferredOwnId = 7;
inline constexpr int kNoFreeTarget = 16;  // HA_SCSI_ID when every target 0..15 is taken

struct Slot {
    int target = 0;
    int lun = 0;
};

struct Numbering {
    int own_scsi_id = kPreferredOwnId;
    std::vector<std::optional<Slot>> slots;  // one per unit, in the units' order; none: left out
};

// The ASPI slots of units that sit at `wanted` (target, LUN) on the system's bus.
Numbering number_slots(const std::vector<Slot> &wanted);

// Numbers an adapter's units (each with ASPI `target` and `lun` fields): `wanted(unit)` is its
// place on the system's bus. The units end sorted by target, then LUN; one left without a slot is
// handed to `left_out` (to say so and release it) and removed. Returns the adapter's own id.
template <typename Unit, typename Wanted, typename LeftOut>
int number_units(std::vector<Unit> &units, Wanted wanted, LeftOut left_out) {
    std::vector<Slot> asked;
    for (const Unit &u : units) asked.push_back(wanted(u));
    const Numbering numbering = number_slots(asked);
    std::vector<Unit> placed;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (!numbering.slots[i]) {
            left_out(units[i]);
            continue;
        }
        units[i].target = numbering.slots[i]->target;
        units[i].lun = numbering.slots[i]->lun;
        placed.push_back(std::move(units[i]));
    }
    std::sort(placed.begin(), placed.end(),
              [](const Unit &a, const Unit &b) { return std::pair(a.target, a.lun) < std::pair(b.target, b.lun); });
    units = std::move(placed);
    return numbering.own_scsi_id;
}

}  // namespace passthru::real_drive
