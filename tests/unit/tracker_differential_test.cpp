// The module's tracker against the plain reference, on seeded random stacks: the result, every
// output buffer (whole, including the parts neither should write), the rewritten stack and the
// track-limit flag must agree bit for bit.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/reference/tracker_outcome.h"
#include "tests/reference/tracker_reference.h"
#include "tracker/tracker.h"

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

struct Case {
    int rows = 0;
    int cols = 0;
    int frames = 0;
    int maxDistance = 0;
    std::vector<uint8_t> I;  // column-major, frame after frame

    std::size_t frameSize() const { return static_cast<std::size_t>(rows) * cols; }
    uint8_t& at(int r, int c, int t) {
        return I[r + static_cast<std::size_t>(c) * rows + t * frameSize()];
    }
    std::string describe(uint64_t seed) const {
        std::ostringstream text;
        text << "seed " << seed << ", stack " << rows << "x" << cols << "x" << frames
             << ", maxDistance " << maxDistance;
        return text.str();
    }
};

int uniform(std::mt19937_64& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

bool chance(std::mt19937_64& rng, double p) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
}

template <class T>
T pick(std::mt19937_64& rng, std::initializer_list<T> choices) {
    return choices.begin()[uniform(rng, 0, static_cast<int>(choices.size()) - 1)];
}

uint8_t markerValue(std::mt19937_64& rng) {
    return chance(rng, 0.5) ? kFreeMarker : kLinkedMarker;
}

// Background: zeros, the largest background value, or anything below the markers.
uint8_t backgroundValue(std::mt19937_64& rng, int style) {
    switch (style) {
        case 0:
            return 0;
        case 1:
            return chance(rng, 0.5) ? kLastBackgroundValue : 0;
        default:
            return static_cast<uint8_t>(uniform(rng, 0, kLastBackgroundValue));
    }
}

// Markers that wander a few pixels per frame, some appearing and some vanishing, so that
// links form at every radius and compete for the same partners.
void drawMovingMarkers(std::mt19937_64& rng, Case& c) {
    struct Walker {
        int r;
        int c;
    };
    std::vector<Walker> walkers(static_cast<std::size_t>(uniform(rng, 1, 40)));
    for (Walker& w : walkers) {
        w = {uniform(rng, 0, c.rows - 1), uniform(rng, 0, c.cols - 1)};
    }
    const int step = uniform(rng, 0, std::max(c.rows, c.cols) / 3 + 1);
    for (int t = 0; t < c.frames; ++t) {
        for (Walker& w : walkers) {
            w.r = std::clamp(w.r + uniform(rng, -step, step), 0, c.rows - 1);
            w.c = std::clamp(w.c + uniform(rng, -step, step), 0, c.cols - 1);
            if (!chance(rng, 0.1)) {
                c.at(w.r, w.c, t) = markerValue(rng);
            }
            if (chance(rng, 0.05)) {
                w = {uniform(rng, 0, c.rows - 1), uniform(rng, 0, c.cols - 1)};
            }
        }
    }
}

// Solid rectangles of markers: many markers share their nearest free pixels.
void drawMarkerBlocks(std::mt19937_64& rng, Case& c) {
    const int blocks = uniform(rng, 1, 6);
    for (int t = 0; t < c.frames; ++t) {
        for (int b = 0; b < blocks; ++b) {
            const int r0 = uniform(rng, 0, c.rows - 1);
            const int c0 = uniform(rng, 0, c.cols - 1);
            const int r1 = std::min(c.rows - 1, r0 + uniform(rng, 0, 6));
            const int c1 = std::min(c.cols - 1, c0 + uniform(rng, 0, 6));
            for (int col = c0; col <= c1; ++col) {
                for (int r = r0; r <= r1; ++r) {
                    c.at(r, col, t) = markerValue(rng);
                }
            }
        }
    }
}

// Partners on the ring at one Chebyshev distance around each marker, none nearer: searches
// beyond radius 3 that find several free pixels of the ring at once, often the top and the
// bottom pixel of one column.
void drawRings(std::mt19937_64& rng, Case& c) {
    for (int t = 0; t + 1 < c.frames; ++t) {
        const int centres = uniform(rng, 1, 4);
        for (int k = 0; k < centres; ++k) {
            // Mostly a distance the centre can reach inside the border.
            const int reach = (std::min(c.rows, c.cols) - 3) / 2;
            const int d = uniform(rng, 3, std::clamp(reach, 3, 12));
            const bool inside = chance(rng, 0.8) && d <= reach;
            const int y =
                inside ? uniform(rng, d + 1, c.rows - d - 2) : uniform(rng, 0, c.rows - 1);
            const int x =
                inside ? uniform(rng, d + 1, c.cols - d - 2) : uniform(rng, 0, c.cols - 1);
            const double density = pick(rng, {0.05, 0.2, 0.6, 1.0});
            // Often nothing in the outer columns, so that the inner ones decide.
            const double outerDensity = pick(rng, {0.0, 0.0, 0.1, density});
            c.at(y, x, t) = markerValue(rng);
            auto place = [&](int r, int col) {
                if (r >= 0 && r < c.rows && col >= 0 && col < c.cols) {
                    c.at(r, col, t + 1) = markerValue(rng);
                }
            };
            for (int col = x - d; col <= x + d; ++col) {
                if (col == x - d || col == x + d) {
                    for (int r = y - d; r <= y + d; ++r) {
                        if (chance(rng, outerDensity)) {
                            place(r, col);
                        }
                    }
                } else if (chance(rng, density)) {
                    // Top and bottom of an inner column share one draw: they tie for it.
                    place(y - d, col);
                    place(y + d, col);
                }
            }
        }
    }
}

int randomMaxDistance(std::mt19937_64& rng, const Case& c) {
    const int side = std::max(c.rows, c.cols);
    switch (uniform(rng, 0, 5)) {
        case 0:
            return pick(rng, {kIntMin, -1, 0, 1, 2});
        case 1:
            return pick(rng, {kIntMax, kIntMax - 1});
        case 2:
            return uniform(rng, side / 2, side + 3);
        case 3:
            return 3;
        default:
            return uniform(rng, 3, 8);
    }
}

Case randomCase(uint64_t seed, int largest) {
    std::mt19937_64 rng(seed);
    Case c;
    switch (uniform(rng, 0, 9)) {
        case 0:  // tiny, empty sides included
            c.rows = uniform(rng, 0, 10);
            c.cols = uniform(rng, 0, 10);
            break;
        case 1:  // thin: a side too short for any square, or a single row or column
            c.rows = uniform(rng, 1, 9);
            c.cols = uniform(rng, 1, largest);
            if (chance(rng, 0.3)) {
                c.rows = 1;
            }
            if (chance(rng, 0.5)) {
                std::swap(c.rows, c.cols);
            }
            break;
        case 2:  // the smallest frames that can link
            c.rows = uniform(rng, 8, 10);
            c.cols = uniform(rng, 8, 10);
            break;
        default:
            c.rows = uniform(rng, 8, largest);
            c.cols = uniform(rng, 8, largest);
            break;
    }
    c.frames = chance(rng, 0.1) ? uniform(rng, 0, 1) : uniform(rng, 2, 6);
    c.I.assign(c.frameSize() * c.frames, 0);
    const int background = uniform(rng, 0, 2);
    for (uint8_t& v : c.I) {
        v = backgroundValue(rng, background);
    }
    if (c.frameSize() > 0 && c.frames > 0) {
        switch (uniform(rng, 0, 6)) {
            case 0: {  // scattered markers, from very sparse to nearly all
                const double density = pick(rng, {0.005, 0.02, 0.08, 0.3, 0.7, 0.95});
                for (uint8_t& v : c.I) {
                    if (chance(rng, density)) {
                        v = markerValue(rng);
                    }
                }
                break;
            }
            case 1:  // every pixel a marker
                for (uint8_t& v : c.I) {
                    v = markerValue(rng);
                }
                break;
            case 2:
                drawMovingMarkers(rng, c);
                break;
            case 3:
                drawMarkerBlocks(rng, c);
                break;
            case 4:  // each frame sparse or dense on its own
                for (int t = 0; t < c.frames; ++t) {
                    const double density = pick(rng, {0.0, 0.01, 0.1, 0.5, 1.0});
                    for (std::size_t k = 0; k < c.frameSize(); ++k) {
                        if (chance(rng, density)) {
                            c.I[t * c.frameSize() + k] = markerValue(rng);
                        }
                    }
                }
                break;
            case 5:
                drawRings(rng, c);
                break;
            default:
                drawMovingMarkers(rng, c);
                drawMarkerBlocks(rng, c);
                break;
        }
    }
    c.maxDistance = randomMaxDistance(rng, c);
    return c;
}

template <class Driver>
void run(const Case& c, Driver driver, TrackerOutcome& o) {
    prepareTrackerOutcome(c.I, c.rows, c.cols, c.frames, o);
    callTracker(driver, c.rows, c.cols, c.frames, c.maxDistance, o);
}

void expectAgreement(const Case& c, const std::string& what) {
    // Kept from case to case, so that their buffers (Ptracks alone takes 400 kB a frame) are
    // refilled rather than allocated again: on some C runtimes, Wine's among them, every
    // large allocation is a fresh mapping of zeroed pages.
    static TrackerOutcome expected;
    static TrackerOutcome actual;
    run(c, reference::tracking, expected);
    run(c, tracking, actual);
    const char* difference = firstDifference(actual, expected);
    ASSERT_EQ(difference, nullptr) << what << ": " << difference << " differs";

    // Without Ptracks (the Python package reads positions off Itracks) everything else is
    // written the same.
    static TrackerOutcome withoutPositions;
    run(c, [](uint8_t* I, uint16_t* Itracks, double* tracklength, double* trackstarts, uint16_t*,
              double* trackstartX, double* trackstartY, int rows, int cols, int frames,
              int maxDistance, bool* limitReached) {
            return tracking(I, Itracks, tracklength, trackstarts, nullptr, trackstartX,
                            trackstartY, rows, cols, frames, maxDistance, limitReached);
        }, withoutPositions);
    withoutPositions.Ptracks = expected.Ptracks;
    difference = firstDifference(withoutPositions, expected);
    ASSERT_EQ(difference, nullptr) << what << " without Ptracks: " << difference << " differs";
}

TEST(TrackerDifferential, AgreesWithTheReferenceOnRandomStacks) {
    for (uint64_t seed = 1; seed <= 4000; ++seed) {
        const Case c = randomCase(seed, 40);
        ASSERT_NO_FATAL_FAILURE(expectAgreement(c, c.describe(seed)));
    }
}

// Fewer but larger frames: long searches at large radii, far from the border.
TEST(TrackerDifferential, AgreesWithTheReferenceOnLargerFrames) {
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        const Case c = randomCase(1000003 * seed, 130);
        ASSERT_NO_FATAL_FAILURE(expectAgreement(c, c.describe(1000003 * seed)));
    }
}

// Tall frames of 8 to 12 columns pass the limit of 65535 tracks within a call: only the middle
// columns can link, and most partners lie in columns that cannot link on, so nearly every link
// starts a track. Past the limit, starts are refused while continuing tracks go on linking.
TEST(TrackerDifferential, AgreesWithTheReferenceAtTheTrackLimit) {
    int limitsReached = 0;
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        std::mt19937_64 rng(seed);
        Case c;
        c.rows = uniform(rng, 1000, 3000);
        c.cols = uniform(rng, 8, 12);
        c.maxDistance = pick(rng, {3, 4, 5, kIntMax});
        const double density = pick(rng, {0.4, 0.7, 1.0});
        // About as many frames as the limit needs, give or take a few: each pair starts about
        // 0.8 tracks per marker of the columns that can link.
        const auto startsPerPair = static_cast<int>(0.8 * c.rows * density * (c.cols - 7));
        c.frames = 65535 / startsPerPair + uniform(rng, -3, 3);
        c.I.assign(c.frameSize() * c.frames, 0);
        for (uint8_t& v : c.I) {
            if (chance(rng, density)) {
                v = markerValue(rng);
            }
        }
        ASSERT_NO_FATAL_FAILURE(expectAgreement(c, c.describe(seed)));
        bool reached = false;
        std::vector<uint8_t> stack = c.I;
        std::vector<uint16_t> Itracks(stack.size(), 0);
        std::vector<uint16_t> Ptracks(static_cast<std::size_t>(kPositionRows) * c.frames * 2, 0);
        const auto capacity =
            static_cast<std::size_t>(largestTrackCount(c.I.data(), c.rows, c.cols, c.frames));
        std::vector<double> perTrack(4 * capacity);
        tracking(stack.data(), Itracks.data(), perTrack.data(), perTrack.data() + capacity,
                 Ptracks.data(), perTrack.data() + 2 * capacity, perTrack.data() + 3 * capacity,
                 c.rows, c.cols, c.frames, c.maxDistance, &reached);
        limitsReached += reached;
    }
    // The generator must keep reaching the limit, or this test proves nothing about it.
    EXPECT_GE(limitsReached, 2);
}

}  // namespace
