% The toolbox's help, as a user meets it: help on the toolbox folder lists the three
% functions, and every example in a function's help runs as written in a fresh session,
% from any folder (the examples read the bundled images through cellkit_data); the help
% files' own tests pass, and the version shown is the one in VERSION. Run with
% run_test_file.m.

%!shared root, folder
%! root = canonicalize_file_name (fullfile (fileparts (which ('expect_error_text')), '..', '..'));
%! folder = fileparts (which ('ombrisk'));

%!test
%! % help on the folder, by its path or by its name, shows the folder's Contents.m,
%! % which names each function; each has its help file beside it.
%! [~, folder_name] = fileparts (folder);
%! for target = {folder, folder_name}
%!   text = evalc (sprintf ('help %s', target{1}));
%!   assert (! isempty (strfind (text, fullfile (folder, 'Contents.m'))), text);
%!   for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!     assert (! isempty (regexp (text, ['\n\s+' name{1} '\s+- '], 'once')), text);
%!     assert (exist (fullfile (folder, [name{1} '.m']), 'file'), 2);
%!   end
%! end

%!test
%! % Every example of the help runs as written, in a fresh session that has only added the
%! % toolbox folder to its path, from another current folder: the examples find the
%! % bundled images through cellkit_data, in the toolbox's data/.
%! elsewhere = tempname ();
%! mkdir (elsewhere);
%! results = examples_in_fresh_session (sprintf ('addpath (''%s'');', folder), elsewhere);
%! rmdir (elsewhere);
%! check_help_example_results (results);
%! assert (cellkit_data ('nuclei_human_cells.png'), ...
%!         fullfile (folder, 'data', 'nuclei_human_cells.png'));
%! assert (exist (fullfile (cellkit_data (), 'README.md'), 'file'), 2);
%! assert (isempty (strfind (help ('ombrisk'), 'source folder')));

%!error <cellkit_data: no sample file "nuclei.png" in .*data; the files are: README.md, bbbc022> cellkit_data ('nuclei.png')

%!test
%! % Each help file carries tests of its own (test ombrisk, as in the installed package);
%! % they pass against the modules beside it.
%! for name = {'ombrisk', 'tavenor3', 'vesquin4'}
%!   assert (file_in_loadpath ([name{1} '.m']), fullfile (folder, [name{1} '.m']));
%!   [passed, total] = test (name{1}, 'quiet');
%!   assert (total >= 3 && passed == total, '%s: %d of %d tests passed', name{1}, passed, total);
%! end

%!test
%! % The version of VERSION, and no other, in cellkit_version and Contents.m.
%! version = strtok (fileread (fullfile (root, 'VERSION')), "\r\n");
%! assert (cellkit_version (), version);
%! assert (fileparts (which ('cellkit_version')), folder);
%! contents = strsplit (fileread (fullfile (folder, 'Contents.m')), "\n");
%! assert (contents{2}, ['% Version ' version]);
