#pragma once

// Everything one call of a tracker writes, for comparing the module's tracker with the plain
// reference in the tests, the fuzz target and the benchmark.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tracker/tracker.h"

// What the per-track arrays hold where no track wrote.
constexpr double kUnwrittenTrackEntry = -7.5;

struct TrackerOutcome {
    int count = 0;
    bool limitReached = false;
    std::vector<uint8_t> I;
    std::vector<uint16_t> Itracks;
    std::vector<uint16_t> Ptracks;
    std::vector<double> tracklength;
    std::vector<double> trackstarts;
    std::vector<double> trackstartX;
    std::vector<double> trackstartY;
};

// Makes `o` ready for a call on a copy of the stack `I`: zeroed outputs and per-track arrays
// filled with kUnwrittenTrackEntry, with one spare entry beyond the most tracks the stack can
// start, which shows a write past the last track. Buffers are refilled, so that their memory
// is reused from call to call.
inline void prepareTrackerOutcome(const std::vector<uint8_t>& I, int rows, int cols, int frames,
                                  TrackerOutcome& o) {
    o.I = I;
    o.Itracks.assign(I.size(), 0);
    o.Ptracks.assign(static_cast<std::size_t>(kPositionRows) * frames * 2, 0);
    const auto capacity =
        static_cast<std::size_t>(largestTrackCount(I.data(), rows, cols, frames)) + 1;
    for (auto* perTrack : {&o.tracklength, &o.trackstarts, &o.trackstartX, &o.trackstartY}) {
        perTrack->assign(capacity, kUnwrittenTrackEntry);
    }
    o.limitReached = true;  // every call must set it
}

// Calls `driver` (tracking or reference::tracking) on a prepared outcome.
template <class Driver>
void callTracker(Driver driver, int rows, int cols, int frames, int maxDistance,
                 TrackerOutcome& o) {
    o.count = driver(o.I.data(), o.Itracks.data(), o.tracklength.data(), o.trackstarts.data(),
                     o.Ptracks.data(), o.trackstartX.data(), o.trackstartY.data(), rows, cols,
                     frames, maxDistance, &o.limitReached);
}

// The name of the first output in which two outcomes differ, or nullptr when they agree in
// all of them, compared whole.
inline const char* firstDifference(const TrackerOutcome& a, const TrackerOutcome& b) {
    if (a.count != b.count)
        return "track count";
    if (a.limitReached != b.limitReached)
        return "track-limit flag";
    if (a.I != b.I)
        return "rewritten stack";
    if (a.Itracks != b.Itracks)
        return "Itracks";
    if (a.Ptracks != b.Ptracks)
        return "Ptracks";
    if (a.tracklength != b.tracklength)
        return "tracklength";
    if (a.trackstarts != b.trackstarts)
        return "trackstarts";
    if (a.trackstartX != b.trackstartX)
        return "trackstartX";
    if (a.trackstartY != b.trackstartY)
        return "trackstartY";
    return nullptr;
}
