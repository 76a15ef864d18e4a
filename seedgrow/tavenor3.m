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
%   Inputs
%     CellImage  real double matrix (m x n), the grey values, with the seed
%                pixels above celllevel (for example at 255 with celllevel
%                254). NaN pixels are never seeds and never labelled. Must not
%                hold Inf or values of 2^49 or more.
%     celllevel  real double scalar, the seed level.
%
%   Output
%     B   double matrix, the size of CellImage: 0 where no label reached, and
%         the labels 1, 2, 3, ... elsewhere.
%
%   The input is not modified. Run time grows with the largest value of the
%   image (twenty levels per grey unit above 1).
%
%   Example
%     A = [  0 255   0   0 255
%            0   0   0   0   0 ];
%     B = tavenor3(A, 254)
%     % B = [1 1 1 2 2
%     %      1 1 1 2 2]
%
%   See also OMBRISK, VESQUIN4.
