"""What a batch shows while it runs, and its summary table."""

from __future__ import annotations

import logging
import sys
import time
from collections import Counter
from typing import TextIO

from .._tables import format_table
from ._records import BatchReport, JobRecord

logger = logging.getLogger("veltrane_computer.batch")

# Seconds between redraws of the bar.
_REDRAW_SECONDS = 0.1


class Progress:
    """One bar for the batch on standard error when it is a terminal, a line per finished job otherwise;
    notes (retries, the cluster's dashboard) on lines of their own."""

    def __init__(self, total: int, enabled: bool = True, stream: TextIO | None = None):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.total = total
        self.counts: Counter[str] = Counter()
        self.started = time.perf_counter()
        self.bar = enabled and self.stream.isatty()
        self._drawn = 0.0

    def __enter__(self) -> Progress:
        self._draw(force=True)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.bar:
            self._draw(force=True)
            self._write("\n")

    def advance(self, record: JobRecord) -> None:
        self.counts[record.status] += 1
        if self.enabled and not self.bar:
            done = sum(self.counts.values())
            self._write(f"[{done}/{self.total}] {record.name}: {record.status} ({record.seconds:.2f} s)\n")
        self._draw()

    def note(self, text: str) -> None:
        if self.enabled:
            self._write(("\r\x1b[K" if self.bar else "") + text + "\n")
            self._draw(force=True)
        else:
            logger.info("%s", text)

    def _draw(self, force: bool = False) -> None:
        if not self.bar:
            return
        now = time.perf_counter()
        if not force and now - self._drawn < _REDRAW_SECONDS and sum(self.counts.values()) < self.total:
            return
        self._drawn = now
        done = sum(self.counts.values())
        filled = 30 * done // max(self.total, 1)
        tally = "".join(f" {status} {count}" for status, count in sorted(self.counts.items()))
        self._write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}{tally} {now - self.started:.0f} s"
                    "\x1b[K")

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()


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
        f"{len(report.records)} jobs: {totals}, in {report.seconds:.1f} s; manifest {report.manifest}",
        *(f"note: {note}" for note in report.notes),
    ])
