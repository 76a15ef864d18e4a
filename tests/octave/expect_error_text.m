function expect_error_text (name, expected, fn, varargin)
  % expect_error_text (NAME, EXPECTED, FN, ARGS...) calls FN(ARGS...) and checks that it
  % fails with the message that Octave shows for a MEX function NAME: "NAME: " followed
  % by EXPECTED, exactly.
  try
    fn (varargin{:});
  catch err
    prefix = [name ': '];
    if (! strncmp (err.message, prefix, numel (prefix)))
      error ('expect_error_text: message "%s" lacks the prefix "%s"', err.message, prefix);
    end
    actual = err.message(numel (prefix) + 1:end);
    if (! strcmp (actual, expected))
      error ('expect_error_text:\n  expected "%s"\n  actual   "%s"', expected, actual);
    end
    return;
  end
  error ('expect_error_text: no error raised; expected "%s"', expected);
end
