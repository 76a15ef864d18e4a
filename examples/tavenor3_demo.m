function summary = tavenor3_demo (outdir)
  % tavenor3_demo (OUTDIR) grows whole cells from their nuclei with tavenor3, on one field
  % of U2OS cells imaged in two channels (nuclei, and cell bodies), and writes into OUTDIR
  % (default: the current folder):
  %   tavenor3_overlay.png   the cells drawn over the cell-body image: each cell tinted in
  %                          its own colour and outlined, its seed marked by a white dot
  % It prints a short summary and returns it as a struct.
  if (nargin < 1)
    outdir = pwd ();
  end
  here = fileparts (mfilename ('fullpath'));
  nuclei_name = 'bbbc022_u2os_nuclei.png';
  cells_name = 'bbbc022_u2os_cytoplasm.png';
  N = double (imread (fullfile (here, '..', 'data', nuclei_name)));
  C = double (imread (fullfile (here, '..', 'data', cells_name)));

  % Seeds: every seed pixel starts a label of its own, so each nucleus gets exactly one,
  % at the top of the smoothed nuclei image.
  smooth_nuclei = smooth_image (N, 4);
  seeds = local_maxima (smooth_nuclei, 8) & smooth_nuclei > 300;

  % The grey image: labels spread into pixels below a level that rises from 1, so the
  % cell bodies must be dark. The cell-body channel is inverted onto 1..253 (bright
  % cytoplasm low, dim cytoplasm high), the nuclei are set to 1 so that each seed fills
  % its nucleus first, and the background, where the cell-body channel is dim, is NaN:
  % never labelled. Seeds sit at 255 above a celllevel of 254, the usual 8-bit layout.
  smooth_cells = smooth_image (C, 1.5);
  G = 1 + round (252 * (1 - grey_to_unit (smooth_cells, 99.5)));
  G(N > 300) = 1;
  G(smooth_cells < 280) = NaN;
  G(seeds) = 255;
  tic;
  B = tavenor3 (G, 254);
  seconds = toc;

  labels = unique (B(B > 0));
  areas = accumarray (B(B > 0), 1);
  areas = areas(labels);

  if (~exist (outdir, 'dir'))
    mkdir (outdir);
  end
  files = {fullfile(outdir, 'tavenor3_overlay.png')};
  rgb = label_overlay (grey_to_unit (C, 99.5), B, 1);
  imwrite (mark_points (rgb, seeds), files{1});

  summary = struct ('image', cells_name, 'size', size (C), 'seeds', nnz (seeds), ...
                    'cells', numel (labels), 'median_area', median (areas), ...
                    'smallest_area', min (areas), 'largest_area', max (areas), ...
                    'seconds', seconds);
  summary.files = files;
  fprintf (['tavenor3 on %s (%d x %d): %d seeds grew into %d cells, ' ...
            'area median %g pixels (%g to %g), %.2f s\n'], ...
           cells_name, size (C, 1), size (C, 2), summary.seeds, summary.cells, ...
           summary.median_area, summary.smallest_area, summary.largest_area, seconds);
  fprintf ('         wrote %s\n', files{1});
end

function rgb = mark_points (rgb, points)
  % A white 3 x 3 dot with a black rim at every true pixel of POINTS.
  [r, c] = find (points);
  [m, n, ~] = size (rgb);
  for k = 1:numel (r)
    for w = [2 1]
      rows = max (1, r(k) - w):min (m, r(k) + w);
      cols = max (1, c(k) - w):min (n, c(k) + w);
      rgb(rows, cols, :) = 255 * (w == 1);
    end
  end
end
