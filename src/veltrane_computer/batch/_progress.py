"""What a batch shows while it runs, and its summary table."""

from __future__ import annotations

import logging
import math
import sys
import time
from collections import Counter
from typing import TextIO

from .._tables import format_table
from ._records import BatchReport, JobRecord

logger = logging.getLogger("veltrane_computer.batch")

# Seconds between redraws of the bar; without a terminal, the most seconds between two lines of progress while
# jobs settle, and the share of the jobs between two lines.
_REDRAW_SECONDS = 0.1
LOG_SECONDS = 30.0
LOG_SHARE = 0.1


class Progress:
    """What a batch shows on standard error while it runs.  On a terminal, one bar redrawn in place: the jobs
    settled, their tally, the rate and the time left.  Otherwise the same as a line at every tenth of the jobs,
    and at least every LOG_SECONDS while jobs settle, so that the log of 5,000 jobs is a dozen lines.  A job
    that is not solved gets a line of its own with its reason, and so do notes (retries, the cluster's
    dashboard).  Disabled, it writes nothing, and notes go to the log."""

    def __init__(self, total: int, enabled: bool = True, stream: TextIO | None = None):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.total = total
        self.counts: Counter[str] = Counter()
        self.started = time.perf_counter()
        self.bar = enabled and self.stream.isatty()
        self._drawn = self._first = 0.0
        self._logged = (0, self.started)  # jobs settled and when, at the last line without a terminal

    def __enter__(self) -> Progress:
        self._draw(force=True)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.bar:
            self._draw(force=True)
            self._write("\n")
        elif self.enabled and self._logged[0] != self.done:
            self._log()

    @property
    def done(self) -> int:
        return sum(self.counts.values())

    def advance(self, record: JobRecord) -> None:
        self.counts[record.status] += 1
        if self.done == 1:  # the rate counts from here: the workers' start is no job's time
            self._first = time.perf_counter()
        if record.status != "ok":
            self.note(failure(record))
        if self.bar:
            self._draw()
        elif self.enabled:
            done, when = self._logged
            step = max(1, math.ceil(self.total * LOG_SHARE))
            if self.done // step > done // step or self.done == self.total or time.perf_counter() - when >= LOG_SECONDS:
                self._log()

    def note(self, text: str) -> None:
        if self.enabled:
            self._write(("\r\x1b[K" if self.bar else "") + text + "\n")
            self._draw(force=True)
        else:
            logger.info("%s", text)

    def status(self) -> str:
        """"12/20 failed 2 ok 10, 4 s so far, 3.2 jobs/s, about 3 s left"."""
        done, seconds = self.done, time.perf_counter() - self.started
        tally = "".join(f" {status} {count}" for status, count in sorted(self.counts.items()))
        text = f"{done}/{self.total}{tally}, {_duration(seconds)} so far"
        if done > 1 and time.perf_counter() > self._first:
            rate = (done - 1) / (time.perf_counter() - self._first)
            text += f", {rate:.3g} jobs/s" + (f", about {_duration((self.total - done) / rate)} left"
                                              if done < self.total else "")
        return text

    def _log(self) -> None:
        self._logged = (self.done, time.perf_counter())
        self._write(f"[{self.status()}]\n")

    def _draw(self, force: bool = False) -> None:
        if not self.bar:
            return
        now = time.perf_counter()
        if not force and now - self._drawn < _REDRAW_SECONDS and self.done < self.total:
            return
        self._drawn = now
        filled = 30 * self.done // max(self.total, 1)
        self._write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.status()}\x1b[K")

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()


def failure(record: JobRecord) -> str:
    """A line for a job that was not solved: its name, status, reason and what went wrong."""
    reason = f" ({record.reason})" if record.reason not in (None, record.status) else ""
    detail = record.error.splitlines()[-1] if record.error else ""
    return f"{record.name}: {record.status}{reason}" + (f": {detail}" if detail else "")


def skipped(count: int, total: int, enabled: bool) -> None:
    """Say that `count` of the `total` jobs were solved by an earlier run, and how to solve them again."""
    if count:
        text = (f"{_jobs(count)} of {total} solved by an earlier run, with the same content: skipped "
                "(rerun solves them again)")
        if enabled:
            print(text, file=sys.stderr, flush=True)
        else:
            logger.info("%s", text)


def _jobs(count: int) -> str:
    return f"{count} job{'' if count == 1 else 's'}"


def _duration(seconds: float) -> str:
    """12 s, 3 min 05 s, 2 h 04 min."""
    whole = round(seconds)
    if whole < 60:
        return f"{whole} s"
    if whole < 3600:
        return f"{whole // 60} min {whole % 60:02} s"
    return f"{whole // 3600} h {whole % 3600 // 60:02} min"


def summary(report: BatchReport) -> str:
    """The report as a table, one row per job, then the totals and the notes."""
    rows = []
    for record in report.records:
        status = "ok (earlier run)" if record.name in report.skipped else record.status
        detail = record.error.splitlines()[-1] if record.error else ", ".join(record.result_files)
        rows.append((record.name, record.solver, status, f"{record.seconds:.2f}", record.attempts, detail))
    tally = Counter(record.status for record in report.records)
    totals = ", ".join(f"{count} {status}" for status, count in sorted(tally.items()))
    return "\n".join([
        format_table(("job", "solver", "status", "seconds", "starts", "results or error"), rows),
        f"{_jobs(len(report.records))}: {totals}, in {report.seconds:.1f} s; manifest {report.manifest}",
        *(f"note: {note}" for note in report.notes),
    ])
