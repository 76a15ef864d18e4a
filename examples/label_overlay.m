function rgb = label_overlay (U, B, first_label, zoom)
  % rgb = label_overlay (U, B, FIRST_LABEL) draws the label image B over the grey image U
  % (values 0 to 1, the size of B) as a uint8 colour picture: every pixel whose label is
  % FIRST_LABEL or more is tinted with its label's colour, and the outline of each
  % labelled region is drawn in that colour at full strength. Other pixels keep their
  % grey value. Colours come from label_to_rgb, so both pictures of a result agree.
  % label_overlay (U, B, FIRST_LABEL, ZOOM) draws every pixel as a ZOOM x ZOOM square,
  % which keeps the outlines of small cells readable.
  if (nargin >= 4 && zoom > 1)
    U = kron (U, ones (zoom));
    B = kron (B, ones (zoom));
  end
  colours = double (label_to_rgb (B, first_label)) / 255;
  labelled = B >= first_label;

  % A labelled pixel is on the outline when a 4-neighbour holds another label.
  outline = false (size (B));
  differs = B(1:end - 1, :) ~= B(2:end, :);
  outline(1:end - 1, :) = outline(1:end - 1, :) | differs;
  outline(2:end, :) = outline(2:end, :) | differs;
  differs = B(:, 1:end - 1) ~= B(:, 2:end);
  outline(:, 1:end - 1) = outline(:, 1:end - 1) | differs;
  outline(:, 2:end) = outline(:, 2:end) | differs;
  outline = outline & labelled;

  weight = repmat (0.35 * labelled + 0.65 * outline, [1 1 3]);
  rgb = uint8 (round (255 * ((1 - weight) .* repmat (U, [1 1 3]) + weight .* colours)));
end
