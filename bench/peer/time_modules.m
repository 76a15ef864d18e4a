% time_modules (TOOLBOX, MANIFEST) times the toolbox's modules as a user calls them, for the
% peer benchmark (bench/peer/peer_bench.py, which writes MANIFEST and the inputs it names).
%
% Each line of MANIFEST is one workload, fields separated by tabs:
%   name  module  input file  runs  parameter ...
% where module is tavenor3 or ombrisk and the parameters follow the input (celllevel; or
% cellSizeLimit and threshold). The input file holds int32 rows and columns, then the
% double image in column-major order. For every workload one line is printed:
%   RESULT <tab> name <tab> best wall seconds <tab> best CPU seconds <tab> labels
% where labels is the largest label of the output. Inputs are read before the clock starts;
% each run is one call of the module, with its output created by the module, as a user has it.
% The module is loaded (called once on a tiny image) before the first run.
function time_modules (toolbox, manifest)
  addpath (toolbox);
  fid = fopen (manifest, 'r');
  while (true)
    line = fgetl (fid);
    if (! ischar (line))
      break;
    end
    fields = strsplit (line, "\t");
    name = fields{1};
    module = str2func (fields{2});
    A = read_raw_image (fields{3});
    runs = str2double (fields{4});
    parameters = num2cell (str2double (fields(5:end)));
    % Loading the module is not part of a call: once on a tiny image first.
    module (ones (2), parameters{:});
    wall = Inf;
    cpu = Inf;
    for k = 1:runs
      c0 = cputime ();
      t0 = tic ();
      B = module (A, parameters{:});
      wall = min (wall, toc (t0));
      cpu = min (cpu, cputime () - c0);
    end
    printf ("RESULT\t%s\t%.6f\t%.6f\t%d\n", name, wall, cpu, max ([0; B(:)]));
    fflush (stdout);
    clear A B;
  end
  fclose (fid);
end
