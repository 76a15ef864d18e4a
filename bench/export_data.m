% export_data (OUTDIR) writes the real microscopy inputs of the benchmark as raw files that
% cellkit_bench reads: int32 rows, cols, frames, type (0 double, 1 uint8), then the elements
% in column-major order.
function export_data (outdir)
  here = fileparts (mfilename ('fullpath'));
  data = fullfile (here, '..', 'data');
  if (! exist (outdir, 'dir'))
    mkdir (outdir);
  end

  % The labeller's input, prepared as in its demo: nuclei made dark, background never flooded.
  A = imread (fullfile (data, 'nuclei_human_cells.png'));
  D = 256 - double (A);
  D(A < 48) = 0;
  write_raw (fullfile (outdir, 'nuclei_human_cells.raw'), D);
  % 12- and 16-bit images, inverted so that the cells are dark, values kept whole.
  N = double (imread (fullfile (data, 'bbbc022_u2os_nuclei.png')));
  write_raw (fullfile (outdir, 'bbbc022_u2os_nuclei_inverted.raw'), max (N(:)) + 1 - N);
  P = double (imread (fullfile (data, 'phase_contrast_t98g.png')));
  write_raw (fullfile (outdir, 'phase_contrast_t98g.raw'), P);
  % The tracker's inputs: two time-lapse movies of nuclei with markers at the bright centres.
  for movie = {'timelapse_nuclei_mitocheck_uint8', 'timelapse_nuclei_cancer_cells_uint8'}
    S = squeeze (imread (fullfile (data, [movie{1} '.tif']), 'Index', 'all'));
    write_raw (fullfile (outdir, [movie{1} '_markers.raw']), nuclei_markers (S));
  end
  % The grower's input, prepared as in its demo, on the demo's 8-bit scale (cell bodies on
  % 1..253, seeds at 255 above celllevel 254) and on a 12-bit one (1..4093, seeds at 4095).
  addpath (fullfile (here, '..', 'examples'));
  write_raw (fullfile (outdir, 'bbbc022_u2os_grower_8bit.raw'), grower_input (data, 253));
  write_raw (fullfile (outdir, 'bbbc022_u2os_grower_12bit.raw'), grower_input (data, 4093));
end

% One seed per nucleus at the top of the smoothed nuclei image, two above TOP; the cell-body
% channel inverted onto 1..TOP so that the cells are dark; nuclei at 1, so that each seed
% fills its nucleus first; background, where the cell-body channel is dim, NaN.
function G = grower_input (data, top)
  N = double (imread (fullfile (data, 'bbbc022_u2os_nuclei.png')));
  C = double (imread (fullfile (data, 'bbbc022_u2os_cytoplasm.png')));
  smooth_nuclei = smooth_image (N, 4);
  seeds = local_maxima (smooth_nuclei, 8) & smooth_nuclei > 300;
  smooth_cells = smooth_image (C, 1.5);
  G = 1 + round ((top - 1) * (1 - grey_to_unit (smooth_cells, 99.5)));
  G(N > 300) = 1;
  G(smooth_cells < 280) = NaN;
  G(seeds) = top + 2;
end

% Markers (255) at the local maxima of each Gaussian-smoothed frame that stand above the
% frame's mean by one standard deviation; every other pixel keeps its value, clipped to 253
% so that it stays background.
function M = nuclei_markers (S)
  g = exp (-((-4:4) .^ 2) / (2 * 1.5 ^ 2));
  g = g / sum (g);
  M = min (S, uint8 (253));
  for t = 1:size (S, 3)
    G = conv2 (g, g, double (S(:, :, t)), 'same');
    P = -Inf (size (G) + 2);
    P(2:end-1, 2:end-1) = G;
    peak = G > mean (G(:)) + std (G(:));
    for dr = -1:1
      for dc = -1:1
        if (dr || dc)
          peak &= G >= P((2:end-1) + dr, (2:end-1) + dc);
        end
      end
    end
    frame = M(:, :, t);
    frame(peak) = 255;
    M(:, :, t) = frame;
  end
end

function write_raw (file, A)
  fid = fopen (file, 'wb');
  sz = size (A);
  sz(end+1:3) = 1;
  fwrite (fid, [sz(1:3), double(! isa (A, 'double'))], 'int32');
  if (isa (A, 'double'))
    fwrite (fid, A, 'double');
  else
    fwrite (fid, A, 'uint8');
  end
  fclose (fid);
end
