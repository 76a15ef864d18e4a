function U = grey_to_unit (A, upper_percent)
  % U = grey_to_unit (A, UPPER_PERCENT) stretches the grey image A linearly for display:
  % its smallest value becomes 0 and the value below which UPPER_PERCENT percent of its
  % pixels lie becomes 1; brighter pixels are clipped to 1. Dim microscopy images (12-bit
  % data in a 16-bit file, for example) become visible without changing what is bright
  % and what is dark.
  A = double (A);
  sorted = sort (A(:));
  sorted = sorted(~isnan (sorted));
  low = sorted(1);
  high = sorted(max (1, round (numel (sorted) * upper_percent / 100)));
  if (high <= low)
    high = low + 1;
  end
  U = min (1, max (0, (A - low) / (high - low)));
end
