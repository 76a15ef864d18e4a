% End-to-end tests of the tavenor3 module: run with run_test_file.m.

%!shared usage, notdouble, emptylevel, endless, toolarge
%! usage = ' usage: B=tavenor2(CellImage with seeds at 255, celllevel)';
%! notdouble = 'Image input must be a double real matrix';
%! emptylevel = 'celllevel input must not be empty';
%! endless = ['Image input must not hold Inf or values of 2^49 or more: ' ...
%!            'the growing levels would never end'];
%! toolarge = 'Image input is too large: at most 2147483647 pixels are supported';

%!function G = three_seeds ()
%! % Seeds of 255 for a seed level of 254, one more of 200 for lower levels, and grey values
%! % that take the labels several levels to reach.
%! G = [0   255 0   0 255 0;
%!      0.5 3   0   2 0   0;
%!      0   0   200 0 0   0;
%!      0   1   0   0 0   255];
%!endfunction

%!test
%! % The argument count, and the image: every class but a full real double is refused.
%! G = three_seeds ();
%! table = {'no argument', {}, usage;
%!          'one argument', {G}, usage;
%!          'three arguments', {G, 254, 1}, usage;
%!          'one argument of another class', {'text'}, usage;
%!          'three arguments of other classes', {'text', {}, struct()}, usage};
%! variants = class_variants (G);
%! for k = 2:rows (variants)
%!   table(end+1, :) = {['image of class ' variants{k, 1}], {variants{k, 2}, 254}, notdouble};
%! end
%! table = [table;
%!          {'empty single image', {single([]), 254}, notdouble;
%!           'empty cell image', {{}, 254}, notdouble;
%!           'image checked before the seed level', {single(G), []}, notdouble}];
%! check_input_table ('tavenor3', 1, [], table);

%!test
%! % Empty, one-pixel, 3-D and 4-D images, and images with NaN, -Inf, Inf and huge values.
%! % More dimensions are taken as an m x (n*p) matrix, as mxGetN gives it. Values up to
%! % 2^49 - 1 are allowed, however many levels they take.
%! G = three_seeds ();
%! table = {'0 x 0 image', {[], 254}, {zeros(0, 0)};
%!          '0 x 5 image', {zeros(0, 5), 254}, {zeros(0, 5)};
%!          '3 x 0 image', {zeros(3, 0), 254}, {zeros(3, 0)};
%!          '2 x 0 x 3 image', {zeros(2, 0, 3), 254}, {zeros(2, 0)};
%!          'one seed pixel', {255, 254}, {1};
%!          'one pixel of 0', {0, 254}, {0};
%!          'one pixel of NaN', {NaN, 254}, {0};
%!          'one pixel of Inf', {Inf, 254}, endless;
%!          '3-D image', {cat(3, G, fliplr(G)), 254}, {tavenor3([G fliplr(G)], 254)};
%!          '4-D image', {repmat(G, [1 1 2 2]), 254}, {tavenor3(repmat(G, 1, 4), 254)};
%!          'NaN never labelled, -Inf no seed but claimed', {[-Inf NaN 255 0 -Inf], 254}, ...
%!            {[0 0 1 1 1]};
%!          'NaN everywhere', {NaN(5), 254}, {zeros(5)};
%!          'negative values only', {-G - 1, -0.5}, {zeros(4, 6)};
%!          'an Inf pixel', {[1 2; Inf 3], 2}, endless;
%!          'a pixel of 2^49', {[1 2; 2^49 3], 2}, endless;
%!          'a pixel of realmax', {[1 2; realmax 3], 2}, endless;
%!          'a pixel of 2^49 - 1, the largest allowed', {[255 0 2^49-1 0 1e14], 254}, {[1 1 2 3 3]};
%!          'huge values everywhere', {[1e14 0 0; 0 0 3e14], 2e14}, {[1 1 1; 1 1 1]}};
%! check_input_table ('tavenor3', 1, [], table);

%!test
%! % The seed level: a real double, not empty. Only its first element counts (for a sparse
%! % array the host reads its first nonzero element).
%! G = three_seeds ();
%! B = tavenor3 (G, 254);
%! low = tavenor3 (G, 0);
%! assert (! isequal (B, low));
%! table = {};
%! variants = class_variants (254);
%! for k = 2:rows (variants)
%!   expected = notdouble;
%!   if (strcmp (variants{k, 1}, 'sparse'))
%!     expected = {B};
%!   end
%!   table(end+1, :) = {['seed level of class ' variants{k, 1}], {G, variants{k, 2}}, expected};
%! end
%! table = [table;
%!          {'empty seed level', {G, []}, emptylevel;
%!           '0 x 3 seed level', {G, zeros(0, 3)}, emptylevel;
%!           'empty sparse seed level', {G, sparse(0, 0)}, emptylevel;
%!           'empty single seed level', {G, single([])}, notdouble;
%!           'NaN seed level: no seed', {G, NaN}, {zeros(4, 6)};
%!           'Inf seed level: no seed', {G, Inf}, {zeros(4, 6)};
%!           'huge seed level: no seed', {G, 1e300}, {zeros(4, 6)};
%!           '-Inf seed level: every pixel a seed', {G, -Inf}, {reshape(1:24, 6, 4)'};
%!           'seed level as a row vector', {G, [254 0]}, {B};
%!           'seed level as a column vector', {G, [0; 254]}, {low};
%!           'seed level as a matrix', {G, 254 * ones(3)}, {B}}];
%! check_input_table ('tavenor3', 1, [], table);

%!test
%! % An image of 2^31 pixels does not fit the 32-bit sizes. A range stays unexpanded
%! % until its elements are asked for, so this costs no memory.
%! expect_error_text ('tavenor3', toolarge, @tavenor3, 1:2^31, 254);
%! expect_error_text ('tavenor3', toolarge, @tavenor3, zeros (2^31, 0), 254);

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
%! % Working space that cannot be allocated ends in a clear error, and the host lives on:
%! % the grower's working space (32 bytes a pixel) for a 4000 x 4000 image does not fit.
%! expect_out_of_memory ('tavenor3', 'tavenor3 (A, 0.5)', 'tavenor3 ([255 0 255], 254)(2)', '1');

%!test
%! % The help file sits beside the module.
%! assert (! isempty (strfind (evalc ('help tavenor3'), 'B = tavenor3(CellImage, celllevel)')));
