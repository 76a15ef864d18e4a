function M = local_maxima (A, radius)
  % M = local_maxima (A, RADIUS) is true at every pixel of A that is the largest value of
  % the (2*RADIUS+1) x (2*RADIUS+1) square around it (parts outside the image left out).
  % Equal values are settled by position, the first in storage order winning, so a flat
  % top gives one maximum rather than several touching ones.
  [m, n] = size (A);
  padded = -Inf (m + 2 * radius, n + 2 * radius);
  padded(radius + (1:m), radius + (1:n)) = A;
  M = true (m, n);
  for dc = -radius:radius
    for dr = -radius:radius
      if (dr == 0 && dc == 0)
        continue;
      end
      neighbour = padded(radius + dr + (1:m), radius + dc + (1:n));
      if (dc < 0 || (dc == 0 && dr < 0))
        % The neighbour comes first in storage order: it wins a tie.
        M = M & (A > neighbour);
      else
        M = M & (A >= neighbour);
      end
    end
  end
end
