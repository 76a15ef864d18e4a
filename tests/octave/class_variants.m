function variants = class_variants (x)
  % VARIANTS = class_variants (X) gives X in every class a module might be handed, as rows
  % {class name, value} of a cell array: double, single, each integer class, logical, char,
  % complex, sparse, cell, struct and function handle. X must be a real 2-D array without
  % NaN (logical refuses NaN, sparse more than two dimensions).
  d = double (x);
  variants = {'double', d; 'single', single(d);
              'int8', int8(d); 'uint8', uint8(d); 'int16', int16(d); 'uint16', uint16(d);
              'int32', int32(d); 'uint32', uint32(d); 'int64', int64(d); 'uint64', uint64(d);
              'logical', logical(d); 'char', char(d); 'complex', complex(d, 1);
              'sparse', sparse(d); 'cell', {d}; 'struct', struct('value', d);
              'function handle', @() d};
end
