"""Makes a release: every platform's bundle in one folder, byte for byte reproducible.

    python3 package/release.py --build build --windows build-windows --dist dist

from the builds that ./run.sh makes (build/: the Octave package and the Linux MATLAB
modules, against the stand-in; build-windows/: the Windows ones), and the Python sdist and
wheel, which it builds here with `python3 -m build` (the wheel from the sdist):

  dist/cellkit-<version>-matlab-win64.zip     the toolbox folder for MATLAB on Windows
  dist/cellkit-<version>-matlab-linux64.zip   the same for MATLAB on Linux
  dist/cellkit-<version>.tar.gz               the GNU Octave package
  dist/python/cellkit-<version>.tar.gz        the Python sdist (a folder of its own: its
  dist/python/cellkit-<version>-*.whl         name is the Octave package's) and the wheel
  dist/SHA256SUMS                             the SHA-256 of each

The version is VERSION's, and a version without a NEWS heading is refused. Every archive
is written with its members in name order, dated at the release's NEWS date
(SOURCE_DATE_EPOCH), owned by nobody in particular, with plain permissions, so that two
runs from one commit, wherever and whenever, give the same bytes.
"""

import argparse
import datetime
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
MODULES = ("ombrisk", "tavenor3", "vesquin4")
PLATFORMS = {
    "win64": {"extension": "mexw64", "name": "Windows x64"},
    "linux64": {"extension": "mexa64", "name": "Linux x86-64"},
}


def version_and_date():
    """VERSION's number and the date of its NEWS heading, which must exist."""
    version = (SOURCE / "VERSION").read_text().split()[0]
    news = (SOURCE / "NEWS").read_text(encoding="utf-8")
    heading = re.search(rf"^cellkit {re.escape(version)} \((\d{{4}}-\d\d-\d\d)\)$", news,
                        re.MULTILINE)
    if not heading:
        sys.exit(f"release: NEWS has no heading \"cellkit {version} (YYYY-MM-DD)\": say there "
                 f"what {version} brings before releasing it")
    return version, heading.group(1)


def epoch_of(date):
    day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
    return int(day.timestamp())


def bundle_files(platform, build, version):
    """(name in the zip, bytes) of a MATLAB bundle, in name order."""
    extension = PLATFORMS[platform]["extension"]
    toolbox = build / "toolbox"
    files = {}
    for name in ["Contents.m", "cellkit_version.m", "cellkit_data.m"] + \
            [f"{module}.m" for module in MODULES] + \
            [f"{module}.{extension}" for module in MODULES]:
        files[name] = (toolbox / name).read_bytes()
    for path in sorted((SOURCE / "data").iterdir()):
        files[f"data/{path.name}"] = path.read_bytes()
    for path in sorted((SOURCE / "examples").glob("*.m")):
        files[f"examples/{path.name}"] = path.read_bytes()
    files["LICENSE"] = (SOURCE / "LICENSE").read_bytes()
    files["NEWS"] = (SOURCE / "NEWS").read_bytes()
    files["README.md"] = matlab_readme(platform, version).encode("utf-8")
    return {f"cellkit/{name}": data for name, data in sorted(files.items())}


def matlab_readme(platform, version):
    windows = platform == "win64"
    words = {
        "VERSION": version,
        "PLATFORM_NAME": PLATFORMS[platform]["name"],
        "EXTENSION": PLATFORMS[platform]["extension"],
        "UNBLOCK": ("Windows marks files downloaded from the internet, and MATLAB may then "
                    "refuse to load the\nmodules. Before extracting, unblock the zip: "
                    "right-click it, Properties, tick **Unblock**,\nOK (or in PowerShell: "
                    "`Unblock-File cellkit-" + version + "-matlab-win64.zip`).\n")
        if windows else "",
        "RUNTIME": ("The modules need no MinGW DLL: the C++, GCC and threads runtimes are "
                    "linked in, and\nthey import only from MATLAB's `libmx.dll` and "
                    "`libmex.dll` and Windows' own `KERNEL32.dll` and\n`msvcrt.dll`."
                    if windows else
                    "The modules need MATLAB's `libmx`, `libmex` and `libmat`, which MATLAB "
                    "has loaded, glibc\n2.14 or newer, and a C++ runtime with the symbol "
                    "versions GLIBCXX_3.4.21 and CXXABI_1.3.11\n(libstdc++ of GCC 7 or newer). "
                    "MATLAB loads the libstdc++ of its own `bin/glnxa64`; where\nthat copy is "
                    "older, start MATLAB with the system's preloaded\n"
                    "(`LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libstdc++.so.6 matlab`)."),
        "TESTED_WHERE": " under Wine 8 on Debian 12" if windows else "",
        "NOT_TESTED_WHERE": ", and that Windows itself behaves as Wine does" if windows else "",
    }
    text = (SOURCE / "package" / "README-MATLAB.md.in").read_text(encoding="utf-8")
    for key, value in words.items():
        text = text.replace(f"@{key}@", value)
    return text


def write_zip(path, files, epoch):
    """A zip of (name, bytes) in the order given, every entry dated `epoch`, no extras."""
    when = datetime.datetime.fromtimestamp(max(epoch, 315532800), datetime.timezone.utc)
    stamp = when.timetuple()[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the permissions below are read
            executable = name.endswith((".mexa64", ".mexw64"))
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            archive.writestr(entry, data, compresslevel=9)


def normalise_tar_gz(path, epoch):
    """Rewrites a .tar.gz with its members in name order, dated `epoch`, owned by root, with
    plain permissions, and a gzip header without time or name."""
    with tarfile.open(path, "r:gz") as archive:
        members = [(member, archive.extractfile(member).read() if member.isfile() else None)
                   for member in archive.getmembers()]
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for member, data in sorted(members, key=lambda item: item[0].name):
            member.mtime = epoch
            member.uid = member.gid = 0
            member.uname = member.gname = ""
            member.pax_headers = {}
            if member.isdir():
                member.mode = 0o755
            elif member.isfile():
                member.mode = 0o755 if member.mode & 0o111 else 0o644
            archive.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                mtime=0, compresslevel=9) as packed:
        packed.write(buffer.getvalue())


def normalise_wheel(path, epoch):
    with zipfile.ZipFile(path) as wheel:
        files = {info.filename: wheel.read(info) for info in wheel.infolist()}
    # The metadata's RECORD stays last, as wheels have it.
    order = sorted(files, key=lambda name: (".dist-info/" in name, name.endswith("RECORD"),
                                            name))
    write_zip(path, {name: files[name] for name in order}, epoch)


def python_packages(dist, epoch):
    """The sdist and, from it, the wheel, with python3 -m build, offline. MANIFEST.in says
    what the sdist takes of the tree, so a developer's build folders stay out of it, and
    the wheel is built from the unpacked sdist alone."""
    target = dist / "python"
    target.mkdir(parents=True)
    environment = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch))
    subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(target),
                    str(SOURCE)], check=True, env=environment)
    for sdist in target.glob("*.tar.gz"):
        normalise_tar_gz(sdist, epoch)
    for wheel in target.glob("*.whl"):
        normalise_wheel(wheel, epoch)


def checksums(dist):
    lines = []
    for path in sorted(p for p in dist.rglob("*") if p.is_file() and p.name != "SHA256SUMS"):
        digest = hashlib.sha256(path.read_bytes()).hexdigest()
        lines.append(f"{digest}  {path.relative_to(dist).as_posix()}\n")
    (dist / "SHA256SUMS").write_text("".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, required=True,
                        help="the Linux build folder (Octave package, .mexa64 modules)")
    parser.add_argument("--windows", type=Path, required=True,
                        help="the Windows cross-build folder (.mexw64 modules)")
    parser.add_argument("--dist", type=Path, required=True, help="the folder to write")
    args = parser.parse_args()

    version, date = version_and_date()
    epoch = epoch_of(date)
    if args.dist.exists():
        shutil.rmtree(args.dist)
    args.dist.mkdir(parents=True)
    for platform, build in [("win64", args.windows), ("linux64", args.build)]:
        write_zip(args.dist / f"cellkit-{version}-matlab-{platform}.zip",
                  bundle_files(platform, build, version), epoch)
    octave = args.dist / f"cellkit-{version}.tar.gz"
    shutil.copy(args.build / f"cellkit-{version}.tar.gz", octave)
    normalise_tar_gz(octave, epoch)
    python_packages(args.dist, epoch)
    checksums(args.dist)
    print(f"release {version} ({date}) in {args.dist}:")
    print((args.dist / "SHA256SUMS").read_text(), end="")


if __name__ == "__main__":
    main()
