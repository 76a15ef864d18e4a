% OMBRISK  Label dark cells in a grey image by flooding it level by level.
%
%   B = ombrisk(CellImage, cellSizeLimit, threshold)
%
%   The image is flooded at the levels 1, 2, 3, ... up to one above its largest
%   grey value, so the darkest pixels (the lowest values above 0) are reached
%   first. At every level
%     - the pixels with 0 < value <= level are marked as flooded;
%     - existing cells grow into flooded pixels beside them, up to ten pixels;
%     - every 5x5 window holding at least 11 flooded pixels that no cell has
%       claimed starts a new cell (a full 5x5 square);
%     - touching cells merge: side by side when either is small, one above the
%       other when both are small, and always while the level is below
%       threshold.
%   Cells are dark: invert a fluorescence image (bright nuclei) before the call,
%   and set the background to 0 so that it is never flooded.
%
%   Inputs
%     CellImage      double, real and full (not sparse), m x n: the grey values.
%                    Values of 0 or below, -Inf and NaN are never flooded. Must
%                    not hold Inf or values of 2^53-1 or more. Convert integer images
%                    with double(A): uint8, uint16 and single are refused.
%     cellSizeLimit  double, real scalar. A cell is small while the number of
%                    pixels it has gained by growing and merging is below it;
%                    small touching cells merge. About the area of the smallest
%                    cell to keep whole, e.g. 30.
%     threshold      scalar of any numeric class. While the level is below it,
%                    touching cells merge whatever their size, so dark clusters
%                    reached in the first threshold - 1 levels end as one cell.
%                    A small value, e.g. 5, or 0 for no forced merges.
%
%   Output
%     B   double, m x n, holding whole numbers:
%           0    never flooded: value above every level, 0 or below, or NaN
%           1    flooded, but in no cell
%           2..  cell labels, one per cell. Labels are not renumbered: labels
%                that were merged away leave gaps, so list the cells with
%                unique(B(B > 1)) and count them with numel of that; the area
%                of cell L is nnz(B == L).
%         A new cell starts as a full 5x5 square, stamped over whatever lies
%         under it: where a cell starts at the edge of the flooded region, its
%         square also covers pixels that are never flooded (0 or below, -Inf,
%         NaN), which then hold the cell's label, not 0. In the example below,
%         380 of the 237,169 background pixels set to 0 end in a cell. Row 1,
%         row m, column 1 and column n are never part of a new cell's square;
%         images with fewer than 7 rows or columns get no cells.
%
%   The input is not modified. The run time and the working memory grow with
%   the number of pixels, and little with the grey range: levels at which
%   nothing floods, grows or merges cost next to nothing, so a 16-bit image
%   takes up to a third more time a pixel than an 8-bit one of the same
%   shapes, and needs no rescaling for speed. Rescale only when fewer levels
%   suit the cells better: cells grow up to ten pixels per level. The
%   toolbox's bench/README.md gives the measured time and memory per pixel.
%   Images of up to 2^31-1 pixels.
%
%   Example: nuclei of a bundled image
%     A = imread(cellkit_data('nuclei_human_cells.png'));  % uint8, bright nuclei
%     D = 256 - double(A);     % nuclei become dark, every value above 0
%     D(A < 48) = 0;           % background: never flooded
%     B = ombrisk(D, 30, 5);
%     cells = unique(B(B > 1));
%     ncells = numel(cells)    % 305 nuclei
%     areas = arrayfun(@(L) nnz(B == L), cells);
%     median(areas)            % pixels per nucleus
%
%   See also TAVENOR3, VESQUIN4, CELLKIT_DATA.

%!test
%! % A flat image: the one 5x5 window clear of the border starts cell 2 at level 1, and
%! % the cell grows over every flooded pixel. With six rows there is no such window.
%! assert (ombrisk (ones (7), 30, 5), 2 * ones (7));
%! assert (ombrisk (ones (6, 9), 30, 5), ones (6, 9));

%!test
%! % Two dark squares apart on a background of 0, which is never flooded: one cell each.
%! A = zeros (12, 20);
%! A(2:8, 2:8) = 1;
%! A(4:10, 12:18) = 2;
%! B = ombrisk (A, 30, 5);
%! assert (B(A == 1), 2 * ones (49, 1));
%! second = unique (B(A == 2));
%! assert (isscalar (second) && second > 2);
%! assert (unique (B(B > 1))', [2, second]);
%! assert (B(11:12, :), zeros (2, 20));

%!error <Image input must be a double real matrix> ombrisk (uint8 (ones (8)), 30, 5)
