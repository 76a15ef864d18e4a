% A = read_raw_image (FILE) reads an image the benchmark scripts wrote (write_double in
% bench/peer/inputs.py): int32 rows and columns, then the doubles in column-major order.
function A = read_raw_image (file)
  fid = fopen (file, 'r');
  size_ = fread (fid, 2, 'int32')';
  A = fread (fid, size_, 'double=>double');
  fclose (fid);
end
