"""The library's database: the discs checked, their files and their tracks' checksums.

This is the one module that knows SQL.  The schema is made and brought up
to date here, one migration per change, counted by SQLite's
``PRAGMA user_version``; every write is one transaction, so a disc is in
the database whole or not at all.  The database runs in WAL mode, so that
other programs can read it while a scan writes, and a connection that
finds it busy waits (``timeout``) before it gives up.  A scan holds a lock
on a file beside the database (``FILE.lock``) for as long as it runs: a
second scan of the same database is refused rather than interleaved.

Paths are stored as text, or, for a name that is not valid UTF-8, as a
blob of its bytes.  The version 1 checksums of every shift are one blob
per track: 4 bytes, little-endian, per shift from ``-search`` to
``+search``.
"""

from __future__ import annotations

import json
import os
import sqlite3
import stat
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

from orvane.isotrak.audio.input import reason
from orvane.isotrak.errors import StoreError
from orvane.isotrak.references import Candidate, Reference
from orvane.isotrak.results import (
    STATUSES,
    DiscOutcome,
    DiscResult,
    DiscVerification,
    FileState,
    ShiftChecksums,
    TrackResult,
)

if sys.platform != "win32":
    import fcntl

__all__ = [
    "BUSY_TIMEOUT",
    "MIGRATIONS",
    "SCHEMA_VERSION",
    "FileState",
    "ReferenceDatabase",
    "Store",
    "StoreError",
    "StoredDisc",
]

Path_ = str | os.PathLike[str]


# Seconds a write waits for another program that holds the database busy.
BUSY_TIMEOUT = 10.0

# SQLite waits in slices this long, so that Ctrl-C, which reaches Python
# only between them, ends a wait at once.
_BUSY_SLICE = 0.05


@dataclass(frozen=True)
class StoredDisc:
    """What the database holds of a disc.

    ``result`` holds the checksums of its last successful check (None if
    it never had one), and ``files`` the files as they were then; ``status``
    is the outcome of the last check: ``checked``, ``changed`` or
    ``failed``.
    """

    id: int
    status: str
    files: tuple[FileState, ...]
    result: DiscResult | None


# -- the schema ------------------------------------------------------------------


def _execute_all(db: sqlite3.Connection, script: str) -> None:
    # One statement at a time: executescript would commit the migration's
    # transaction before it ran.
    for statement in script.split(";"):
        if statement.strip():
            db.execute(statement)


def _create_tables(db: sqlite3.Connection) -> None:
    _execute_all(
        db,
        """
        CREATE TABLE runs (
            id INTEGER PRIMARY KEY,
            started TEXT NOT NULL,
            finished TEXT,
            root TEXT,
            options TEXT NOT NULL,
            checked INTEGER NOT NULL DEFAULT 0,
            skipped INTEGER NOT NULL DEFAULT 0,
            changed INTEGER NOT NULL DEFAULT 0,
            failed INTEGER NOT NULL DEFAULT 0
        );
        CREATE TABLE discs (
            id INTEGER PRIMARY KEY,
            path TEXT NOT NULL UNIQUE,
            name TEXT NOT NULL,
            sheet INTEGER NOT NULL,
            status TEXT NOT NULL CHECK (status IN ('checked', 'changed', 'failed')),
            error TEXT,
            run INTEGER REFERENCES runs (id),
            checked_at TEXT,
            sample_rate INTEGER,
            search INTEGER,
            v2_offset INTEGER,
            hidden_frames INTEGER,
            skipped_tracks TEXT,
            warnings TEXT
        );
        CREATE INDEX discs_name ON discs (name);
        CREATE TABLE files (
            disc INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
            position INTEGER NOT NULL,
            path TEXT NOT NULL,
            size INTEGER NOT NULL,
            mtime INTEGER NOT NULL,
            PRIMARY KEY (disc, position)
        );
        CREATE INDEX files_path ON files (path);
        CREATE TABLE tracks (
            disc_id INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
            number INTEGER NOT NULL,
            file TEXT NOT NULL,
            start INTEGER NOT NULL,
            frames INTEGER NOT NULL,
            v1 INTEGER NOT NULL,
            v2 INTEGER NOT NULL,
            v1_by_shift BLOB NOT NULL,
            change TEXT,
            PRIMARY KEY (disc_id, number)
        );
        """,
    )


def _add_verification(db: sqlite3.Connection) -> None:
    # The outcome against references (--expect-db): NULL where none were given.
    _execute_all(
        db,
        """
        ALTER TABLE discs ADD COLUMN matched INTEGER;
        ALTER TABLE discs ADD COLUMN verification TEXT;
        ALTER TABLE tracks ADD COLUMN matched INTEGER;
        ALTER TABLE tracks ADD COLUMN verification TEXT;
        """,
    )


# Migration n (from 1) takes a database of user_version n - 1 to n.  A
# change to the schema is a new function at the end; none is ever edited.
MIGRATIONS: tuple[Callable[[sqlite3.Connection], None], ...] = (
    _create_tables,
    _add_verification,
)
SCHEMA_VERSION = len(MIGRATIONS)


@contextmanager
def _transaction(db: sqlite3.Connection) -> Iterator[None]:
    """One write transaction: committed whole, or rolled back whole."""
    # IMMEDIATE takes the write lock first, so a busy database is waited
    # for here, not halfway through.
    _waiting(db, "BEGIN IMMEDIATE")
    try:
        yield
    except BaseException:
        if db.in_transaction:  # some failures end the transaction themselves
            db.execute("ROLLBACK")
        raise
    db.execute("COMMIT")


class _Connection(sqlite3.Connection):
    """A connection that knows how long a busy database is waited for."""

    busy_timeout = BUSY_TIMEOUT


def _waiting(db: sqlite3.Connection, statement: str) -> None:
    """Run a statement that may find the database busy, waiting for it as
    long as the connection's timeout in short slices (see _BUSY_SLICE)."""
    deadline = time.monotonic() + (db.busy_timeout if isinstance(db, _Connection) else 0.0)
    while True:
        try:
            db.execute(statement)
            return
        except sqlite3.OperationalError as error:
            busy = getattr(error, "sqlite_errorcode", None) in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)
            if not busy or time.monotonic() >= deadline:
                raise


def _user_version(db: sqlite3.Connection) -> int:
    version: int = db.execute("PRAGMA user_version").fetchone()[0]
    return version


def _migrate(db: sqlite3.Connection, name: str) -> None:
    version = _user_version(db)
    if version > SCHEMA_VERSION:
        raise StoreError(
            f"{name}: its schema version {version} is newer than this orvane's "
            f"({SCHEMA_VERSION}); use a newer orvane"
        )
    if version == 0 and db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
        raise StoreError(f"{name}: holds tables of another program, not an orvane library")
    while version < SCHEMA_VERSION:
        with _transaction(db):
            # Another process may have migrated it while this one waited.
            version = _user_version(db)
            if version < SCHEMA_VERSION:
                MIGRATIONS[version](db)
                version += 1
                db.execute(f"PRAGMA user_version = {version}")


def _refuse_other_than_file(path: Path_, name: str) -> None:
    """Refuse, before SQLite opens it (and leaves a journal beside it),
    anything at ``path`` but a regular file: a device, a pipe, a folder."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return  # made when missing
    except (OSError, ValueError) as error:
        raise StoreError(f"{name}: cannot be opened: {reason(error)}") from None
    if stat.S_ISDIR(mode):
        raise StoreError(f"{name}: is a folder, not a database file")
    if not stat.S_ISREG(mode):
        raise StoreError(f"{name}: is not a regular file (a device or a pipe), not a database file")


def _connect(path: Path_, name: str, timeout: float, read_only: bool = False) -> sqlite3.Connection:
    _refuse_other_than_file(path, name)
    slice_ = min(timeout, _BUSY_SLICE)
    try:
        if read_only:
            uri = Path(path).absolute().as_uri() + "?mode=ro"
            db = sqlite3.connect(
                uri, uri=True, timeout=slice_, isolation_level=None, factory=_Connection
            )
        else:
            db = sqlite3.connect(path, timeout=slice_, isolation_level=None, factory=_Connection)
    except (sqlite3.Error, ValueError) as error:
        raise StoreError(f"{name}: cannot be opened: {error}") from None
    db.busy_timeout = timeout
    try:
        db.execute("PRAGMA foreign_keys = ON")
        if not read_only:
            _waiting(db, "PRAGMA journal_mode = WAL")
            # In WAL mode this keeps every commit atomic and survives a crash
            # of the program; only a power cut can lose the last commits.
            db.execute("PRAGMA synchronous = NORMAL")
    except sqlite3.Error as error:
        db.close()
        raise StoreError(f"{name}: {error}") from None
    return db


@contextmanager
def _reporting(name: str) -> Iterator[None]:
    """Database faults as StoreError naming the file."""
    try:
        yield
    except sqlite3.Error as error:
        raise StoreError(f"{name}: {error}") from None


# -- paths and other values --------------------------------------------------------


def _stored_path(path: str) -> str | bytes:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


def _text(message: str | None) -> str | None:
    """A message as text SQLite takes: the undecodable bytes of a name in
    it shown as \\xNN, as the tool prints them."""
    if message is None:
        return None
    try:
        raw = message.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate that stands for no byte
        raw = message.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace")


def _read_path(value: str | bytes) -> str:
    return os.fsdecode(value) if isinstance(value, bytes) else value


def _now() -> str:
    return datetime.now(UTC).isoformat(timespec="seconds")


def _json(value: object) -> str:
    return json.dumps(value, separators=(",", ":"))


def _tracks(db: sqlite3.Connection, disc_id: int, search: int, v2_offset: int) -> tuple[TrackResult, ...]:
    rows = db.execute(
        "SELECT number, file, start, frames, v1_by_shift, v2 FROM tracks "
        "WHERE disc_id = ? ORDER BY number",
        (disc_id,),
    )
    return tuple(
        TrackResult(
            number=number,
            name=_read_path(file),
            frames=frames,
            checksums_v1=ShiftChecksums(blob, search),
            checksum_v2=v2,
            v2_offset=v2_offset,
            start=start,
        )
        for number, file, start, frames, blob, v2 in rows
    )


# -- the store ----------------------------------------------------------------------


class _Lock:
    """An exclusive lock on a file beside the database, held while a scan runs."""

    def __init__(self, path: str, name: str) -> None:
        self._fd = -1
        if sys.platform == "win32":
            return
        try:
            self._fd = os.open(path + ".lock", os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as error:
            raise StoreError(f"{name}: cannot be written: {error.strerror or error}") from None
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(self._fd)
            self._fd = -1
            raise StoreError(
                f"{name}: another scan is using this database; run again when it has finished"
            ) from None

    def release(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)  # closing releases the lock
            self._fd = -1


class Store:
    """A library database opened for a scan: made or migrated, and locked.

    ``timeout`` is how long, in seconds, a write waits for another
    program that holds the database busy (then it fails).  Raises StoreError for a
    database that cannot be opened, belongs to another program or a newer
    orvane, or is being scanned already.
    """

    def __init__(self, path: Path_, *, name: str | None = None, timeout: float = BUSY_TIMEOUT) -> None:
        self.path = os.fspath(path)
        self.name = self.path if name is None else name
        # Before the lock, whose file beside a device would be left behind.
        _refuse_other_than_file(self.path, self.name)
        self._lock = _Lock(self.path, self.name)
        try:
            self._db = _connect(self.path, self.name, timeout)
            try:
                with _reporting(self.name):
                    _migrate(self._db, self.name)
            except BaseException:
                self._db.close()
                raise
        except BaseException:
            self._lock.release()
            raise

    def close(self) -> None:
        self._db.close()
        self._lock.release()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def start_run(self, root: str | None, options: Mapping[str, Any]) -> int:
        """Record the start of a scan; return its id."""
        with _reporting(self.name), _transaction(self._db):
            cursor = self._db.execute(
                "INSERT INTO runs (started, root, options) VALUES (?, ?, ?)",
                (_now(), None if root is None else _stored_path(root), _json(dict(options))),
            )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def finish_run(self, run: int) -> None:
        with _reporting(self.name), _transaction(self._db):
            self._db.execute("UPDATE runs SET finished = ? WHERE id = ?", (_now(), run))

    def stored(self, path: str) -> StoredDisc | None:
        """What the database holds of the disc at ``path``, if anything."""
        db = self._db
        with _reporting(self.name):
            row = db.execute(
                "SELECT id, status, checked_at, sample_rate, search, v2_offset, hidden_frames, "
                "skipped_tracks, warnings FROM discs WHERE path = ?",
                (_stored_path(path),),
            ).fetchone()
            if row is None:
                return None
            disc_id, status, checked_at, rate, search, v2_offset, hidden, skipped, warnings = row
            files = tuple(
                FileState(_read_path(file), size, mtime)
                for file, size, mtime in db.execute(
                    "SELECT path, size, mtime FROM files WHERE disc = ? ORDER BY position",
                    (disc_id,),
                )
            )
            result = None
            if checked_at is not None:
                result = DiscResult(
                    tracks=_tracks(db, disc_id, search, v2_offset),
                    sample_rate=rate,
                    search=search,
                    v2_offset=v2_offset,
                    hidden_frames=hidden,
                    skipped_tracks=tuple(json.loads(skipped)),
                    warnings=tuple(json.loads(warnings)),
                )
        return StoredDisc(disc_id, status, files, result)

    def record(self, run: int, outcome: DiscOutcome) -> None:
        """Record what a scan found of one disc, in one transaction.

        A checked or changed disc's ``result`` and ``files`` replace what
        was stored (with each track's change, in order).  A failed disc
        keeps the checksums and files of its last successful check, so
        that a later check is still compared with them; a skipped one
        keeps everything.  Its ``verification`` (or the reason
        ``unverified`` there is none) is the outcome against references.
        """
        status = outcome.status
        if status not in STATUSES:
            raise ValueError(f"unknown status {status!r}")
        disc = outcome.disc
        stored_path = _stored_path(disc.path)
        db = self._db
        with _reporting(self.name), _transaction(db):
            if status != "skipped":
                db.execute(
                    "INSERT INTO discs (path, name, sheet, status, error, run) VALUES (?, ?, ?, ?, ?, ?) "
                    "ON CONFLICT (path) DO UPDATE SET name = excluded.name, sheet = excluded.sheet, "
                    "status = excluded.status, error = excluded.error, run = excluded.run",
                    (
                        stored_path,
                        _stored_path(disc.name),
                        int(disc.sheet),
                        status,
                        _text(outcome.error),
                        run,
                    ),
                )
            disc_id = db.execute("SELECT id FROM discs WHERE path = ?", (stored_path,)).fetchone()[0]
            if status in ("checked", "changed"):
                assert outcome.result is not None
                self._replace_checksums(disc_id, outcome.files, outcome.result, outcome.changes)
            if outcome.verification is not None or outcome.unverified is not None:
                self._record_verification(disc_id, outcome.verification, outcome.unverified)
            db.execute(f"UPDATE runs SET {status} = {status} + 1 WHERE id = ?", (run,))

    def _replace_checksums(
        self,
        disc_id: int,
        files: Sequence[FileState],
        result: DiscResult,
        changes: Sequence[str | None],
    ) -> None:
        db = self._db
        db.execute(
            "UPDATE discs SET checked_at = ?, sample_rate = ?, search = ?, v2_offset = ?, "
            "hidden_frames = ?, skipped_tracks = ?, warnings = ?, matched = NULL, "
            "verification = NULL WHERE id = ?",
            (
                _now(),
                result.sample_rate,
                result.search,
                result.v2_offset,
                result.hidden_frames,
                _json(list(result.skipped_tracks)),
                _json(list(result.warnings)),
                disc_id,
            ),
        )
        db.execute("DELETE FROM files WHERE disc = ?", (disc_id,))
        db.executemany(
            "INSERT INTO files (disc, position, path, size, mtime) VALUES (?, ?, ?, ?, ?)",
            [
                (disc_id, position, _stored_path(file.path), file.size, file.mtime)
                for position, file in enumerate(files)
            ],
        )
        db.execute("DELETE FROM tracks WHERE disc_id = ?", (disc_id,))
        all_changes = list(changes) + [None] * (len(result.tracks) - len(changes))
        db.executemany(
            "INSERT INTO tracks (disc_id, number, file, start, frames, v1, v2, v1_by_shift, change) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [
                (
                    disc_id,
                    track.number,
                    _stored_path(track.name),
                    track.start,
                    track.frames,
                    track.checksum_v1,
                    track.checksum_v2,
                    ShiftChecksums.pack(track.checksums_v1, result.search).data,
                    change,
                )
                for track, change in zip(result.tracks, all_changes)
            ],
        )

    def _record_verification(
        self, disc_id: int, verification: DiscVerification | None, unverified: str | None
    ) -> None:
        db = self._db
        if verification is None:
            db.execute(
                "UPDATE discs SET matched = 0, verification = ? WHERE id = ?",
                (_json({"error": unverified}), disc_id),
            )
            db.execute(
                "UPDATE tracks SET matched = NULL, verification = NULL WHERE disc_id = ?",
                (disc_id,),
            )
            return
        db.execute(
            "UPDATE discs SET matched = ?, verification = ? WHERE id = ?",
            (int(verification.matched), _json(verification.document()), disc_id),
        )
        db.executemany(
            "UPDATE tracks SET matched = ?, verification = ? WHERE disc_id = ? AND number = ?",
            [
                (int(track.matched), _json(track.document()), disc_id, track.number)
                for track in verification.tracks
            ],
        )


class ReferenceDatabase:
    """Another scan's database, read only, whose checksums serve as references.

    A disc is looked up by its name: its path relative to the library
    root it was found under.
    """

    def __init__(self, path: Path_, *, name: str | None = None, timeout: float = BUSY_TIMEOUT) -> None:
        self.name = os.fspath(path) if name is None else name
        if not os.path.isfile(path):
            raise StoreError(f"{self.name}: no such database")
        self._db = _connect(path, self.name, timeout, read_only=True)
        try:
            with _reporting(self.name):
                version = _user_version(self._db)
            if not 1 <= version <= SCHEMA_VERSION:
                raise StoreError(
                    f"{self.name}: not an orvane library database of a version this orvane reads"
                    f" (schema version {version})"
                )
        except BaseException:
            self._db.close()
            raise

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> ReferenceDatabase:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def reference(self, name: str) -> Reference | None:
        """The stored checksums of the disc called ``name`` as a Reference,
        or None when it holds no checksums of such a disc.

        Each track gets one candidate: its version 1 checksum at shift 0,
        and its version 2 checksum when it was taken at shift 0.
        """
        with _reporting(self.name):
            row = self._db.execute(
                "SELECT id, v2_offset FROM discs WHERE name = ? AND checked_at IS NOT NULL "
                "ORDER BY checked_at DESC, id DESC LIMIT 1",
                (_stored_path(name),),
            ).fetchone()
            if row is None:
                return None
            disc_id, v2_offset = row
            tracks = {
                number: (Candidate(v1, v2 if v2_offset == 0 else None),)
                for number, v1, v2 in self._db.execute(
                    "SELECT number, v1, v2 FROM tracks WHERE disc_id = ? ORDER BY number",
                    (disc_id,),
                )
            }
        return Reference(f"{self.name}: {name}", tracks)
