#include "tests/reference/tracker_reference.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace reference {

namespace {

// Where pixel (row, column, frame) lies in I and in Itracks. Offsets are size_t: a stack may
// hold 2^31 elements or more.
struct StackLayout {
    std::size_t rows;
    std::size_t frameSize;  // rows * cols

    std::size_t at(int32_t row, int32_t col, int32_t frame) const {
        return static_cast<std::size_t>(row) + static_cast<std::size_t>(col) * rows +
               static_cast<std::size_t>(frame) * frameSize;
    }
};

struct PixelPosition {
    int32_t row;
    int32_t col;
};

// The buffers that links write into besides I.
struct TrackOutputs {
    uint16_t* Itracks;
    uint16_t* Ptracks;
    double* tracklength;
    double* trackstarts;
    double* trackstartX;
    double* trackstartY;
    std::size_t frames;
};

bool isMarker(uint8_t value) {
    return value > kLastBackgroundValue;
}

// Ptracks: kPositionRows entries per frame, plane 0 the 1-based column (X), plane 1 the
// 1-based row (Y). 100000 * frames passes 2^31 after 10737 frames, hence size_t.
void setPosition(const TrackOutputs& out, uint16_t id, int32_t frame, PixelPosition pixel) {
    const std::size_t entry =
        static_cast<std::size_t>(id - 1) + static_cast<std::size_t>(frame) * kPositionRows;
    const std::size_t planeSize = static_cast<std::size_t>(kPositionRows) * out.frames;
    out.Ptracks[entry] = static_cast<uint16_t>(pixel.col + 1);
    out.Ptracks[entry + planeSize] = static_cast<uint16_t>(pixel.row + 1);
}

// Lists the markers of `frame` row by row, the order in which they will claim partners, and
// frees every marker of both frames: markers of `frame` reached from the frame before (left
// at kLinkedMarker) are listed like any other, and every marker of the next frame enters
// the linking free.
void scanAndNormalise(uint8_t* I, const StackLayout& layout, int32_t rows, int32_t cols,
                      int32_t frame, std::vector<marker>& markers) {
    markers.clear();
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
            uint8_t& current = I[layout.at(r, c, frame)];
            if (isMarker(current)) {
                markers.push_back(
                    {static_cast<uint16_t>(c), static_cast<uint16_t>(r), kFreeMarker});
                current = kFreeMarker;
            }
            uint8_t& next = I[layout.at(r, c, frame + 1)];
            if (isMarker(next)) {
                next = kFreeMarker;
            }
        }
    }
}

// All four comparisons strict: the square never reaches column 0 or row 0 (x > radius, not
// x >= radius), but may reach the last column and the last row. The test only grows
// stricter with the radius.
bool squareInsideBorder(const marker& m, int32_t radius, int32_t rows, int32_t cols) {
    return radius < m.x && radius < m.y && m.x < cols - radius && m.y < rows - radius;
}

// The first free pixel of the next frame in the square, columns outer and rows inner: the
// smallest column wins, then the smallest row. The marker's own position is scanned too.
bool findPartner(const uint8_t* I, const StackLayout& layout, const marker& m, int32_t radius,
                 int32_t nextFrame, PixelPosition& partner) {
    for (int32_t col = m.x - radius; col <= m.x + radius; ++col) {
        for (int32_t row = m.y - radius; row <= m.y + radius; ++row) {
            if (I[layout.at(row, col, nextFrame)] == kFreeMarker) {
                partner = {row, col};
                return true;
            }
        }
    }
    return false;
}

// Links marker `m` of `frame` to `partner` in the next frame, starting a track when the
// marker carries none. Returns false, changing nothing, when that track would be number
// kMaxTracks + 1: its id would not fit 16 bits and would wrap to 0, "no track".
bool linkToPartner(uint8_t* I, const StackLayout& layout, const TrackOutputs& out,
                   uint16_t& trackCount, marker& m, int32_t frame, PixelPosition partner) {
    const PixelPosition start{m.y, m.x};
    const std::size_t from = layout.at(start.row, start.col, frame);
    const std::size_t to = layout.at(partner.row, partner.col, frame + 1);
    uint16_t id = out.Itracks[from];
    if (id == 0) {
        if (trackCount == kMaxTracks) {
            return false;
        }
        ++trackCount;
        id = trackCount;
        out.Itracks[from] = id;
        setPosition(out, id, frame, start);
        const std::size_t k = id - 1u;
        out.trackstarts[k] = frame + 1;
        out.tracklength[k] = 0;
        out.trackstartX[k] = start.col + 1;
        out.trackstartY[k] = start.row + 1;
    }
    out.tracklength[id - 1u] += 1;
    out.Itracks[to] = id;
    setPosition(out, id, frame + 1, partner);
    I[from] = kLinkedMarker;
    I[to] = kLinkedMarker;
    m.state = kLinkedMarker;
    return true;
}

// The radius loop may stop here without changing any result: the border test needs
// radius < x < cols - radius and radius < y < rows - radius, so from radius = min(rows, cols)
// on no marker passes it, and it only grows stricter. The cap also keeps the radius far from
// int overflow for a maxDistance at the top of the int range.
int32_t lastUsefulRadius(int32_t maxDistance, int32_t rows, int32_t cols) {
    return std::min({maxDistance, rows, cols});
}

}  // namespace

int tracking(uint8_t* I, uint16_t* Itracks, double* tracklength, double* trackstarts,
             uint16_t* Ptracks, double* trackstartX, double* trackstartY, int rows, int cols,
             int frames, int maxDistance, bool* trackLimitReached) {
    if (trackLimitReached != nullptr) {
        *trackLimitReached = false;
    }
    if (rows <= 0 || cols <= 0 || frames < 2) {
        return 0;
    }
    const StackLayout layout{static_cast<std::size_t>(rows),
                             static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)};
    const TrackOutputs out{Itracks,
                           Ptracks,
                           tracklength,
                           trackstarts,
                           trackstartX,
                           trackstartY,
                           static_cast<std::size_t>(frames)};
    std::vector<marker> markers;
    markers.reserve(layout.frameSize);
    uint16_t trackCount = 0;
    bool refused = false;
    const int32_t lastRadius = lastUsefulRadius(maxDistance, rows, cols);

    for (int32_t t = 0; t < frames - 1; ++t) {
        scanAndNormalise(I, layout, rows, cols, t, markers);
        if (maxDistance < kFirstRadius) {
            continue;
        }
        // Radius outer, markers inner: every free marker tries a radius before any tries the
        // next, so a nearer partner always wins over list order.
        for (int32_t radius = kFirstRadius; radius <= lastRadius; ++radius) {
            for (marker& m : markers) {
                if (m.state != kFreeMarker || !squareInsideBorder(m, radius, rows, cols)) {
                    continue;
                }
                PixelPosition partner{};
                if (findPartner(I, layout, m, radius, t + 1, partner) &&
                    !linkToPartner(I, layout, out, trackCount, m, t, partner)) {
                    refused = true;
                }
            }
        }
    }

    if (trackLimitReached != nullptr) {
        *trackLimitReached = refused;
    }
    return trackCount;
}

}  // namespace reference
