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
%   Cells are dark: invert a fluorescence image (bright nuclei) before the call.
%
%   Inputs
%     CellImage      real double matrix (m x n), the grey values. Values of 0
%                    or below, and NaN, are never flooded. Must not hold Inf.
%     cellSizeLimit  real double scalar. A cell is small while the number of
%                    pixels it has gained by growing and merging is below it.
%     threshold      numeric scalar. While the level is below it, touching
%                    cells merge whatever their size.
%
%   Output
%     B   double matrix, the size of CellImage, holding whole numbers:
%           0    never flooded (value above every level, 0 or below, or NaN)
%           1    flooded, but in no cell
%           2..  cell labels. Labels are not renumbered: labels that were
%                merged away leave gaps, so use unique(B(B > 1)) to list the
%                cells.
%         Row 1, row m, column 1 and column n are never part of a new cell's
%         square; images with fewer than 7 rows or columns get no cells.
%
%   The input is not modified. Run time grows with the largest grey value
%   (one level per grey unit).
%
%   Example
%     A = imread('nuclei_human_cells.png');   % bright nuclei, 8-bit
%     D = 256 - double(A);                     % nuclei become dark, all > 0
%     B = ombrisk(D, 30, 5);
%     ncells = numel(unique(B(B > 1)))
%
%   See also TAVENOR3, VESQUIN4.
