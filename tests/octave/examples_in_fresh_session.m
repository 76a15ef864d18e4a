function results = examples_in_fresh_session (setup, folder)
  % results = examples_in_fresh_session (SETUP, FOLDER) runs the examples of the help of
  % ombrisk, tavenor3 and vesquin4, in that order, verbatim, in a new Octave process, as
  % a user who has just put the toolbox on the path pastes them: the process runs the
  % code SETUP (addpath, or pkg load), makes FOLDER its current folder, and calls nothing
  % else before the examples. RESULTS{k} is the workspace the k-th example leaves, as a
  % struct. An example that fails fails the call, with the process's output.
  examples = [help_examples('ombrisk'), help_examples('tavenor3'), help_examples('vesquin4')];
  scratch = tempname ();
  mkdir (scratch);
  cleanup = onCleanup (@() confirm_and_remove (scratch));
  script = {setup, sprintf('cd (''%s'');', folder)};
  for k = 1:numel (examples)
    script{end + 1} = examples{k};
    script{end + 1} = sprintf ('save (''-binary'', ''%s'');', ...
                               fullfile (scratch, sprintf ('example%d.bin', k)));
  end
  file = fullfile (scratch, 'paste.m');
  fid = fopen (file, 'w');
  fputs (fid, strjoin (script, "\n"));
  fclose (fid);
  octave = fullfile (OCTAVE_HOME (), 'bin', 'octave-cli');
  [status, output] = system (sprintf ('"%s" --no-gui --norc --no-history --quiet "%s" 2>&1', ...
                                      octave, file));
  assert (status == 0, 'the help examples failed in a fresh session:\n%s', output);
  results = cell (1, numel (examples));
  for k = 1:numel (examples)
    results{k} = load (fullfile (scratch, sprintf ('example%d.bin', k)));
  end
end

function confirm_and_remove (folder)
  confirm_recursive_rmdir (false, 'local');
  rmdir (folder, 's');
end
