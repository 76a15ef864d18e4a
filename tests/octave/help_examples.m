function examples = help_examples (name)
  % examples = help_examples (NAME) returns the examples of NAME's help, one string of
  % code each. An Example heading starts one; code lines are indented by five or more
  % blanks (prose by three); See also ends them.
  lines = strsplit (help (name), "\n");
  examples = {};
  inside = false;
  for k = 1:numel (lines)
    if (regexp (lines{k}, '^\s{1,4}Example', 'once'))
      inside = true;
      examples{end + 1} = '';
    elseif (regexp (lines{k}, '^\s{1,4}See also', 'once'))
      inside = false;
    elseif (inside && regexp (lines{k}, '^\s{5,}\S', 'once'))
      examples{end} = [examples{end}, lines{k}, "\n"];
    end
  end
end
