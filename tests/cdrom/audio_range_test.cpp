// The audio range on discs laid out as the CD standards lay them out: a plain audio CD, a
// mixed-mode CD (data track 1, audio after it, one session), an Enhanced CD (audio in session 1,
// one data track in session 2, 11,400 sectors after session 1's lead-out starts), and tables a
// drive could send that are no disc at all.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "cdrom/audio_range.h"

namespace {

struct Entry {
    bool audio;
    std::int32_t start;
};

// Tracks, then the lead-out; the session information as a unit reports it (last session 1 and
// its first track = track 1 on a single-session disc).
CdromToc toc_of(const std::vector<Entry> &tracks_and_lead_out, std::int32_t last_session = 1,
                std::size_t last_session_first = 0) {
    CdromToc toc{};
    toc.track_count = static_cast<std::int32_t>(tracks_and_lead_out.size()) - 1;
    for (std::size_t i = 0; i < tracks_and_lead_out.size(); ++i)
        toc.entries[i] = {tracks_and_lead_out[i].audio ? 1 : 0, tracks_and_lead_out[i].start};
    toc.last_session = last_session;
    toc.last_session_first = toc.entries[last_session_first];
    return toc;
}

void expect_range(const CdromToc &toc, std::int32_t chosen, std::int32_t track, std::int32_t start, std::int32_t end) {
    const auto r = audio_range(toc, chosen);
    ASSERT_TRUE(r.has_value()) << "chosen index " << chosen;
    EXPECT_EQ(r->track_index, track) << "chosen index " << chosen;
    EXPECT_EQ(r->start_lba, start) << "chosen index " << chosen;
    EXPECT_EQ(r->end_lba, end) << "chosen index " << chosen;
}

TEST(AudioRange, PlainAudioCdPlaysFromTheChosenTrackToTheLeadOut) {
    // 12 tracks, 58:42 long: the shape of an ordinary album.
    const CdromToc album = toc_of({{true, 0},      {true, 20455},  {true, 37897},  {true, 56470},
                                   {true, 72895},  {true, 93437},  {true, 112232}, {true, 131020},
                                   {true, 153515}, {true, 174102}, {true, 193215}, {true, 240012},
                                   {false, 264150}});
    expect_range(album, 0, 0, 0, 264150);
    expect_range(album, 11, 11, 240012, 264150);
}

TEST(AudioRange, MixedModeCdSkipsItsDataTrackAndPlaysTheAudioAfterIt) {
    // A game CD: a Mode 1 data track of about 300 MB, then 8 audio tracks (the first one's 2-second
    // pregap after the data track's own 2-second postgap), one session.
    const CdromToc game = toc_of({{false, 0},      {true, 152350}, {true, 168925}, {true, 181200},
                                  {true, 199875},  {true, 213650}, {true, 231400}, {true, 247815},
                                  {true, 262010},  {false, 279330}});
    expect_range(game, 0, 1, 152350, 279330);  // no -t: the first audio track
    expect_range(game, 1, 1, 152350, 279330);
    expect_range(game, 8, 8, 262010, 279330);
}

TEST(AudioRange, EnhancedCdStopsBeforeTheSessionGapAndNeverReachesTheData) {
    // CD-Extra: 11 audio tracks in session 1 ending at 214000, session 2 holding one Mode 2 data
    // track 11,400 sectors on, lead-out of the last session after it.
    std::vector<Entry> t;
    for (int i = 0; i < 11; ++i) t.push_back({true, 19450 * i});
    t.push_back({false, 214000 + 11400});
    t.push_back({false, 214000 + 11400 + 42180});
    const CdromToc extra = toc_of(t, 2, 11);
    expect_range(extra, 0, 0, 0, 214000);
    expect_range(extra, 10, 10, 194500, 214000);
    EXPECT_FALSE(audio_range(extra, 11).has_value()) << "the data track alone: nothing audible";
    // Every length shown ends with the audio: the last audio track where the range ends, not
    // 2:32 later at the data track; the others, and the data track, at the next entry.
    EXPECT_EQ(track_end_lba(extra, 10), 214000);
    EXPECT_EQ(track_end_lba(extra, 9), 194500);
    EXPECT_EQ(track_end_lba(extra, 11), 214000 + 11400 + 42180);

    // A unit that did not answer the session information (single session assumed) still stops
    // at the data track.
    expect_range(toc_of(t), 10, 10, 194500, 225400);
    EXPECT_EQ(track_end_lba(toc_of(t), 10), 225400);
}

TEST(AudioRange, NothingAudibleOrNothingSaneGivesNoRange) {
    EXPECT_FALSE(audio_range(toc_of({{false, 0}, {false, 330000}}), 0).has_value()) << "a data-only disc";
    EXPECT_FALSE(audio_range(toc_of({{true, 0}}), 0).has_value()) << "no track at all, only a lead-out";
    EXPECT_FALSE(audio_range(toc_of({{true, 500}, {false, 500}}), 0).has_value()) << "an empty track";
    // A later session whose data track lies within 11,400 sectors of the audio: no room for audio.
    EXPECT_FALSE(audio_range(toc_of({{true, 0}, {false, 5000}, {false, 9000}}, 2, 1), 0).has_value());
    // Addresses at the ends of the 32-bit range: compared and subtracted without overflow.
    const CdromToc extreme = toc_of({{true, INT_MIN}, {false, INT_MIN + 5000}, {false, INT_MAX}}, 2, 1);
    EXPECT_FALSE(audio_range(extreme, 0).has_value());
    expect_range(toc_of({{true, INT_MAX - 10}, {true, INT_MAX}}), 0, 0, INT_MAX - 10, INT_MAX);
    // A chosen index past the tracks (the front end never sends one) or a negative track count.
    EXPECT_FALSE(audio_range(toc_of({{true, 0}, {true, 100}}), 5).has_value());
    CdromToc negative = toc_of({{true, 0}, {true, 100}});
    negative.track_count = -3;
    EXPECT_FALSE(audio_range(negative, 0).has_value());
}

}  // namespace
