% End-to-end tests of the tavenor3 module: run with run_test_file.m.

%!shared usage, notdouble, emptylevel, endless, toolarge
%! usage = ' usage: B=tavenor2(CellImage with seeds at 255, celllevel)';
%! notdouble = 'Image input must be a double real matrix';
%! emptylevel = 'celllevel input must not be empty';
%! endless = ['Image input must not hold Inf or values of 2^49 or more: ' ...
%!            'the growing levels would never end'];
%! toolarge = 'Image input is too large: at most 2147483647 pixels are supported';

%!test
%! % Wrong argument counts draw the usage message whatever the arguments are.
%! expect_error_text ('tavenor3', usage, @tavenor3);
%! expect_error_text ('tavenor3', usage, @tavenor3, ones (8));
%! expect_error_text ('tavenor3', usage, @tavenor3, ones (8), 254, 1);
%! expect_error_text ('tavenor3', usage, @tavenor3, 'text');
%! expect_error_text ('tavenor3', usage, @tavenor3, 'text', {}, struct ());

%!test
%! % The image must be a full, real double matrix.
%! expect_error_text ('tavenor3', notdouble, @tavenor3, single (ones (8)), 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, uint8 (ones (8)), 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, int16 (ones (8)), 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, ones (8) > 0, 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, complex (ones (8), 1), 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, sparse (ones (8)), 254);
%! expect_error_text ('tavenor3', notdouble, @tavenor3, 'abcdefgh', 254);
%! % The image is checked before the seed level.
%! expect_error_text ('tavenor3', notdouble, @tavenor3, single (ones (8)), []);

%!test
%! % The seed level must be a real double too, and not empty.
%! A = [0 255 0 0 255];
%! expect_error_text ('tavenor3', notdouble, @tavenor3, A, uint8 (254));
%! expect_error_text ('tavenor3', notdouble, @tavenor3, A, single (254));
%! expect_error_text ('tavenor3', notdouble, @tavenor3, A, int32 (254));
%! expect_error_text ('tavenor3', notdouble, @tavenor3, A, complex (254, 1));
%! expect_error_text ('tavenor3', notdouble, @tavenor3, A, true);
%! expect_error_text ('tavenor3', emptylevel, @tavenor3, A, []);
%! expect_error_text ('tavenor3', emptylevel, @tavenor3, A, zeros (0, 3));
%! assert (tavenor3 (A, 254), [1 1 1 2 2]);
%! % Only the first element of a larger array is taken, sparse or full.
%! assert (tavenor3 (A, [254 0]), [1 1 1 2 2]);
%! assert (tavenor3 (A, sparse (254)), [1 1 1 2 2]);

%!test
%! % Largest values that the rising level would never pass are refused before any work.
%! expect_error_text ('tavenor3', endless, @tavenor3, [1 2; Inf 3], 2);
%! expect_error_text ('tavenor3', endless, @tavenor3, [1 2; 2^49 3], 2);
%! expect_error_text ('tavenor3', endless, @tavenor3, [1 2; realmax 3], 2);
%! % -Inf and NaN are neither seeds nor claimed.
%! assert (tavenor3 ([-Inf NaN 255 0], 254), [0 0 1 1]);

%!test
%! % An image of 2^31 pixels does not fit the 32-bit sizes. A range stays unexpanded
%! % until its elements are asked for, so this costs no memory.
%! expect_error_text ('tavenor3', toolarge, @tavenor3, 1:2^31, 254);
%! expect_error_text ('tavenor3', toolarge, @tavenor3, zeros (2^31, 0), 254);

%!test
%! % Empty images give empty label images of the same size.
%! for sz = {[0 0], [0 5], [3 0]}
%!   B = tavenor3 (zeros (sz{1}), 254);
%!   assert (class (B), 'double');
%!   assert (size (B), sz{1});
%! end

%!test
%! % The worked examples: claims are seen at once, and seeds are numbered row by row.
%! assert (tavenor3 ([255 0 255], 254), [1 1 2]);
%! assert (tavenor3 ([0 255 0 0 255]', 254), [1 1 1 2 2]');
%! assert (tavenor3 ([0 255; 255 0], 254), [1 1; 2 1]);
%! % The example of the help text.
%! assert (tavenor3 ([0 255 0 0 255; 0 0 0 0 0], 254), [1 1 1 2 2; 1 1 1 2 2]);
%! % No seed: nothing is labelled.
%! assert (tavenor3 (magic (6), 36), zeros (6));

%!test
%! % Output class and size, the input left as it was, and every seed keeping its label.
%! A = floor (300 * rand (23, 31));
%! A(5, 7) = NaN;
%! A(9, 9) = -2;
%! keep = A;
%! B = tavenor3 (A, 250);
%! assert (isequaln (A, keep));
%! assert (class (B), 'double');
%! assert (isreal (B));
%! assert (size (B), size (A));
%! assert (B, round (B));
%! assert (all (B(:) >= 0));
%! assert (B(5, 7), 0);
%! % Seeds are numbered along the rows: row by row is column by column of the transpose.
%! seeds = find (A' > 250);
%! Bt = B';
%! assert (Bt(seeds), (1:numel (seeds))');

%!test
%! % Called without an output, the result still goes to ans.
%! tavenor3 ([0 255 0 0 255], 254);
%! assert (ans, [1 1 1 2 2]);

%!test
%! % Three-dimensional doubles are taken as m x (n*p) matrices, as mxGetN gives them.
%! B = tavenor3 (zeros (2, 3, 2), 254);
%! assert (size (B), [2 6]);

%!test
%! % Working space that cannot be allocated ends in a clear error, and the host lives on:
%! % the grower's working space (32 bytes a pixel) for a 4000 x 4000 image does not fit.
%! expect_out_of_memory ('tavenor3', 'tavenor3 (A, 0.5)', 'tavenor3 ([255 0 255], 254)(2)', '1');

%!test
%! % The help file sits beside the module.
%! assert (! isempty (strfind (evalc ('help tavenor3'), 'B = tavenor3(CellImage, celllevel)')));
