"""Runs the code blocks of the toolbox's documents as a reader pastes them.

    python3 tests/docs/run_blocks.py --toolbox build/toolbox FILE.md [FILE.md ...]

Every fenced block of a document is run in a scratch folder, the blocks of a language in
the order they stand: first the shell's, whose outputs the others may read, then the
Octave and the Python session.

  sh              each in bash -e, with this interpreter's folder first on the PATH, so
                  that python3 and the cellkit command are the package's;
  matlab, octave  in one Octave session per document, with the toolbox folder on the path;
  python          in one Python session per document: this interpreter, which must import
                  the cellkit package (the installed one, or PYTHONPATH=build/python).

Before the blocks run, /path/to/cellkit is replaced by the source folder and <version> by
the version in VERSION, and the scratch folder gets my_images/ (the nuclei and the U2OS
nuclei image) and my_movies/ (the mitocheck time-lapse): the folders of the reader's own
that the examples of batch runs take. A block that is not to run here is marked on the line before it
with <!-- not run: REASON -->, and the reason must be given. A failing block, or a block
of another language, fails the run, naming the file and line.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^(\s*)```(\w*)\s*$")
NOT_RUN = re.compile(r"^\s*<!-- not run: (.*\S)\s*-->\s*$")
LANGUAGES = {"matlab": "octave", "octave": "octave", "python": "python", "sh": "sh"}


@dataclass
class Block:
    file: Path
    line: int
    language: str
    code: str

    @property
    def where(self):
        return f"{self.file}:{self.line}"


def read_blocks(file):
    """The blocks to run, and the number marked not to run."""
    lines = file.read_text().splitlines()
    blocks, skipped = [], 0
    k = 0
    while k < len(lines):
        opening = FENCE.match(lines[k])
        if not opening or not opening.group(2):
            k += 1
            continue
        indent, language = opening.groups()
        end = k + 1
        while end < len(lines) and not FENCE.match(lines[end]):
            end += 1
        previous = next((lines[j] for j in range(k - 1, -1, -1) if lines[j].strip()), "")
        if NOT_RUN.match(previous):
            skipped += 1
        elif "not run" in previous:
            sys.exit(f"{file}:{k + 1}: a block not to run needs <!-- not run: REASON -->")
        elif language not in LANGUAGES:
            sys.exit(f"{file}:{k + 1}: a {language} block: run it or mark it not to run")
        else:
            code = "\n".join(line[len(indent):] if line.startswith(indent) else line
                             for line in lines[k + 1:end])
            blocks.append(Block(file, k + 1, LANGUAGES[language], substitute(code)))
        k = end + 1
    return blocks, skipped


def substitute(code):
    version = (SOURCE / "VERSION").read_text().split()[0]
    return code.replace("/path/to/cellkit", str(SOURCE)).replace("<version>", version)


def reader_folders(scratch, samples):
    for folder, names in [("my_images", ["nuclei_human_cells.png", "bbbc022_u2os_nuclei.png"]),
                          ("my_movies", ["timelapse_nuclei_mitocheck_uint8.tif"])]:
        (scratch / folder).mkdir()
        for name in names:
            shutil.copy(samples / name, scratch / folder / name)


def run_octave(blocks, scratch, toolbox, octave):
    script = [f"addpath('{toolbox}');", f"cd('{scratch}');"]
    for block in blocks:
        script += ["try", block.code, "catch failure",
                   f"  fprintf(2, '%s: %s\\n', '{block.where}', failure.message);",
                   "  exit(1);", "end"]
    file = scratch / "blocks.m"
    file.write_text("\n".join(script) + "\n")
    return subprocess.run([octave, "--no-gui", "--norc", "--no-history", "--quiet", str(file)],
                          cwd=scratch, capture_output=True, text=True, timeout=900)


PYTHON_DRIVER = """
import json, sys, traceback
namespace = {"__name__": "__main__"}
for block in json.load(open(sys.argv[1])):
    try:
        exec(compile(block["code"], block["where"], "exec"), namespace)
    except BaseException:
        traceback.print_exc()
        sys.exit(f"{block['where']}: the block failed")
"""


def run_python(blocks, scratch):
    listing = scratch / "blocks.json"
    listing.write_text(json.dumps([{"where": b.where, "code": b.code} for b in blocks]))
    environment = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-c", PYTHON_DRIVER, str(listing)], cwd=scratch,
                          capture_output=True, text=True, timeout=900, env=environment)


def run_sh(block, scratch):
    environment = dict(os.environ, MPLBACKEND="Agg",
                       PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run(["bash", "-euo", "pipefail", "-c", block.code], cwd=scratch,
                            capture_output=True, text=True, timeout=900, env=environment)
    if result.returncode != 0:
        result.stderr += f"\n{block.where}: the block failed"
    return result


def check(file, toolbox, octave):
    blocks, skipped = read_blocks(file)
    scratch = Path(tempfile.mkdtemp(prefix="cellkit-blocks-"))
    try:
        reader_folders(scratch, toolbox / "data")
        results = [run_sh(b, scratch) for b in blocks if b.language == "sh"]
        octave_blocks = [b for b in blocks if b.language == "octave"]
        python_blocks = [b for b in blocks if b.language == "python"]
        if octave_blocks:
            results.append(run_octave(octave_blocks, scratch, toolbox, octave))
        if python_blocks:
            results.append(run_python(python_blocks, scratch))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    failed = [r for r in results if r.returncode != 0]
    for result in failed:
        print(result.stdout[-3000:], result.stderr[-3000:], sep="\n", file=sys.stderr)
    print(f"{file}: {len(blocks)} blocks run, {skipped} marked not to run: "
          f"{'FAILED' if failed else 'ok'}")
    return not failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--toolbox", required=True, type=Path, help="the toolbox folder")
    parser.add_argument("--octave", default="octave-cli", help="Octave's command line")
    parser.add_argument("files", nargs="+", type=Path)
    args = parser.parse_args()
    toolbox = args.toolbox.resolve()
    passed = [check(file.resolve(), toolbox, args.octave) for file in args.files]
    sys.exit(0 if all(passed) else 1)


if __name__ == "__main__":
    main()
