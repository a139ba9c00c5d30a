// ASPI addresses for the units of one adapter, as both real-drive back ends give them.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "passthru/real_drive/numbering.h"

namespace {

using namespace passthru::real_drive;

struct Unit {
    Slot on_bus;
    int target = -1;
    int lun = -1;
};

std::vector<Unit> units_at(const std::vector<Slot> &on_bus) {
    std::vector<Unit> units;
    for (const Slot &s : on_bus) units.push_back({s});
    return units;
}

// Numbers `units`; returns the adapter's own id, and the bus places of the units left out.
std::pair<int, std::vector<std::pair<int, int>>> number(std::vector<Unit> &units) {
    std::vector<std::pair<int, int>> left_out;
    const int own_id = number_units(
        units, [](const Unit &u) { return u.on_bus; },
        [&left_out](Unit &u) { left_out.emplace_back(u.on_bus.target, u.on_bus.lun); });
    return {own_id, left_out};
}

std::vector<std::pair<int, int>> slots(const std::vector<Unit> &units) {
    std::vector<std::pair<int, int>> s;
    for (const Unit &u : units) s.emplace_back(u.target, u.lun);
    return s;
}

TEST(RealDriveNumbering, AddressesOutsideAspiRangesMoveToFreeSlotsAndTheOwnIdIsUnused) {
    // Target 7 taken: the own id moves; target 40 and LUN 9 do not fit ASPI's ranges.
    std::vector<Unit> units = units_at({{7, 0}, {15, 0}, {40, 0}, {0, 9}});
    const auto [own_id, left_out] = number(units);
    EXPECT_EQ(own_id, 14) << "the highest target no unit uses";
    EXPECT_EQ(slots(units), (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {7, 0}, {15, 0}}))
        << "LUN 0 of unused targets first, in slot order";
    EXPECT_TRUE(left_out.empty());
}

TEST(RealDriveNumbering, EveryTargetTakenLeavesNoOwnIdAndMisfitsShareTargetsUntilNoSlotIsLeft) {
    std::vector<Slot> on_bus;
    for (int t = 0; t < 16; ++t)
        for (int l = 0; l < 8; ++l) on_bus.push_back({t, l});
    on_bus.push_back({99, 0});  // no slot left for it
    std::vector<Unit> units = units_at(on_bus);
    const auto [own_id, left_out] = number(units);
    EXPECT_EQ(own_id, kNoFreeTarget);
    EXPECT_EQ(units.size(), 128u);
    EXPECT_EQ(left_out, (std::vector<std::pair<int, int>>{{99, 0}}));

    std::vector<Unit> crowded = units_at({{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {8, 0}, {9, 0},
                                          {10, 0}, {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0}, {20, 0}, {21, 0}});
    const auto [crowded_id, none_left] = number(crowded);
    EXPECT_EQ(crowded_id, 7);
    EXPECT_EQ(std::pair(crowded[1].target, crowded[1].lun), std::pair(0, 1)) << "no unused target: the next free LUN";
    EXPECT_EQ(std::pair(crowded[2].target, crowded[2].lun), std::pair(0, 2));
    EXPECT_TRUE(none_left.empty());
}

}  // namespace
