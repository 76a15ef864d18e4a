function rgb = label_to_rgb (B)
  % rgb = label_to_rgb (B) draws a label image as a uint8 colour picture: 0 black,
  % 1 dark grey, and every label of 2 or more in a colour of its own. Neighbouring
  % label numbers get far-apart hues (steps of the golden ratio around the circle).
  hue = mod (double (B) * 0.6180339887, 1);
  hsv = cat (3, hue, 0.65 * ones (size (B)), 0.95 * ones (size (B)));
  rgb = hsv2rgb (hsv);
  background = repmat (B == 0, [1 1 3]);
  flooded = repmat (B == 1, [1 1 3]);
  rgb(background) = 0;
  rgb(flooded) = 0.25;
  rgb = uint8 (round (255 * rgb));
end
