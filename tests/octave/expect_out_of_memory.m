function expect_out_of_memory (name, failing_call, working_call, expected, headroom)
  % expect_out_of_memory (NAME, FAILING_CALL, WORKING_CALL, EXPECTED, HEADROOM) checks that module
  % NAME reports the out-of-memory message when its working space cannot be allocated,
  % and that the host lives on: afterwards WORKING_CALL must display EXPECTED.
  %
  % A child Octave makes a 4000 x 4000 image A and a spare block of the same size, then
  % lowers its own address-space limit (prlimit) to HEADROOM bytes (40 MB unless given)
  % above what it uses, so that the module's scratch for A, or from some headroom on its
  % output, no longer fits. FAILING_CALL is evaluated there; then the spare
  % block is released and WORKING_CALL is evaluated and displayed.
  % Without prlimit on the machine the check is skipped, and so it is under the sanitizers
  % (CELLKIT_SANITIZED set): their runtime needs more address space than any limit leaves.
  if (isempty (file_in_path (getenv ('PATH'), 'prlimit')) || ! isempty (getenv ('CELLKIT_SANITIZED')))
    return;
  end
  if (nargin < 5)
    headroom = 40e6;
  end
  script = [ ...
    'A = ones (4000); spare = zeros (4000);' ...
    's = fileread (''/proc/self/status'');' ...
    'vm = str2double (regexp (s, ''VmSize:\s*(\d+)'', ''tokens''){1}{1}) * 1024;' ...
    sprintf('system (sprintf (''prlimit --pid %%d --as=%%d'', getpid (), vm + %d));', headroom) ...
    'try, ' strrep(failing_call, '''', '''''') '; disp (''NO ERROR''); ' ...
    'catch e, disp (e.message); end;' ...
    'clear spare; disp (' strrep(working_call, '''', '''''') ');'];
  cmd = sprintf ('"%s" --no-gui --norc --no-history --quiet --eval "addpath (''%s''); %s"', ...
                 fullfile (OCTAVE_HOME, 'bin', 'octave-cli'), fileparts (which (name)), script);
  [~, out] = system (cmd);
  message = [name ': Out of memory: the working space for this input could not be allocated'];
  if (isempty (strfind (out, message)))
    error ('expect_out_of_memory: no out-of-memory message from %s:\n%s', name, out);
  end
  if (isempty (regexp (out, ['(^|\n)\s*' regexptranslate('escape', expected) '\s*\n'], 'once')))
    error ('expect_out_of_memory: %s did not work afterwards (expected %s):\n%s', ...
           name, expected, out);
  end
end
