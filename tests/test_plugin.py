"""The pytest plugin veltrane_computer.testing, used from a user's own test files."""

import importlib.metadata
import os
import sys
import textwrap

import pytest

pytest_plugins = ["pytester"]

# A user's test file: scripts written against Session, Model and Project, tested offline.
USER_TESTS = """
import sys

import pytest

from veltrane_computer.session import SolveError


def test_nothing_is_imported_for_a_test_without_fixtures():
    assert not {"veltrane_sim", "veltrane_computer.veltrane_core", "clr"} & set(sys.modules)


def test_a_saved_model_solves(veltrane_model):
    model = veltrane_model("piping")
    assert model.path.name == "Line1.tessel" and model.path.is_file()
    result = model.solve(solver="DiroZiziva")
    assert result.ok and ".dres" in [p.suffix for p in result.result_files]


def test_models_of_both_kinds(veltrane_model, veltrane_session, veltrane_installation):
    rack = veltrane_model("structure")
    other = veltrane_model("piping", name="Line2")
    assert (rack.kind, rack.path.stem, other.path.stem) == ("structure", "Rack", "Line2")
    assert rack.session is veltrane_session and veltrane_session.installation == veltrane_installation.installation
    plant = veltrane_session.new_project(rack.path.parent.parent, "Plant", "piping")
    assert plant.studies == ("Plant",)


def test_solve_time(veltrane_model, veltrane_switches):
    veltrane_switches.solve_seconds = 0.3
    assert veltrane_model("piping").solve().seconds >= 0.3


def test_solver_failure(veltrane_model, veltrane_switches):
    veltrane_switches.fail("Line1")
    model = veltrane_model("piping")
    with pytest.raises(SolveError) as caught:
        model.solve()
    assert caught.value.reason == "solver-failed"


def test_switches_end_with_their_test(veltrane_model):
    assert veltrane_model("piping").solve().seconds < 0.3


def test_a_failing_test_with_a_session(veltrane_session):
    assert veltrane_session.installation is None  # fails: the fixtures still put everything back


def test_the_core_is_put_back_after_each_test():
    core = sys.modules["veltrane_computer.veltrane_core"]
    assert core._validSetup_ is False and core._Solution_ is None
"""

# Hangs and crashes take a process down, so a user meets them through batches.
USER_BATCH_TESTS = """
from veltrane_computer.batch import Job, run_batch


def test_a_batch_survives_a_hang_and_a_crash(veltrane_model, veltrane_switches, veltrane_installation, tmp_path):
    models = [veltrane_model("piping", name=name).path for name in ("Good", "Stuck", "Boom")]
    veltrane_switches.hang("Stuck")
    veltrane_switches.crash("Boom")
    report = run_batch([Job(path) for path in models], veltrane_installation, output_dir=tmp_path / "out",
                       workers=1, timeout=5, progress=False)
    assert [record.status == "ok" for record in report.records] == [True, False, False]
"""


# A user's suite that sets the simulated host up on an installation of its own, as docs/testing-offline.md
# shows, and uses the plugin's fixtures in some tests: the others still see the suite's own host.
USER_OWN_HOST_CONFTEST = """
import pytest

import veltrane_sim
import veltrane_computer as cc


@pytest.fixture(scope="session", autouse=True)
def own_site(tmp_path_factory):
    veltrane_sim.activate(force=True)
    from veltrane_computer import veltrane_core

    site = veltrane_sim.make_installation(tmp_path_factory.mktemp("site"),
                                          settings={("DIROZIZIVA", "MAX FIELD LENGTH"): "100"})
    site.bind(veltrane_core)
    assert cc.setup_veltrane_computer(site.directory, cc.VeltraneModule.Tubrolis)
    veltrane_sim.switches.set_setting("TUBROLIS", "LANGUAGE", "de-DE")
    return site
"""

USER_OWN_HOST_TESTS = """
import veltrane_sim
import veltrane_computer as cc


def test_with_the_plugins_installation(veltrane_model):
    assert veltrane_model("piping").solve().ok


def test_with_the_suites_own_host(own_site, tmp_path):
    model = veltrane_sim.write_tessel(str(tmp_path / "Line7.tessel"), "piping")
    cc.writeFreFile(cc.loadTessel(model), model)
    assert veltrane_sim.read_fre(str(tmp_path / "conception.fre"))["head"]["MAXLEN"] == "100"
    assert veltrane_sim.current_installation().directory == own_site.directory
    assert veltrane_sim.switches.settings == {("TUBROLIS", "LANGUAGE"): "de-DE"}
"""


def run_user_tests(pytester, monkeypatch, source, *arguments):
    """Runs a user's test file in a pytest of its own, with the plugin loaded as -p loads it."""
    pytester.makepyfile(test_user=textwrap.dedent(source))
    # Entry points are off so the run does not depend on the package being installed;
    # test_entry_point checks that an installed package registers the plugin.
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(sys.path))
    return pytester.runpytest_subprocess("-p", "veltrane_computer.testing", "-p", "no:cacheprovider", *arguments)


@pytest.mark.timeout(120)
def test_fixtures_run_a_users_tests(pytester, monkeypatch):
    result = run_user_tests(pytester, monkeypatch, USER_TESTS, "-v")
    result.assert_outcomes(passed=7, failed=1)


@pytest.mark.timeout(120)
def test_fixtures_put_back_the_suites_own_host(pytester, monkeypatch):
    pytester.makeconftest(USER_OWN_HOST_CONFTEST)
    result = run_user_tests(pytester, monkeypatch, USER_OWN_HOST_TESTS)
    result.assert_outcomes(passed=2)


@pytest.mark.timeout(180)
def test_switches_reach_batch_workers(pytester, monkeypatch):
    result = run_user_tests(pytester, monkeypatch, USER_BATCH_TESTS)
    result.assert_outcomes(passed=1)


def test_entry_point():
    import veltrane_computer.testing

    try:
        distribution = importlib.metadata.distribution("veltrane_computer")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("veltrane_computer is not installed: no entry points to look at")
    installed = distribution.locate_file("veltrane_computer/testing.py")
    if not os.path.exists(installed) or not os.path.samefile(installed, veltrane_computer.testing.__file__):
        pytest.skip("the installed veltrane_computer is not the one under test")
    plugins = {entry.name: entry.value for entry in distribution.entry_points if entry.group == "pytest11"}
    assert plugins == {"veltrane_computer.testing": "veltrane_computer.testing"}
