// Out of handles: a completion event that cannot be made. The described steps say
// "fail to create event" and give up; the listing's probe and CD-Text reading stay silent.
#include "cdrom/cdtext.h"
#include "cdrom/discovery.h"
#include "cdrom/reader.h"
#include "cdrom/toc.h"
#include "cdrom/unit_status.h"
#include "tests/cdrom/cdrom_test_support.h"
#include "tests/cdrom/no_handles.h"

namespace {

// Runs `call` while no event can be made; what it printed. Nothing polymorphic is touched while
// the handles are out: the sanitizers' own checks need a descriptor to look at memory.
std::string printed_while_out_of_handles(const std::function<void()> &call, bool &in_force) {
    ::testing::internal::CaptureStdout();
    bool done = false;
    {
        cdrom_test::NoHandles none;
        if (none.in_force()) call();
        done = none.in_force();
    }
    in_force = done;
    return ::testing::internal::GetCapturedStdout();
}

class NoEvent : public cdrom_test::FakeLibraryTest {
protected:
    std::string printed_without_handles(const std::function<void()> &call) {
        return printed_while_out_of_handles(call, in_force);
    }

    bool in_force = false;
};

TEST_F(NoEvent, EachStepThatMakesAnEventSaysSoAndGivesUpHavingSentNothing) {
    CdromDeviceList *list = nullptr;
    const std::string printed = printed_without_handles([&] { list = get_cdrom_device(); });
    if (!in_force) GTEST_SKIP() << "this system does not let a test run out of handles";
    EXPECT_EQ(printed, "fail to create event\n");
    EXPECT_EQ(list, nullptr);

    CdromToc *toc = nullptr;
    EXPECT_EQ(printed_without_handles([&] { toc = get_cdrom_toc(0, 1, 0, 0); }), "fail to create event\n")
        << "not \"cdrom_device is not abilable\": the unit was never asked";
    EXPECT_EQ(toc, nullptr);

    ASSERT_EQ(open_cdrom_reader(), 1);
    std::vector<std::uint8_t> buffer(SECTOR_BYTES, 0xCC);
    int read = -1;
    EXPECT_EQ(printed_without_handles([&] { read = read_cdrom_sectors(0, 1, 0, buffer.data(), 150, 1); }),
              "fail to create event\n");
    EXPECT_EQ(read, 0);
    close_cdrom_reader();

    CdromUnitStatus status{};
    CdTextTable text;
    EXPECT_EQ(printed_without_handles([&] {
                  status = probe_cdrom_unit(CdromDevice{0, 1, 0, 0});
                  text = read_cdrom_cdtext(0, 1, 0);
              }),
              "");
    EXPECT_FALSE(status.answered);
    EXPECT_FALSE(status.disc_in);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(fake.exec_requests().empty()) << "no request goes out without its event";
}

}  // namespace
