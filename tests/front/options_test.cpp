// The command line, as a table: what users type and which unit and track index it selects.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "front/options.h"

namespace {

struct Case {
    std::vector<const char *> args;  // without the program name
    std::int32_t unit;
    std::int32_t track;
    bool usage;
};

Selection parse(const std::vector<const char *> &args) {
    std::vector<const char *> argv{"cddaplay"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, TableOfCommandLines) {
    const Case cases[] = {
        {{}, 0, 0, false},
        {{"-d0", "-t3"}, 0, 2, false},
        {{"-t12", "-d0"}, 0, 11, false},
        {{"-d0", "-t12"}, 0, 11, false},
        {{"-t03"}, 0, 2, false},
        {{"-t0"}, 0, -1, false},         // falls back to track 1 later
        {{"-t99"}, 0, 98, false},        // beyond a 12-track disc: falls back later
        {{"-t123"}, 0, -1, false},       // three digits name no track: out of range, not track 12
        {{"-t100"}, 0, -1, false},       // nor track 10
        {{"-t10000"}, 0, -1, false},
        {{"-d1"}, 1, 0, false},
        {{"-d12"}, -1, 0, false},        // two digits name no unit: out of range, not unit 1
        {{"-d10"}, -1, 0, false},
        {{"-d"}, -48, 0, false},         // nothing after the letter: negative, falls back
        {{"-t"}, 0, -49, false},         // likewise, and nothing past the argument is read
        {{"-d3", "-d2"}, 2, 0, false},   // the last one wins
        {{"-t5", "-t7"}, 0, 6, false},
        {{"d1", "t3", "x"}, 0, 0, false},  // not options
        {{"-x", "-", "", "-q9"}, 0, 0, false},
        {{"-ta"}, 0, 'a' - '1', false},  // not digits: plain arithmetic on the codes
        {{"-t1a"}, 0, 10 + ('a' - '0') - 1, false},
        {{"-d\xE9"}, -23 - 48, 0, false},  // codes are signed 8-bit: 0xE9 is -23
        {{"-h"}, 0, 0, true},
        {{"-d2", "-t4", "-h"}, 2, 3, true},  // -h after other options still decides
        {{"-hx"}, 0, 0, true},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const char *a : c.args) line += std::string(a) + " ";
        SCOPED_TRACE(line);
        Selection s = parse(c.args);
        EXPECT_EQ(s.usage, c.usage);
        if (c.usage) continue;
        EXPECT_EQ(s.unit_index, c.unit);
        EXPECT_EQ(s.track_index, c.track);
    }
}

// (A space before a number, --help and an image operand are played end to end.)
TEST(Options, OnlyANumberIsTakenAsTheValueAfterASpaceAndUnknownOptionsAreSaid) {
    ::testing::internal::CaptureStderr();
    const Selection s = parse({"-t", "album.cue", "-d", "-l", "--helpme"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.track_index, -49) << "-t alone";
    EXPECT_EQ(s.unit_index, -48) << "-d alone";
    EXPECT_TRUE(s.list);
    ASSERT_EQ(s.operands.size(), 1u);
    EXPECT_STREQ(s.operands[0], "album.cue");
    EXPECT_FALSE(s.help);
    EXPECT_NE(err.find("'--helpme'"), std::string::npos) << err;
}

TEST(Options, HelpStopsTheParsingWhereItStands) {
    Selection s = parse({"-d2", "-h", "-d5"});
    EXPECT_TRUE(s.usage);
    EXPECT_EQ(s.unit_index, 2) << "options after -h are not examined";
}

TEST(Options, ReadingSpeed) {
    struct Speed {
        const char *arg;
        std::int32_t kbs;  // -1: no speed set
        bool reported;     // a line on standard error
    };
    const Speed cases[] = {
        {"-s4", 4 * 176, false}, {"-s0", 0xFFFF, false}, {"-s372", 372 * 176, false},
        {"-s373", -1, true},     {"-s", -1, true},       {"-s4x", -1, true},
    };
    for (const Speed &c : cases) {
        SCOPED_TRACE(c.arg);
        ::testing::internal::CaptureStderr();
        const Selection s = parse({"-t2", c.arg});
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.read_speed_kbs, c.kbs);
        EXPECT_EQ(s.track_index, 1) << "the other options stand";
        EXPECT_EQ(err.empty(), !c.reported) << err;
        if (c.reported) {
            EXPECT_NE(err.find(c.arg), std::string::npos) << "names what it ignores: " << err;
        }
    }
    EXPECT_EQ(parse({"-s8", "-s2"}).read_speed_kbs, 2 * 176) << "the last one wins";
    EXPECT_EQ(parse({}).read_speed_kbs, -1);
}

}  // namespace

namespace {

TEST(Options, TrackCountAndRepeat) {
    EXPECT_EQ(parse({"-t3", "-n1"}).track_limit, 1);
    EXPECT_EQ(parse({"-n99"}).track_limit, 99);
    EXPECT_EQ(parse({}).track_limit, 0) << "without -n: to the end";
    for (const char *bad : {"-n0", "-n100", "-n", "-n2x", "-n-1"}) {
        SCOPED_TRACE(bad);
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse({"-n3", bad}).track_limit, 3) << "ignored: the earlier one stands";
        EXPECT_NE(testing::internal::GetCapturedStderr().find(bad), std::string::npos);
    }
    EXPECT_TRUE(parse({"-r"}).repeat);
    EXPECT_FALSE(parse({"-t2"}).repeat);
}

}  // namespace
