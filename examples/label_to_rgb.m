function rgb = label_to_rgb (B, first_label)
  % rgb = label_to_rgb (B) draws a label image as a uint8 colour picture: 0 black,
  % 1 dark grey, and every label of 2 or more in a colour of its own (the labeller's
  % convention). label_to_rgb (B, 1) gives label 1 a colour too (the grower's).
  % Neighbouring label numbers get far-apart hues (steps of the golden ratio around the
  % circle).
  if (nargin < 2)
    first_label = 2;
  end
  hue = mod (double (B) * 0.6180339887, 1);
  hsv = cat (3, hue, 0.75 * ones (size (B)), ones (size (B)));
  rgb = hsv2rgb (hsv);
  rgb(repmat (B == 0, [1 1 3])) = 0;
  if (first_label > 1)
    rgb(repmat (B == 1, [1 1 3])) = 0.25;
  end
  rgb = uint8 (round (255 * rgb));
end
