% End-to-end tests of the vesquin4 module: run with run_test_file.m.

%!shared usage, notuint8, notscalar, toolarge, outofmemory
%! usage = [' usage: [Itracks, Ptracks, tracklength, trackstarts, trackstartX, ' ...
%!          'trackstartY ]=vesquin( I, maxDistance)'];
%! notuint8 = 'Image with cell markers must be a uint8 matrix';
%! notscalar = 'maxDistance input must be a numeric scalar';
%! toolarge = ['Image with cell markers is too large: frames of at most 65535 rows ' ...
%!             'and 65535 columns are supported'];
%! outofmemory = 'Out of memory: the working space for this input could not be allocated';

%!function I = one_link_stack ()
%! % A marker at (21, 21) of frame 1 and one at (22, 23) of frame 2, in MATLAB indexing.
%! I = zeros (40, 40, 2, 'uint8');
%! I(21, 21, 1) = 255;
%! I(22, 23, 2) = 254;
%!endfunction

%!function I = track_starters (units, frames)
%! % Every pair of frames starts `units` tracks of one link: the marker in column 5 of each
%! % block of 7 rows links to the one in column 2 of the next frame, which cannot link on.
%! I = zeros (7 * units + 1, 8, frames, 'uint8');
%! I(7 * (0:units-1) + 5, [2 5], :) = 255;
%!endfunction

%!function I = four_apart ()
%! % A frame-2 marker exactly 4 columns right of a frame-1 marker: linked from radius 4 on.
%! I = zeros (40, 40, 2, 'uint8');
%! I(11, 11, 1) = 255;
%! I(11, 15, 2) = 255;
%!endfunction

%!function run_it (stack)
%! vesquin4 (stack, 5);
%!endfunction

%!test
%! % The argument count, and the stack: every class but a real uint8 array is refused, and
%! % the refused stack is left as it was.
%! S = one_link_stack ();
%! table = {'no argument', {}, usage;
%!          'one argument', {S}, usage;
%!          'three arguments', {S, 5, 1}, usage;
%!          'one argument of another class', {'text'}, usage;
%!          'three arguments of other classes', {{}, struct(), @sin}, usage;
%!          'stack of class double', {double(S), 5}, notuint8;
%!          'empty double stack', {[], 5}, notuint8;
%!          'empty cell stack', {{}, 5}, notuint8};
%! variants = class_variants (S(:, :, 1));
%! for k = 1:rows (variants)
%!   if (! strcmp (variants{k, 1}, 'uint8'))
%!     table(end+1, :) = {['frame of class ' variants{k, 1}], {variants{k, 2}, 5}, notuint8};
%!   end
%! end
%! check_input_table ('vesquin4', 6, 1, table);

%!test
%! % maxDistance: any array the host reads as a number, by its first element, truncated
%! % toward zero; not a number, or outside the 32-bit range, links nothing.
%! linked = @(o, a) numel (o{3}) == 1 && nnz (o{1}) == 2 ...
%!                  && a{1}(21, 21, 1) == 254 && a{1}(22, 23, 2) == 254;
%! unlinked = @(o, a) isequal (size (o{3}), [0 1]) && nnz (o{1}) == 0 && nnz (o{2}) == 0 ...
%!                    && a{1}(21, 21, 1) == 255 && a{1}(22, 23, 2) == 255;
%! table = {};
%! variants = class_variants (5);
%! for k = 1:rows (variants)
%!   switch (variants{k, 1})
%!     case {'cell', 'struct', 'function handle'}
%!       expected = notscalar;
%!     case 'logical'
%!       expected = unlinked;   % true is 1
%!     otherwise  % the value 5; of a complex number the real part
%!       expected = linked;
%!   end
%!   table(end+1, :) = {['maxDistance of class ' variants{k, 1}], ...
%!                      {one_link_stack(), variants{k, 2}}, expected};
%! end
%! for d = {[], '', zeros(0, 3), int8([]), {}}
%!   table(end+1, :) = {'empty maxDistance', {one_link_stack(), d{1}}, notscalar};
%! end
%! for d = {NaN, Inf, -Inf, 1e300, -1e300, 2^31, intmax('int64'), [0; 5]}
%!   table(end+1, :) = {sprintf('maxDistance %g', d{1}(1)), {one_link_stack(), d{1}}, unlinked};
%! end
%! for d = {2^31 - 1, [5 0], 5 * ones(2, 2, 2)}
%!   table(end+1, :) = {sprintf('maxDistance %g', d{1}(1)), {one_link_stack(), d{1}}, linked};
%! end
%! check_input_table ('vesquin4', 6, 1, table);
%! % The stack is checked before maxDistance, maxDistance before the stack's sizes.
%! expect_error_text ('vesquin4', notuint8, @vesquin4, double (one_link_stack ()), {});
%! expect_error_text ('vesquin4', notscalar, @vesquin4, zeros (1, 65536, 'uint8'), {});

%!test
%! % Stacks of one pixel, of one pixel per frame, and with every pixel a marker.
%! nothing = @(o, a) isequal (o{1}, zeros (size (a{1}), 'uint16')) && nnz (o{2}) == 0 ...
%!                   && isequal (size (o{3}), [0 1]);
%! % With every pixel a marker, only the one at (5, 5) passes the border test; it takes (2, 2).
%! table = {'one pixel', {uint8(255), 5}, ...
%!            @(o, a) nothing(o, a) && isequal(size(o{2}), [100000 1 2]) && a{1} == 255;
%!          'one pixel in each of two frames', {uint8(cat(3, 254, 254)), 5}, ...
%!            @(o, a) nothing(o, a) && isequal(a{1}, uint8(cat(3, 255, 255)));
%!          'every pixel a marker', {255 * ones(8, 8, 2, 'uint8'), 3}, ...
%!            @(o, a) isequal([o{3:6}], [1 1 5 5]) && o{1}(5, 5, 1) == 1 && o{1}(2, 2, 2) == 1 ...
%!                    && nnz(o{1}) == 2 && nnz(a{1} == 254) == 2};
%! check_input_table ('vesquin4', 6, 1, table);

%!test
%! % Frames wider or taller than 65535 pixels: positions would not fit 16 bits.
%! expect_error_text ('vesquin4', toolarge, @vesquin4, zeros (1, 65536, 2, 'uint8'), 5);
%! expect_error_text ('vesquin4', toolarge, @vesquin4, zeros (65536, 1, 2, 'uint8'), 5);
%! expect_error_text ('vesquin4', toolarge, @vesquin4, zeros (0, 65536, 'uint8'), 5);
%! [It, Pt, tl] = vesquin4 (zeros (65535, 1, 2, 'uint8'), 5);
%! assert (size (It), [65535 1 2]);
%! assert (size (tl), [0 1]);

%!test
%! % The worked example: one link, every output, and the caller's stack rewritten.
%! I = one_link_stack ();
%! [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY] = vesquin4 (I, 5);
%! assert (class (Itracks), 'uint16');
%! assert (class (Ptracks), 'uint16');
%! assert (size (Itracks), [40 40 2]);
%! assert (size (Ptracks), [100000 2 2]);
%! assert (find (Itracks)', [sub2ind([40 40 2], 21, 21, 1), sub2ind([40 40 2], 22, 23, 2)]);
%! assert (Itracks(21, 21, 1), uint16 (1));
%! assert (Itracks(22, 23, 2), uint16 (1));
%! assert (Ptracks(1, :, 1), uint16 ([21 23]));
%! assert (Ptracks(1, :, 2), uint16 ([21 22]));
%! assert (nnz (Ptracks), 4);
%! for summary = {tracklength, trackstarts, trackstartX, trackstartY}
%!   assert (class (summary{1}), 'double');
%!   assert (isreal (summary{1}));
%! end
%! assert ([tracklength, trackstarts, trackstartX, trackstartY], [1 1 21 21]);
%! assert (I(21, 21, 1), uint8 (254));
%! assert (I(22, 23, 2), uint8 (254));
%! assert (nnz (I), 2);

%!test
%! % The rewrite reaches the caller through a function boundary too, and only markers
%! % change: 253 and below stay, an unlinked marker becomes 255.
%! I = one_link_stack ();
%! I(30, 30, 1) = 254;
%! I(5, 5, 2) = 253;
%! I(6, 6, 1) = 17;
%! run_it (I);
%! assert (I(21, 21, 1), uint8 (254));
%! assert (I(30, 30, 1), uint8 (255));
%! assert (I(5, 5, 2), uint8 (253));
%! assert (I(6, 6, 1), uint8 (17));

%!test
%! % The same track continued over three frames.
%! I = zeros (40, 40, 3, 'uint8');
%! I(20, 20, 1) = 255;
%! I(21, 22, 2) = 255;
%! I(22, 23, 3) = 255;
%! [It, Pt, tl, ts, tx, ty] = vesquin4 (I, 5);
%! assert ([tl ts tx ty], [2 1 20 20]);
%! assert (squeeze (Pt(1, :, :)), uint16 ([20 20; 22 21; 23 22]));
%! assert (nnz (It), 3);
%! assert (all (I(I > 0) == 254));

%!test
%! % The second argument is truncated toward zero, whatever its numeric class: the link
%! % below needs a radius of 4 exactly.
%! links = @(d) numel (nthargout (3, @vesquin4, four_apart (), d));
%! assert (links (4), 1);
%! assert (links (3), 0);
%! assert (links (4.9), 1);
%! assert (links (3.9), 0);
%! assert (links (uint8 (4)), 1);
%! assert (links (int16 (4)), 1);
%! assert (links (single (4.9)), 1);
%! assert (links (int64 (4)), 1);
%! assert (links (true), 0);
%! assert (links ([4 0 0]), 1);  % the first element, as the host reads a scalar
%! assert (links (2^31 - 1), 1);
%! assert (links (intmax ('int32')), 1);

%!test
%! % Values below 3, not a number, or outside the 32-bit range: no linking, and every
%! % marker ends at 255.
%! for d = {-0.5, 0, 2.9, -3, NaN, Inf, -Inf, 2^31, -2^31 - 1, 1e300, single(NaN), ...
%!          int64(2^40)}
%!   I = one_link_stack ();
%!   [It, Pt, tl, ts, tx, ty] = vesquin4 (I, d{1});
%!   assert (size (tl), [0 1]);
%!   assert (size (ts), [0 1]);
%!   assert (size (tx), [0 1]);
%!   assert (size (ty), [0 1]);
%!   assert (class (tl), 'double');
%!   assert (nnz (It), 0);
%!   assert (nnz (Pt), 0);
%!   assert (size (Pt), [100000 2 2]);
%!   assert (I(21, 21, 1), uint8 (255));
%!   assert (I(22, 23, 2), uint8 (255));
%! end

%!test
%! % A stack without markers: empty summaries and all-zero track outputs.
%! I = uint8 (randi ([0 253], 12, 15, 4));
%! keep = I;
%! [It, Pt, tl, ts, tx, ty] = vesquin4 (I, 10);
%! assert (I, keep);
%! assert (It, zeros (12, 15, 4, 'uint16'));
%! assert (size (Pt), [100000 4 2]);
%! assert (nnz (Pt), 0);
%! assert ({tl, ts, tx, ty}, {zeros(0, 1), zeros(0, 1), zeros(0, 1), zeros(0, 1)});

%!test
%! % A dimension of 0: empty outputs shaped like the input.
%! for sz = {[0 5 3], [5 0 3], [5 5 0], [0 0 0]}
%!   [It, Pt, tl, ts, tx, ty] = vesquin4 (zeros (sz{1}, 'uint8'), 5);
%!   assert (class (It), 'uint16');
%!   assert (size (It), sz{1});
%!   assert (size (Pt), [100000 sz{1}(3) 2]);
%!   assert ({size(tl), size(ts), size(tx), size(ty)}, {[0 1], [0 1], [0 1], [0 1]});
%! end

%!test
%! % A plain matrix is a single frame: nothing links and nothing changes.
%! I = zeros (40, 40, 'uint8');
%! I(20:22, 20:22) = 255;
%! I(25, 25) = 254;
%! keep = I;
%! [It, Pt, tl] = vesquin4 (I, 5);
%! assert (I, keep);
%! assert (It, zeros (40, 40, 'uint16'));
%! assert (size (Pt), [100000 1 2]);
%! assert (nnz (Pt), 0);
%! assert (size (tl), [0 1]);

%!test
%! % Four dimensions: the first three make the stack, and only its elements, the first
%! % rows*cols*frames, are read and rewritten.
%! I = zeros (40, 40, 2, 3, 'uint8');
%! I(:, :, :, 1) = one_link_stack ();
%! I(21, 21, 1, 2) = 254;
%! I(22, 23, 2, 3) = 254;
%! I(30, 30, 1, 2) = 255;
%! [It, Pt, tl, ts, tx, ty] = vesquin4 (I, 5);
%! assert (size (It), [40 40 2]);
%! assert (size (Pt), [100000 2 2]);
%! assert ([tl ts tx ty], [1 1 21 21]);
%! assert (I(21, 21, 1, 1), uint8 (254));
%! assert (I(21, 21, 1, 2), uint8 (254));
%! assert (I(22, 23, 2, 3), uint8 (254));
%! assert (I(30, 30, 1, 2), uint8 (255));
%! assert (nnz (It), 2);

%!test
%! % Fewer outputs asked for: only those come back, and the work is the same.
%! I = one_link_stack ();
%! It = vesquin4 (I, 5);
%! assert (size (It), [40 40 2]);
%! assert (nnz (It), 2);
%! assert (I(22, 23, 2), uint8 (254));
%! J = one_link_stack ();
%! [It2, Pt2, tl2] = vesquin4 (J, 5);
%! assert (It2, It);
%! assert (Pt2(1, :, 1), uint16 ([21 23]));
%! assert (tl2, 1);
%! K = one_link_stack ();
%! vesquin4 (K, 5);
%! assert (ans, It);
%! assert (K, I);
%! [o1, o2, o3, o4, o5, o6] = vesquin4 (one_link_stack (), 5);
%! assert ([o3 o4 o5 o6], [1 1 21 21]);

%!test
%! % A long stack of 8 x 8 frames starts more tracks than a frame has pixels.
%! I = track_starters (1, 100);
%! [It, Pt, tl, ts, tx, ty] = vesquin4 (I, 3);
%! assert (tl, ones (99, 1));
%! assert (ts, (1:99)');
%! assert (tx, 5 * ones (99, 1));
%! assert (ty, 5 * ones (99, 1));
%! assert (squeeze (It(5, 2, 2:end)), uint16 (1:99)');
%! assert (Pt(99, 100, 1), uint16 (2));
%! assert (Pt(99, 100, 2), uint16 (5));

%!test
%! % After 65535 tracks no further track starts; a warning says so once, and the outputs
%! % stay consistent.
%! I = track_starters (4369, 17);   % 4369 new tracks in each of 16 pairs
%! lastwarn ('');
%! out = evalc ('[It, Pt, tl, ts, tx, ty] = vesquin4 (I, 3);');
%! assert (numel (strfind (out, 'warning')), 1, out);
%! assert (! isempty (strfind (lastwarn (), '65535')), lastwarn ());
%! assert (numel (tl), 65535);
%! assert (max (It(:)), uint16 (65535));
%! assert (nnz (It), 2 * 65535);
%! assert (ts(end), 15);
%! assert (nnz (Pt(:, 17, :)), 0);
%! starts = 7 * (0:4368) + 5;
%! assert (all (I(starts, 5, 16) == 255));
%! assert (all (I(starts, 2, 17) == 255));
%! assert (all (It(starts, 5, 16) == 0));
%! % Exactly 65535 tracks are no reason to warn.
%! lastwarn ('');
%! out = evalc ('tl = nthargout (3, @vesquin4, track_starters (4369, 16), 3);');
%! assert (numel (tl), 65535);
%! assert (isempty (lastwarn ()));
%! assert (isempty (strfind (out, 'warning')), out);

%!test
%! % Outputs that cannot be allocated end in a clear error, and the host lives on.
%! expect_error_text ('vesquin4', outofmemory, @vesquin4, zeros (1, 1, 1e7, 'uint8'), 5);
%! [It, Pt, tl] = vesquin4 (one_link_stack (), 5);
%! assert (tl, 1);

%!test
%! % The help file sits beside the module and says that I is modified.
%! text = evalc ('help vesquin4');
%! assert (! isempty (strfind (text, 'vesquin4(I, maxDistance)')));
%! assert (! isempty (strfind (text, 'I IS MODIFIED IN PLACE')));
