function summary = vesquin4_demo (outdir)
  % vesquin4_demo (OUTDIR) tracks the nuclei of a real 30-frame fluorescence time-lapse
  % with vesquin4 and writes two pictures into OUTDIR (default: the current folder):
  %   vesquin4_tracks.png              the tracks as coloured paths over the first
  %                                    frame, three times enlarged; a square marks
  %                                    where each track starts
  %   vesquin4_tracks_projection.png   the same paths over the brightest value of
  %                                    every pixel across all frames, which shows
  %                                    where the nuclei went
  % It prints a short summary and returns it as a struct.
  if (nargin < 1)
    outdir = pwd ();
  end
  here = fileparts (mfilename ('fullpath'));
  name = 'timelapse_nuclei_mitocheck_uint8.tif';
  file = fullfile (here, '..', 'data', name);
  frames = numel (imfinfo (file));
  first = imread (file, 1);
  [rows, cols] = size (first);
  S = zeros (rows, cols, frames);
  for f = 1:frames
    S(:, :, f) = imread (file, f);
  end

  % One marker per nucleus and frame: the top of each nucleus in the smoothed frame,
  % where it stands clearly above the background (about 4 in these frames). The
  % tracker takes every pixel of 254 or 255 as a marker and everything else as
  % background.
  I = zeros (rows, cols, frames, 'uint8');
  for f = 1:frames
    smooth = smooth_image (S(:, :, f), 4);
    I(:, :, f) = 255 * uint8 (local_maxima (smooth, 8) & smooth > 12);
  end
  markers = nnz (I);

  % A nucleus moves a few pixels a frame: search up to 10 pixels around each marker.
  % I is rewritten in place (254 for linked markers), so hand over a copy if the markers
  % are needed afterwards.
  tic;
  [~, Ptracks, tracklength] = vesquin4 (I, 10);
  seconds = toc;
  n = numel (tracklength);
  lengths = [0 0 0];
  if (n > 0)
    lengths = [min(tracklength), median(tracklength), max(tracklength)];
  end

  if (~exist (outdir, 'dir'))
    mkdir (outdir);
  end
  files = {fullfile(outdir, 'vesquin4_tracks.png'), ...
           fullfile(outdir, 'vesquin4_tracks_projection.png')};
  zoom = 3;
  imwrite (draw_tracks (grey_to_unit (S(:, :, 1), 99.5), Ptracks, n, zoom), files{1});
  imwrite (draw_tracks (grey_to_unit (max (S, [], 3), 99.5), Ptracks, n, zoom), files{2});

  summary = struct ('image', name, 'size', [rows cols frames], 'markers', markers, ...
                    'tracks', n, 'whole_movie_tracks', sum (tracklength == frames - 1), ...
                    'shortest', lengths(1), 'median_length', lengths(2), ...
                    'longest', lengths(3), 'seconds', seconds);
  summary.files = files;
  fprintf (['vesquin4 on %s (%d x %d x %d): %d markers, %d tracks, %d over the whole ' ...
            'movie; length median %g links (%d to %d), %.2f s\n'], ...
           name, rows, cols, frames, markers, n, summary.whole_movie_tracks, ...
           summary.median_length, summary.shortest, summary.longest, seconds);
  fprintf ('         wrote %s and %s\n', files{:});
end
