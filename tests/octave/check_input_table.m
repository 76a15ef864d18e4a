function check_input_table (name, nout, rewritten, table)
  % check_input_table (NAME, NOUT, REWRITTEN, TABLE) calls module NAME once for every row
  % of TABLE, a cell array of rows {WHAT, ARGS, EXPECTED}:
  %   WHAT      says what the row tries, for the failure message;
  %   ARGS      a cell array of the arguments;
  %   EXPECTED  a char array: the call must fail with exactly this message (after the
  %             "NAME: " that Octave puts in front);
  %             a 1x1 cell {B}: the call must succeed, and its first output must equal B
  %             in class, size and value;
  %             or a function handle that gets the NOUT outputs and the arguments as they
  %             are after the call (two cell arrays) and returns true when they are right.
  % Afterwards every argument must equal its copy from before the call, in class, size,
  % sparsity and value (NaN equal to NaN). The one exception: arguments whose positions are
  % listed in REWRITTEN may change in a call that succeeds; a refused call changes nothing.
  for k = 1:rows (table)
    [what, args, expected] = table{k, :};
    before = cellfun (@unshared_copy, args, 'UniformOutput', false);
    outputs = cell (1, nout);
    try
      [outputs{:}] = feval (name, args{:});
      failure = '';
    catch err
      failure = err.message;
    end
    if (ischar (expected))
      message = [name ': ' expected];
      if (! strcmp (failure, message))
        error ('%s, %s:\n  expected the error "%s"\n  got      %s', name, what, message, ...
               describe (failure));
      end
    elseif (! isempty (failure))
      error ('%s, %s: unexpected error "%s"', name, what, failure);
    elseif (iscell (expected))
      if (! same_array (outputs{1}, expected{1}))
        error ('%s, %s: wrong result', name, what);
      end
    elseif (! expected (outputs, args))
      error ('%s, %s: wrong result', name, what);
    end
    for a = 1:numel (args)
      if (any (a == rewritten) && isempty (failure))
        continue;
      end
      if (! same_array (args{a}, before{a}))
        error ('%s, %s: argument %d was changed by the call', name, what, a);
      end
    end
  end
end

% A copy with storage of its own. A plain copy shares the storage of the original until one
% of them is changed, so a module writing into an argument would change the copy too.
function copy = unshared_copy (x)
  copy = x;
  if (iscell (x))
    copy = cellfun (@unshared_copy, x, 'UniformOutput', false);
  elseif ((isnumeric (x) || islogical (x) || ischar (x)) && ! isempty (x))
    copy(1) = x(1);
  end
end

function text = describe (failure)
  if (isempty (failure))
    text = 'no error';
  else
    text = ['the error "' failure '"'];
  end
end

function same = same_array (a, b)
  same = strcmp (class (a), class (b)) && isequal (size (a), size (b)) ...
         && issparse (a) == issparse (b) && isequaln (a, b);
end
