% The modules hold no state, so several images can be labelled at once in worker
% processes: parcellfun of Octave's parallel package gives what a serial loop gives.
% Skipped, with a message, where the package is not installed. Run with run_test_file.m.

%!test
%! try
%!   pkg load parallel
%! catch err
%!   printf ('skipped: the parallel package does not load (%s)\n', err.message);
%!   return;
%! end
%! root = canonicalize_file_name (fullfile (fileparts (which ('expect_error_text')), '..', '..'));
%! A = imread (fullfile (root, 'data', 'nuclei_human_cells.png'));
%! % Four quarters of a real image, prepared as the labeller's example does.
%! images = {};
%! for r = [1 257]
%!   for c = [1 257]
%!     Q = A(r:r + 255, c:c + 255);
%!     D = 256 - double (Q);
%!     D(Q < 48) = 0;
%!     images{end + 1} = D;
%!   end
%! end
%! labels = parcellfun (2, @(D) ombrisk (D, 30, 5), images, 'UniformOutput', false, ...
%!                      'VerboseLevel', 0);
%! serial = cellfun (@(D) ombrisk (D, 30, 5), images, 'UniformOutput', false);
%! assert (labels, serial);
%! assert (all (cellfun (@(B) numel (unique (B(B > 1))), labels) > 20));
