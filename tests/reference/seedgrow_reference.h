#pragma once

// The seeded grower written plainly, step by step, as the reference the module's grower is
// tested and timed against: every level walks the whole frontier, every labelled pixel, and
// copies the next frontier over it. Labels must match the module's grower bit for bit.

#include "matx/matx.h"
#include "seedgrow/seedgrow.h"

namespace reference {

// Same effect as ::spreadingLabels. `frontier` and `candidates` must each have room for
// m*n entries; their contents are of no use afterwards. The level loop must end: see
// levelsPassMaximum.
void spreadingLabels(const matx& grey, matx& labels, double celllevel, pixelPos* frontier,
                     pixelPos* candidates);

}  // namespace reference
