% End-to-end tests of the ombrisk module: run with run_test_file.m.

%!shared usage, notdouble, endless
%! usage = ' usage: B=quorrin(CellImage(A), max cell size, threshold)';
%! notdouble = 'Image input must be a double real matrix';
%! endless = ['Image input must not hold Inf or values of 2^53-1 or more: ' ...
%!            'the flooding levels would never end'];

%!test
%! % Wrong argument counts draw the usage message whatever the arguments are.
%! expect_error_text ('ombrisk', usage, @ombrisk);
%! expect_error_text ('ombrisk', usage, @ombrisk, ones (8));
%! expect_error_text ('ombrisk', usage, @ombrisk, ones (8), 30);
%! expect_error_text ('ombrisk', usage, @ombrisk, ones (8), 30, 5, 1);
%! expect_error_text ('ombrisk', usage, @ombrisk, 'text', {});
%! expect_error_text ('ombrisk', usage, @ombrisk, 'text', {}, struct (), @sin);

%!test
%! % The image must be a full, real double matrix.
%! expect_error_text ('ombrisk', notdouble, @ombrisk, single (ones (8)), 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, uint8 (ones (8)), 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, int16 (ones (8)), 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, ones (8) > 0, 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, complex (ones (8), 1), 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, sparse (ones (8)), 30, 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, 'abcdefgh', 30, 5);

%!test
%! % The cell size limit must be a real double too; the threshold is not checked.
%! expect_error_text ('ombrisk', notdouble, @ombrisk, ones (8), int32 (50), 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, ones (8), single (50), 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, ones (8), uint8 (50), 5);
%! expect_error_text ('ombrisk', notdouble, @ombrisk, ones (8), complex (50, 1), 5);
%! assert (ombrisk (ones (8), 50, int8 (5)), ombrisk (ones (8), 50, 5));
%! assert (ombrisk (ones (8), 50, single (5)), ombrisk (ones (8), 50, 5));
%! assert (ombrisk (ones (8), 50, uint16 (5)), ombrisk (ones (8), 50, 5));

%!test
%! % Values that would make the level loop endless are refused before any work.
%! expect_error_text ('ombrisk', endless, @ombrisk, [1 2; Inf 3], 30, 5);
%! expect_error_text ('ombrisk', endless, @ombrisk, [1 2; 2^53 3], 30, 5);
%! expect_error_text ('ombrisk', endless, @ombrisk, [1 2; 2^53-1 3], 30, 5);
%! expect_error_text ('ombrisk', endless, @ombrisk, [1 2; realmax 3], 30, 5);
%! % -Inf and NaN are simply never flooded.
%! assert (ombrisk ([-Inf NaN 1], 30, 5), [0 0 1]);

%!test
%! % Empty images give empty label images of the same size.
%! for sz = {[0 0], [0 5], [3 0]}
%!   B = ombrisk (zeros (sz{1}), 30, 5);
%!   assert (class (B), 'double');
%!   assert (size (B), sz{1});
%! end

%!test
%! % An image without positive values floods nothing.
%! assert (ombrisk (-rand (12, 9) - 0.1, 30, 5), zeros (12, 9));
%! assert (ombrisk (zeros (10), 30, 5), zeros (10));

%!test
%! % The worked 7x7 image: one cell over the whole image.
%! assert (ombrisk (ones (7), 30, 5), 2 * ones (7));
%! % Fewer than 7 rows or columns: no window for a new cell.
%! assert (ombrisk (ones (6, 20), 30, 5), ones (6, 20));
%! assert (ombrisk (ones (20, 6), 30, 5), ones (20, 6));

%!test
%! % A pixel of 2.5 is flooded at level 3; the levels reach one above the largest value.
%! assert (ombrisk ([0 2.5 -1 1], 30, 5), [0 1 0 1]);

%!test
%! % Output class and size, and the input left as it was.
%! A = 1 + floor (20 * rand (23, 31));
%! A(5, 7) = NaN;
%! A(9, 9) = -2;
%! keep = A;
%! B = ombrisk (A, 30, 5);
%! assert (isequaln (A, keep));
%! assert (class (B), 'double');
%! assert (isreal (B));
%! assert (size (B), size (A));
%! assert (B, round (B));
%! % Every pixel with a positive value was flooded; nothing else was, except by a stamp.
%! assert (all (B(A > 0) >= 1));
%! assert (B(5, 7) == 0 || B(5, 7) >= 2);

%!test
%! % Called without an output, the result still goes to ans.
%! ombrisk (ones (7), 30, 5);
%! assert (ans, 2 * ones (7));

%!test
%! % Three-dimensional doubles are taken as m x (n*p) matrices, as mxGetN gives them.
%! A = ones (7, 7, 2);
%! B = ombrisk (A, 30, 5);
%! assert (size (B), [7 14]);

%!test
%! % Working space that cannot be allocated ends in a clear error, and the host lives on:
%! % the label table (4 bytes a pixel) of a 4000 x 4000 image does not fit.
%! expect_out_of_memory ('ombrisk', 'ombrisk (A, 30, 5)', 'ombrisk (ones (8), 30, 5)(4, 4)', '2');

%!test
%! % The help file sits beside the module.
%! assert (! isempty (strfind (evalc ('help ombrisk'), 'B = ombrisk(CellImage, cellSizeLimit, threshold)')));
