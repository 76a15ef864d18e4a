% compare_modules (FOLDER, RUNS) times MODULE_base and MODULE_now (compare_modules.sh puts
% both on the path) on every input listed in FOLDER/INDEX, alternating the two, and prints
% per input the best CPU time of each over RUNS calls, the speed-up (base / now) and whether
% both returned the same array.
function compare_modules (folder, runs)
  fid = fopen (fullfile (folder, 'INDEX'), 'r');
  printf ("%-26s %10s %10s %8s  %s\n", "input", "base s", "now s", "speed-up", "same");
  while (true)
    line = fgetl (fid);
    if (! ischar (line))
      break;
    end
    fields = strsplit (line, "\t");
    base = str2func ([fields{2} '_base']);
    now = str2func ([fields{2} '_now']);
    parameters = num2cell (str2double (fields(4:end)));
    A = read_raw_image (fields{3});
    % Loading a module is not part of a call.
    base (ones (2), parameters{:});
    now (ones (2), parameters{:});
    best = [Inf, Inf];
    same = isequal (base (A, parameters{:}), now (A, parameters{:}));
    for k = 1:runs
      best(1) = min (best(1), cpu_seconds (base, A, parameters));
      best(2) = min (best(2), cpu_seconds (now, A, parameters));
    end
    printf ("%-26s %10.4f %10.4f %8.2f  %d\n", fields{1}, best(1), best(2),
            best(1) / best(2), same);
    fflush (stdout);
  end
  fclose (fid);
end

function seconds = cpu_seconds (module, A, parameters)
  c0 = cputime ();
  B = module (A, parameters{:});
  seconds = cputime () - c0;
end
