"""Shared fixtures: every test runs against the simulated host, with the
module's globals and the process's current directory restored afterwards."""

import os
import signal

import pytest

import veltrane_sim


# A run started in the background by a shell without job control ignores SIGINT, and its
# children would inherit that; the tests that send Ctrl-C need it delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

veltrane_sim.activate(force=True)

from veltrane_computer import veltrane_core  # noqa: E402  (needs the host first)
from veltrane_computer.session import Session  # noqa: E402
from veltrane_computer.testing import kept_globals  # noqa: E402


@pytest.fixture
def core():
    return veltrane_core


@pytest.fixture(autouse=True, scope="session")
def session_records(tmp_path_factory):
    """The state folder where earlier versions recorded results folders (looked for by the first commit
    into a folder) is the run's temporary folder, for the child processes the tests start too."""
    saved = os.environ.get("VELTRANE_STATE_DIR")
    os.environ["VELTRANE_STATE_DIR"] = str(tmp_path_factory.mktemp("veltrane-state"))
    yield
    if saved is None:
        del os.environ["VELTRANE_STATE_DIR"]
    else:
        os.environ["VELTRANE_STATE_DIR"] = saved


@pytest.fixture(autouse=True)
def isolated_state():
    """Each test starts from the globals it found and the host's defaults."""
    cwd = os.getcwd()
    with kept_globals(veltrane_core):
        veltrane_sim.reset()
        yield
        os.chdir(cwd)
    veltrane_sim.reset()


def open_session(inst):
    return Session.open(inst.directory, "Tubrolis", inst.settings_path, inst.data_sources_path)


@pytest.fixture
def session_on():
    """Opens a session on a simulated installation."""
    return open_session


@pytest.fixture
def session(installation):
    """A session open on the simulated installation."""
    with open_session(installation) as s:
        yield s


@pytest.fixture
def installation(tmp_path, core):
    """A simulated installation whose settings files the module reads."""
    inst = veltrane_sim.make_installation(tmp_path / "installation")
    inst.bind(core)
    return inst


@pytest.fixture
def ready(installation, core):
    """The module set up against a simulated installation."""
    assert core.setup_veltrane_computer(installation.directory, core.VeltraneModule.Tubrolis) is True
    veltrane_sim.journal.clear()
    return installation


@pytest.fixture
def journal():
    return veltrane_sim.journal


@pytest.fixture
def switches():
    return veltrane_sim.switches
