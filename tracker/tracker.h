#pragma once

// Frame-to-frame marker tracker.
//
// A uint8 stack of frames (rows x cols x frames, column-major) carries cell markers: every
// pixel above 253, that is 254 or 255, is a marker of its own (neighbouring marker pixels are
// not grouped). For each pair of consecutive frames (t, t+1), in increasing t:
//   A. scan:  markers of frame t are listed row by row (rows outer, columns inner) and set to
//             kFreeMarker, and so are the markers of frame t+1;
//   B.        with maxDistance below kFirstRadius the pair gets no linking;
//   C. link:  for radius = 3, 4, ..., maxDistance (outer loop), every listed marker still
//             free, in list order, that passes the border test scans the square of that
//             half-width around itself, columns outer and rows inner, and links to the first
//             pixel of frame t+1 still at kFreeMarker. Both ends become kLinkedMarker.
// So every marker tries radius 3 before any tries radius 4, and within a radius the earlier
// marker in the list wins. A link carries the track id of the frame-t marker into frame t+1;
// a marker without an id starts a new track. Ids are issued from 1 in the order tracks start.
//
// The stack is rewritten in place: afterwards a marker of every frame but the last is
// kLinkedMarker if it linked forward and kFreeMarker if not; one of the last frame is
// kLinkedMarker if it was reached. Values 0..253 are never changed. With fewer than two frames
// nothing is touched.

#include <cstdint>

constexpr uint8_t kLastBackgroundValue = 253;
constexpr uint8_t kLinkedMarker = 254;
constexpr uint8_t kFreeMarker = 255;

// The search square's half-width starts at 3: a 7 x 7 square, in which scan order alone
// decides between free pixels.
constexpr int32_t kFirstRadius = 3;

// Ptracks holds this many rows per frame, whatever the data.
constexpr int32_t kPositionRows = 100000;
// Track ids are uint16 and 0 means "no track".
constexpr int32_t kMaxTracks = 65535;
// Positions are written 1-based into uint16 entries.
constexpr int32_t kMaxFrameSide = 65535;

// Links the markers of the stack `I` into tracks and returns the number of tracks (0 to
// kMaxTracks).
//
//   I             rows x cols x frames markers; rewritten in place (see above).
//   Itracks       rows x cols x frames, all zero on entry; receives the track id at every
//                 marker pixel that belongs to a track.
//   Ptracks       kPositionRows x frames x 2, all zero on entry. Entry (id-1, t, 0) is the
//                 1-based column and (id-1, t, 1) the 1-based row of track id in frame t;
//                 0 where the track has no marker. May be null: the same positions are
//                 where Itracks holds id in frame t, so a caller that reads them from there
//                 needs no 400 kB a frame.
//   tracklength, trackstarts, trackstartX, trackstartY
//                 per track, indexed by id-1: links (frames covered minus one), 1-based start
//                 frame, 1-based start column and row. Entries from the result on are neither
//                 read nor written; they must hold largestTrackCount(...) entries.
//   rows, cols    at most kMaxFrameSide each.
//   maxDistance   the largest half-width; below kFirstRadius nothing links. Any int value is
//                 safe.
//   trackLimitReached  when given, set to whether a track would have started beyond
//                 kMaxTracks. Such a track is refused: its marker stays free and unlinked for
//                 the rest of the pair, and its partner stays free.
//
// Element offsets are formed in 64-bit arithmetic, so a stack of 2^31 elements or more, or
// with more than 10737 frames, is fine. All scratch (about 15 bytes per pixel of a frame) is
// allocated before anything is written: std::bad_alloc leaves every buffer untouched.
int tracking(uint8_t* I, uint16_t* Itracks, double* tracklength, double* trackstarts,
             uint16_t* Ptracks, double* trackstartX, double* trackstartY, int rows, int cols,
             int frames, int maxDistance, bool* trackLimitReached = nullptr);

// The most tracks `tracking` can create on this stack, so the size the per-track arrays need:
// every track starts at a distinct marker of frames 0 .. frames-2, and no more than
// kMaxTracks are numbered. Markers stay markers when `tracking` rewrites the stack, so the
// count is the same before and after.
int32_t largestTrackCount(const uint8_t* I, int rows, int cols, int frames);

// What every front end says when it refuses a stack or reaches the track limit.
inline constexpr char kNotUint8Message[] = "Image with cell markers must be a uint8 matrix";
inline constexpr char kFrameTooLargeMessage[] =
    "Image with cell markers is too large: frames of at most 65535 rows and 65535 columns "
    "are supported";
inline constexpr char kTooManyFramesMessage[] =
    "Image with cell markers has too many frames: at most 2147483647 are supported";
inline constexpr char kTrackLimitMessage[] =
    "vesquin4: the limit of 65535 tracks was reached; markers that would have started "
    "further tracks were left unlinked";

// maxDistance as the host gives it (a double) truncated toward zero to int32. NaN, +-Inf and
// values whose integer part lies outside int32 become the smallest int32: no linking.
int32_t truncateToInt32(double value);
