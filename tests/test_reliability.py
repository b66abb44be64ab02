"""Argument binding, property-based: random mixes of positional and keyword
arguments for random exported functions either make the call or fail with
exactly the message a plain model of the binding rules predicts.

The model: too many positional arguments is a count error; then each
parameter not filled by position is looked up among the keywords, and the
first one missing is a count error giving the number of positional
arguments; then the left-over keywords are examined in the order given: a
non-string is refused, a name already filled by position is given twice,
any other name is unexpected. A function without parameters refuses any
positional argument first, then any keyword."""

import os

import pytest
from _catalog import PARAMETERS, TABLE
from hypothesis import HealthCheck, assume, event, given, settings, strategies as st


def safe_arguments(name, core, tmp):
    """Arguments with which an unguarded function, called before setup, does
    something harmless and deterministic (guarded ones refuse at the guard)."""
    return {
        "setup_veltrane_computer": (os.path.join(tmp, "missing"), 0),  # FileNotFoundError before any change
        "FindSolverPaths": ({"Families": []},),
        "FindDataProjectPaths": ({"CurrentDatasDirectory": "d", "CurrentProjectsDirectory": "p"},),
        "createTessel": (0,),  # load_dll refuses at its guard
        "_DiroZizivaSolve": (None, "model.tessel", os.path.join(tmp, "missing")),  # writeFreFile refuses
        "_VazerSolve": (None, "model.tessel", os.path.join(tmp, "missing")),  # the listing fails
        "find_first_file": (tmp, ".tessel"),
        "copyDirectoryToTemp": (os.path.join(tmp, "missing"),),  # ""
        "addProject": (tmp, "existing", "S", 0, 0, 0),  # the folder exists: ""
        "addStudy": (tmp, "S", 0, 0, 0),  # load_dll refuses at its guard
    }.get(name, tuple(f"value-{i}" for i in range(len(PARAMETERS[name]))))


def count_message(name, expected, given):
    return f"{name}() takes exactly {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


def binding_error(name, parameters, positional, keywords):
    """The message the binding rules give, or None when the call binds."""
    if not parameters:
        if positional:
            return f"{name}() takes no arguments ({positional} given)"
        if keywords:
            return f"{name}() takes no keyword arguments"
        return None
    if positional > len(parameters):
        return count_message(name, len(parameters), positional)
    for parameter in parameters[positional:]:
        if parameter not in keywords:
            return count_message(name, len(parameters), positional)
    for key in keywords:
        if key in parameters[positional:]:
            continue
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key in parameters:
            return f"{name}() got multiple values for keyword argument '{key}'"
        return f"{name}() got an unexpected keyword argument '{key}'"
    return None


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:
        return ("raised", type(error), str(error))


@st.composite
def calls(draw):
    """A function and a way of calling it: how many positional arguments, and
    the keyword names in order. Half of them follow the rules, the others
    are random mixes of parameter names, near misses and non-strings."""
    name = draw(st.sampled_from([row[0] for row in TABLE]))
    parameters = PARAMETERS[name]
    if draw(st.booleans()):
        positional = draw(st.integers(0, len(parameters)))
        return name, positional, draw(st.permutations(parameters[positional:]))
    positional = draw(st.integers(0, len(parameters) + 2))
    names = list(parameters) + ["bogus", "Directory", "ext2"]
    chosen = draw(st.lists(st.sampled_from(names), unique=True, max_size=len(names)))
    extra = draw(st.lists(st.one_of(st.integers(-3, 3), st.none(), st.tuples(st.integers(0, 2))), max_size=2))
    keys = chosen + [key for key in extra if key not in chosen]
    return name, positional, draw(st.permutations(keys))


@pytest.fixture
def scratch(tmp_path):
    (tmp_path / "existing").mkdir()
    (tmp_path / "model.tessel").write_text("{}")
    return str(tmp_path)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(calls())
def test_binding_follows_the_rules(core, scratch, call):
    name, positional, order = call
    parameters = PARAMETERS[name]
    function = getattr(core, name)
    core._validSetup_ = False
    values = safe_arguments(name, core, scratch)
    # Positional arguments beyond the parameters are values too.
    args = [values[i] if i < len(values) else object() for i in range(positional)]
    keywords = {key: (values[parameters.index(key)] if key in parameters else object()) for key in order}
    expected = binding_error(name, parameters, positional, keywords)
    got = outcome(lambda: function(*args, **keywords))
    event("refused" if expected is not None else "bound")
    if expected is not None:
        assert got == ("raised", TypeError, expected)
    else:
        # The call bound: it behaves exactly as the plain positional call does.
        assert got == outcome(lambda: function(*values))
        assert got[0] == "returned" or got[1] is not TypeError


def test_the_model_matches_the_documented_examples():
    assert binding_error("load_dll", ("dllname",), 0, {}) == "load_dll() takes exactly 1 positional argument (0 given)"
    assert binding_error("find_first_file", ("directory", "ext"), 1, {"bogus": 1}) == count_message(
        "find_first_file", 2, 1)
    assert binding_error("find_first_file", ("directory", "ext"), 2, {"directory": 1}) == (
        "find_first_file() got multiple values for keyword argument 'directory'")
    assert binding_error("find_first_file", ("directory", "ext"), 1, {1: 2, "ext": 3}) == (
        "find_first_file() keywords must be strings")
    assert binding_error("disposeSolution", (), 0, {"x": 1}) == "disposeSolution() takes no keyword arguments"
    assert binding_error("find_first_file", ("directory", "ext"), 0, {"ext": 1, "directory": 2}) is None


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from([row[0] for row in TABLE if row[2]]), st.data())
def test_bound_guarded_calls_reach_the_guard(core, name, data):
    """Before setup a guarded function that binds its arguments, however they
    were given, answers with the guard's error and nothing else."""
    core._validSetup_ = False
    parameters = PARAMETERS[name]
    positional = data.draw(st.integers(0, len(parameters)))
    rest = data.draw(st.permutations(parameters[positional:]))
    values = [object() for _ in parameters]
    keywords = {key: values[parameters.index(key)] for key in rest}
    assume(binding_error(name, parameters, positional, keywords) is None)
    with pytest.raises(OSError) as error:
        getattr(core, name)(*values[:positional], **keywords)
    assert type(error.value) is OSError and str(error.value).startswith("Invalid setup!")
