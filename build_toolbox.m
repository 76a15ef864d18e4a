function outdir = build_toolbox (outdir)
  % BUILD_TOOLBOX  Build the cellkit toolbox with this host's own mex command.
  %
  %   build_toolbox            builds into the folder 'cellkit' beside this file
  %   build_toolbox (OUTDIR)   builds into OUTDIR (made when missing)
  %   OUTDIR = build_toolbox (...) returns the folder, as an absolute path
  %
  %   Run it in GNU Octave or MATLAB from the toolbox's source folder (the one holding
  %   this file). It compiles the three modules ombrisk, tavenor3 and vesquin4 with
  %   mex, a C++17 compiler being needed, and copies their help files beside them,
  %   with Contents.m and cellkit_version.m, which carry the version number of the
  %   file VERSION, cellkit_data.m and the sample images (data/). Afterwards:
  %
  %     addpath (OUTDIR)
  %     help cellkit          % lists the functions (help OUTDIR works too)
  %
  %   Each module is compiled from every .cpp file of its own folder (the gateway and
  %   its algorithm), every .cpp file of matx/ (the matrix views) and the host layer
  %   files of mex/ that talk to the host (gateway.cpp, console_host.cpp,
  %   format_text.cpp). On Linux the module exports mexFunction alone, under the
  %   symbol version MEX (mex/exports.map).
  %
  %   GNU Octave: mex is mkoctfile --mex; -std=c++17 goes in through CXXFLAGS, which
  %   mkoctfile reads from the environment.
  %   MATLAB: mex -R2017b -compatibleArrayDims (the 32-bit-dimension API the gateways
  %   are written for), with -std=c++17 added to CXXFLAGS (COMPFLAGS with /std:c++17
  %   for Microsoft Visual C++); with MinGW-w64 on Windows, LDFLAGS that link its C++,
  %   GCC and threads runtimes statically, so that the module needs none of MinGW's
  %   DLLs. The MATLAB path has not been run in MATLAB: no MATLAB installation was
  %   available. What it builds on Windows with MinGW-w64 is built and run by the
  %   toolbox's tests, against a stand-in for MATLAB.
  %
  %   See also MEX.
  root = fileparts (mfilename ('fullpath'));
  if (nargin < 1 || isempty (outdir))
    outdir = fullfile (root, 'cellkit');
  end
  outdir = absolute_folder (outdir);
  if (~exist (outdir, 'dir'))
    [ok, message] = mkdir (outdir);
    if (~ok)
      error ('build_toolbox: cannot make the folder %s: %s', outdir, message);
    end
  end

  % Module, its folder (gateway + algorithm sources) and its help file.
  modules = {'ombrisk',  'labeller'
             'tavenor3', 'seedgrow'
             'vesquin4', 'tracker'};
  shared = [sources_in(fullfile(root, 'matx')), ...
            {fullfile(root, 'mex', 'gateway.cpp'), ...
             fullfile(root, 'mex', 'console_host.cpp'), ...
             fullfile(root, 'mex', 'format_text.cpp')}];

  for k = 1:size (modules, 1)
    name = modules{k, 1};
    folder = fullfile (root, modules{k, 2});
    sources = [sources_in(folder), shared];
    fprintf ('build_toolbox: %s from %d sources\n', name, numel (sources));
    compile_module (root, outdir, name, sources);
    copy_into (fullfile (folder, [name '.m']), outdir);
  end
  write_versioned_files (root, outdir);
  copy_sample_data (root, outdir);
  fprintf ('build_toolbox: the toolbox is in %s\n', outdir);
end

function copy_sample_data (root, outdir)
  % The sample images, into OUTDIR/data where cellkit_data finds them: the source folder's
  % data/, or in the Octave package's tarball, whose src/ is a source folder, its inst/data.
  for candidate = {fullfile(root, 'data'), fullfile(root, '..', 'inst', 'data')}
    if (exist (candidate{1}, 'dir'))
      target = fullfile (outdir, 'data');
      if (~exist (target, 'dir'))
        mkdir (target);
      end
      copy_into (fullfile (candidate{1}, '*'), target);
      return;
    end
  end
  warning ('build_toolbox: no sample images beside %s: cellkit_data will find none', root);
end

function compile_module (root, outdir, name, sources)
  include = ['-I' root];
  if (exist ('OCTAVE_VERSION', 'builtin'))
    options = {include};
    if (isunix () && ~ismac ())
      options{end + 1} = ['-Wl,--version-script=' fullfile(root, 'mex', 'exports.map')];
    end
    % mkoctfile takes its compiler flags from the environment; the caller's own
    % CXXFLAGS are kept and restored afterwards.
    saved = getenv ('CXXFLAGS');
    restore = onCleanup (@() restore_variable ('CXXFLAGS', saved));
    setenv ('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' -std=c++17']);
    mex (options{:}, '-o', fullfile (outdir, [name '.' mexext()]), sources{:});
  else
    % MATLAB (never run in MATLAB here). Its mex links its own export map on Linux,
    % which keeps mexFunction (and the API version marker MATLAB looks for) and hides
    % the rest.
    options = {'-R2017b', '-compatibleArrayDims', include, '-outdir', outdir, ...
               '-output', name};
    if (ispc () && uses_visual_cpp ())
      options{end + 1} = 'COMPFLAGS=$COMPFLAGS /std:c++17';
    else
      options{end + 1} = 'CXXFLAGS=$CXXFLAGS -std=c++17';
      if (ispc ())
        % MinGW-w64: its C++, GCC and threads runtimes go into the module, since the
        % machines that load it need not have MinGW's DLLs. Only these: MATLAB's own
        % libraries are still found as mex names them.
        options{end + 1} = ['LDFLAGS=$LDFLAGS -static-libgcc -static-libstdc++ ' ...
                            '-Wl,-Bstatic,--whole-archive -lwinpthread ' ...
                            '-Wl,--no-whole-archive,-Bdynamic'];
      end
    end
    mex (options{:}, sources{:});
  end
end

function write_versioned_files (root, outdir)
  % Every contents/<name>.m.in becomes <name>.m in OUTDIR, with @CELLKIT_VERSION@ replaced
  % by the first line of VERSION: the toolbox's one version number.
  version = strtrim (strtok (fileread (fullfile (root, 'VERSION')), sprintf ('\r\n')));
  if (isempty (regexp (version, '^\d+\.\d+\.\d+$', 'once')))
    error ('build_toolbox: VERSION must hold a version such as 1.2.3, not "%s"', version);
  end
  listing = dir (fullfile (root, 'contents', '*.m.in'));
  for k = 1:numel (listing)
    text = fileread (fullfile (root, 'contents', listing(k).name));
    write_text (fullfile (outdir, listing(k).name(1:end - 3)), ...
                strrep (text, '@CELLKIT_VERSION@', version));
  end
end

function write_text (file, text)
  [fid, message] = fopen (file, 'w');
  if (fid < 0)
    error ('build_toolbox: cannot write %s: %s', file, message);
  end
  closer = onCleanup (@() fclose (fid));
  fwrite (fid, text, 'char');
end

function restore_variable (name, value)
  % An empty variable and a missing one mean the same to mkoctfile; leave it missing.
  if (isempty (value))
    unsetenv (name);
  else
    setenv (name, value);
  end
end

function yes = uses_visual_cpp ()
  compiler = mex.getCompilerConfigurations ('C++', 'Selected');
  yes = ~isempty (compiler) && ~isempty (strfind (compiler(1).ShortName, 'MSVC'));
end

function files = sources_in (folder)
  % Every .cpp file of the folder, in name order, so that a source added to a module's
  % folder is built without changing this file.
  listing = dir (fullfile (folder, '*.cpp'));
  names = sort ({listing.name});
  files = cellfun (@(file) fullfile (folder, file), names, 'UniformOutput', false);
  if (isempty (files))
    error ('build_toolbox: no C++ sources in %s', folder);
  end
end

function copy_into (file, folder)
  [ok, message] = copyfile (file, folder);
  if (~ok)
    error ('build_toolbox: cannot copy %s into %s: %s', file, folder, message);
  end
end

function folder = absolute_folder (folder)
  % mex is run with output paths that must not depend on the current folder.
  is_absolute = strncmp (folder, '/', 1) || strncmp (folder, '\', 1) || ...
                (numel (folder) >= 2 && folder(2) == ':');
  if (~is_absolute)
    folder = fullfile (pwd (), folder);
  end
end
