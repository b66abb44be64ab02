"""The local pool of a batch: worker processes started with the spawn method (a forked child would share
the parent's solution and sandbox), each set up once and solving one job at a time.  The pool enforces the
time-out: a worker that overruns it, or dies, is replaced by a fresh one.  A worker ends when the batch's
process does, however it ends, and every worker's scratch folder is removed."""

from __future__ import annotations

import contextlib
import math
import multiprocessing
import os
import shutil
import signal
import tempfile
import time
from collections.abc import Callable, Iterator
from multiprocessing.connection import wait as wait_for_any
from typing import TYPE_CHECKING, Any

from . import _worker
from ._jobs import _Setup, _Task, describe
from ._records import NO_MAIN_GUARD, NO_MAIN_GUARD_STATUS, BatchError, JobRecord

if TYPE_CHECKING:
    from multiprocessing.connection import Connection

    from ._worker import LogLine

# Replies of a local worker to the pool, besides the records of its jobs.
_READY = "ready"
_SCRATCH_PREFIX = "veltrane-worker-"


class _Slot:
    """One process of the pool, the job it is solving and when that job is due.  The process keeps its
    temporary files in the slot's scratch folder, removed when the process has ended, however it ended."""

    def __init__(self, context: Any, setup: _Setup, scratch: str):
        self.scratch = scratch
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, setup, scratch), daemon=True,
                                       name="veltrane-batch-worker")
        self.child = child
        self.ready = False
        self.task: _Task | None = None
        self.started = 0.0
        self.deadline = math.inf

    def start(self) -> None:
        self.process.start()
        self.child.close()

    def stop(self, kill: bool) -> None:
        if self.process.pid is not None:
            if not kill:
                try:
                    self.conn.send(None)
                except OSError:
                    kill = True
            if kill:
                self.process.kill()
            self.process.join()
        self.conn.close()
        self.child.close()
        shutil.rmtree(self.scratch, ignore_errors=True)


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Hold back SIGINT from this thread meanwhile: a process started now inherits the blocked signal, so that
    the terminal's Ctrl-C, which reaches the whole process group, never interrupts a worker, even while it
    starts; and a Ctrl-C comes only once the pool knows the process and its scratch folder."""
    block = getattr(signal, "pthread_sigmask", None)
    if block is None:  # Windows: the worker ignores Ctrl-C once it runs
        yield
        return
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()  # its first start would unblock SIGINT
    previous = block(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        block(signal.SIG_SETMASK, previous)


def _serve(conn: Connection, setup: _Setup, scratch: str) -> None:
    """A worker of the pool: set up once, then solve the jobs sent until None comes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the pool decides what Ctrl-C stops
    tempfile.tempdir = scratch  # sandboxes go where the pool can remove them, also after a kill
    _worker.watch_parent(scratch)
    logging_ = _worker._package_logger
    logging_.propagate = False  # its records go back to the batch with each job's record
    try:
        _worker.session_for(setup)
        conn.send(_READY)
        while (task := conn.recv()) is not None:
            conn.send(_worker.solve(setup, task))
    except EOFError:  # the pool is gone
        pass
    except Exception as error:
        conn.send(describe(error))
    finally:
        _worker.close_session()


class LocalPool:
    """Runs tasks on `workers` local processes; see the module's documentation."""

    def __init__(self, setup: _Setup, workers: int, timeout: float | None):
        self._context = multiprocessing.get_context("spawn")
        self._setup = setup
        self._workers = workers
        self._timeout = timeout
        self._slots: list[_Slot] = []

    def __enter__(self) -> LocalPool:
        _worker.sweep(_SCRATCH_PREFIX)  # what a batch killed before its workers could clean up left
        try:
            for _ in range(self._workers):
                self._start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        with _interrupts_held():  # a second Ctrl-C comes once every worker is stopped and its folder removed
            while self._slots:
                slot = self._slots.pop()
                slot.stop(kill=slot.task is not None or not slot.ready)

    def notes(self) -> list[str]:
        return []

    def returned(self) -> list[_Task]:
        return []  # a job goes to a worker only when it is free

    def has_room(self) -> bool:
        return any(slot.ready and slot.task is None for slot in self._slots)

    def running(self) -> bool:
        return any(slot.task is not None for slot in self._slots)

    def submit(self, task: _Task) -> None:
        slot = next(slot for slot in self._slots if slot.ready and slot.task is None)
        slot.task = task
        slot.started = time.monotonic()
        slot.deadline = slot.started + self._timeout if self._timeout else math.inf
        try:
            slot.conn.send(task)
        except OSError:  # its process has ended: wait() reports the job as lost
            pass

    def wait(self, feed: Callable[[], None]) -> list[tuple[JobRecord, list[LogLine]]]:
        waiting = [slot for slot in self._slots if slot.task is not None or not slot.ready]
        if not waiting:
            return []
        due = min(slot.deadline for slot in waiting) - time.monotonic()
        ready = set(wait_for_any([slot.conn for slot in waiting] + [slot.process.sentinel for slot in waiting],
                                 timeout=None if math.isinf(due) else max(due, 0)))
        settled = []
        for slot in waiting:
            if slot.conn in ready or slot.process.sentinel in ready:
                outcome = self._hear(slot)
            elif time.monotonic() >= slot.deadline and slot.task is not None:
                outcome = (slot.task.record("timed-out", seconds=time.monotonic() - slot.started,
                                            error=f"not solved within {self._timeout:g} s; its worker was stopped"),
                           [])
                self._replace(slot)
            else:
                continue
            if outcome is not None:
                settled.append(outcome)
        return settled

    def cancel(self) -> list[_Task]:
        running = [slot for slot in self._slots if slot.task is not None]
        tasks = [slot.task for slot in running if slot.task is not None]
        for slot in running:
            self._slots.remove(slot)
            slot.stop(kill=True)
        return tasks

    def _start(self) -> None:
        with _interrupts_held():
            scratch = tempfile.mkdtemp(prefix=f"{_SCRATCH_PREFIX}{os.getpid()}-")
            slot = _Slot(self._context, self._setup, scratch)
            self._slots.append(slot)
            slot.start()

    def _hear(self, slot: _Slot) -> tuple[JobRecord, list[LogLine]] | None:
        """Take the slot's message: a job's record, the end of its setup, or the news that its process ended."""
        try:
            message = slot.conn.recv()
        except (EOFError, OSError):
            slot.process.join()
            message = None
        if isinstance(message, tuple):
            slot.task = None
            slot.deadline = math.inf
            return message
        if message == _READY:
            slot.ready = True
            return None
        cause = message if isinstance(message, str) else f"its process ended with status {slot.process.exitcode}"
        if slot.process.exitcode == NO_MAIN_GUARD_STATUS:
            raise BatchError(f"a worker could not be set up: {NO_MAIN_GUARD}")
        if not slot.ready:
            raise BatchError(f"a worker could not be set up: {cause}")
        assert slot.task is not None
        record = slot.task.record("worker-lost", seconds=time.monotonic() - slot.started,
                                  error=f"its worker was lost: {cause}")
        self._replace(slot)
        return record, []

    def _replace(self, slot: _Slot) -> None:
        self._slots.remove(slot)
        slot.stop(kill=True)
        self._start()
