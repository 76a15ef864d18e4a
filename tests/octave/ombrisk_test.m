% End-to-end tests of the ombrisk module: run with run_test_file.m.

%!shared usage, notdouble, emptylimit, notscalar, endless
%! usage = ' usage: B=quorrin(CellImage(A), max cell size, threshold)';
%! notdouble = 'Image input must be a double real matrix';
%! emptylimit = 'cellSizeLimit input must not be empty';
%! notscalar = 'threshold input must be a numeric scalar';
%! endless = ['Image input must not hold Inf or values of 2^53-1 or more: ' ...
%!            'the flooding levels would never end'];

%!function A = meeting_squares ()
%! % Four overlapping squares flooded at levels 3, 4 and 5 on a background never flooded:
%! % their cells meet, small or not, so that both parameters change the labels.
%! A = zeros (16);
%! A(1:6, 10:15) = 3;
%! A(2:7, 6:11) = 3;
%! A(9:14, 8:13) = 4;
%! A(10:15, 7:12) = 5;
%!endfunction

%!test
%! % The argument count, and the image: every class but a full real double is refused.
%! A = meeting_squares ();
%! table = {'no argument', {}, usage;
%!          'one argument', {A}, usage;
%!          'two arguments', {A, 30}, usage;
%!          'four arguments', {A, 30, 5, 1}, usage;
%!          'two arguments of other classes', {'text', {}}, usage;
%!          'four arguments of other classes', {'text', {}, struct(), @sin}, usage};
%! variants = class_variants (A);
%! for k = 2:rows (variants)
%!   table(end+1, :) = {['image of class ' variants{k, 1}], {variants{k, 2}, 30, 5}, notdouble};
%! end
%! table(end+1, :) = {'empty single image', {single([]), 30, 5}, notdouble};
%! table(end+1, :) = {'empty cell image', {{}, 30, 5}, notdouble};
%! check_input_table ('ombrisk', 1, [], table);

%!test
%! % Empty, one-pixel, 3-D and 4-D images, and images with NaN, -Inf, Inf and huge values.
%! % More dimensions are taken as an m x (n*p) matrix, as mxGetN gives it. The largest value
%! % allowed is 2^53 - 2, whose level comes straight after the levels of the others.
%! A = meeting_squares ();
%! B = ombrisk (A, 30, 5);
%! table = {'0 x 0 image', {[], 30, 5}, {zeros(0, 0)};
%!          '0 x 5 image', {zeros(0, 5), 30, 5}, {zeros(0, 5)};
%!          '3 x 0 image', {zeros(3, 0), 30, 5}, {zeros(3, 0)};
%!          '2 x 0 x 3 image', {zeros(2, 0, 3), 30, 5}, {zeros(2, 0)};
%!          'one pixel flooded', {7, 30, 5}, {1};
%!          'one pixel of 0', {0, 30, 5}, {0};
%!          'one pixel of NaN', {NaN, 30, 5}, {0};
%!          'one pixel of Inf', {Inf, 30, 5}, endless;
%!          '3-D image', {cat(3, A, A'), 30, 5}, {ombrisk([A A'], 30, 5)};
%!          '4-D image', {repmat(A, [1 1 2 2]), 30, 5}, {ombrisk(repmat(A, 1, 4), 30, 5)};
%!          'NaN and -Inf pixels, never flooded', {[-Inf NaN 1], 30, 5}, {[0 0 1]};
%!          'NaN everywhere', {NaN(9), 30, 5}, {zeros(9)};
%!          'negative values only', {-A - 1, 30, 5}, {zeros(16)};
%!          'an Inf pixel', {[1 2; Inf 3], 30, 5}, endless;
%!          'a pixel of 2^53', {[1 2; 2^53 3], 30, 5}, endless;
%!          'a pixel of 2^53 - 1', {[1 2; 2^53-1 3], 30, 5}, endless;
%!          'a pixel of realmax', {[1 2; realmax 3], 30, 5}, endless;
%!          'a pixel of 2^53 - 2', {[1 2^53-2], 30, 5}, {[1 1]};
%!          'meeting squares and a huge pixel', {[A, [2^52; zeros(15, 1)]], 30, 5}, ...
%!            {[B, [1; zeros(15, 1)]]}};
%! check_input_table ('ombrisk', 1, [], table);

%!test
%! % The cell size limit: a real double, not empty. Only its first element counts (for a
%! % sparse array the host reads its first nonzero element).
%! A = meeting_squares ();
%! B = ombrisk (A, 30, 5);
%! none = ombrisk (A, 0, 5);     % no cell is small
%! all = ombrisk (A, 1e9, 5);    % every cell is small
%! assert (! isequal (B, none) && ! isequal (B, all) && ! isequal (none, all));
%! table = {};
%! variants = class_variants (30);
%! for k = 2:rows (variants)
%!   expected = notdouble;
%!   if (strcmp (variants{k, 1}, 'sparse'))
%!     expected = {B};
%!   end
%!   table(end+1, :) = {['limit of class ' variants{k, 1}], {A, variants{k, 2}, 5}, expected};
%! end
%! table = [table;
%!          {'empty limit', {A, [], 5}, emptylimit;
%!           '0 x 3 limit', {A, zeros(0, 3), 5}, emptylimit;
%!           'empty sparse limit', {A, sparse(0, 0), 5}, emptylimit;
%!           'empty single limit', {A, single([]), 5}, notdouble;
%!           'NaN limit', {A, NaN, 5}, {none};
%!           '-Inf limit', {A, -Inf, 5}, {none};
%!           'Inf limit', {A, Inf, 5}, {all};
%!           'huge limit', {A, 1e300, 5}, {all};
%!           'limit as a row vector', {A, [30 0], 5}, {B};
%!           'limit as a column vector', {A, [0; 30], 5}, {none};
%!           'limit as a matrix', {A, 30 * ones(3), 5}, {B}}];
%! check_input_table ('ombrisk', 1, [], table);

%!test
%! % The threshold: any array the host reads as a number, by its first element. With no
%! % cell small, only forced merges join cells.
%! A = meeting_squares ();
%! B = ombrisk (A, 0, 5);
%! never = ombrisk (A, 0, 0);
%! always = ombrisk (A, 0, 1e9);
%! assert (! isequal (B, never) && ! isequal (B, always) && ! isequal (never, always));
%! table = {};
%! variants = class_variants (5);
%! for k = 2:rows (variants)
%!   switch (variants{k, 1})
%!     case {'cell', 'struct', 'function handle'}
%!       expected = notscalar;
%!     case 'logical'
%!       expected = {ombrisk(A, 0, 1)};
%!     otherwise  % the value 5; of a complex number the real part
%!       expected = {B};
%!   end
%!   table(end+1, :) = {['threshold of class ' variants{k, 1}], {A, 0, variants{k, 2}}, ...
%!                      expected};
%! end
%! table = [table;
%!          {'empty threshold', {A, 0, []}, notscalar;
%!           'empty char threshold', {A, 0, ''}, notscalar;
%!           'empty int8 threshold', {A, 0, int8([])}, notscalar;
%!           'empty cell threshold', {A, 0, {}}, notscalar;
%!           'NaN threshold', {A, 0, NaN}, {never};
%!           '-Inf threshold', {A, 0, -Inf}, {never};
%!           'Inf threshold', {A, 0, Inf}, {always};
%!           'huge threshold', {A, 0, 1e300}, {always};
%!           'threshold as a row vector', {A, 0, [5 0]}, {B};
%!           'threshold as a column vector', {A, 0, [0; 5]}, {never};
%!           'threshold as a 3-D array', {A, 0, 5 * ones(2, 2, 2)}, {B}}];
%! check_input_table ('ombrisk', 1, [], table);
%! % The limit is checked before the threshold.
%! expect_error_text ('ombrisk', notdouble, @ombrisk, A, single (30), {});

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
%! % A large B comes from the host's own zeros, never from a zeros on the user's path: that
%! % one hands out an array the user also holds, which would be written over.
%! folder = tempname ();
%! mkdir (folder);
%! fid = fopen (fullfile (folder, 'zeros.m'), 'w');
%! fputs (fid, ["function Z = zeros (varargin)\n  global cellkit_held\n" ...
%!              "  cellkit_held = ones (varargin{:});\n  Z = cellkit_held;\nend\n"]);
%! fclose (fid);
%! A = 1 + floor (20 * rand (128, 96));
%! expected = ombrisk (A, 30, 5);
%! global cellkit_held
%! warning ('off', 'Octave:shadowed-function', 'local');
%! addpath (folder);
%! unwind_protect
%!   B = ombrisk (A, 30, 5);
%! unwind_protect_cleanup
%!   rmpath (folder);
%!   delete (fullfile (folder, 'zeros.m'));
%!   rmdir (folder);
%! end_unwind_protect
%! assert (B, expected);
%! assert (isempty (cellkit_held) || isequal (cellkit_held, ones (128, 96)));
%! % Nor do two results share memory: writing the next one leaves this one as it was.
%! kept = expected + 0;
%! other = ombrisk (A', 30, 5);
%! assert (expected, kept);

%!test
%! % Called without an output, the result still goes to ans.
%! ombrisk (ones (7), 30, 5);
%! assert (ans, 2 * ones (7));

%!test
%! % Working space that cannot be allocated ends in a clear error, and the host lives on:
%! % the label table (4 bytes a pixel) of a 4000 x 4000 image does not fit in 40 MB.
%! expect_out_of_memory ('ombrisk', 'ombrisk (A, 30, 5)', 'ombrisk (ones (8), 30, 5)(4, 4)', '2');
%! % With 100 MB to spare the table fits and B (8 bytes a pixel) does not: Octave, asked for
%! % it, runs out of memory inside the call.
%! expect_out_of_memory ('ombrisk', 'ombrisk (A, 30, 5)', 'ombrisk (ones (8), 30, 5)(4, 4)', ...
%!                       '2', 100e6);

%!test
%! % The help file sits beside the module.
%! assert (! isempty (strfind (evalc ('help ombrisk'), 'B = ombrisk(CellImage, cellSizeLimit, threshold)')));
