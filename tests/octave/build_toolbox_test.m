% End-to-end test of build_toolbox: the toolbox built inside Octave with its own mex
% command, into a scratch folder, must hold working modules, their help and Contents.m.
% It builds from the sources the Octave package carries: the tarball the build made
% (named by the environment variable CELLKIT_PACKAGE), unpacked, whose src/ is a copy of
% the source folder's layout; what builds there builds in the source folder too.
% Run with run_test_file.m (the CMake-built toolbox is on the path too: every check
% makes sure it reaches the freshly built one).

%!shared root, outdir, built
%! root = canonicalize_file_name (fullfile (fileparts (which ('expect_error_text')), '..', '..'));
%! tarball = getenv ('CELLKIT_PACKAGE');
%! assert (exist (tarball, 'file') == 2, 'no package at "%s"', tarball);
%! scratch = tempname ();
%! untar (tarball, scratch);
%! version = strtok (fileread (fullfile (root, 'VERSION')), "\r\n");
%! source = fullfile (scratch, ['cellkit-' version], 'src');
%! outdir = fullfile (scratch, 'cellkit');
%! addpath (source);
%! % The caller's compiler flags must come back unchanged.
%! setenv ('CXXFLAGS', '-O1');
%! built = build_toolbox (outdir);
%! flags_after = getenv ('CXXFLAGS');
%! unsetenv ('CXXFLAGS');
%! rmpath (source);
%! assert (flags_after, '-O1');
%! addpath (outdir);

%!test
%! % The modules, their help files, the contents file, cellkit_version, cellkit_data and
%! % the sample images, and nothing else; the version is the one in VERSION.
%! assert (built, outdir);
%! listing = dir (outdir);
%! names = sort ({listing(! [listing.isdir]).name});
%! ext = mexext ();
%! assert (names, sort ({'Contents.m', 'cellkit_data.m', 'cellkit_version.m', 'ombrisk.m', ...
%!                       ['ombrisk.' ext], 'tavenor3.m', ['tavenor3.' ext], 'vesquin4.m', ...
%!                       ['vesquin4.' ext]}));
%! % The sample images, from the package's inst/data, as the source folder's data/.
%! images = dir (fullfile (outdir, 'data'));
%! sources = dir (fullfile (root, 'data'));
%! assert (sort ({images(! [images.isdir]).name}), sort ({sources(! [sources.isdir]).name}));
%! version = strtok (fileread (fullfile (root, 'VERSION')), "\r\n");
%! assert (which ('cellkit_version'), fullfile (outdir, 'cellkit_version.m'));
%! assert (cellkit_version (), version);

%!test
%! % Each call reaches the module just built, and gives the known result.
%! for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!   assert (which (name{1}), fullfile (outdir, [name{1} '.' mexext()]));
%! end
%! assert (ombrisk (ones (7), 30, 5), 2 * ones (7));
%! assert (tavenor3 ([0 255 0 0 255; 0 0 0 0 0], 254), [1 1 1 2 2; 1 1 1 2 2]);
%! I = zeros (40, 40, 3, 'uint8');
%! I(20, 20, 1) = 255;  I(21, 22, 2) = 255;  I(22, 23, 3) = 255;
%! [Itracks, Ptracks, tracklength, trackstarts, X, Y] = vesquin4 (I, 5);
%! assert ([tracklength, trackstarts, X, Y], [2 1 20 20]);
%! assert (squeeze (Ptracks(1, :, :)), uint16 ([20 20; 22 21; 23 22]));
%! assert (I(20, 20, 1), uint8 (254));
%! % The messages come through the host as in the CMake build.
%! expect_error_text ('ombrisk', 'Image input must be a double real matrix', ...
%!                    @ombrisk, uint8 (ones (8)), 30, 5);

%!test
%! % On Linux the modules export mexFunction alone, under the version MEX.
%! if (! isunix () || ismac ())
%!   return;
%! end
%! script = fullfile (root, 'tests', 'exports', 'check_exports.sh');
%! for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!   module = fullfile (outdir, [name{1} '.' mexext()]);
%!   [status, output] = system (sprintf ('sh "%s" "%s"', script, module));
%!   assert (status == 0, '%s', output);
%! end

%!test
%! % help on the folder shows Contents.m, which names the three functions; each
%! % function's help comes from its help file beside the module.
%! for target = {outdir, 'cellkit'}
%!   text = evalc (sprintf ('help %s', target{1}));
%!   assert (! isempty (strfind (text, fullfile (outdir, 'Contents.m'))), text);
%!   for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!     assert (! isempty (regexp (text, ['\n\s+' name{1} '\s+- '], 'once')), text);
%!   end
%! end
%! assert (strncmp (help ('tavenor3'), ' TAVENOR3  Grow a label', 23));

%!test
%! % The help's examples run as written in a fresh session that has added the folder to
%! % its path, with the folder itself current.
%! check_help_example_results (examples_in_fresh_session ( ...
%!     sprintf ('addpath (''%s'');', outdir), outdir));

%!test
%! % Last: the scratch folder goes (the loaded modules do not hold it on Linux).
%! rmpath (outdir);
%! confirm_recursive_rmdir (false, 'local');
%! [ok, message] = rmdir (fileparts (outdir), 's');
%! assert (ok, '%s', message);
