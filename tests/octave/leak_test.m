% Repeated calls leak nothing: the host's resident memory must not keep growing over a few
% hundred calls of each module, good ones and every kind of refused one. Each good call
% needs several megabytes of working space, so a call that left its working space (or an
% output) behind would grow the host by hundreds of megabytes.
% Run with run_test_file.m, in a build without the sanitizers.

%!function kb = resident_kb ()
%! status = fileread ('/proc/self/status');
%! kb = str2double (regexp (status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
%!endfunction

%!function refuse (fn, varargin)
%! try
%!   fn (varargin{:});
%! catch
%!   return;
%! end
%! error ('leak_test: the call was expected to fail');
%!endfunction

%!function check_no_growth (calls, call_once)
%! % A first round lets the host's allocator and caches reach their working size.
%! for k = 1:20
%!   call_once ();
%! end
%! before = resident_kb ();
%! for k = 1:calls
%!   call_once ();
%! end
%! growth_mb = (resident_kb () - before) / 1024;
%! assert (growth_mb < 16, sprintf ('resident memory grew by %.1f MB over %d calls', ...
%!                                   growth_mb, calls));
%!endfunction

%!function labeller_calls (A)
%! B = ombrisk (A, 30, 5);
%! refuse (@ombrisk, A, 30);
%! refuse (@ombrisk, single (A), 30, 5);
%! refuse (@ombrisk, A, int32 (30), 5);
%! refuse (@ombrisk, A, [], 5);
%! refuse (@ombrisk, A, 30, {});
%! refuse (@ombrisk, [A; Inf(1, columns(A))], 30, 5);
%!endfunction

%!function grower_calls (G)
%! B = tavenor3 (G, 250);
%! refuse (@tavenor3, G);
%! refuse (@tavenor3, uint8 (G), 250);
%! refuse (@tavenor3, G, single (250));
%! refuse (@tavenor3, G, []);
%! refuse (@tavenor3, [G; Inf(1, columns(G))], 250);
%!endfunction

%!function tracker_calls (I)
%! [It, Pt, tl, ts, tx, ty] = vesquin4 (I, 6);
%! It = vesquin4 (I, 6);     % the outputs not asked for are destroyed
%! refuse (@vesquin4, I);
%! refuse (@vesquin4, double (I), 6);
%! refuse (@vesquin4, I, {});
%! refuse (@vesquin4, zeros (1, 65536, 2, 'uint8'), 6);
%!endfunction

%!test
%! A = 1 + floor (20 * rand (400, 400));
%! check_no_growth (200, @() labeller_calls (A));

%!test
%! G = floor (60 * rand (400, 400));
%! check_no_growth (200, @() grower_calls (G));

%!test
%! I = uint8 (254 * (rand (300, 300, 4) > 0.98));
%! check_no_growth (200, @() tracker_calls (I));
