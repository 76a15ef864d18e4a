// libFuzzer target: the module's tracker against the plain reference, on small stacks decoded
// from the fuzzer's bytes. Any difference aborts: in the track count, the track-limit flag,
// the rewritten stack, or any output buffer, compared whole (also where neither should
// write).
//
// Input: byte 0 picks the encoding, then come the sizes (up to 24 x 24 pixels, 6 frames),
// maxDistance (0 to 30, and the ends of the int range) and the pixels:
//   pixels   one byte a pixel: markers 254 and 255, background 253 and below;
//   points   the bytes that are left, four at a time, place markers on a blank stack: row,
//            column, frame, and the marker's value.

#include <cstdint>
#include <limits>
#include <vector>

#include "fuzz/fuzz_bytes.h"
#include "tests/reference/tracker_outcome.h"
#include "tests/reference/tracker_reference.h"
#include "tracker/tracker.h"

namespace {

constexpr int32_t kLargestSide = 24;
constexpr int32_t kMostFrames = 6;
constexpr int32_t kMostPoints = 200;

enum Encoding : uint8_t { kPixels, kPoints, kEncodings };

struct Case {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t frames = 0;
    int32_t maxDistance = 0;
    std::vector<uint8_t> I;  // column-major, frame after frame
};

int32_t decodeMaxDistance(uint8_t b) {
    static const int32_t ends[] = {std::numeric_limits<int32_t>::min(), -1,
                                   std::numeric_limits<int32_t>::max(),
                                   std::numeric_limits<int32_t>::max() - 1};
    return b >= 252 ? ends[b - 252] : b % 31;
}

uint8_t pixelValue(uint8_t b) {
    if (b >= 0xC0) {
        return (b & 1) ? kFreeMarker : kLinkedMarker;
    }
    return b == 0xBF ? kLastBackgroundValue : b;
}

Case decodeCase(FuzzBytes& bytes, Encoding encoding) {
    Case c;
    c.rows = takeInRange(bytes, 0, kLargestSide);
    c.cols = takeInRange(bytes, 0, kLargestSide);
    c.frames = takeInRange(bytes, 0, kMostFrames);
    c.maxDistance = decodeMaxDistance(takeByte(bytes));
    c.I.assign(static_cast<std::size_t>(c.rows) * c.cols * c.frames, 0);
    if (c.I.empty()) {
        return c;
    }
    if (encoding == kPixels) {
        for (uint8_t& v : c.I) {
            v = pixelValue(takeByte(bytes));
        }
        return c;
    }
    for (int32_t k = 0; k < kMostPoints && bytesLeft(bytes); ++k) {
        const std::size_t r = takeInRange(bytes, 0, c.rows - 1);
        const std::size_t col = takeInRange(bytes, 0, c.cols - 1);
        const std::size_t t = takeInRange(bytes, 0, c.frames - 1);
        c.I[r + col * c.rows + t * c.rows * c.cols] = pixelValue(takeByte(bytes) | 0xC0);
    }
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzBytes bytes{data, size};
    const auto encoding = static_cast<Encoding>(takeByte(bytes) % kEncodings);
    const Case c = decodeCase(bytes, encoding);
    // Ptracks alone is 2.4 MB for six frames: fresh buffers for every run would cost more
    // than the tracking.
    static TrackerOutcome expected;
    static TrackerOutcome actual;
    prepareTrackerOutcome(c.I, c.rows, c.cols, c.frames, expected);
    callTracker(reference::tracking, c.rows, c.cols, c.frames, c.maxDistance, expected);
    prepareTrackerOutcome(c.I, c.rows, c.cols, c.frames, actual);
    callTracker(tracking, c.rows, c.cols, c.frames, c.maxDistance, actual);
    const char* difference = firstDifference(actual, expected);
    requireSame(difference == nullptr, difference);
    return 0;
}
