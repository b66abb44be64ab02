"""The manifest journal of an output folder, and the lock that gives the folder to one batch at a time.

``manifest.journal`` (JSON Lines) gets one line per settled job, flushed at once
and synced to disk about once a second; it keeps every record of every batch
into the folder.  ``manifest.json``, the readable manifest, holds the latest
record of each job name; it is written whole from the journal through a
temporary file (so it is always complete) at most every few seconds and when
the batch ends.  ``manifest.lock`` names the batch holding the folder.

A crash or a power loss may cut the journal's last line short or fill its tail
with zeros: that line is dropped (and reported), and the records of
manifest.json that the journal lacks count as well, so that the batch never
refuses its own result folders afterwards.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import logging
import os
import socket
import tempfile
import time
from collections.abc import Iterable
from pathlib import Path
from typing import IO, Any

from .._processes import alive as _alive
from .._processes import process_start as _process_start
from ._records import JOURNAL, LOCK, MANIFEST, RECORD_FIELDS, STATUSES, BatchError, JobRecord, record_data

logger = logging.getLogger("veltrane_computer.batch")

FORMAT = "veltrane-batch-manifest"
# Seconds between syncs of the journal to disk, and between rewrites of manifest.json.
SYNC_SECONDS = 1.0
MANIFEST_SECONDS = 5.0
# A lock file younger than this that cannot be read is being written: its holder is alive.
_FRESH_LOCK_SECONDS = 10.0




class FolderLock:
    """``manifest.lock``: created whole (linked from a complete temporary file), so that one batch at a time
    holds the folder.  A lock whose process is gone, on this host, is taken over."""

    def __init__(self, folder: Path):
        self.path = folder / LOCK
        self.held = False
        self._text = json.dumps({"pid": os.getpid(), "host": socket.gethostname(), "started": _now(),
                                 "process_start": _process_start(os.getpid())})

    def acquire(self) -> None:
        for _ in range(5):
            if self._create():
                self.held = True
                return
            holder, text = self._holder()
            if holder is not None and not _stale(holder):
                raise BatchError(f"another batch is writing into {self.path.parent}: process {holder.get('pid')} "
                                 f"on {holder.get('host')}, started {holder.get('started')} (its lock: {self.path}; "
                                 "delete it if that batch is gone)")
            if holder is not None or text is not None:
                self._take_over(text)
        raise BatchError(f"cannot take the lock {self.path}")

    def release(self) -> None:
        if self.held:
            self.held = False
            with contextlib.suppress(OSError):
                if self.path.read_text(encoding="utf-8") == self._text:
                    self.path.unlink()

    def _create(self) -> bool:
        handle, temporary = tempfile.mkstemp(dir=self.path.parent, prefix=".manifest-lock-")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as stream:
                stream.write(self._text)
            try:
                os.link(temporary, self.path)
            except FileExistsError:
                return False
            except OSError:  # no hard links here: create it exclusively
                try:
                    with open(self.path, "x", encoding="utf-8") as stream:
                        stream.write(self._text)
                except FileExistsError:
                    return False
            return True
        finally:
            with contextlib.suppress(OSError):
                os.unlink(temporary)

    def _holder(self) -> tuple[dict[str, Any] | None, str | None]:
        """The holder the lock names and the lock's text; (None, None) when it vanished, (None, text) when
        it cannot be read and is old enough to be stale."""
        try:
            text = self.path.read_text(encoding="utf-8")
            age = time.time() - self.path.stat().st_mtime
        except FileNotFoundError:
            return None, None
        except OSError as error:
            raise BatchError(f"the lock {self.path} cannot be read: {error.strerror or error}") from None
        try:
            holder = json.loads(text)
            if isinstance(holder, dict) and isinstance(holder.get("pid"), int):
                return holder, text
        except ValueError:
            pass
        if age < _FRESH_LOCK_SECONDS:
            return {"pid": "(being written)", "host": "?", "started": "just now", "fresh": True}, text
        return None, text

    def _take_over(self, text: str | None) -> None:
        """Set the stale lock aside, unless another batch took it over meanwhile."""
        aside = self.path.with_name(f".manifest-stale-lock-{os.getpid()}")
        try:
            os.replace(self.path, aside)
        except FileNotFoundError:
            return
        try:
            if aside.read_text(encoding="utf-8") != text:  # a live lock taken meanwhile: put it back
                with contextlib.suppress(OSError):
                    os.link(aside, self.path)
            else:
                logger.warning("took over the stale lock %s (%s)", self.path, text)
        finally:
            with contextlib.suppress(OSError):
                aside.unlink()


def _stale(holder: dict[str, Any]) -> bool:
    if holder.get("fresh") or holder.get("host") != socket.gethostname():
        return False  # another host's process cannot be seen from here
    pid = holder["pid"]
    if not _alive(pid):
        return True
    started = holder.get("process_start")
    return started is not None and _process_start(pid) not in (None, started)  # the pid was reused


def _now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def record_from(entry: object) -> JobRecord:
    """A record from its JSON object; ValueError when it is not one."""
    if not isinstance(entry, dict):
        raise ValueError("not an object")
    values = {name: entry[name] for name in RECORD_FIELDS if name in entry}
    for name in ("name", "model", "solver", "status"):
        if not isinstance(values.get(name), str):
            raise ValueError(f"{name} is not text")
    if values["status"] not in STATUSES:
        raise ValueError(f"unknown status {values['status']!r}")
    files = values.get("result_files", [])
    if not isinstance(files, list) or not all(isinstance(path, str) for path in files):
        raise ValueError("result_files is not a list of text")
    values["result_files"] = tuple(files)
    for name, kind in (("seconds", (int, float)), ("attempts", int), ("error", str), ("key", str),
                       ("requested_solver", str), ("reason", (str, type(None)))):
        if name in values and (not isinstance(values[name], kind) or isinstance(values[name], bool)):
            raise ValueError(f"{name} is of the wrong type")
    return JobRecord(**values)


class Journal:
    """The records of an output folder: those of earlier batches (read when it opens) and those of this
    batch, appended as they settle."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.notes: list[str] = []
        self.earlier: dict[str, JobRecord] = {}
        self.claimed: dict[str, str] = {}  # job name -> model, of the result folders batches made here
        self._stream: IO[str] | None = None
        self._synced = self._written = time.monotonic()

    def open(self) -> None:
        """Read the earlier records; set aside, with a note, a manifest or a journal that cannot be read.
        What manifest.json knows counts too: a record the journal lost with its tail (a crash, a power loss)
        is taken from it and written to the journal again."""
        manifest = self._read_manifest()
        journal = self.folder / JOURNAL
        if journal.exists() and not journal.is_file():
            self._set_aside(journal, "is not a file")
        seen: set[JobRecord] = set()
        if journal.is_file():
            self.earlier = self._read_journal(journal, seen)
        lost = [record for record in manifest if record.name not in self.earlier
                or (record not in seen and record.status != "pending")]
        for record in lost:
            self.earlier[record.name] = record
            self.claimed[record.name] = record.model
        if lost:
            self.append(*lost)
            self.sync()
            if seen:
                self._note(f"{len(lost)} record{'s' if len(lost) > 1 else ''} that {journal} lacked "
                           f"{'were' if len(lost) > 1 else 'was'} taken from {MANIFEST}")
        for record in self.earlier.values():
            self.claimed.setdefault(record.name, record.model)

    def claim(self, name: str, model: str) -> None:
        """Note that the batch makes the result folder `name` for `model`, before any file goes there."""
        if self.claimed.get(name) != model:
            self.claimed[name] = model
            self._write(json.dumps({"claimed": name, "model": model}) + "\n")

    def append(self, *records: JobRecord) -> None:
        self._write("".join(json.dumps(record_data(record), separators=(",", ":")) + "\n" for record in records))

    def _write(self, text: str) -> None:
        if self._stream is None:
            self._stream = open(self.folder / JOURNAL, "a", encoding="utf-8")
        self._stream.write(text)
        self._stream.flush()
        if time.monotonic() - self._synced >= SYNC_SECONDS:
            self.sync()

    def sync(self) -> None:
        if self._stream is not None:
            self._stream.flush()
            os.fsync(self._stream.fileno())
        self._synced = time.monotonic()

    def due(self) -> bool:
        """Whether manifest.json is due for a rewrite."""
        return time.monotonic() - self._written >= MANIFEST_SECONDS

    def write_manifest(self, current: Iterable[JobRecord]) -> None:
        """manifest.json: the latest record of every job name, earlier batches' first, then this one's."""
        records = dict(self.earlier)
        for record in current:
            records[record.name] = record
        lines = ",\n".join(" " + json.dumps(record_data(record)) for record in records.values())
        text = f'{{"format": "{FORMAT}", "version": 3, "jobs": [\n{lines}\n]}}\n'
        handle, temporary = tempfile.mkstemp(dir=self.folder, prefix=".manifest-", suffix=".json")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as stream:
                stream.write(text)
            os.replace(temporary, self.folder / MANIFEST)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        self._written = time.monotonic()

    def close(self) -> None:
        if self._stream is not None:
            with contextlib.suppress(OSError):
                self.sync()
            self._stream.close()
            self._stream = None

    def _read_manifest(self) -> list[JobRecord]:
        path = self.folder / MANIFEST
        if not path.exists() and not path.is_symlink():
            return []
        try:
            with open(path, encoding="utf-8") as stream:
                document = json.load(stream)
            if not isinstance(document, dict) or document.get("format") != FORMAT:
                raise ValueError("not a manifest of a batch")
            jobs = document.get("jobs")
            if not isinstance(jobs, list):
                raise ValueError("its jobs are not a list")
            return [record_from(entry) for entry in jobs]
        except (OSError, ValueError, UnicodeDecodeError) as error:
            reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            self._set_aside(path, f"cannot be read ({reason})")
            return []

    def _read_journal(self, path: Path, seen: set[JobRecord]) -> dict[str, JobRecord]:
        """The latest record of each job name (every record read goes into `seen`).  A last line cut short or
        zero-filled by a crash is dropped from the file, with a note; other lines that cannot be read are
        left out, with a note."""
        records: dict[str, JobRecord] = {}
        bad = 0
        with open(path, "rb") as stream:
            data = stream.read()
        end = data.rfind(b"\n") + 1
        lines = data[:end].decode("utf-8", errors="replace").split("\n")
        tail = data[end:]
        if tail:
            try:
                json.loads(tail.decode("utf-8"))
                lines.append(tail.decode("utf-8"))  # whole but for its line end: kept, and ended
                with open(path, "ab") as stream:
                    stream.write(b"\n")
            except ValueError:
                with open(path, "r+b") as stream:
                    stream.truncate(end)
                self._note(f"the last line of {path} was cut short (at a crash, say) and was dropped")
        for line in lines:
            if not line.strip():
                continue
            try:
                entry = json.loads(line)
                if isinstance(entry, dict) and "claimed" in entry:
                    if not isinstance(entry["claimed"], str) or not isinstance(entry.get("model"), str):
                        raise ValueError("a claim without a name or a model")
                    self.claimed[entry["claimed"]] = entry["model"]
                    continue
                record = record_from(entry)
            except ValueError:
                bad += 1
                continue
            records[record.name] = record
            seen.add(record)
            self.claimed[record.name] = record.model
        if bad:
            self._note(f"{bad} line{'s' if bad > 1 else ''} of {path} could not be read and were left out")
        return records

    def _set_aside(self, path: Path, why: str) -> None:
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        aside = path.with_name(f"{path.name}.unreadable-{stamp}")
        number = 1
        while aside.exists():
            number += 1
            aside = path.with_name(f"{path.name}.unreadable-{stamp}-{number}")
        try:
            os.replace(path, aside)
        except OSError as error:
            raise BatchError(f"{path} {why} and cannot be set aside: {error.strerror or error}") from None
        self._note(f"{path} {why}; set aside as {aside.name}")

    def _note(self, text: str) -> None:
        logger.warning("%s", text)
        self.notes.append(text)
