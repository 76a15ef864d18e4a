#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/reference/tracker_reference.h"
#include "tracker/tracker.h"

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

struct Pixel {
    int row;
    int col;
    int frame;
};

// A stack with every buffer the tracker writes. The per-track arrays get exactly
// largestTrackCount entries, so that a write past them shows under AddressSanitizer.
struct Stack {
    int rows;
    int cols;
    int frames;
    std::vector<uint8_t> I;
    std::vector<uint16_t> Itracks;
    std::vector<uint16_t> Ptracks;
    std::vector<double> tracklength;
    std::vector<double> trackstarts;
    std::vector<double> trackstartX;
    std::vector<double> trackstartY;
    bool limitReached = false;

    std::size_t at(Pixel p) const {
        return p.row + static_cast<std::size_t>(p.col) * rows +
               static_cast<std::size_t>(p.frame) * rows * cols;
    }
    uint8_t& value(Pixel p) { return I[at(p)]; }
    uint16_t track(Pixel p) const { return Itracks[at(p)]; }
    // Ptracks(id, frame + 1, 1) and (id, frame + 1, 2) in the host's 1-based terms.
    uint16_t X(int id, int frame) const {
        return Ptracks[(id - 1) + static_cast<std::size_t>(frame) * kPositionRows];
    }
    uint16_t Y(int id, int frame) const {
        return Ptracks[(id - 1) + static_cast<std::size_t>(frame) * kPositionRows +
                       static_cast<std::size_t>(kPositionRows) * frames];
    }
};

// Without positions the caller supplies its own Ptracks block.
Stack emptyStack(int rows, int cols, int frames, bool withPositions = true) {
    const std::size_t pixels = static_cast<std::size_t>(rows) * cols * frames;
    Stack s{rows, cols, frames, {}, {}, {}, {}, {}, {}, {}};
    s.I.assign(pixels, 0);
    s.Itracks.assign(pixels, 0);
    if (withPositions) {
        s.Ptracks.assign(static_cast<std::size_t>(kPositionRows) * frames * 2, 0);
    }
    return s;
}

Stack stackWithMarkers(int rows, int cols, int frames, std::initializer_list<Pixel> markers) {
    Stack s = emptyStack(rows, cols, frames);
    for (Pixel p : markers) {
        s.value(p) = kFreeMarker;
    }
    return s;
}

// The tests of results run on the module's tracker and on the plain reference alike.
using Driver = int (*)(uint8_t*, uint16_t*, double*, double*, uint16_t*, double*, double*, int, int,
                       int, int, bool*);
class Tracking : public ::testing::TestWithParam<Driver> {};
class TrackingLimits : public Tracking {};
class TrackingLargeStacks : public Tracking {};

int runTracking(Stack& s, int maxDistance) {
    const auto capacity =
        static_cast<std::size_t>(largestTrackCount(s.I.data(), s.rows, s.cols, s.frames));
    s.tracklength.assign(capacity, -1);
    s.trackstarts.assign(capacity, -1);
    s.trackstartX.assign(capacity, -1);
    s.trackstartY.assign(capacity, -1);
    return Tracking::GetParam()(s.I.data(), s.Itracks.data(), s.tracklength.data(),
                                s.trackstarts.data(), s.Ptracks.data(), s.trackstartX.data(),
                                s.trackstartY.data(), s.rows, s.cols, s.frames, maxDistance,
                                &s.limitReached);
}

std::size_t nonzero(const std::vector<uint16_t>& values) {
    return values.size() - std::count(values.begin(), values.end(), 0);
}

// The link from `from` to `to` (the next frame) belongs to track `id`, in every output.
void expectLink(const Stack& s, int id, Pixel from, Pixel to) {
    EXPECT_EQ(s.track(from), id);
    EXPECT_EQ(s.track(to), id);
    EXPECT_EQ(s.X(id, from.frame), from.col + 1);
    EXPECT_EQ(s.Y(id, from.frame), from.row + 1);
    EXPECT_EQ(s.X(id, to.frame), to.col + 1);
    EXPECT_EQ(s.Y(id, to.frame), to.row + 1);
    EXPECT_EQ(s.I[s.at(from)], kLinkedMarker);
    // Before the last frame, `to` stays at 254 only if it links on: the next pair frees it.
    if (to.frame == s.frames - 1) {
        EXPECT_EQ(s.I[s.at(to)], kLinkedMarker);
    }
}

void expectUnlinked(const Stack& s, Pixel p) {
    EXPECT_EQ(s.track(p), 0) << p.row << "," << p.col << "," << p.frame;
    EXPECT_EQ(s.I[s.at(p)], kFreeMarker) << p.row << "," << p.col << "," << p.frame;
}

// --- Worked examples -----------------------------------------------------------------------

TEST_P(Tracking, OneMarkerLinksToTheNext) {
    Stack s = stackWithMarkers(40, 40, 2, {{20, 20, 0}});
    s.value({21, 22, 1}) = kLinkedMarker;  // 254 is a marker as much as 255
    ASSERT_EQ(runTracking(s, 5), 1);
    expectLink(s, 1, {20, 20, 0}, {21, 22, 1});
    EXPECT_EQ(s.X(1, 0), 21);
    EXPECT_EQ(s.X(1, 1), 23);
    EXPECT_EQ(s.tracklength[0], 1);
    EXPECT_EQ(s.trackstarts[0], 1);
    EXPECT_EQ(s.trackstartX[0], 21);
    EXPECT_EQ(s.trackstartY[0], 21);
    EXPECT_EQ(nonzero(s.Itracks), 2u);
    EXPECT_EQ(nonzero(s.Ptracks), 4u);
    EXPECT_FALSE(s.limitReached);
}

TEST_P(Tracking, AMarkerMovingOverThreeFramesIsOneTrack) {
    Stack s = stackWithMarkers(40, 40, 3, {{20, 20, 0}, {21, 21, 1}, {22, 22, 2}});
    ASSERT_EQ(runTracking(s, 3), 1);
    expectLink(s, 1, {20, 20, 0}, {21, 21, 1});
    expectLink(s, 1, {21, 21, 1}, {22, 22, 2});
    EXPECT_EQ(s.tracklength[0], 2);
    EXPECT_EQ(s.trackstarts[0], 1);
    EXPECT_EQ(nonzero(s.Itracks), 3u);
    EXPECT_EQ(nonzero(s.Ptracks), 6u);
}

TEST_P(Tracking, ATrackThatEndsAndOneThatStartsLater) {
    // Frame 1's reached marker goes nowhere; frame 1's other marker starts track 2 in pair 1.
    Stack s = stackWithMarkers(40, 40, 3, {{10, 10, 0}, {10, 11, 1}, {30, 30, 1}, {30, 31, 2}});
    ASSERT_EQ(runTracking(s, 3), 2);
    expectLink(s, 1, {10, 10, 0}, {10, 11, 1});
    EXPECT_EQ(s.value({10, 11, 1}), kFreeMarker);
    expectLink(s, 2, {30, 30, 1}, {30, 31, 2});
    EXPECT_EQ(s.tracklength, (std::vector<double>{1, 1, -1}));  // room for 3 starts
    EXPECT_EQ(s.trackstarts[1], 2);
    EXPECT_EQ(s.trackstartX[1], 31);
    EXPECT_EQ(s.trackstartY[1], 31);
    // Track 1 has no marker in frame 2, track 2 none in frame 0.
    EXPECT_EQ(s.X(1, 2), 0);
    EXPECT_EQ(s.X(2, 0), 0);
}

// --- What decides a link ---------------------------------------------------------------------

TEST_P(Tracking, WithinASquareTheSmallerColumnWinsOverDistance) {
    Stack s = stackWithMarkers(40, 40, 2, {{20, 20, 0}, {20, 20, 1}, {23, 17, 1}});
    ASSERT_EQ(runTracking(s, 5), 1);
    expectLink(s, 1, {20, 20, 0}, {23, 17, 1});
    expectUnlinked(s, {20, 20, 1});
}

TEST_P(Tracking, WithinAColumnTheSmallerRowWins) {
    Stack s = stackWithMarkers(40, 40, 2, {{20, 20, 0}, {22, 18, 1}, {18, 18, 1}});
    ASSERT_EQ(runTracking(s, 3), 1);
    expectLink(s, 1, {20, 20, 0}, {18, 18, 1});
    expectUnlinked(s, {22, 18, 1});
}

TEST_P(Tracking, AtEqualDistanceTheSmallerColumnWins) {
    Stack s = stackWithMarkers(40, 40, 2, {{20, 20, 0}, {24, 16, 1}, {16, 17, 1}});
    ASSERT_EQ(runTracking(s, 4), 1);
    expectLink(s, 1, {20, 20, 0}, {24, 16, 1});
    expectUnlinked(s, {16, 17, 1});
}

TEST_P(Tracking, WithinARadiusTheEarlierMarkerInTheListWins) {
    Stack s = stackWithMarkers(40, 40, 2, {{10, 10, 0}, {10, 14, 0}, {10, 12, 1}});
    ASSERT_EQ(runTracking(s, 5), 1);
    expectLink(s, 1, {10, 10, 0}, {10, 12, 1});
    expectUnlinked(s, {10, 14, 0});
}

TEST_P(Tracking, TheListIsRowByRow) {
    // The marker in row 10 comes first although the other has the smaller column.
    Stack s = stackWithMarkers(40, 40, 2, {{10, 14, 0}, {11, 10, 0}, {10, 12, 1}});
    ASSERT_EQ(runTracking(s, 3), 1);
    expectLink(s, 1, {10, 14, 0}, {10, 12, 1});
    expectUnlinked(s, {11, 10, 0});
}

TEST_P(Tracking, ASmallerRadiusWinsOverListOrder) {
    Stack s = stackWithMarkers(40, 40, 2, {{10, 10, 0}, {10, 17, 0}, {10, 14, 1}});
    ASSERT_EQ(runTracking(s, 5), 1);
    expectLink(s, 1, {10, 17, 0}, {10, 14, 1});
    expectUnlinked(s, {10, 10, 0});
}

TEST_P(Tracking, IdsFollowTheRadiusOfTheFirstLink) {
    Stack s = stackWithMarkers(40, 40, 2, {{10, 10, 0}, {20, 10, 0}, {10, 14, 1}, {20, 12, 1}});
    ASSERT_EQ(runTracking(s, 5), 2);
    expectLink(s, 1, {20, 10, 0}, {20, 12, 1});
    expectLink(s, 2, {10, 10, 0}, {10, 14, 1});
}

TEST_P(Tracking, TheRadiusReachesMaxDistanceInclusive) {
    for (int maxDistance : {3, 4}) {
        Stack s = stackWithMarkers(40, 40, 2, {{10, 10, 0}, {10, 14, 1}});
        EXPECT_EQ(runTracking(s, maxDistance), maxDistance == 4 ? 1 : 0);
    }
}

TEST_P(Tracking, ALinkedTargetIsNotTakenAgain) {
    // Both markers of frame 0 find (10, 12) first; the second must go on to (12, 12).
    Stack s = stackWithMarkers(40, 40, 2, {{10, 10, 0}, {10, 11, 0}, {10, 12, 1}, {12, 12, 1}});
    ASSERT_EQ(runTracking(s, 3), 2);
    expectLink(s, 1, {10, 10, 0}, {10, 12, 1});
    expectLink(s, 2, {10, 11, 0}, {12, 12, 1});
}

// --- Border test -----------------------------------------------------------------------------

TEST_P(Tracking, OnlyColumnsFourToSixOfATenColumnFrameLink) {
    // One marker per column, each with a partner at its own place; blocks 8 rows apart.
    Stack s = emptyStack(84, 10, 2);
    for (int c = 0; c < 10; ++c) {
        s.value({8 * c + 4, c, 0}) = kFreeMarker;
        s.value({8 * c + 4, c, 1}) = kFreeMarker;
    }
    ASSERT_EQ(runTracking(s, 20), 3);
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(s.track({8 * c + 4, c, 0}) != 0, c >= 4 && c <= 6) << "column " << c;
    }
}

TEST_P(Tracking, TheSquareMayReachTheLastColumnAndRowButNeverTheFirst) {
    {
        Stack s = stackWithMarkers(10, 10, 2, {{4, 4, 0}, {4, 0, 1}, {0, 4, 1}});
        EXPECT_EQ(runTracking(s, 3), 0);
    }
    {
        Stack s = stackWithMarkers(10, 10, 2, {{4, 4, 0}, {1, 1, 1}});
        EXPECT_EQ(runTracking(s, 3), 1);
    }
    {
        Stack s = stackWithMarkers(10, 10, 2, {{6, 6, 0}, {9, 9, 1}});
        EXPECT_EQ(runTracking(s, 3), 1);
        expectLink(s, 1, {6, 6, 0}, {9, 9, 1});
    }
    {
        // Column 7 of 10 fails x < cols - radius at every radius.
        Stack s = stackWithMarkers(10, 10, 2, {{5, 7, 0}, {5, 7, 1}});
        EXPECT_EQ(runTracking(s, 9), 0);
    }
}

TEST_P(Tracking, FramesWithFewerThanEightRowsOrColumnsNeverLink) {
    for (auto [rows, cols] : {std::pair{7, 40}, std::pair{40, 7}, std::pair{7, 7}}) {
        Stack s = emptyStack(rows, cols, 2);
        std::fill(s.I.begin(), s.I.end(), kFreeMarker);
        EXPECT_EQ(runTracking(s, 10), 0) << rows << "x" << cols;
        EXPECT_EQ(nonzero(s.Itracks), 0u);
    }
}

TEST_P(Tracking, AnAllMarkerEightByEightFrameLinksOnlyItsCentreToTheCorner) {
    Stack s = emptyStack(8, 8, 2);
    std::fill(s.I.begin(), s.I.end(), kFreeMarker);
    ASSERT_EQ(runTracking(s, 3), 1);
    expectLink(s, 1, {4, 4, 0}, {1, 1, 1});
    EXPECT_EQ(std::count(s.I.begin(), s.I.end(), kLinkedMarker), 2);
    EXPECT_EQ(nonzero(s.Itracks), 2u);
}

// --- The stack afterwards ------------------------------------------------------------------

TEST_P(Tracking, FewerThanTwoFramesLeaveEverythingAsItWas) {
    for (int frames : {0, 1}) {
        Stack s = emptyStack(20, 20, frames);
        if (frames == 1) {
            s.value({10, 10, 0}) = kLinkedMarker;
            s.value({10, 11, 0}) = kFreeMarker;
            s.value({10, 12, 0}) = kLastBackgroundValue;
        }
        const std::vector<uint8_t> before = s.I;
        EXPECT_EQ(runTracking(s, 5), 0);
        EXPECT_EQ(s.I, before);
        EXPECT_EQ(nonzero(s.Ptracks), 0u);
    }
}

TEST_P(Tracking, BelowRadiusThreeNothingLinksAndEveryMarkerBecomesFree) {
    for (int maxDistance : {2, 0, -7, kIntMin}) {
        Stack s = stackWithMarkers(20, 20, 3, {{10, 10, 0}, {10, 10, 1}, {10, 10, 2}});
        s.value({10, 10, 1}) = kLinkedMarker;
        s.value({5, 5, 2}) = kLinkedMarker;
        s.value({6, 6, 1}) = kLastBackgroundValue;
        s.value({7, 7, 1}) = 1;
        EXPECT_EQ(runTracking(s, maxDistance), 0);
        for (Pixel p : {Pixel{10, 10, 0}, Pixel{10, 10, 1}, Pixel{10, 10, 2}, Pixel{5, 5, 2}}) {
            EXPECT_EQ(s.value(p), kFreeMarker);
        }
        EXPECT_EQ(s.value({6, 6, 1}), kLastBackgroundValue);
        EXPECT_EQ(s.value({7, 7, 1}), 1);
        EXPECT_EQ(nonzero(s.Itracks), 0u);
        EXPECT_EQ(nonzero(s.Ptracks), 0u);
    }
}

TEST_P(Tracking, ValueTwoFiftyThreeIsBackground) {
    Stack s = stackWithMarkers(20, 20, 2, {{10, 10, 0}});
    s.value({10, 10, 1}) = kLastBackgroundValue;
    EXPECT_EQ(runTracking(s, 5), 0);
    EXPECT_EQ(s.value({10, 10, 1}), kLastBackgroundValue);
    EXPECT_EQ(s.value({10, 10, 0}), kFreeMarker);
}

TEST_P(Tracking, MarkersEndAtLinkedOrFreeByWhetherTheyLinked) {
    // Frame 0: one marker links, one finds nothing. Frame 1: one reached marker that links on,
    // one reached that does not, one unreached. Frame 2 (last): one reached, one not.
    Stack s = stackWithMarkers(40, 40, 3,
                               {{10, 10, 0},
                                {30, 30, 0},
                                {10, 10, 1},
                                {20, 10, 0},
                                {20, 10, 1},
                                {5, 30, 1},
                                {10, 10, 2},
                                {30, 10, 2}});
    s.value({20, 10, 0}) = kLinkedMarker;
    ASSERT_EQ(runTracking(s, 3), 2);
    expectLink(s, 1, {10, 10, 0}, {10, 10, 1});
    expectLink(s, 1, {10, 10, 1}, {10, 10, 2});
    EXPECT_EQ(s.track({20, 10, 0}), 2);
    EXPECT_EQ(s.value({20, 10, 0}), kLinkedMarker);
    expectUnlinked(s, {30, 30, 0});
    // Reached in pair 0 but freed again by pair 1, in which it did not link: the track's
    // last marker, not at 254.
    EXPECT_EQ(s.track({20, 10, 1}), 2);
    EXPECT_EQ(s.value({20, 10, 1}), kFreeMarker);
    expectUnlinked(s, {5, 30, 1});
    expectUnlinked(s, {30, 10, 2});
}

// Track invariants on random stacks: whatever the links, the outputs must agree with each
// other and with the rewritten stack.
TEST_P(Tracking, RandomStacksGiveConsistentTracks) {
    std::mt19937 random(20240611);
    for (int trial = 0; trial < 30; ++trial) {
        const int rows = 8 + static_cast<int>(random() % 30);
        const int cols = 8 + static_cast<int>(random() % 30);
        const int frames = 2 + static_cast<int>(random() % 5);
        const int maxDistance = static_cast<int>(random() % 12);
        Stack s = emptyStack(rows, cols, frames);
        for (uint8_t& v : s.I) {
            const auto draw = static_cast<uint8_t>(random() % 100);
            v = draw < 4 ? kFreeMarker : draw < 8 ? kLinkedMarker : draw;
        }
        const std::vector<uint8_t> before = s.I;
        const int n = runTracking(s, maxDistance);
        ASSERT_LE(static_cast<std::size_t>(n), s.tracklength.size());

        std::vector<int> pixelsPerTrackFrame(static_cast<std::size_t>(n + 1) * frames, 0);
        std::size_t positions = 0;
        for (int t = 0; t < frames; ++t) {
            for (int c = 0; c < cols; ++c) {
                for (int r = 0; r < rows; ++r) {
                    const Pixel p{r, c, t};
                    const int id = s.track(p);
                    EXPECT_LE(id, n);
                    if (id != 0) {
                        EXPECT_GT(before[s.at(p)], kLastBackgroundValue);
                        EXPECT_EQ(s.X(id, t), c + 1);
                        EXPECT_EQ(s.Y(id, t), r + 1);
                        ++pixelsPerTrackFrame[static_cast<std::size_t>(id) * frames + t];
                    }
                }
            }
        }
        for (int id = 1; id <= n; ++id) {
            const int first = static_cast<int>(s.trackstarts[id - 1]) - 1;
            const int last = first + static_cast<int>(s.tracklength[id - 1]);
            ASSERT_GE(first, 0);
            ASSERT_LT(last, frames);
            EXPECT_GE(s.tracklength[id - 1], 1);
            EXPECT_EQ(s.trackstartX[id - 1], s.X(id, first));
            EXPECT_EQ(s.trackstartY[id - 1], s.Y(id, first));
            if (id > 1) {
                EXPECT_GE(s.trackstarts[id - 1], s.trackstarts[id - 2]);
            }
            for (int t = 0; t < frames; ++t) {
                const bool inSpan = t >= first && t <= last;
                EXPECT_EQ(pixelsPerTrackFrame[static_cast<std::size_t>(id) * frames + t],
                          inSpan ? 1 : 0);
                EXPECT_EQ(s.X(id, t) != 0, inSpan);
                if (inSpan && t > first) {
                    // Consecutive positions lie within a square the radius could reach.
                    const int step = std::max(std::abs(s.X(id, t) - s.X(id, t - 1)),
                                              std::abs(s.Y(id, t) - s.Y(id, t - 1)));
                    EXPECT_LE(step, maxDistance);
                }
            }
            positions += static_cast<std::size_t>(last - first + 1);
        }
        EXPECT_EQ(nonzero(s.Ptracks), 2 * positions);

        // The stack: background untouched; a marker is 254 exactly when it linked forward,
        // or, in the last frame, when it was reached.
        for (int t = 0; t < frames; ++t) {
            for (int c = 0; c < cols; ++c) {
                for (int r = 0; r < rows; ++r) {
                    const Pixel p{r, c, t};
                    if (before[s.at(p)] <= kLastBackgroundValue) {
                        EXPECT_EQ(s.value(p), before[s.at(p)]);
                        continue;
                    }
                    const int id = s.track(p);
                    const bool linked =
                        id != 0 &&
                        (t == frames - 1 || t + 1 < static_cast<int>(s.trackstarts[id - 1]) +
                                                        static_cast<int>(s.tracklength[id - 1]));
                    EXPECT_EQ(s.value(p), linked ? kLinkedMarker : kFreeMarker)
                        << r << "," << c << "," << t;
                }
            }
        }
    }
}

// --- Limits ------------------------------------------------------------------------------

// Markers in column 4 and column 1 of an 8-column frame, `units` blocks of 7 rows: in every
// pair, each column-4 marker links to the column-1 marker of its block in the next frame (the
// first pixel of its square), which then fails the border test. So every pair starts `units`
// new tracks, of one link each.
Stack trackStarterStack(int units, int frames, bool withPositions = true) {
    Stack s = emptyStack(7 * units + 1, 8, frames, withPositions);
    for (int t = 0; t < frames; ++t) {
        for (int u = 0; u < units; ++u) {
            s.value({7 * u + 4, 4, t}) = kFreeMarker;
            s.value({7 * u + 4, 1, t}) = kFreeMarker;
        }
    }
    return s;
}

TEST_P(TrackingLimits, ALongStackOfSmallFramesStartsMoreTracksThanAFrameHasPixels) {
    Stack s = trackStarterStack(1, 100);  // 8 x 8 frames: 64 pixels, 99 tracks
    ASSERT_EQ(s.rows * s.cols, 64);
    ASSERT_EQ(runTracking(s, 3), 99);
    for (int id = 1; id <= 99; ++id) {
        EXPECT_EQ(s.trackstarts[id - 1], id);
        EXPECT_EQ(s.tracklength[id - 1], 1);
        expectLink(s, id, {4, 4, id - 1}, {4, 1, id});
        EXPECT_EQ(s.value({4, 1, id}), id == 99 ? kLinkedMarker : kFreeMarker);
    }
}

TEST_P(TrackingLimits, Track65535IsTheLastAndFurtherOnesAreRefused) {
    // 4369 new tracks in each of 15 pairs make exactly 65535.
    constexpr int kUnits = 4369;
    {
        Stack s = trackStarterStack(kUnits, 16);
        ASSERT_EQ(runTracking(s, 3), kMaxTracks);
        EXPECT_FALSE(s.limitReached);
        EXPECT_EQ(s.track({7 * (kUnits - 1) + 4, 1, 15}), kMaxTracks);
    }
    // One more frame: the 16th pair would start 4369 more, and starts none.
    Stack s = trackStarterStack(kUnits, 17);
    ASSERT_EQ(runTracking(s, 3), kMaxTracks);
    ASSERT_EQ(s.tracklength.size(), static_cast<std::size_t>(kMaxTracks));
    EXPECT_TRUE(s.limitReached);
    EXPECT_EQ(*std::max_element(s.Itracks.begin(), s.Itracks.end()), kMaxTracks);
    EXPECT_EQ(nonzero(s.Itracks), 2u * kMaxTracks);
    EXPECT_EQ(s.tracklength[kMaxTracks - 1], 1);
    EXPECT_EQ(s.trackstarts[kMaxTracks - 1], 15);
    for (int u = 0; u < kUnits; ++u) {
        expectUnlinked(s, {7 * u + 4, 4, 15});
        expectUnlinked(s, {7 * u + 4, 1, 16});
    }
    // Refusals do not carry over: a later call starts from 0.
    Stack again = trackStarterStack(1, 3);
    EXPECT_EQ(runTracking(again, 3), 2);
    EXPECT_FALSE(again.limitReached);
}

TEST_P(TrackingLimits, ARefusedStartLeavesItsPartnerToATrackThatContinues) {
    constexpr int kUnits = 4369;
    Stack s = trackStarterStack(kUnits, 17);
    // In pair 14, unit 1's column-4 marker (11, 4) now reaches B = (8, 4) of frame 15, so B
    // carries a track into pair 15 ...
    s.value({11, 1, 15}) = 0;
    s.value({8, 4, 15}) = kFreeMarker;
    // ... where A = (4, 4), which carries none and comes first in the list, and B both find
    // P = (6, 1) of frame 16 first.
    s.value({4, 1, 16}) = 0;
    s.value({6, 1, 16}) = kFreeMarker;
    ASSERT_EQ(runTracking(s, 3), kMaxTracks);
    EXPECT_TRUE(s.limitReached);
    const int continuing = 14 * kUnits + 2;
    expectLink(s, continuing, {11, 4, 14}, {8, 4, 15});
    expectLink(s, continuing, {8, 4, 15}, {6, 1, 16});
    EXPECT_EQ(s.tracklength[continuing - 1], 2);
    expectUnlinked(s, {4, 4, 15});
}

TEST_P(TrackingLimits, AHugeMaxDistanceGivesWhatTheLargestUsefulRadiusGives) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 10; ++trial) {
        Stack reference = emptyStack(23, 31, 3);
        for (uint8_t& v : reference.I) {
            v = random() % 40 == 0 ? kFreeMarker : 0;
        }
        Stack huge = reference;
        Stack nearlyHuge = reference;
        const int n = runTracking(reference, 23);
        EXPECT_EQ(runTracking(huge, kIntMax), n);
        EXPECT_EQ(runTracking(nearlyHuge, kIntMax - 1), n);
        EXPECT_EQ(huge.I, reference.I);
        EXPECT_EQ(huge.Itracks, reference.Itracks);
        EXPECT_EQ(huge.Ptracks, reference.Ptracks);
        EXPECT_EQ(huge.tracklength, reference.tracklength);
        EXPECT_EQ(nearlyHuge.Itracks, reference.Itracks);
    }
}

TEST_P(TrackingLimits, AHugeMaxDistanceStillReachesTheLargestRadiusAFrameAllows) {
    // In 23 x 23 frames the centre (11, 11) passes the border test up to radius 10, where
    // its square reaches (1, 1).
    for (int maxDistance : {10, kIntMax}) {
        Stack s = stackWithMarkers(23, 23, 2, {{11, 11, 0}, {1, 1, 1}});
        ASSERT_EQ(runTracking(s, maxDistance), 1);
        expectLink(s, 1, {11, 11, 0}, {1, 1, 1});
    }
    Stack s = stackWithMarkers(23, 23, 2, {{11, 11, 0}, {1, 1, 1}});
    EXPECT_EQ(runTracking(s, 9), 0);
}

TEST(LargestTrackCount, CountsStartableMarkersUpToTheIdLimit) {
    Stack s = stackWithMarkers(10, 10, 3, {{1, 1, 0}, {2, 2, 1}, {3, 3, 2}, {4, 4, 2}});
    s.value({5, 5, 1}) = kLinkedMarker;
    s.value({6, 6, 0}) = kLastBackgroundValue;
    EXPECT_EQ(largestTrackCount(s.I.data(), 10, 10, 3), 3);  // the last frame starts none
    EXPECT_EQ(largestTrackCount(s.I.data(), 10, 10, 1), 0);
    EXPECT_EQ(largestTrackCount(s.I.data(), 0, 10, 3), 0);
    std::vector<uint8_t> full(300 * 300 * 2, kFreeMarker);
    EXPECT_EQ(largestTrackCount(full.data(), 300, 300, 2), kMaxTracks);
}

TEST(TruncateToInt32, TruncatesTowardZeroAndSendsTheRestToTheSmallestInt) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(truncateToInt32(4.9), 4);
    EXPECT_EQ(truncateToInt32(-0.5), 0);
    EXPECT_EQ(truncateToInt32(-3.99), -3);
    EXPECT_EQ(truncateToInt32(2147483647.9), kIntMax);
    EXPECT_EQ(truncateToInt32(-2147483648.9), kIntMin);
    for (double outside : {2147483648.0, -2147483649.0, 1e300, -1e300, inf, -inf,
                           std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(truncateToInt32(outside), kIntMin) << outside;
    }
}

// --- Stacks past 32-bit offsets -------------------------------------------------------------
// Zero-filled blocks from calloc: the pages never written cost no memory, so these run in
// little real memory. They are skipped where the address space is too small.

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using ZeroBlock = std::unique_ptr<T[], FreeDeleter>;

template <class T>
ZeroBlock<T> zeroBlock(std::size_t count) {
    return ZeroBlock<T>(static_cast<T*>(std::calloc(count, sizeof(T))));
}

TEST_P(TrackingLargeStacks, MoreThan10737FramesWritePositionsPast2To31) {
    // The row-plane of Ptracks starts at 100000 * frames, past 2^31 from 10738 frames on.
    constexpr int kFrames = 10800;
    constexpr std::size_t kPositions = static_cast<std::size_t>(kPositionRows) * kFrames * 2;
    auto positions = zeroBlock<uint16_t>(kPositions);
    if (!positions) {
        GTEST_SKIP() << "no room for " << kPositions * 2 << " bytes";
    }
    Stack s = trackStarterStack(1, kFrames, false);
    const auto capacity =
        static_cast<std::size_t>(largestTrackCount(s.I.data(), s.rows, s.cols, s.frames));
    std::vector<double> tracklength(capacity), trackstarts(capacity), trackstartX(capacity),
        trackstartY(capacity);
    const int n = GetParam()(s.I.data(), s.Itracks.data(), tracklength.data(), trackstarts.data(),
                             positions.get(), trackstartX.data(), trackstartY.data(), s.rows,
                             s.cols, s.frames, 3, nullptr);
    ASSERT_EQ(n, kFrames - 1);
    const std::size_t plane = static_cast<std::size_t>(kPositionRows) * kFrames;
    const std::size_t lastEntry = (n - 1) + static_cast<std::size_t>(kFrames - 1) * kPositionRows;
    EXPECT_GT(plane + lastEntry, static_cast<std::size_t>(kIntMax));
    EXPECT_EQ(positions[lastEntry], 2);          // column 1, 1-based
    EXPECT_EQ(positions[plane + lastEntry], 5);  // row 4, 1-based
    EXPECT_EQ(trackstarts[n - 1], kFrames - 1);
    EXPECT_EQ(s.track({4, 1, kFrames - 1}), n);
}

// On the module's tracker only: the reference reads every frame twice, row by row across
// 65535 columns, which takes minutes here.
TEST(TrackingHugeStacks, StacksOf2To31ElementsOrMoreLinkInTheirLastFrames) {
    // 8 x 65535 frames; frame 4096 begins just below 2^31, frame 4097 just above.
    constexpr int kRows = 8;
    constexpr int kCols = 65535;
    constexpr int kFrames = 4098;
    constexpr std::size_t kFrameSize = static_cast<std::size_t>(kRows) * kCols;
    constexpr std::size_t kElements = kFrameSize * kFrames;
    auto stack = zeroBlock<uint8_t>(kElements);
    auto tracks = zeroBlock<uint16_t>(kElements);
    auto positions = zeroBlock<uint16_t>(static_cast<std::size_t>(kPositionRows) * kFrames * 2);
    if (!stack || !tracks || !positions) {
        GTEST_SKIP() << "no room for a stack of " << kElements << " elements";
    }
    auto at = [&](int r, int c, int t) { return r + c * kRows + t * kFrameSize; };
    stack[at(4, 60000, 4096)] = kFreeMarker;
    stack[at(5, 60002, 4097)] = kFreeMarker;
    ASSERT_GT(at(5, 60002, 4097), static_cast<std::size_t>(kIntMax));
    double tracklength = 0, trackstarts = 0, trackstartX = 0, trackstartY = 0;
    ASSERT_EQ(largestTrackCount(stack.get(), kRows, kCols, kFrames), 1);
    ASSERT_EQ(tracking(stack.get(), tracks.get(), &tracklength, &trackstarts, positions.get(),
                       &trackstartX, &trackstartY, kRows, kCols, kFrames, 3),
              1);
    EXPECT_EQ(tracks[at(4, 60000, 4096)], 1);
    EXPECT_EQ(tracks[at(5, 60002, 4097)], 1);
    EXPECT_EQ(stack[at(5, 60002, 4097)], kLinkedMarker);
    EXPECT_EQ(trackstarts, 4097);
    EXPECT_EQ(trackstartX, 60001);
    EXPECT_EQ(positions[static_cast<std::size_t>(kPositionRows) * 4097], 60003);
}

std::string driverName(const ::testing::TestParamInfo<Driver>& info) {
    return info.index == 0 ? "Module" : "Reference";
}
INSTANTIATE_TEST_SUITE_P(Trackers, Tracking, ::testing::Values(&tracking, &reference::tracking),
                         driverName);
INSTANTIATE_TEST_SUITE_P(Trackers, TrackingLimits,
                         ::testing::Values(&tracking, &reference::tracking), driverName);
INSTANTIATE_TEST_SUITE_P(Trackers, TrackingLargeStacks,
                         ::testing::Values(&tracking, &reference::tracking), driverName);

}  // namespace
