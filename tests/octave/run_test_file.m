% Runs the %! blocks of one test file against the toolbox folder and exits with a
% status that ctest reads: 0 only when every block passed.
%   octave-cli run_test_file.m <toolbox folder> <test file>
args = argv();
if numel(args) ~= 2
  fprintf(2, 'usage: octave-cli run_test_file.m <toolbox folder> <test file>\n');
  exit(2);
end
addpath(args{1});
addpath(fileparts(mfilename('fullpath')));
[passed, total] = test(args{2}, 'normal', stdout);
printf('%d of %d tests passed\n', passed, total);
exit(double(total == 0 || passed ~= total));
