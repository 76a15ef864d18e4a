% Computes the Octave modules' outputs for every case the Python tests wrote, in one start.
%   octave-cli octave_outputs.m <toolbox folder> <case folder>
% <case folder>/manifest.txt has one line per case:
%   <id> <function> <class> <rows> <cols> <frames> <parameter> [<parameter>]
% and in<id>.bin the input's elements in column-major order, of that class. Images are
% passed through double() as a MATLAB user does; stacks as they are. The outputs go to
% out<id>_<name>.bin, and the message of a refused call to out<id>_error.txt.
1;

function A = read_input(path, class_name, dims)
  fid = fopen(path, 'r');
  A = fread(fid, Inf, ['*' class_name]);
  fclose(fid);
  A = reshape(A, dims);
end

function write_output(folder, id, name, A, class_name)
  fid = fopen(fullfile(folder, sprintf('out%s_%s.bin', id, name)), 'w');
  fwrite(fid, A, class_name);
  fclose(fid);
end

args = argv();
addpath(args{1});
folder = args{2};
fid = fopen(fullfile(folder, 'manifest.txt'), 'r');
while true
  line = fgetl(fid);
  if ~ischar(line)
    break;
  end
  f = strsplit(strtrim(line), ' ');
  id = f{1};
  dims = str2double(f(4:6));
  p = str2double(f(7:end));
  A = read_input(fullfile(folder, ['in' id '.bin']), f{3}, dims);
  try
    switch f{2}
      case 'ombrisk'
        write_output(folder, id, 'labels', ombrisk(double(A), p(1), p(2)), 'double');
      case 'tavenor3'
        write_output(folder, id, 'labels', tavenor3(double(A), p(1)), 'double');
      case 'vesquin4'
        [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY] = ...
            vesquin4(A, p(1));
        n = numel(tracklength);
        % Ptracks is 100000 x frames x 2: its rows past n must be zero, the rest is written.
        tail = Ptracks(n + 1:end, :, :);
        write_output(folder, id, 'count', [n, nnz(tail), size(Ptracks)], 'double');
        write_output(folder, id, 'itracks', Itracks, 'uint16');
        write_output(folder, id, 'ptracks', Ptracks(1:n, :, :), 'uint16');
        write_output(folder, id, 'pertrack', ...
                     [tracklength, trackstarts, trackstartX, trackstartY], 'double');
        write_output(folder, id, 'stack', A, 'uint8');
    end
  catch err
    out = fopen(fullfile(folder, sprintf('out%s_error.txt', id)), 'w');
    fputs(out, err.message);
    fclose(out);
  end
end
fclose(fid);
