"""Every code example of the documentation runs against the simulated host.

The ```python blocks of each page of docs/ run in page order in one
namespace, in a fresh temporary directory that is also the current directory,
as in a fresh process (no assembly referenced yet). The namespace starts with
the names docs/index.md promises under "Running the examples":

- `installation_directory`: the directory of a simulated installation, whose
  settings files are bound into the module (as the real ones would be read
  from their fixed places);
- `installation`: that simulated installation (veltrane_sim.Installation);
- `piping_model`, `structure_model`: absolute paths of two model files,
  models/Line1/Line1.tessel (with a thermal file Line1.thf beside it) and
  models/Rack/Rack.tessel.

A block right after the line `<!-- not-run -->` is shown but not run (it
needs a real installation). Tracebacks name the page and its line numbers.
"""

import os
import re
from pathlib import Path

import pytest

import veltrane_sim

DOCS = Path(__file__).resolve().parents[1] / "docs"
PAGES = sorted(DOCS.glob("*.md")) if DOCS.is_dir() else []

FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?P<info>[^\n`]*)\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)
NOT_RUN = "<!-- not-run -->"


def python_blocks(text):
    """(first line number, source) of each block that runs, in page order."""
    blocks = []
    for match in FENCE.finditer(text):
        if match.group("info").strip() != "python":
            continue
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1].strip()
        if before == NOT_RUN:
            continue
        indent = match.group("indent")
        lines = [line[len(indent) :] if line.startswith(indent) else line for line in match.group("body").split("\n")]
        first_line = text.count("\n", 0, match.start()) + 2
        blocks.append((first_line, "\n".join(lines)))
    return blocks


@pytest.mark.parametrize(
    "text,expected",
    [
        ("```python\na = 1\n```\n", [(2, "a = 1\n")]),
        ("x\n\n<!-- not-run -->\n```python\nskip()\n```\n```python\nb = 2\n```\n", [(8, "b = 2\n")]),
        ("```text\nnot code\n```\n```pycon\n>>> 1\n```\n", []),
        ("- item:\n\n  ```python\n  c = 3\n  ```\n", [(4, "c = 3\n")]),
    ],
)
def test_block_extraction(text, expected):
    assert python_blocks(text) == expected


def test_every_page_has_examples():
    assert PAGES, "docs/ holds no page"
    for page in PAGES:
        if page.name != "index.md":
            assert python_blocks(page.read_text(encoding="utf-8")), f"{page.name} has no runnable example"


@pytest.fixture
def page_namespace(tmp_path, core, monkeypatch):
    """The names and files the examples may rely on, in a fresh directory."""
    monkeypatch.chdir(tmp_path)
    installation = veltrane_sim.make_installation(tmp_path / "installation")
    installation.bind(core)
    models = {}
    for kind, folder in (("piping", "Line1"), ("structure", "Rack")):
        os.makedirs(tmp_path / "models" / folder)
        models[kind] = str(tmp_path / "models" / folder / f"{folder}.tessel")
        veltrane_sim.write_tessel(models[kind], kind)
    (tmp_path / "models" / "Line1" / "Line1.thf").write_text("thermal cases of Line1\n", encoding="utf-8")
    core._dlls_ = []  # as in a fresh process; the fixtures of conftest put the old list back
    return {
        "__name__": "__docs__",
        "installation": installation,
        "installation_directory": installation.directory,
        "piping_model": models["piping"],
        "structure_model": models["structure"],
    }


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_page_examples_run(page, page_namespace, core):
    with veltrane_sim.isolated_references():
        try:
            for first_line, source in python_blocks(page.read_text(encoding="utf-8")):
                # Padding keeps the page's own line numbers in tracebacks.
                code = compile("\n" * (first_line - 1) + source, str(page), "exec")
                exec(code, page_namespace)
        finally:
            core.disposeSolution()  # no solution or sandbox outlives the page
