% VESQUIN4  Link cell markers of consecutive frames into tracks.
%
%   [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY] = ...
%       vesquin4(I, maxDistance)
%
%   I is a stack of frames in which every pixel of value 254 or 255 is a cell
%   marker (each marker pixel on its own; touching pixels are not grouped).
%   For each pair of consecutive frames, every marker of the earlier frame is
%   linked to the first free marker of the later frame found in a square
%   around it. The square's half-width grows from 3 up to maxDistance, and all
%   markers try one half-width before any tries the next, so a nearer partner
%   always wins. Within a half-width, markers take their turn row by row (top
%   row first, then left to right), and each scans its square column by
%   column (leftmost column first, top to bottom in each column); the first
%   free marker found is its partner. A marker links only when its whole
%   square lies inside the frame, with row 1 and column 1 never inside it.
%   Links chain into tracks: a marker reached from the frame before carries
%   its track on; one that was not starts a new track.
%
%   I IS MODIFIED IN PLACE: the caller's array itself (and every variable
%   sharing its data) is rewritten. Afterwards, with two or more frames,
%     254  marks a marker that linked: in every frame but the last, one that
%          linked to the next frame; in the last frame, one that was reached;
%     255  marks a marker that did not.
%   With maxDistance below 3 every marker becomes 255. Values 0..253 are never
%   changed, and with a single frame nothing is. Pass a copy (I + 0) to keep
%   the original.
%
%   Inputs
%     I            uint8 array, rows x cols x frames. Only the first three
%                  dimensions are used; a plain matrix is a single frame, in
%                  which nothing links. Rows and cols at most 65535.
%     maxDistance  numeric scalar, the largest half-width of the search square,
%                  truncated toward zero (4.9 is 4). Below 3 nothing links, and
%                  neither does it for NaN, Inf, -Inf or a value beyond the
%                  32-bit integer range (2^31 or more, below -2^31).
%
%   Outputs (n is the number of tracks, at most 65535)
%     Itracks      uint16, rows x cols x frames: the track id (1..n) at every
%                  marker that belongs to a track, 0 elsewhere.
%     Ptracks      uint16, 100000 x frames x 2: Ptracks(id, f, 1) is the column
%                  and Ptracks(id, f, 2) the row of track id in frame f, 0 0
%                  where the track has no marker. Rows above n are zero.
%     tracklength  double, n x 1: number of links of each track (frames it
%                  covers minus one).
%     trackstarts  double, n x 1: frame in which each track starts.
%     trackstartX  double, n x 1: column of each track's first marker.
%     trackstartY  double, n x 1: row of each track's first marker.
%   Ids are numbered in the order tracks start. Once 65535 tracks exist no
%   further track starts; the markers concerned stay unlinked and a warning
%   says so. Only the outputs asked for are returned; the work is the same.
%
%   Reading Ptracks: track id is row id of both planes, so
%     X = double(Ptracks(id, :, 1));  Y = double(Ptracks(id, :, 2));
%     f = find(X > 0);    % frames in which track id has a marker
%   gives its path as columns X(f) and rows Y(f). Frames run along the second
%   dimension; frame f is I(:, :, f).
%
%   Example: the rule on a tiny stack
%     I = zeros(40, 40, 3, 'uint8');
%     I(20, 20, 1) = 255;  I(21, 22, 2) = 255;  I(22, 23, 3) = 255;
%     [Itracks, Ptracks, tracklength, trackstarts] = vesquin4(I, 5);
%     tracklength                % 2: one track, over frames 1 to 3
%     squeeze(Ptracks(1, 1:3, :))  % its column and row in each frame
%     I(20, 20, 1)               % 254: I was rewritten
%
%   Example: nuclei in a bundled time-lapse
%     file = cellkit_data('timelapse_nuclei_mitocheck_uint8.tif');
%     frames = numel(imfinfo(file));
%     I = zeros(190, 211, frames, 'uint8');
%     for f = 1:frames       % a marker at the top of each smoothed nucleus
%       F = conv2(double(imread(file, f)), ones(9) / 81, 'same');
%       I(:, :, f) = 255 * uint8(F > 12 & F == movmax(movmax(F, 17, 1), 17, 2));
%     end
%     [Itracks, Ptracks, tracklength, trackstarts] = vesquin4(I, 10);
%     ntracks = numel(tracklength)
%     whole = find(tracklength == frames - 1);  % tracks over the whole movie
%     positions = squeeze(Ptracks(whole(1), :, :))  % column, row per frame
%
%   See also OMBRISK, TAVENOR3, CELLKIT_DATA.

%!test
%! % The tiny example: one marker per frame, each within reach of the one before.
%! I = zeros (40, 40, 3, 'uint8');
%! I(20, 20, 1) = 255;  I(21, 22, 2) = 255;  I(22, 23, 3) = 255;
%! [Itracks, Ptracks, tracklength, trackstarts, X, Y] = vesquin4 (I, 5);
%! assert ([tracklength, trackstarts, X, Y], [2 1 20 20]);
%! assert (squeeze (Ptracks(1, 1:3, :)), uint16 ([20 20; 22 21; 23 22]));
%! assert (Itracks(I > 0), uint16 ([1; 1; 1]));
%! assert (I(I > 0), uint8 ([254; 254; 254]));

%!test
%! % The third marker is out of reach: the track ends in frame 2, whose marker did not
%! % link on (255), and the unreached last marker starts nothing.
%! I = zeros (40, 40, 3, 'uint8');
%! I(20, 20, 1) = 255;  I(21, 22, 2) = 255;  I(30, 30, 3) = 255;
%! [Itracks, Ptracks, tracklength, trackstarts] = vesquin4 (I, 5);
%! assert ([tracklength, trackstarts], [1 1]);
%! assert (Itracks(I > 0), uint16 ([1; 1; 0]));
%! assert (I(I > 0), uint8 ([254; 255; 255]));

%!error <Image with cell markers must be a uint8 matrix> vesquin4 (ones (8), 5)
