"""Checks a release as its users receive it: every bundle unpacked into an empty folder and
used from there alone.

    python3 tests/release/check_release.py --dist dist --build build --windows build-windows \\
        --venv build-venv

- SHA256SUMS holds every file, with the right digests;
- each bundle holds exactly the files it should: no build leftovers, no stand-in
  libraries, no object files;
- the Linux MATLAB zip: each module loaded from it by mex_driver through the stand-in host
  (build/), running the end-to-end cases and random inputs against the plain references,
  and its exports checked; the help examples run in a fresh Octave session with the zip's
  help files and images (and Octave's own modules, since Octave cannot load .mexa64);
- the Windows MATLAB zip: the same under Wine, in a Wine prefix of its own, and its
  imports checked; its help files and images are the Linux zip's;
- the Octave package: pkg install in a scratch prefix, then each function's own tests and
  the help examples (tests/octave/package_test.m);
- the wheel: installed into a fresh venv (--venv), where the Python tests run, the
  command line's included;
- the sdist: built and installed offline into another fresh venv, whose compiled module
  is the wheel's, byte for byte.

The programs that drive the checks (mex_driver, the stand-in host, the tests) come from the
builds and the sources; everything checked comes from the bundles.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
MODULES = ("ombrisk", "tavenor3", "vesquin4")
DEBIAN_PYTHON = "/usr/bin/python3"


def tracked(*folders):
    """The files of the given folders that git tracks or would track (not those it ignores),
    relative to the source folder."""
    listing = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                              "--", *folders], cwd=SOURCE, check=True,
                             capture_output=True, text=True).stdout.split("\n")
    return sorted(name for name in listing if name)


def check_equal(what, found, expected):
    found, expected = set(found), set(expected)
    if found != expected:
        sys.exit(f"{what}: missing {sorted(expected - found)}, unexpected "
                 f"{sorted(found - expected)}")
    print(f"{what}: {len(found)} files, as expected")


def check_checksums(dist):
    listed = {}
    for line in (dist / "SHA256SUMS").read_text().splitlines():
        digest, name = line.split("  ", 1)
        listed[name] = digest
    files = [p.relative_to(dist).as_posix() for p in dist.rglob("*")
             if p.is_file() and p.name != "SHA256SUMS"]
    check_equal("SHA256SUMS", listed, files)
    for name, digest in listed.items():
        if hashlib.sha256((dist / name).read_bytes()).hexdigest() != digest:
            sys.exit(f"SHA256SUMS: {name} has another digest")


def matlab_listing(extension):
    names = ["README.md", "LICENSE", "NEWS", "Contents.m", "cellkit_version.m",
             "cellkit_data.m"]
    names += [f"{module}.m" for module in MODULES] + [f"{module}.{extension}" for module in
                                                       MODULES]
    names += [name for name in tracked("data")]
    names += [name for name in tracked("examples") if name.endswith(".m")]
    return [f"cellkit/{name}" for name in names]


def unpack_zip(path, folder):
    with zipfile.ZipFile(path) as archive:
        names = [info.filename for info in archive.infolist() if not info.is_dir()]
        archive.extractall(folder)
    return names


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=1800, **kwargs)
    if result.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed:\n{result.stdout[-4000:]}\n"
                 f"{result.stderr[-4000:]}")
    return result


def check_linux_zip(path, build, scratch):
    folder = scratch / "linux"
    check_equal(path.name, unpack_zip(path, folder), matlab_listing("mexa64"))
    standin = build / "matlab_standin"
    environment = dict(os.environ, LD_LIBRARY_PATH=str(standin))
    for module in MODULES:
        file = folder / "cellkit" / f"{module}.mexa64"
        run([str(standin / "mex_driver"), module, str(file)], env=environment)
        run(["sh", str(SOURCE / "tests" / "exports" / "check_exports.sh"), str(file),
             "libmx.so", "libmex.so", "libmat.so"])
    print(f"{path.name}: the modules pass the driver's cases through the stand-in")
    return folder / "cellkit"


def check_windows_zip(path, windows, scratch, linux_folder):
    folder = scratch / "windows"
    check_equal(path.name, unpack_zip(path, folder), matlab_listing("mexw64"))
    for file in linux_folder.rglob("*"):
        if file.is_file() and file.suffix != ".mexa64":
            twin = folder / "cellkit" / file.relative_to(linux_folder)
            if twin.read_bytes() != file.read_bytes() and file.name != "README.md":
                sys.exit(f"{path.name}: {twin.name} differs from the Linux bundle's")
    environment = dict(os.environ, WINEPREFIX=str(scratch / "wine-prefix"), WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
    environment.pop("DISPLAY", None)
    run(["wine", "wineboot", "--init"], env=environment)
    driver = windows / "matlab_standin" / "mex_driver.exe"
    objdump = shutil.which("x86_64-w64-mingw32-objdump") or "objdump"
    for module in MODULES:
        file = folder / "cellkit" / f"{module}.mexw64"
        run(["wine", str(driver), module, f"Z:{file}"], env=environment)
        kept = [] if module == "vesquin4" else ["mx_from_vector", "mx_free"]
        run(["sh", str(SOURCE / "tests" / "exports" / "check_exports_windows.sh"), objdump,
             str(file), *kept])
    print(f"{path.name}: the modules pass the driver's cases under Wine, in a fresh prefix")


def check_help_examples(folder, build, scratch):
    """The bundle's help files and images, with Octave's modules beside them."""
    toolbox = scratch / "octave-bundle"
    shutil.copytree(folder, toolbox)
    for module in MODULES:
        shutil.copy(build / "toolbox" / f"{module}.mex", toolbox)
    script = (f"addpath('{SOURCE / 'tests' / 'octave'}'); addpath('{toolbox}'); "
              f"check_help_example_results(examples_in_fresh_session("
              f"'addpath(''{toolbox}'');', '{scratch}'));")
    run(["octave-cli", "--no-gui", "--norc", "--no-history", "--quiet", "--eval", script])
    print("the bundles' help examples run in a fresh Octave session")


def check_octave_package(path):
    version = path.name[len("cellkit-"):-len(".tar.gz")]
    with tarfile.open(path) as archive:
        names = [m.name for m in archive.getmembers() if m.isfile()]
    sources = [name for name in tracked("labeller", "seedgrow", "tracker", "matx", "mex",
                                        "contents") if not name.endswith("CMakeLists.txt")]
    expected = ["DESCRIPTION", "COPYING", "INDEX", "NEWS"]
    expected += [f"inst/{name}" for name in ["Contents.m", "cellkit_version.m",
                                             "cellkit_data.m"] + [f"{m}.m" for m in MODULES]]
    expected += [f"inst/{name}" for name in tracked("data")]
    expected += ["src/Makefile", "src/build_toolbox.m", "src/VERSION"]
    expected += [f"src/{name}" for name in sources]
    check_equal(path.name, names, [f"cellkit-{version}/{name}" for name in expected])
    tests = SOURCE / "tests" / "octave"
    run(["octave-cli", "--no-gui", "--norc", "--no-history", "--quiet",
         str(tests / "run_test_file.m"), str(tests), str(tests / "package_test.m")],
        env=dict(os.environ, CELLKIT_PACKAGE=str(path)))
    print(f"{path.name}: pkg install, the functions' own tests and the help examples pass")


def wheel_listing(version):
    package = [name[len("python/"):] for name in tracked("python/cellkit")]
    data = [f"cellkit/data/{name[len('data/'):]}" for name in tracked("data")]
    info = [f"cellkit-{version}.dist-info/{name}" for name in
            ["METADATA", "WHEEL", "RECORD", "LICENSE", "entry_points.txt", "top_level.txt"]]
    return package + data + info


def sdist_listing(version):
    names = tracked("cmake", "mex", "matx", "labeller", "seedgrow", "tracker", "contents",
                    "data", "package", "python")
    names += ["CMakeLists.txt", "VERSION", "NEWS", "LICENSE", "README.md", "build_toolbox.m",
              "setup.py", "pyproject.toml", "MANIFEST.in", "PKG-INFO", "setup.cfg"]
    names += [f"python/cellkit.egg-info/{name}" for name in
              ["PKG-INFO", "SOURCES.txt", "dependency_links.txt", "entry_points.txt",
               "requires.txt", "top_level.txt"]]
    return [f"cellkit-{version}/{name}" for name in names]


def fresh_venv(folder):
    run([DEBIAN_PYTHON, "-m", "venv", "--system-site-packages", str(folder)])
    return folder / "bin" / "python"


def check_python(dist, venv, scratch):
    wheel = next((dist / "python").glob("*.whl"))
    sdist = next((dist / "python").glob("*.tar.gz"))
    version = sdist.name[len("cellkit-"):-len(".tar.gz")]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    core = [name for name in names if name.startswith("cellkit/_core.")]
    check_equal(wheel.name, [n for n in names if n not in core],
                [n for n in wheel_listing(version) if n not in core])
    with tarfile.open(sdist) as archive:
        check_equal(sdist.name, [m.name for m in archive.getmembers() if m.isfile()],
                    sdist_listing(version))

    if venv.exists():
        shutil.rmtree(venv)
    python = fresh_venv(venv)
    run([str(python), "-m", "pip", "install", "--no-index", str(wheel)])
    run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_api.py",
         "test_cli.py"], cwd=SOURCE / "python" / "tests",
        env=dict(os.environ, CELLKIT_SOURCE_DIR=str(SOURCE)))
    print(f"{wheel.name}: installed into {venv}, where the Python tests pass")

    from_sdist = fresh_venv(scratch / "sdist-venv")
    run([str(from_sdist), "-m", "pip", "install", "--no-build-isolation", "--no-index",
         str(sdist)])
    built = run([str(from_sdist), "-c", "import cellkit._core as c; print(c.__file__)"],
                cwd=scratch).stdout.strip()
    with zipfile.ZipFile(wheel) as archive:
        if Path(built).read_bytes() != archive.read(core[0]):
            sys.exit(f"{sdist.name}: the module it builds differs from the wheel's")
    run([str(from_sdist.parent / "cellkit"), "--version"])
    print(f"{sdist.name}: builds and installs offline, into the wheel's very module")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dist", type=Path, required=True)
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--windows", type=Path, required=True)
    parser.add_argument("--venv", type=Path, required=True,
                        help="where to install the wheel (kept, for later checks)")
    args = parser.parse_args()
    dist, build, windows = args.dist.resolve(), args.build.resolve(), args.windows.resolve()
    check_checksums(dist)
    with tempfile.TemporaryDirectory(prefix="cellkit-release-") as scratch:
        scratch = Path(scratch)
        version = (SOURCE / "VERSION").read_text().split()[0]
        linux = check_linux_zip(dist / f"cellkit-{version}-matlab-linux64.zip", build, scratch)
        check_windows_zip(dist / f"cellkit-{version}-matlab-win64.zip", windows, scratch, linux)
        check_help_examples(linux, build, scratch)
        check_octave_package(dist / f"cellkit-{version}.tar.gz")
        check_python(dist, args.venv.resolve(), scratch)
    print("the release passes every check")


if __name__ == "__main__":
    main()
