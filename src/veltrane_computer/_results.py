"""Results folders: the one place where the layer puts, replaces and removes result files.

A results folder holds the files of the last result committed into it, and whatever else someone put there.
The folder keeps its own record of the files the layer wrote, ``.veltrane-results.json``, with a fingerprint
of each (size, modification time and SHA-256 digest), so that the record moves and goes with the folder and
nothing outside it grows with each solve.  A file is the layer's while its size and digest are as recorded:
only such a file is ever replaced or removed.  Any other file -- one the user added, edited, or put in the
place of a result -- stays as it is; a new result of the same name is refused rather than written over it.

:func:`commit` puts a new result in a folder::

    commit(folder, {"Line1.vres": sandbox / "Line1.vres"})      # or commit(folder, [paths...])

It copies the new files into a hidden staging folder inside the results folder, then moves the layer's
earlier files aside, moves the new ones in, rewrites the record and removes what it set aside.  Until every
file is in place nothing of the earlier result is lost: when a copy or a move fails (or Ctrl-C comes), the
folder is put back as it was and :class:`ResultsError` says why.  A staging folder left by a process that
died meanwhile is removed by the next commit into the folder, the earlier files it held put back where
nothing took their place.  One commit at a time writes into a folder.

:func:`intact` tells, from the record and the files' sizes and modification times alone, whether files are
still as the layer wrote them (a batch skips a job only then).

Names starting with ``.veltrane-`` are the layer's own; they are never result files.  Folders written before
the record lived in them were recorded in the user's state folder: their record is taken over, and its file
removed, by the first commit into the folder.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import shutil
import socket
import stat
import sys
import tempfile
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import NamedTuple

from ._processes import alive

__all__ = ["RECORD", "ResultsError", "Fingerprint", "commit", "intact", "own_name"]

RECORD = ".veltrane-results.json"
_OWN_PREFIX = ".veltrane-"
_STAGING = ".veltrane-staging-"
_FORMAT = "veltrane-results"
_CHUNK = 1 << 20

StrPath = str | os.PathLike[str]


class ResultsError(Exception):
    """A result that could not be committed; the folder holds what it held before.
    `name` is the file concerned ("" when it is the folder), `problem` what went wrong with it."""

    def __init__(self, folder: Path, name: str, problem: str) -> None:
        where = f" ({name})" if name else ""
        super().__init__(f"the results could not be copied to '{folder}'{where}: {problem}")
        self.folder = folder
        self.name = name
        self.problem = problem

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.folder, self.name, self.problem))


class Fingerprint(NamedTuple):
    """What tells a file the layer wrote from one changed since."""

    size: int
    mtime_ns: int
    digest: str


def own_name(name: str) -> bool:
    """Whether name is one of the layer's own names in a results folder (never a result file)."""
    return name.casefold().startswith(_OWN_PREFIX)


def commit(folder: StrPath, files: Mapping[str, StrPath] | Iterable[StrPath]) -> tuple[Path, ...]:
    """Make `files` the result held in `folder` (made if missing) and answer their paths there, by name.

    `files` maps each result file's name to the file to copy, or lists the files (named after them).  The
    layer's files of the earlier result that are not in `files` are removed; every other file is kept.
    ResultsError, with the folder as it was, when a name is not a plain file name, when the folder holds a
    file of a new result's name that the layer did not write (or that changed since), or when a copy or
    a move fails.  A source that is the very file in the folder (a solve in place) is taken as it is."""
    target = Path(folder)
    sources = _named(target, files)
    try:
        target.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ResultsError(target, "", _problem(error)) from error
    _sweep(target)
    earlier, legacy = _earlier(target)
    ours = _unchanged(target, earlier)
    adopted: dict[str, Fingerprint] = {}
    for name, source in sources.items():
        destination = target / name
        if _same_file(destination, source):
            adopted[name] = _fingerprint(destination)
        elif os.path.lexists(destination) and name not in ours:
            raise ResultsError(target, name, "the folder holds a file of that name that the layer did not write, "
                                             "or that was changed since; it is left as it is: move it away")
    try:
        staging = Path(tempfile.mkdtemp(dir=target, prefix=f"{_STAGING}{_owner()}-"))
    except OSError as error:
        raise ResultsError(target, "", _problem(error)) from error
    name = ""
    try:
        (staging / "new").mkdir()
        (staging / "old").mkdir()
        copied = {}
        for name, source in sorted(sources.items()):
            if name not in adopted:
                copied[name] = _copy(Path(source), staging / "new" / name)
        name = ""
        during = {key: [value] for key, value in ours.items()}
        for key, value in {**copied, **adopted}.items():
            during.setdefault(key, []).append(value)
        _write_record(target, staging, during)  # a crash from here on leaves every file known
        final = {key: [value] for key, value in {**copied, **adopted}.items()}
        _swap(target, staging, [key for key in ours if key not in adopted], list(copied), ours, final)
    except OSError as error:
        raise ResultsError(target, name, _problem(error)) from error
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    if legacy is not None:
        with contextlib.suppress(OSError):
            legacy.unlink()
    return tuple(target / name for name in sorted(sources))


def intact(folder: StrPath, names: Iterable[str]) -> bool:
    """Whether each of `names` is a file the layer wrote in `folder` whose size and modification time are
    still as recorded (the digest is not read)."""
    target = Path(folder)
    record = _read_record(target / RECORD)
    for name in names:
        now = _status(target / name)
        if now is None or not any(now == (known.size, known.mtime_ns) for known in record.get(name, ())):
            return False
    return True


def _named(target: Path, files: Mapping[str, StrPath] | Iterable[StrPath]) -> dict[str, StrPath]:
    sources = dict(files) if isinstance(files, Mapping) else {os.path.basename(path): path for path in files}
    for name in sources:
        if name in ("", ".", "..") or os.path.basename(name) != name or Path(name).name != name or own_name(name):
            raise ResultsError(target, name, "not a plain file name a result may have")
    return sources


def _swap(target: Path, staging: Path, old: list[str], new: list[str], ours: Mapping[str, Fingerprint],
          final: Mapping[str, list[Fingerprint]]) -> None:
    """Move the layer's earlier files aside and the new ones in, then record the new ones; on any failure
    put everything back."""
    moved_out: list[str] = []
    moved_in: list[str] = []
    try:
        for name in old:
            with contextlib.suppress(FileNotFoundError):  # removed by someone meanwhile: nothing to keep
                os.replace(target / name, staging / "old" / name)
                moved_out.append(name)
        for name in new:
            os.replace(staging / "new" / name, target / name)
            moved_in.append(name)
        _write_record(target, staging, final)
    except BaseException:
        for name in reversed(moved_in):
            with contextlib.suppress(OSError):
                os.replace(target / name, staging / "new" / name)
        for name in reversed(moved_out):
            with contextlib.suppress(OSError):
                os.replace(staging / "old" / name, target / name)
        with contextlib.suppress(OSError):
            _write_record(target, staging, {key: [value] for key, value in ours.items()})
        raise


def _copy(source: Path, destination: Path) -> Fingerprint:
    """Copy a file with its times and mode, digesting it on the way."""
    digest = hashlib.sha256()
    with open(source, "rb") as reader, open(destination, "xb") as writer:
        while chunk := reader.read(_CHUNK):
            digest.update(chunk)
            writer.write(chunk)
    shutil.copystat(source, destination)
    status = os.stat(destination)
    return Fingerprint(status.st_size, status.st_mtime_ns, digest.hexdigest())


def _fingerprint(path: Path) -> Fingerprint:
    with open(path, "rb") as stream:
        digest = hashlib.file_digest(stream, "sha256").hexdigest()
    status = os.stat(path)
    return Fingerprint(status.st_size, status.st_mtime_ns, digest)


def _status(path: Path) -> tuple[int, int] | None:
    """Size and modification time of a regular file (not a link), else None."""
    try:
        status = os.lstat(path)
    except OSError:
        return None
    return (status.st_size, status.st_mtime_ns) if stat.S_ISREG(status.st_mode) else None


def _unchanged(target: Path, record: Mapping[str, list[Fingerprint]]) -> dict[str, Fingerprint]:
    """The recorded files whose size and content are still as the layer wrote them: a file of the recorded
    size and modification time is taken as it is, as `intact` takes it; otherwise (a folder moved to another
    disk may have other modification times) the digest decides."""
    found = {}
    for name, known in record.items():
        now = _status(target / name)
        if now is None:
            continue
        candidates = [fingerprint for fingerprint in known if fingerprint.size == now[0]]
        stamped = [fingerprint for fingerprint in candidates if fingerprint.mtime_ns == now[1]]
        if stamped:
            found[name] = stamped[-1]
        elif candidates:
            try:
                current = _fingerprint(target / name)
            except OSError:
                continue
            if any(fingerprint.digest == current.digest for fingerprint in candidates):
                found[name] = current
    return found


def _read_record(path: Path) -> dict[str, list[Fingerprint]]:
    """The record's files; an unreadable record knows nothing (so every file is kept)."""
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
        if document.get("format") != _FORMAT:
            return {}
        return {
            name: [Fingerprint(int(size), int(mtime), str(digest)) for size, mtime, digest in known]
            for name, known in document["files"].items()
            if isinstance(name, str) and not own_name(name) and os.path.basename(name) == name
        }
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return {}


def _write_record(target: Path, staging: Path, files: Mapping[str, list[Fingerprint]]) -> None:
    """Replace the record whole (written in the staging folder first); no files: no record."""
    if not files:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(target / RECORD)
        return
    document = {"format": _FORMAT, "version": 1,
                "files": {name: [list(fingerprint) for fingerprint in known] for name, known in sorted(files.items())}}
    written = staging / RECORD
    with open(written, "w", encoding="utf-8") as stream:
        json.dump(document, stream)
    os.replace(written, target / RECORD)


def _earlier(target: Path) -> tuple[dict[str, list[Fingerprint]], Path | None]:
    """The folder's record, or the one kept in the user's state folder before records lived with the results
    (its entries whose inode, size and time are unchanged; answered with that file, to be removed)."""
    if os.path.lexists(target / RECORD):
        return _read_record(target / RECORD), None
    legacy = _legacy_record(target)
    if legacy is None:
        return {}, None
    try:
        with open(legacy, encoding="utf-8") as stream:
            document = json.load(stream)
        stamps = dict(document["files"]) if document["folder"] == os.path.realpath(target) else {}
    except (OSError, ValueError, KeyError, TypeError):
        return {}, None
    record = {}
    for name, stamp in stamps.items():
        path = target / name
        try:
            status = os.lstat(path)
            if os.path.basename(name) == name and [status.st_ino, status.st_size, status.st_mtime_ns] == stamp:
                record[name] = [_fingerprint(path)]
        except (OSError, TypeError):
            continue
    return record, legacy


def _legacy_record(target: Path) -> Path | None:
    configured = os.environ.get("VELTRANE_STATE_DIR")
    if configured:
        state = Path(configured)
    elif sys.platform == "win32":
        state = Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local") / "veltrane_computer"
    else:
        state = Path(os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state") / "veltrane_computer"
    key = hashlib.sha256(os.fsencode(os.path.realpath(target))).hexdigest()[:32]
    path = state / "results" / f"{key}.json"
    return path if path.is_file() else None


def _owner() -> str:
    """This process in a staging folder's name: its pid and a digest of its host's name."""
    return f"{os.getpid()}-{hashlib.sha256(socket.gethostname().encode()).hexdigest()[:8]}"


def _sweep(target: Path) -> None:
    """Remove the staging folders that processes of this host left when they died, once the earlier files
    they had set aside are back where nothing took their place (the record still knows them)."""
    host = _owner().partition("-")[2]
    try:
        names = [name for name in os.listdir(target) if name.startswith(_STAGING)]
    except OSError:
        return
    for name in names:
        pid, _, rest = name[len(_STAGING):].partition("-")
        if pid.isdigit() and rest.startswith(f"{host}-") and int(pid) != os.getpid() and not alive(int(pid)):
            aside = target / name / "old"
            for kept in os.listdir(aside) if aside.is_dir() else ():
                if not os.path.lexists(target / kept):
                    with contextlib.suppress(OSError):
                        os.replace(aside / kept, target / kept)
            shutil.rmtree(target / name, ignore_errors=True)


def _same_file(destination: Path, source: StrPath) -> bool:
    try:
        return os.path.samefile(destination, source)
    except OSError:
        return False


def _problem(error: OSError) -> str:
    return str(error.strerror or error)
