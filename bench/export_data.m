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
