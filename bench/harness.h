#pragma once

// A small benchmark harness: runs a plain and a fast version of an algorithm on the same
// input in one process and reports both times, their ratio and the peak heap use of each.
//
// Heap use is counted by the global operator new/delete of this program (harness.cpp), so it
// covers every std::vector an algorithm allocates; inputs and outputs made before a
// measurement starts are not part of it.

#include <cstddef>
#include <functional>
#include <string>

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;  // process CPU time: steadier than wall time on a busy machine
    std::size_t peakBytes = 0;  // largest heap use above the level at the start
    bool skipped = false;
};

// Runs `work` once and measures it. `callerBytes`, the inputs and outputs the caller holds
// during the call (an image, a label image), is added to the peak, so that the peak is the
// whole memory the call needs.
Measurement measure(const std::function<void()>& work, std::size_t callerBytes = 0);

// One table row: workload, plain and fast times, ratio plain/fast, fast and plain peak heap.
// `note` says, for instance, that the plain version ran on a crop.
void reportHeader();
void report(const std::string& workload, const Measurement& plain, const Measurement& fast,
            const std::string& note = "");
// A row for a workload measured on the fast version only.
void reportFastOnly(const std::string& workload, const Measurement& fast,
                    const std::string& note = "");
