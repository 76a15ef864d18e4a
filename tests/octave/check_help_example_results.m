function check_help_example_results (results)
  % check_help_example_results (RESULTS): the workspaces that the five help examples
  % leave (examples_in_fresh_session) hold what the help says they do.
  assert (numel (results), 5);
  assert (results{1}.ncells, 305);
  assert (results{2}.B, [1 1 1 2 2; 1 1 1 2 2]);
  assert (results{3}.ncells, 25);
  % One label per seed, numbered row by row.
  rows_first = results{3}.B';
  assert (rows_first(results{3}.seeds'), (1:25)');
  assert (results{4}.tracklength, 2);
  assert (squeeze (results{4}.Ptracks(1, 1:3, :)), uint16 ([20 20; 22 21; 23 22]));
  assert (results{4}.I(20, 20, 1), uint8 (254));
  assert (results{5}.ntracks > 10);
  assert (size (results{5}.positions), [30 2]);
  assert (all (results{5}.positions(:) > 0));
end
