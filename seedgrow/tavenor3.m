% TAVENOR3  Grow a label from every seed pixel of a grey image over rising levels.
%
%   B = tavenor3(CellImage, celllevel)
%
%   Every pixel whose value lies strictly above celllevel is a seed and starts
%   a label of its own: 1, 2, 3, ... in row-by-row order (along the first row,
%   then along the second, and so on), so neighbouring seed pixels get
%   different labels. The labels then spread one pixel ring per level into
%   unlabelled neighbours (left, right, up, down) whose value lies strictly
%   below the level. The level starts at 1.0 and rises by 0.05 for as long as
%   it does not exceed the largest value of the image. A labelled pixel does
%   not spread at a level at which it touches a pixel of another label. A last
%   pass widens every region by one pixel into its unlabelled neighbours.
%
%   So dark pixels are reached first, and where two labels meet the border
%   stays where they met. Give each cell exactly ONE seed pixel: a seed region
%   of several pixels is several labels that touch one another, and they never
%   spread (only the last pass widens them).
%
%   Inputs
%     CellImage  double, real and full (not sparse), m x n: the grey values,
%                with the seed pixels above celllevel. The usual layout is 8-bit:
%                grey values 0..253, seeds at 255, celllevel 254. NaN pixels are
%                never seeds and never labelled: use NaN for background that no
%                cell may take. Must not hold Inf or values of 2^49 or more.
%                Convert integer images with double(A).
%     celllevel  double, real, not empty: the seed level (its first element is
%                used).
%
%   Output
%     B   double, m x n, holding whole numbers: 0 where no label reached, and
%         the labels 1, 2, 3, ..., one per seed pixel, elsewhere. Every label
%         from 1 to max(B(:)) is present (at least at its seed), so the number
%         of regions is max(B(:)) and the area of region L is nnz(B == L).
%
%   The input is not modified. The run time and the working memory grow with
%   the number of pixels the labels reach, and little with the grey range: the
%   levels rise twenty per grey unit, but those at which no label can spread
%   cost next to nothing, so a 16-bit image takes a quarter to a third more
%   time a pixel than an 8-bit one of the same shapes, and 12- and 16-bit
%   images need no rescaling. The toolbox's bench/README.md gives the
%   measured time and memory per pixel.
%   Images of up to 2^31-1 pixels.
%
%   Example: the rule on a tiny image
%     A = [  0 255   0   0 255
%            0   0   0   0   0 ];
%     B = tavenor3(A, 254)
%     % B = [1 1 1 2 2
%     %      1 1 1 2 2]
%
%   Example: whole cells grown from their nuclei, in two bundled images
%     N = double(imread(cellkit_data('bbbc022_u2os_nuclei.png')));
%     C = double(imread(cellkit_data('bbbc022_u2os_cytoplasm.png')));
%     % one seed pixel per nucleus: the top of the smoothed nuclei image
%     Ns = conv2(N, ones(9) / 81, 'same');
%     seeds = Ns > 300 & Ns == movmax(movmax(Ns, 25, 1), 25, 2);
%     % cell bodies dark, 1..253, so that they are reached first
%     G = 253 - round(252 * min(1, max(0, (C - 180) / 800)));
%     G(N > 300) = 1;          % each seed fills its nucleus first
%     G(C < 280) = NaN;        % background: never labelled
%     G(seeds) = 255;          % seeds above celllevel 254
%     B = tavenor3(G, 254);
%     ncells = max(B(:))       % one cell per seed: 25
%
%   See also OMBRISK, VESQUIN4, CELLKIT_DATA.

%!test
%! % The tiny example: the two seeds share the image, the border where they met.
%! assert (tavenor3 ([0 255 0 0 255; 0 0 0 0 0], 254), [1 1 1 2 2; 1 1 1 2 2]);

%!test
%! % NaN pixels are never labelled: a column of them walls the two seeds apart.
%! A = [255 1 NaN 1 1 255
%!        1 1 NaN 2 1 1];
%! assert (tavenor3 (A, 254), [1 1 0 2 2 2; 1 1 0 2 2 2]);

%!error <Image input must be a double real matrix> tavenor3 (single ([0 255]), 254)
