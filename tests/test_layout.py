"""The tree keeps its programs apart: the extension's C++ sources in src/core,
the Python packages beside it, and no module of a package importing,
however late (inside a function too), a module that imports it back."""

import ast
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
PACKAGES = ("veltrane_computer", "veltrane_sim")


def package_modules(package):
    """{module name: (path, is a package)} of one package's own modules."""
    found = {}
    for path in sorted((SRC / package).rglob("*.py")):
        parts = [package, *path.relative_to(SRC / package).with_suffix("").parts]
        is_package = parts[-1] == "__init__"
        found[".".join(parts[:-1] if is_package else parts)] = (path, is_package)
    return found


def imported_by(name, path, is_package, known):
    """The package's modules that `name` imports anywhere in its file. Its own
    enclosing packages are left out: they are imported before it in any case."""
    here = name.split(".") if is_package else name.split(".")[:-1]
    targets = set()
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for block in ast.walk(tree):  # imports for the type checker alone are never run
        if isinstance(block, ast.If) and ast.unparse(block.test) in ("TYPE_CHECKING", "typing.TYPE_CHECKING"):
            block.body = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = ".".join(here[: len(here) - node.level + 1]) if node.level else ""
            source = ".".join(part for part in (base, node.module) if part)
            for alias in node.names:
                submodule = f"{source}.{alias.name}"
                targets.add(submodule if submodule in known else source)
    return {t for t in targets if t in known and t != name and not name.startswith(t + ".")}


def find_circle(graph):
    """One circle of imports as [a, b, ..., a], or None."""
    state = {}

    def visit(module, trail):
        state[module] = "open"
        for target in sorted(graph[module]):
            if state.get(target) == "open":
                return trail[trail.index(target):] + [target]
            if target not in state:
                circle = visit(target, trail + [target])
                if circle:
                    return circle
        state[module] = "done"
        return None

    for module in sorted(graph):
        if module not in state:
            circle = visit(module, [module])
            if circle:
                return circle
    return None


@pytest.mark.parametrize("package", ["veltrane_computer", "veltrane_sim"])
def test_no_module_imports_in_a_circle(package):
    known = package_modules(package)
    graph = {name: imported_by(name, path, is_package, known) for name, (path, is_package) in known.items()}
    circle = find_circle(graph)
    assert circle is None, "import circle: " + " -> ".join(circle)


@pytest.mark.parametrize("package", PACKAGES)
def test_the_packages_hold_no_cpp_sources(package):
    assert sorted(p.name for p in (SRC / package).rglob("*.[ch]pp")) == []
