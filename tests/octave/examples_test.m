% The example scripts of examples/, each run into a scratch folder: the pictures are
% written and readable, and the summaries are sane for the bundled images. Run with
% run_test_file.m.

%!shared root, outdir
%! root = canonicalize_file_name (fullfile (fileparts (which ('expect_error_text')), '..', '..'));
%! addpath (fullfile (root, 'examples'));
%! outdir = tempname ();

%!function check_pictures (files, sizes)
%! % Each file is a PNG colour picture of the given rows and columns.
%! assert (numel (files), size (sizes, 1));
%! for k = 1:numel (files)
%!   assert (exist (files{k}, 'file') == 2, '%s is missing', files{k});
%!   info = imfinfo (files{k});
%!   assert (info.Format, 'PNG');
%!   picture = imread (files{k});
%!   assert (class (picture), 'uint8');
%!   assert (size (picture), [sizes(k, :), 3]);
%! end
%!endfunction

%!test
%! % The labeller finds the nuclei: about 300 cells of sensible areas.
%! evalc ('s = ombrisk_demo (outdir);');
%! assert (s.size, [512 512]);
%! assert (s.cells > 250 && s.cells < 350, sprintf ('%d cells', s.cells));
%! assert (s.median_area > 40 && s.median_area < 150);
%! assert (s.smallest_area >= 25);
%! check_pictures (s.files, [1024 1024; 512 512]);
%! % The overlay is drawn over the input: outside the cells it is the grey input.
%! overlay = imread (s.files{1});
%! assert (isequal (overlay(1:2, 1:2, 1), overlay(1:2, 1:2, 2), overlay(1:2, 1:2, 3)));

%!test
%! % The grower gives every seed (one per nucleus) a whole cell.
%! evalc ('s = tavenor3_demo (outdir);');
%! assert (s.size, [395 695]);
%! assert (s.seeds >= 20 && s.seeds <= 30, sprintf ('%d seeds', s.seeds));
%! assert (s.cells, s.seeds);
%! assert (s.median_area > 1000 && s.median_area < 6000);
%! check_pictures (s.files, [395 695]);

%!test
%! % The tracker follows the nuclei: some tracks span the whole movie.
%! text = evalc ('s = vesquin4_demo (outdir);');
%! assert (s.size, [190 211 30]);
%! assert (s.markers > 300);
%! assert (s.tracks >= 10 && s.tracks <= 60, sprintf ('%d tracks', s.tracks));
%! assert (s.longest, 29);
%! assert (s.whole_movie_tracks >= 5);
%! assert (s.shortest >= 1);
%! check_pictures (s.files, [570 633; 570 633]);
%! % The summary is printed too.
%! assert (! isempty (strfind (text, sprintf ('%d tracks', s.tracks))), text);

%!test
%! % Last: the scratch folder goes.
%! confirm_recursive_rmdir (false, 'local');
%! [ok, message] = rmdir (outdir, 's');
%! assert (ok, '%s', message);
