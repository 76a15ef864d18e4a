// The three algorithms called from several threads at once, as the Python package lets a
// thread pool do: every result must equal the one computed alone. The threads share their
// inputs (read only), so a write to an input or to any shared state would show here, and,
// in the ThreadSanitizer build (build-tsan, run by ./run.sh test), as a reported race.

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/tracker_outcome.h"
#include "tracker/tracker.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 2;
// Large enough that the calls' working arrays are blocks kept from call to call, which the
// threads then take from each other.
constexpr int32_t kSide = 128;
constexpr int kFrames = 4;

struct Inputs {
    std::vector<double> grey;   // kSide x kSide, dark blobs on a brighter ground
    std::vector<double> seeded;  // the same with seed pixels at 255
    std::vector<uint8_t> stack;  // kSide x kSide x kFrames, drifting markers
};

Inputs makeInputs(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> grey(1, 60);
    std::uniform_int_distribution<int> percent(0, 99);
    Inputs in;
    const auto pixels = static_cast<std::size_t>(kSide) * kSide;
    for (std::size_t k = 0; k < pixels; ++k) {
        in.grey.push_back(percent(rng) < 10 ? 0.0 : grey(rng));
    }
    in.seeded = in.grey;
    for (std::size_t k = 0; k < pixels; k += 97) {
        in.seeded[k] = 255.0;
    }
    in.stack.assign(pixels * kFrames, 0);
    for (int t = 0; t < kFrames; ++t) {
        for (int marker = 0; marker < 30; ++marker) {
            const std::size_t r = 4 + (marker * 7 + t) % (kSide - 8);
            const std::size_t c = 4 + (marker * 13 + 2 * t) % (kSide - 8);
            in.stack[r + c * kSide + t * pixels] = 255;
        }
    }
    return in;
}

std::vector<double> labelled(const std::vector<double>& grey, int threads = 1) {
    // The views lie over the shared input, which the labeller only reads.
    auto* data = const_cast<double*>(grey.data());
    std::vector<double> labels(grey.size(), kNotFlooded);
    std::vector<int32_t> cellSize(grey.size(), 0);
    ViewHandle greyView = make_view(data, kSide, kSide);
    ViewHandle labelView = make_view(labels.data(), kSide, kSide);
    // However few pixels a level's flood or growth pass holds, it is shared.
    labellingCellsOnThreads(*greyView, *labelView, cellSize.data(),
                            largestGreyValue(grey.data(), kSide * kSide), 30, 5,
                            LabellerThreads{threads, 0, 0});
    return labels;
}

std::vector<double> grown(const std::vector<double>& grey) {
    auto* data = const_cast<double*>(grey.data());
    std::vector<double> labels(grey.size());
    GrowthScratch scratch = makeGrowthScratch(kSide, kSide);
    ViewHandle greyView = make_view(data, kSide, kSide);
    ViewHandle labelView = make_view(labels.data(), kSide, kSide);
    spreadingLabels(*greyView, *labelView, 254, scratch);
    return labels;
}

TrackerOutcome tracked(const std::vector<uint8_t>& stack) {
    TrackerOutcome outcome;
    prepareTrackerOutcome(stack, kSide, kSide, kFrames, outcome);
    callTracker(tracking, kSide, kSide, kFrames, 6, outcome);
    return outcome;
}

struct Results {
    std::vector<double> labels;
    std::vector<double> grownLabels;
    TrackerOutcome tracks;
};

Results runAll(const Inputs& in) {
    return {labelled(in.grey), grown(in.seeded), tracked(in.stack)};
}

TEST(Threads, ConcurrentCallsGiveTheSingleThreadedResults) {
    // Two distinct inputs, each shared by half the threads.
    const std::vector<Inputs> inputs = {makeInputs(1), makeInputs(2)};
    std::vector<Results> alone;
    for (const Inputs& in : inputs) {
        alone.push_back(runAll(in));
        // Inputs on which every algorithm has work to do.
        ASSERT_GT(*std::max_element(alone.back().labels.begin(), alone.back().labels.end()),
                  kFirstCellLabel);
        ASSERT_GT(*std::max_element(alone.back().grownLabels.begin(),
                                    alone.back().grownLabels.end()),
                  1.0);
        ASSERT_GT(alone.back().tracks.count, 0);
    }

    std::vector<std::vector<Results>> together(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
        threads.emplace_back([&, k] {
            for (int round = 0; round < kRounds; ++round) {
                together[k].push_back(runAll(inputs[k % inputs.size()]));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    for (int k = 0; k < kThreads; ++k) {
        const Results& expected = alone[k % inputs.size()];
        for (const Results& got : together[k]) {
            EXPECT_EQ(got.labels, expected.labels) << "thread " << k;
            EXPECT_EQ(got.grownLabels, expected.grownLabels) << "thread " << k;
            const char* difference = firstDifference(got.tracks, expected.tracks);
            EXPECT_EQ(difference, nullptr) << "thread " << k << ": " << difference;
        }
    }
}

// One call of the labeller on a crew of its own: its threads write the same state, each in
// its band, so a write that strays across a band's border shows here as a different label or,
// in the ThreadSanitizer build, as a race.
TEST(Threads, LabellerOnSeveralThreadsGivesTheLabelsOfOne) {
    for (const uint64_t seed : {1, 2}) {
        const Inputs in = makeInputs(seed);
        const std::vector<double> alone = labelled(in.grey);
        for (const int threads : {2, 3, 8}) {
            EXPECT_EQ(labelled(in.grey, threads), alone) << threads << " threads, seed " << seed;
        }
    }
}

}  // namespace
