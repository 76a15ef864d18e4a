function S = smooth_image (A, sigma)
  % S = smooth_image (A, SIGMA) smooths the grey image A with a Gaussian of standard
  % deviation SIGMA pixels (one pass along the columns, one along the rows). Near the
  % border the weights are renormalised over the pixels inside the image, so the border
  % is not darkened.
  radius = ceil (3 * sigma);
  g = exp (-((-radius:radius) .^ 2) / (2 * sigma ^ 2));
  g = g / sum (g);
  A = double (A);
  S = conv2 (g, g, A, 'same') ./ conv2 (g, g, ones (size (A)), 'same');
end
