"""Times the extension's functions against plain-Python functions taking the
same steps (plain_core.py beside this file), side by side in one run.

    python3 benchmarks/run.py [--repeat N] [--only NAME ...] [--strict]

Each case is timed with timeit: the same statement is compiled once per side,
and the repeats of the two sides are interleaved (the side that goes first
alternates) so that a change of machine load hits both alike. The table gives
the median time per call of each side, their ratio (extension / plain Python:
the median of the ratios of the repeats taken back to back, so that a repeat
is only ever compared with its neighbour) and the case's target ratio. Before
a case is timed, one call of each side must give the same answer. Everything
runs against the simulated host, in a scratch folder under the temporary
directory that is removed afterwards.
"""

import argparse
import contextlib
import io
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
from dataclasses import dataclass, field
from pathlib import Path

import veltrane_sim

veltrane_sim.activate(force=True)

from veltrane_computer import veltrane_core as core  # noqa: E402  (needs the host first)

sys.path.insert(0, str(Path(__file__).resolve().parent))
import plain_core as plain  # noqa: E402

GUARDED_CALL = """
try:
    f(directory)
except EnvironmentError:
    pass
"""


@dataclass
class Case:
    name: str
    function: str
    stmt: str
    arguments: dict
    target: float
    number: int = 0  # calls per repeat; 0 = calibrated to about `window` seconds
    repeat: int = 101
    window: float = 0.005
    between: object = None  # called after every timed repeat, outside the timing
    check: object = None  # given the outcomes of one untimed call of each side
    call: str = ""  # the call the check makes, when the statement is more than a call
    samples: dict = field(default_factory=dict)


def quietly(function, *args):
    """Calls function with standard output swallowed (load lines, warm-up)."""
    with contextlib.redirect_stdout(io.StringIO()):
        return function(*args)


def timer_for(case, module):
    namespace = dict(case.arguments)
    namespace["f"] = getattr(module, case.function)
    return timeit.Timer(case.stmt, globals=namespace)


def calibrate(timer, window):
    """Calls per repeat so that a repeat lasts about `window` seconds: short
    repeats are seldom disturbed by the rest of the machine, and the median
    of many leaves out those that were."""
    number = 1
    while True:
        seconds = timer.timeit(number)
        if seconds >= window or number >= 1 << 24:
            return max(1, round(number * window / seconds))
        number *= 2


def measure(case, repeat_override=None):
    timers = {"module": timer_for(case, core), "plain": timer_for(case, plain)}
    number = case.number or calibrate(timers["plain"], case.window)
    repeat = repeat_override or case.repeat
    samples = {"module": [], "plain": []}
    for side in ("module", "plain"):  # warm-up, untimed
        quietly(timers[side].timeit, number)
        if case.between:
            case.between()
    for index in range(repeat):
        order = ("module", "plain") if index % 2 == 0 else ("plain", "module")
        for side in order:
            seconds = quietly(timers[side].timeit, number)
            samples[side].append(seconds / number)
            if case.between:
                case.between()
    case.samples = samples
    case.number = number
    return case


# ---- data ---------------------------------------------------------------------


def settings_document(families=5000, sub_families=5, settings=5):
    """A parsed settings file with the two solver families in the middle."""
    doc = {"Families": []}
    for i in range(families):
        name = {1666: "VAZER", 3333: "DIROZIZIVA"}.get(i, f"FAMILY {i}")
        family = {"Name": name, "SubFamilies": []}
        for j in range(sub_families):
            sub_name = "PATH" if j == 2 else f"SUB {j}"
            sub = {"Name": sub_name, "Settings": []}
            for k in range(settings):
                setting_name = f"SETTING {k}"
                if j == 2 and k == 3:
                    setting_name = "WINDOWS SOLVER PATH" if name == "VAZER" else "SOLVER PATH"
                sub["Settings"].append({"Name": setting_name, "Value": f"C:\\Solvers\\{i}\\{j}\\{k}.exe"})
            family["SubFamilies"].append(sub)
        doc["Families"].append(family)
    return json.loads(json.dumps(doc))  # as the JSON reader hands it over


def wide_folder(root, entries=50000):
    """A folder of `entries` files, each with an extension of its own, so the
    extension picks one file; returns the folder and its listing."""
    folder = root / "wide"
    folder.mkdir()
    for i in range(entries):
        (folder / f"entry{i:05d}.e{i:05d}").touch()
    return str(folder), os.listdir(folder)


def small_files_folder(root, files=1000):
    folder = root / "small"
    folder.mkdir()
    for i in range(files):
        (folder / f"file{i:04d}.txt").write_text(f"line {i}\n" * 8)
    return str(folder)


def model_folder(root):
    folder = root / "model"
    folder.mkdir()
    veltrane_sim.write_tessel(str(folder / "Plant.tessel"), "piping")
    (folder / "loads.thf").write_text("THF 1\n")
    return str(folder / "Plant.tessel")


def empty_folder(folder):
    for entry in os.listdir(folder):
        shutil.rmtree(os.path.join(folder, entry), ignore_errors=True)


# ---- report -------------------------------------------------------------------


def machine():
    model = platform.processor() or platform.machine()
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in lscpu.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()} ({platform.system()})"


def time_text(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3f} us"
    return f"{seconds * 1e3:.3f} ms"


def report(cases):
    rows = [("case", "module", "plain Python", "ratio", "target", "")]
    missed = []
    for case in cases:
        module = statistics.median(case.samples["module"])
        python = statistics.median(case.samples["plain"])
        pairs = zip(case.samples["module"], case.samples["plain"], strict=True)
        ratio = statistics.median(m / p for m, p in pairs)
        ok = ratio <= case.target
        if not ok:
            missed.append(case.name)
        rows.append((case.name, time_text(module), time_text(python), f"{ratio:.3f}",
                     f"<= {case.target:g}", "ok" if ok else "MISSED"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:], strict=True)]
        lines.append("| " + " | ".join(cells) + " |")
        if n == 0:
            lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines), missed


# ---- the cases ------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, help="repeats per side (default per case)")
    parser.add_argument("--only", nargs="*", help="run only the cases whose name contains one of these")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    options = parser.parse_args()

    print(machine())
    print(f"module: {core.__file__}")
    root = Path(tempfile.mkdtemp(prefix="veltrane-bench-"))
    cases = []
    try:
        cases = run_cases(root, options)
    finally:
        with contextlib.redirect_stdout(io.StringIO()):
            core.disposeSolution()
            plain.disposeSolution()
        shutil.rmtree(root, ignore_errors=True)
    table, missed = report(cases)
    print(table)
    if missed:
        print("missed:", ", ".join(missed))
    return 1 if (missed and options.strict) else 0


def outcome(case, module):
    """What one call of the case's statement gives: its value, or the error."""
    try:
        return quietly(eval, case.call or case.stmt, dict(case.arguments, f=getattr(module, case.function)))
    except Exception as error:
        return (type(error), error.args)


def same(module_result, plain_result):
    assert module_result == plain_result, (module_result, plain_result)


def same_kind(module_result, plain_result):
    assert type(module_result) is type(plain_result), (module_result, plain_result)


def same_copy(module_result, plain_result):
    assert sorted(os.listdir(module_result)) == sorted(os.listdir(plain_result)), (module_result, plain_result)


def run_cases(root, options):
    def wanted(name):
        return not options.only or any(part in name for part in options.only)

    installation = veltrane_sim.make_installation(str(root / "installation"))
    installation.bind(core)
    plain._settingsPath_ = core._settingsPath_
    plain._dataSourcesPath_ = core._dataSourcesPath_
    # Copies and sandboxes go to a temporary directory of the benchmark's own.
    temp = root / "tmp"
    temp.mkdir()
    tempfile.tempdir = str(temp)

    cases = []

    # Before setup: the guard refuses on both sides.
    refusal = Case("guard refusing (getTessel before setup)", "getTessel", GUARDED_CALL,
                   {"directory": str(root)}, 0.8, check=same, call="f(directory)")
    if wanted(refusal.name):
        assert not core._validSetup_ and not plain._validSetup_
        refusal.check(outcome(refusal, core), outcome(refusal, plain))
        print(f"timing: {refusal.name}", file=sys.stderr)
        cases.append(measure(refusal, options.repeat))

    assert quietly(core.setup_veltrane_computer, installation.directory, core.VeltraneModule.Tubrolis) is True
    for name in plain.STATE_GLOBALS:
        setattr(plain, name, getattr(core, name))
    plain._dlls_ = list(core._dlls_)

    settings = settings_document()
    data_sources = installation.data_sources()  # the parsed DataSources.settings
    folder, listing = wide_folder(root)
    first_ext = os.path.splitext(listing[0])[1]
    last_ext = os.path.splitext(listing[-1])[1]
    small = small_files_folder(root)
    model = model_folder(root)

    def clear_journal():
        veltrane_sim.journal.clear()

    def remove_copies():
        empty_folder(temp)

    plan = [
        ("load_dll of a loaded name", "load_dll", "f(name)", {"name": "Veltrane.Tubrolis.Core.dll"}, 0.95, {}),
        ("FindSolverPaths (5,000 x 5 x 5)", "FindSolverPaths", "f(settings)", {"settings": settings}, 0.2,
         {"check": same, "window": 0.01}),
        ("FindDataProjectPaths", "FindDataProjectPaths", "f(sources)", {"sources": data_sources}, 0.95,
         {"check": same}),
        ("find_first_file, 50,000 entries, match first", "find_first_file", "f(folder, ext)",
         {"folder": folder, "ext": first_ext}, 1.05, {"check": same, "number": 1, "repeat": 41}),
        ("find_first_file, 50,000 entries, match last", "find_first_file", "f(folder, ext)",
         {"folder": folder, "ext": last_ext}, 1.05, {"check": same, "number": 1, "repeat": 41}),
        ("copyDirectoryToTemp, 1,000 files", "copyDirectoryToTemp", "f(source)", {"source": small}, 1.05,
         {"number": 1, "repeat": 21, "between": remove_copies, "check": same_copy}),
        ("solve in place (Vazer, instant)", "solve", "f(model, 'Vazer', False)", {"model": model}, 1.05,
         {"number": 20, "repeat": 61, "between": clear_journal, "check": same_kind}),
        ("solve in a sandbox (Vazer, instant)", "solve", "f(model, 'Vazer', True)", {"model": model}, 1.05,
         {"number": 20, "repeat": 61, "between": clear_journal, "check": same_kind}),
    ]
    for name, function, stmt, arguments, target, extra in plan:
        if not wanted(name):
            continue
        case = Case(name, function, stmt, arguments, target, **extra)
        if case.check:  # both sides give the same answer before they are timed
            case.check(outcome(case, core), outcome(case, plain))
            remove_copies()
        print(f"timing: {name}", file=sys.stderr)
        cases.append(measure(case, options.repeat))
    remove_copies()
    return cases


if __name__ == "__main__":
    sys.exit(main())
