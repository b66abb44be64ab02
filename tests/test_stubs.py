"""The typed stub (veltrane_core.pyi) held against the built module, so that
neither can drift: function names and order, parameter names, the enumeration,
the state globals and the imported modules; the stub and the py.typed marker
ship beside the extension; and scripts type-check against the stub."""

import ast
import inspect
import json
import os
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import veltrane_sim
from veltrane_computer import veltrane_core

ROOT = Path(__file__).resolve().parents[1]
PACKAGE_DIR = Path(veltrane_core.__file__).resolve().parent
STUB_PATH = Path(veltrane_core.__file__).parent / "veltrane_core.pyi"


class Stub:
    """What the stub declares at top level, in file order."""

    def __init__(self, source):
        tree = ast.parse(source)
        self.imports = []
        self.globals = []  # (name, annotation node)
        self.functions = {}  # name -> ast.FunctionDef
        self.classes = {}
        for node in tree.body:
            if isinstance(node, ast.Import):
                self.imports += [alias.asname or alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom) and node.module != "typing":
                self.imports += [alias.asname or alias.name for alias in node.names]
            elif isinstance(node, ast.AnnAssign):
                self.globals.append((node.target.id, node.annotation))
            elif isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node


STUB = Stub(STUB_PATH.read_text(encoding="utf-8"))


def fresh_namespace():
    """The module namespace's names in their order right after import, taken
    in a new interpreter (tests here may delete and restore globals)."""
    code = (
        "import json, veltrane_sim; veltrane_sim.activate(force=True)\n"
        "from veltrane_computer import veltrane_core\n"
        "print(json.dumps(list(vars(veltrane_core))))"
    )
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


FRESH_NAMES = fresh_namespace()


def runtime_functions():
    return [
        name
        for name in FRESH_NAMES
        if isinstance(getattr(veltrane_core, name, None), types.BuiltinFunctionType)
        and getattr(veltrane_core, name).__module__ == veltrane_core.__name__
    ]


def state_global_names():
    return [name for name in FRESH_NAMES if re.fullmatch(r"_[A-Za-z]\w*_", name) and not name.startswith("__")]


def docstring_parameters(function):
    first_line = function.__doc__.split("\n", 1)[0]
    match = re.fullmatch(r"(\w+)\((.*)\)", first_line)
    assert match, f"first docstring line is not a signature: {first_line!r}"
    assert match.group(1) == function.__name__
    return [p.strip() for p in match.group(2).split(",")] if match.group(2) else []


def stub_parameters(name):
    arguments = STUB.functions[name].args
    assert not (arguments.vararg or arguments.kwarg or arguments.kwonlyargs or arguments.posonlyargs)
    assert not arguments.defaults, "every parameter is required"
    return [a.arg for a in arguments.args]


# ---- names and order ---------------------------------------------------------


def test_stub_declares_the_35_functions_in_table_order():
    assert list(STUB.functions) == runtime_functions()
    assert len(STUB.functions) == 35


def test_stub_declares_exactly_the_module_namespace():
    declared = set(STUB.imports) | {n for n, _ in STUB.globals} | set(STUB.functions) | set(STUB.classes)
    public = {name for name in FRESH_NAMES if not name.startswith("__")}
    assert declared == public


@pytest.mark.parametrize("name", list(STUB.functions))
def test_parameters_agree_between_stub_docstring_and_binding(name):
    function = getattr(veltrane_core, name)
    parameters = stub_parameters(name)
    assert parameters == docstring_parameters(function)
    # Every parameter named by keyword binds: the only complaint left is the
    # extra keyword, raised before any step of the function runs.
    keywords = {p: None for p in parameters}
    complaint = "unexpected keyword argument '__not_a_parameter__'" if parameters else "takes no keyword arguments"
    with pytest.raises(TypeError, match=complaint):
        function(**keywords, __not_a_parameter__=None)


# ---- enumeration and state globals ---------------------------------------------


def test_enumeration_members_and_values_agree():
    body = STUB.classes["VeltraneModule"]
    assert [base.id for base in body.bases] == ["Enum"]
    members = [node for node in body.body if isinstance(node, ast.Assign)]
    declared = [(node.targets[0].id, ast.literal_eval(node.value)) for node in members]
    assert declared == [(member.name, member.value) for member in veltrane_core.VeltraneModule]


def test_state_globals_are_declared_in_binding_order():
    assert [name for name, _ in STUB.globals] == state_global_names()


def conforms(value, annotation):
    """Whether a value fits the simple annotations the stub uses."""
    if isinstance(annotation, ast.Name):
        return {"Any": lambda v: True, "str": lambda v: isinstance(v, str), "bool": lambda v: isinstance(v, bool)}[
            annotation.id
        ](value)
    if isinstance(annotation, ast.Subscript) and isinstance(annotation.value, ast.Name):
        if annotation.value.id == "Optional":
            return value is None or conforms(value, annotation.slice)
        if annotation.value.id == "list":
            return isinstance(value, list) and all(conforms(item, annotation.slice) for item in value)
    raise AssertionError(f"annotation the test does not know: {ast.unparse(annotation)}")


@pytest.mark.parametrize("name,annotation", STUB.globals, ids=[name for name, _ in STUB.globals])
def test_initial_value_fits_the_declared_type(name, annotation):
    assert conforms(getattr(veltrane_core, name), annotation), ast.unparse(annotation)


@pytest.mark.parametrize(
    "value,annotation,fits",
    [
        (None, "Optional[str]", True),
        ("x", "Optional[str]", True),
        (3, "Optional[str]", False),
        (["a"], "list[str]", True),
        ([1], "list[str]", False),
        (0, "bool", False),
    ],
)
def test_the_conformance_check_can_fail(value, annotation, fits):
    assert conforms(value, ast.parse(annotation, mode="eval").body) is fits


def test_imported_modules_are_declared():
    modules = [name for name, value in vars(veltrane_core).items() if isinstance(value, types.ModuleType)]
    assert sorted(STUB.imports) == sorted(modules + ["Enum"])


# ---- shipping ------------------------------------------------------------------


@pytest.mark.parametrize("name", ["veltrane_core.pyi", "py.typed"])
def test_stub_and_marker_sit_beside_the_extension(name):
    assert (PACKAGE_DIR / name).is_file()


# ---- scripts type-check against the stub -----------------------------------------


@pytest.fixture(scope="module")
def type_check(tmp_path_factory):
    """One mypy run over the examples and a script that misuses the API."""
    pytest.importorskip("mypy")
    if not (ROOT / "examples").is_dir():
        pytest.skip("the examples are not beside the tests")
    work = tmp_path_factory.mktemp("mypy")
    wrong = work / "wrong.py"
    wrong.write_text(
        "import veltrane_computer as cc\n"
        "cc.solve('model.tessel', 'Vazer')\n"
        "path: int = cc.getTessel('.')\n",
        encoding="utf-8",
    )
    command = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml")]
    command += ["--cache-dir", str(work / "cache"), "--no-error-summary", str(ROOT / "examples"), str(wrong)]
    result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    assert not result.stderr, result.stderr
    return result.stdout.splitlines()


def test_examples_type_check(type_check):
    assert [line for line in type_check if "wrong.py" not in line] == []


def test_type_check_catches_a_wrong_call(type_check):
    errors = "\n".join(type_check)
    assert 'Missing positional argument "sandbox" in call to "solve"' in errors
    assert 'Incompatible types in assignment (expression has type "str", variable has type "int")' in errors


# ---- the simulated host's stub --------------------------------------------------

SIM_STUB = ast.parse((Path(veltrane_sim.__file__).parent / "__init__.pyi").read_text(encoding="utf-8"))


def test_simulated_host_stub_declares_its_public_names_with_their_parameters():
    declared = {}
    for node in SIM_STUB.body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            declared[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = node
    assert set(veltrane_sim.__all__) <= set(declared)
    for name in veltrane_sim.__all__:
        if isinstance(declared[name], ast.FunctionDef):
            arguments = declared[name].args
            stubbed = [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs]
            assert stubbed == list(inspect.signature(getattr(veltrane_sim, name)).parameters), name


def test_a_users_offline_script_is_clean_under_strict(tmp_path):
    """What the getting-started pages have a user write, checked as the user would: mypy --strict."""
    pytest.importorskip("mypy")
    script = tmp_path / "test_offline.py"
    script.write_text(
        "import os\n"
        "from pathlib import Path\n\n"
        "import veltrane_sim\n"
        "from veltrane_computer.session import Session\n"
        "from veltrane_computer.simulated import SimulatedInstallation, simulated_installation\n"
        "from veltrane_computer.testing import HostSwitches, ModelFactory\n\n\n"
        "def test_loads(veltrane_model: ModelFactory, veltrane_switches: HostSwitches) -> None:\n"
        "    veltrane_switches.solve_seconds = 0.5\n"
        "    assert veltrane_model('structure', name='Rack').solve().ok\n\n\n"
        "def test_offline(veltrane_installation: SimulatedInstallation, tmp_path: Path) -> None:\n"
        "    veltrane_sim.activate()\n"
        "    model = veltrane_sim.write_tessel(tmp_path / 'Line1.tessel', 'piping')\n"
        "    site = veltrane_sim.make_installation(os.fspath(tmp_path / 'site'), lib=False)\n"
        "    veltrane_sim.switches.solve_seconds = 0.1\n"
        "    with Session.open(**simulated_installation(site.root)) as session:\n"
        "        result = session.solve(model)\n"
        "    displacement: float = veltrane_sim.read_results(result.result_files[0])['maxDisplacement']\n"
        "    assert displacement > 0 and veltrane_sim.journal.count('VazerSolver.Run') == 1\n",
        encoding="utf-8",
    )
    command = [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml")]
    command += ["--cache-dir", str(tmp_path / "cache"), "--follow-imports=silent", str(script)]
    result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
