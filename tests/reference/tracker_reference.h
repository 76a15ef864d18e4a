#pragma once

// The tracker written plainly, step by step, as the reference the module's tracker is tested
// against: every pair scans both frames row by row, and the radius loop runs from 3 up to
// maxDistance (capped where no marker can pass the border test) over every listed marker,
// rescanning the whole square of each open marker at every radius. Every output, the return
// value, the rewritten stack and the track-limit flag must match the module's tracker bit
// for bit.

#include <cstdint>

#include "tracker/tracker.h"

namespace reference {

// One marker of the current frame.
struct marker {
    uint16_t x;      // 0-based column
    uint16_t y;      // 0-based row
    uint16_t state;  // kFreeMarker: not yet linked to the next frame; kLinkedMarker: linked
};

// Same contract as ::tracking.
int tracking(uint8_t* I, uint16_t* Itracks, double* tracklength, double* trackstarts,
             uint16_t* Ptracks, double* trackstartX, double* trackstartY, int rows, int cols,
             int frames, int maxDistance, bool* trackLimitReached = nullptr);

}  // namespace reference
