"""Times README's install commands as a new user meets them: a cold
`pip install .` of a fresh checkout into a fresh virtual environment, then a
warm `pip install ".[test]"` of the same unchanged tree. Both build in pip's
isolated build environment, as a new user's do.

    python3 benchmarks/build.py [--rev REV ...] [--runs N] [--no-warm]

Each revision is exported with `git archive` into a folder of its own under
build/bench-build/ (no build folder, no prebuilt extension), and the runs
of the revisions are interleaved, so that a change of machine load hits them
alike. For each step the table gives the wall time, the CPU time (user +
system, of pip and everything it ran), and the compiler runs the build made
(the lines ninja prints for them in pip's verbose output). After the table,
the slowest compile steps of each revision's last cold build (.ninja_log).
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
COMPILE_LINE = re.compile(r"^\s*\[\d+/\d+\] Building CXX object", re.MULTILINE)


def export(rev, tree):
    shutil.rmtree(tree, ignore_errors=True)
    tree.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)


def timed(command, cwd, log):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    output = result.stdout + result.stderr  # pip -v passes the build's lines on either
    log.write_text(output)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed in {cwd}; see {log}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    compiles = len(COMPILE_LINE.findall(output))
    nothing = "no work to do" in output
    return wall, cpu, f"{compiles}{' (ninja: no work to do)' if nothing else ''}"


def slowest_compiles(tree, count=8):
    rows = []
    for log in tree.glob("build/*/.ninja_log"):
        for line in log.read_text().splitlines()[1:]:
            start, end, _, target, _ = line.split("\t")
            rows.append((int(end) - int(start), target))
    return sorted(rows, reverse=True)[:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rev", nargs="+", default=["HEAD"], help="revisions to build (default HEAD)")
    parser.add_argument("--runs", type=int, default=2, help="cold (and warm) builds per revision")
    parser.add_argument("--no-warm", action="store_true", help="time the cold install only")
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "bench-build")
    options = parser.parse_args()

    slowest = {}
    print(f"{'revision':<12} {'run':>3} {'step':<28} {'wall s':>7} {'cpu s':>7}  compiles", flush=True)
    for run in range(1, options.runs + 1):
        for rev in options.rev:
            place = options.work / re.sub(r"[^\w.-]", "_", rev)
            tree, venv = place / "tree", place / "venv"
            export(rev, tree)
            shutil.rmtree(venv, ignore_errors=True)
            subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
            pip = [str(venv / "bin" / "python"), "-m", "pip", "install", "-v", "--disable-pip-version-check"]
            steps = [("cold: pip install .", [*pip, "."])]
            if not options.no_warm:
                steps.append(('warm: pip install ".[test]"', [*pip, ".[test]"]))
            for index, (step, command) in enumerate(steps):
                wall, cpu, compiles = timed(command, tree, place / f"run{run}-step{index}.log")
                print(f"{rev:<12} {run:>3} {step:<28} {wall:7.1f} {cpu:7.1f}  {compiles}", flush=True)
                if index == 0:
                    slowest[rev] = slowest_compiles(tree)
    for rev, rows in slowest.items():
        print(f"\nslowest compile steps of {rev} (last cold build, ms):")
        for ms, target in rows:
            print(f"  {ms:7d}  {target}")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PIP_NO_INPUT", "1")
    sys.exit(main())
