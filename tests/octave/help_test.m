% The toolbox's help, as a user meets it: help on the toolbox folder lists the three
% functions, and every example in a function's help runs as written, from the source
% folder (whose data/ holds the images the examples read); the help files' own tests pass,
% and the version shown is the one in VERSION. Run with run_test_file.m.

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
%! % The labeller's example runs as written, on the bundled image, with the result it
%! % states.
%! examples = help_examples ('ombrisk');
%! assert (numel (examples), 1);
%! back = pwd ();
%! restore = onCleanup (@() cd (back));
%! cd (root);
%! evalc (examples{1});
%! assert (ncells > 250 && ncells < 350);

%!test
%! % The grower's examples: the tiny image, then whole cells on the bundled images.
%! examples = help_examples ('tavenor3');
%! assert (numel (examples), 2);
%! back = pwd ();
%! restore = onCleanup (@() cd (back));
%! cd (root);
%! evalc (examples{1});
%! assert (B, [1 1 1 2 2; 1 1 1 2 2]);
%! evalc (examples{2});
%! assert (ncells, 25);
%! % One label per seed, numbered row by row.
%! rows_first = B';
%! assert (rows_first(seeds'), (1:25)');

%!test
%! % The tracker's examples: the tiny stack, then nuclei in the bundled time-lapse.
%! examples = help_examples ('vesquin4');
%! assert (numel (examples), 2);
%! back = pwd ();
%! restore = onCleanup (@() cd (back));
%! cd (root);
%! evalc (examples{1});
%! assert (tracklength, 2);
%! assert (squeeze (Ptracks(1, 1:3, :)), uint16 ([20 20; 22 21; 23 22]));
%! assert (I(20, 20, 1), uint8 (254));
%! evalc (examples{2});
%! assert (ntracks > 10);
%! assert (size (positions), [30 2]);
%! assert (all (positions(:) > 0));

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
