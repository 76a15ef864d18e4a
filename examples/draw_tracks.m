function rgb = draw_tracks (U, Ptracks, n, zoom)
  % rgb = draw_tracks (U, PTRACKS, N, ZOOM) draws tracks 1 to N of a vesquin4 result as
  % coloured paths over the grey image U (values 0 to 1), enlarged ZOOM times so that the
  % paths stay readable. Each track is a line through its positions, frame by frame, with
  % a black-rimmed square at its first position. PTRACKS is vesquin4's second output:
  % PTRACKS(id, f, 1) is the column and PTRACKS(id, f, 2) the row of track id in frame f,
  % 0 0 where the track has no marker.
  background = kron (U, ones (zoom));
  rgb = repmat (0.85 * background, [1 1 3]);
  for id = 1:n
    colour = hsv2rgb ([mod(id * 0.6180339887, 1), 0.85, 1]);
    x = double (Ptracks(id, :, 1));
    y = double (Ptracks(id, :, 2));
    present = find (x > 0);
    % Pixel (row, column) of U covers rows (row-1)*zoom+1 .. row*zoom of the picture.
    points = [(y(present)' - 0.5) * zoom + 0.5, (x(present)' - 0.5) * zoom + 0.5];
    for k = 1:numel (present) - 1
      rgb = draw_segment (rgb, points(k, :), points(k + 1, :), colour, 2);
    end
    % The start: a square in the track's colour, rimmed in black to stand out.
    rgb = draw_segment (rgb, points(1, :), points(1, :), [0 0 0], 2 * zoom + 2);
    rgb = draw_segment (rgb, points(1, :), points(1, :), colour, 2 * zoom);
  end
  rgb = uint8 (round (255 * rgb));
end

function rgb = draw_segment (rgb, from, to, colour, width)
  % Stamps a WIDTH x WIDTH square at every half-pixel step from FROM to TO ([row col]).
  steps = max (1, ceil (2 * max (abs (to - from))));
  t = (0:steps)' / steps;
  points = repmat (from, steps + 1, 1) + t * (to - from);
  [m, n, ~] = size (rgb);
  half = (width - 1) / 2;
  for k = 1:size (points, 1)
    r = round (points(k, 1) - half):round (points(k, 1) + half);
    c = round (points(k, 2) - half):round (points(k, 2) + half);
    r = r(r >= 1 & r <= m);
    c = c(c >= 1 & c <= n);
    for channel = 1:3
      rgb(r, c, channel) = colour(channel);
    end
  end
end
