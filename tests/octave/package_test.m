% The Octave package as a user meets it. The tarball the build made (named by the
% environment variable CELLKIT_PACKAGE) is installed with pkg install into a scratch
% prefix, loaded, used and uninstalled. (build_toolbox_test.m builds the sources it
% carries with build_toolbox.) Run with run_test_file.m, in an Octave that has no other
% cellkit on its path.

%!shared root, version, tarball, scratch, installed
%! root = canonicalize_file_name (fullfile (fileparts (which ('expect_error_text')), '..', '..'));
%! version = strtok (fileread (fullfile (root, 'VERSION')), "\r\n");
%! tarball = getenv ('CELLKIT_PACKAGE');
%! assert (exist (tarball, 'file') == 2, 'no package at "%s"', tarball);
%! [~, tarball_name] = fileparts (tarball);
%! assert (tarball_name, ['cellkit-' version '.tar']);
%! scratch = tempname ();
%! mkdir (scratch);
%! pkg ('prefix', fullfile (scratch, 'share'), fullfile (scratch, 'lib'));
%! pkg ('local_list', fullfile (scratch, 'octave_packages'));
%! % -local: run as root, pkg install would otherwise list it in the machine's own list.
%! evalc ('pkg (''install'', ''-local'', tarball)');
%! pkg load cellkit
%! installed = pkg ('list', 'cellkit'){1};

%!test
%! % pkg list, ver and cellkit_version show the version of VERSION.
%! assert (installed.version, version);
%! assert (installed.loaded);
%! assert (strncmp (installed.dir, scratch, numel (scratch)));
%! assert (ver ('cellkit').Version, version);
%! assert (cellkit_version (), version);
%! % NEWS says what this version brought.
%! news = fileread (fullfile (installed.dir, 'packinfo', 'NEWS'));
%! assert (! isempty (strfind (news, ['cellkit ' version ' ('])));
%! % pkg describe lists the functions by category, from INDEX.
%! provides = pkg ('describe', 'cellkit'){1}.provides;
%! assert (cellfun (@(p) p.category, provides, 'UniformOutput', false), ...
%!         {'Labelling cells', 'Tracking cells', 'The toolbox'});
%! assert (sort ([cellfun(@(p) p.functions, provides, 'UniformOutput', false){:}]), ...
%!         {'cellkit_data', 'cellkit_version', 'ombrisk', 'tavenor3', 'vesquin4'});

%!test
%! % The calls reach the package's modules, which on Linux export mexFunction alone, under
%! % the version MEX; help comes from the package's help files.
%! script = fullfile (root, 'tests', 'exports', 'check_exports.sh');
%! for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!   module = which (name{1});
%!   assert (strncmp (module, scratch, numel (scratch)), module);
%!   assert (module(end - 3:end), '.mex');
%!   if (isunix () && ! ismac ())
%!     [status, output] = system (sprintf ('sh "%s" "%s"', script, module));
%!     assert (status == 0, '%s', output);
%!   end
%! end
%! text = help ('ombrisk');
%! assert (strncmp (text, ' OMBRISK  Label dark cells', 26), text);
%! assert (isempty (strfind (text, '%!')));
%! assert (strncmp (help ('vesquin4'), ' VESQUIN4  Link cell markers', 28));

%!test
%! % The worked calls: each function's own tests, as the package carries them.
%! for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!   file = file_in_loadpath ([name{1} '.m']);
%!   assert (strncmp (file, scratch, numel (scratch)), file);
%!   [passed, total] = test (name{1}, 'quiet');
%!   assert (total >= 3 && passed == total, '%s: %d of %d tests passed', name{1}, passed, total);
%! end

%!test
%! % The help's examples run as written in a fresh session that has loaded the package and
%! % nothing else, with the package's own folder current: there, as anywhere, the calls
%! % reach the modules (the help files lie beside them, not in that folder), and the
%! % examples find the images through cellkit_data. COPYING gives every image's licence.
%! setup = sprintf (['pkg (''prefix'', ''%s'', ''%s''); pkg (''local_list'', ''%s''); ' ...
%!                   'pkg load cellkit'], fullfile (scratch, 'share'), ...
%!                  fullfile (scratch, 'lib'), fullfile (scratch, 'octave_packages'));
%! check_help_example_results (examples_in_fresh_session (setup, installed.dir));
%! assert (! exist (fullfile (installed.dir, 'ombrisk.m'), 'file'));
%! assert (fileparts (cellkit_data ()), installed.dir);
%! copying = fileread (fullfile (installed.dir, 'packinfo', 'COPYING'));
%! assert (! isempty (strfind (copying, 'BSD 3-Clause License')));
%! images = dir (fullfile (root, 'data'));
%! images = setdiff ({images(! [images.isdir]).name}, {'README.md'});
%! for k = 1:numel (images)
%!   assert (exist (fullfile (installed.dir, 'data', images{k}), 'file') == 2, images{k});
%!   assert (! isempty (regexp (copying, ['\n  ' images{k} ' +\S'], 'once')), images{k});
%! end

%!test
%! % pkg uninstall takes it all away again.
%! arch = fileparts (which ('ombrisk'));
%! pkg ('uninstall', '-local', 'cellkit');
%! assert (isempty (pkg ('list', 'cellkit')));
%! assert (! exist (installed.dir, 'dir'));
%! assert (! exist (arch, 'dir'));
%! assert (isempty (which ('ombrisk')));
%! assert (isempty (which ('cellkit_version')));

%!test
%! % Last: the scratch folder goes.
%! confirm_recursive_rmdir (false, 'local');
%! [ok, message] = rmdir (scratch, 's');
%! assert (ok, '%s', message);
