"""The library's database: the discs checked, their files and their tracks'
checksums, the known-good checksums of each track, and every check made.

This is the one module that knows SQL.  The schema is made and brought up
to date here, one migration per change, counted by SQLite's
``PRAGMA user_version``; every write is one transaction, so a disc is in
the database whole or not at all.  The database runs in WAL mode, so that
other programs can read it while a scan writes, and a connection that
finds it busy waits (``timeout``) before it gives up.  A scan holds a lock
on a file beside the database (``FILE.lock``) for as long as it runs: a
second scan of the same database is refused rather than interleaved.

A database that is not an orvane library this orvane can use (another
program's, a newer one, a damaged one) is refused before anything is
written to it or beside it.  A row that cannot be read back leaves its
disc without stored checksums, so that it is checked afresh.

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
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, NamedTuple

from orvane.isotrak.audio.input import reason
from orvane.isotrak.errors import StoreError
from orvane.isotrak.results import (
    STATUSES,
    DiscOutcome,
    DiscResult,
    DiscVerification,
    FileState,
    ShiftChecksums,
    StoredState,
    TrackResult,
    fingerprint,
)

if sys.platform != "win32":
    import fcntl

if TYPE_CHECKING:
    from orvane.isotrak.references import Reference

__all__ = [
    "BUSY_TIMEOUT",
    "AbsentDisc",
    "MIGRATIONS",
    "SCHEMA_VERSION",
    "FileState",
    "KnownDisc",
    "ReferenceDatabase",
    "Store",
    "StoreError",
    "StoredDisc",
    "stored_states",
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
    ``failed``; ``checked_at`` is when its audio was last read in full.
    ``damaged`` says which of its rows could not be read back: then
    ``result`` is None, and the disc is checked afresh.
    """

    id: int
    status: str
    files: tuple[FileState, ...]
    result: DiscResult | None
    checked_at: str | None = None
    damaged: str | None = None


class KnownDisc(NamedTuple):
    """What a rescan needs of a stored disc to tell whether it changed,
    read for every disc at once (``Store.known``) without its checksums,
    small enough to hold for a hundred thousand discs.

    ``files_hash`` is the hash of the tuple of its files' FileStates (in
    this process: Python's hash of text differs from one to the next);
    ``Store.files`` reads them in full.  ``search`` and ``v2_offset`` are
    those of its stored checksums, None with no good check or with rows
    that cannot be read back; ``missing``: its files were found gone.
    """

    id: int
    status: str
    files_hash: int
    checked_at: str | None
    search: int | None
    v2_offset: int | None
    missing: bool


@dataclass(frozen=True)
class AbsentDisc:
    """A stored disc that a scan did not find: its row, and what a disc
    moved there would have to equal (``fingerprint``, None without
    known-good checksums)."""

    id: int
    path: str
    name: str
    sheet: bool
    fingerprint: tuple[object, ...] | None


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


def _add_memory(db: sqlite3.Connection) -> None:
    # The disc's memory: the known-good checksums of each track, every
    # check ever made, and when a disc's files were found gone.  Discs
    # checked good so far keep their checksums as known-good.
    _execute_all(
        db,
        """
        ALTER TABLE discs ADD COLUMN missing TEXT;
        CREATE TABLE good_tracks (
            disc_id INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
            number INTEGER NOT NULL,
            start INTEGER NOT NULL,
            frames INTEGER NOT NULL,
            v1 INTEGER NOT NULL,
            v2 INTEGER NOT NULL,
            v2_offset INTEGER NOT NULL,
            PRIMARY KEY (disc_id, number)
        );
        INSERT INTO good_tracks
            SELECT disc_id, number, start, frames, v1, v2, discs.v2_offset
            FROM tracks JOIN discs ON discs.id = tracks.disc_id
            WHERE discs.status = 'checked' AND discs.checked_at IS NOT NULL;
        CREATE TABLE checks (
            id INTEGER PRIMARY KEY,
            run INTEGER REFERENCES runs (id),
            disc INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
            at TEXT NOT NULL,
            status TEXT NOT NULL,
            changes TEXT NOT NULL,
            reason TEXT,
            accepted INTEGER NOT NULL DEFAULT 0
        );
        CREATE INDEX checks_disc ON checks (disc);
        ALTER TABLE runs ADD COLUMN restored INTEGER NOT NULL DEFAULT 0;
        ALTER TABLE runs ADD COLUMN missing INTEGER NOT NULL DEFAULT 0;
        ALTER TABLE runs ADD COLUMN moved INTEGER NOT NULL DEFAULT 0;
        ALTER TABLE runs ADD COLUMN "new" INTEGER NOT NULL DEFAULT 0;
        """,
    )


# Migration n (from 1) takes a database of user_version n - 1 to n.  A
# change to the schema is a new function at the end; none is ever edited.
MIGRATIONS: tuple[Callable[[sqlite3.Connection], None], ...] = (
    _create_tables,
    _add_verification,
    _add_memory,
)
SCHEMA_VERSION = len(MIGRATIONS)

# What the discs table keeps of each outcome: the statuses of a check
# are stored as that of a good check.
_STORED_STATUS = {"new": "checked", "restored": "checked", "moved": "checked"}


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


def _refuse_foreign(db: sqlite3.Connection, name: str) -> None:
    """Refuse a database that is not an orvane library this orvane can use."""
    version = _user_version(db)
    if version > SCHEMA_VERSION:
        raise StoreError(
            f"{name}: its schema version {version} is newer than this orvane's "
            f"({SCHEMA_VERSION}); use a newer orvane"
        )
    tables = {table for (table,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    # Another program may count its own schema in user_version too.
    ours = {"runs", "discs", "files", "tracks"} | ({"good_tracks", "checks"} if version >= 3 else set())
    if (version == 0 and tables) or (version > 0 and not ours <= tables):
        raise StoreError(f"{name}: holds tables of another program, not an orvane library")


def _inspect(path: str, name: str) -> None:
    """Refuse a database of another program, a newer one or a damaged one
    before anything is written to it or beside it."""
    try:
        if os.path.getsize(path) == 0:
            return
    except OSError:
        return  # made afresh, or refused when it is opened
    db = _connect(path, name, BUSY_TIMEOUT, read_only=True)
    try:
        with _reporting(name):
            _refuse_foreign(db, name)
    finally:
        db.close()


def _migrate(db: sqlite3.Connection, name: str) -> None:
    _refuse_foreign(db, name)
    version = _user_version(db)
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


# Bytes a file: URI may hold as they are; every other is written %XX.
_URI_SAFE = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-._~")


def _file_uri(path: Path_) -> str:
    """The file: URI of a path, as pathlib would write it, without loading pathlib."""
    raw = os.fsencode(os.path.abspath(path))
    return "file://" + "".join(chr(b) if b in _URI_SAFE else f"%{b:02X}" for b in raw)


def _connect(path: Path_, name: str, timeout: float, read_only: bool = False) -> sqlite3.Connection:
    _refuse_other_than_file(path, name)
    slice_ = min(timeout, _BUSY_SLICE)
    try:
        if read_only:
            uri = _file_uri(path) + "?mode=ro"
            # While a program has a WAL database open, its -wal file lies
            # beside it.  Without one, the file is read as it is: a reader
            # would otherwise make -wal and -shm files it cannot remove.
            quiet = not os.path.exists(os.fspath(path) + "-wal")
            db = sqlite3.connect(
                uri + ("&immutable=1" if quiet else ""),
                uri=True,
                timeout=slice_,
                isolation_level=None,
                factory=_Connection,
            )
            try:
                db.execute("SELECT count(*) FROM sqlite_master").fetchone()
            except sqlite3.Error as error:
                db.close()
                if quiet or not isinstance(error, sqlite3.OperationalError):
                    raise
                # Read-only media: no shared memory file can be made beside
                # it, and no one can be writing to it.
                db = sqlite3.connect(
                    uri + "&immutable=1",
                    uri=True,
                    timeout=slice_,
                    isolation_level=None,
                    factory=_Connection,
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
    if path.isascii():
        return path
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


def _message(message: str | None) -> str | None:
    """A message as text SQLite takes: the undecodable bytes of a name in
    it shown as \\xNN, as the tool prints them."""
    if message is None:
        return None
    try:
        raw = message.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate that stands for no byte
        raw = message.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace")


_NO_FILES = hash(())


def _read_path(value: str | bytes) -> str:
    return os.fsdecode(value) if isinstance(value, bytes) else value


def _now() -> str:
    return datetime.now(UTC).isoformat(timespec="seconds")


def _json(value: object) -> str:
    if value == []:
        return "[]"  # most lists of a disc: no warnings, no skipped tracks
    return json.dumps(value, separators=(",", ":"))


def _int(value: object, low: int = -(2**63), high: int = 2**63 - 1) -> int:
    """A number read back from the database, or ValueError for a damaged one."""
    if type(value) is not int or not low <= value <= high:
        raise ValueError(f"{value!r} is not a number in range")
    return value


def _checksum(value: object) -> int:
    return _int(value, 0, 2**32 - 1)


def _json_list(value: object) -> list[Any]:
    loaded = json.loads(value) if isinstance(value, str) else None
    if not isinstance(loaded, list):
        raise ValueError(f"{value!r} is not a JSON list")
    return loaded


def _path(value: object) -> str:
    if not isinstance(value, (str, bytes)):
        raise ValueError(f"{value!r} where a path belongs")
    return _read_path(value)


def _text(value: object) -> str:
    """A value read back as text, whatever a damaged row holds."""
    return _read_path(value) if isinstance(value, (str, bytes)) else str(value)


def _blob(value: object) -> bytes:
    if not isinstance(value, bytes):
        raise ValueError(f"{type(value).__name__} where a blob of checksums belongs")
    return value


def _tracks(db: sqlite3.Connection, disc_id: int, search: int, v2_offset: int) -> tuple[TrackResult, ...]:
    rows = db.execute(
        "SELECT number, file, start, frames, v1_by_shift, v2 FROM tracks "
        "WHERE disc_id = ? ORDER BY number",
        (disc_id,),
    )
    return tuple(
        TrackResult(
            number=_int(number),
            name=_path(file),
            frames=_int(frames, 0),
            checksums_v1=ShiftChecksums(_blob(blob), search),
            checksum_v2=_checksum(v2),
            v2_offset=v2_offset,
            start=_int(start),
        )
        for number, file, start, frames, blob, v2 in rows
    )


def _good(db: sqlite3.Connection, disc_id: int, sample_rate: int) -> DiscResult | None:
    """The known-good checksums of a disc's tracks, version 1 at shift 0 alone."""
    tracks, offsets = [], set()
    for number, start, frames, v1, v2, v2_offset in db.execute(
        "SELECT number, start, frames, v1, v2, v2_offset FROM good_tracks "
        "WHERE disc_id = ? ORDER BY number",
        (disc_id,),
    ):
        offsets.add(_int(v2_offset))
        tracks.append(
            TrackResult(
                number=_int(number),
                name="",
                frames=_int(frames, 0),
                checksums_v1={0: _checksum(v1)},
                checksum_v2=_checksum(v2),
                v2_offset=_int(v2_offset),
                start=_int(start),
            )
        )
    if not tracks:
        return None
    if len(offsets) != 1:
        raise ValueError("its tracks' known-good version 2 checksums are of several offsets")
    return DiscResult(tuple(tracks), sample_rate, 0, offsets.pop())


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
        _inspect(self.path, self.name)
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

    def start_run(self, root: str | None, options: Mapping[str, Any], started: str | None = None) -> int:
        """Record the start of a scan (at ``started``, else now); return its id."""
        with _reporting(self.name), _transaction(self._db):
            cursor = self._db.execute(
                "INSERT INTO runs (started, root, options) VALUES (?, ?, ?)",
                (started or _now(), None if root is None else _stored_path(root), _json(dict(options))),
            )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def finish_run(self, run: int, skipped: int = 0, back: Iterable[int] = ()) -> None:
        """Record the end of a scan, with the discs it skipped as unchanged
        (they are written nowhere else) and the ids of those of them that
        were missing before (``back``), in one transaction."""
        with _reporting(self.name), _transaction(self._db):
            self._finish(run, skipped, back)

    def whole_run(
        self,
        root: str | None,
        options: Mapping[str, Any],
        started: str,
        skipped: int,
        back: Iterable[int] = (),
    ) -> int:
        """Record a scan that changed nothing else, start and end, in one
        transaction; return its id."""
        with _reporting(self.name), _transaction(self._db):
            cursor = self._db.execute(
                "INSERT INTO runs (started, root, options) VALUES (?, ?, ?)",
                (started, None if root is None else _stored_path(root), _json(dict(options))),
            )
            assert cursor.lastrowid is not None
            self._finish(cursor.lastrowid, skipped, back)
        return cursor.lastrowid

    def _finish(self, run: int, skipped: int, back: Iterable[int]) -> None:
        self._db.execute(
            "UPDATE runs SET finished = ?, skipped = skipped + ? WHERE id = ?", (_now(), skipped, run)
        )
        self._db.executemany("UPDATE discs SET missing = NULL WHERE id = ?", ((id_,) for id_ in back))

    def known(self) -> dict[int, KnownDisc]:
        """Every stored disc by the hash of its path (``hash(path)``): the
        hash of its files, and whether its stored checksums can stand, read
        in a few queries.  Two paths of one hash cost only a needless check:
        their files' hashes differ.

        A disc whose rows cannot be read back is given without checksums
        (``search`` None), so that it is checked afresh.
        """
        db = self._db
        found: dict[int, KnownDisc] = {}
        statuses = {status: status for status in STATUSES}  # one string each
        with _reporting(self.name):
            # A stored result stands only if every track's row reads back.
            unsound = {
                disc_id
                for (disc_id,) in db.execute(
                    "SELECT DISTINCT disc_id FROM tracks JOIN discs ON discs.id = tracks.disc_id "
                    "WHERE typeof(number) != 'integer' OR typeof(start) != 'integer' "
                    "OR typeof(frames) != 'integer' OR typeof(v1) != 'integer' "
                    "OR typeof(v2) != 'integer' OR typeof(v1_by_shift) != 'blob' "
                    "OR length(v1_by_shift) != 4 * (2 * discs.search + 1)"
                )
            }
            # Paths kept as bytes (names that are not UTF-8), and damage.
            odd = {
                disc_id
                for (disc_id,) in db.execute(
                    "SELECT DISTINCT disc FROM files WHERE typeof(path) != 'text' "
                    "OR typeof(size) != 'integer' OR typeof(mtime) != 'integer'"
                )
            }
            # The files as SQLite gives them, a disc's at a time, in the order
            # of the discs: a row is a (path, size, mtime) tuple, which equals
            # a FileState.
            rows = db.execute(
                "SELECT path, size, mtime FROM files WHERE disc IN (SELECT id FROM discs) "
                "ORDER BY disc, position"
            )
            buffer: list[tuple[Any, Any, Any]] = []
            at = 0
            for disc_id, path, status, checked_at, search, v2_offset, missing, count in db.execute(
                "SELECT id, path, status, checked_at, search, v2_offset, missing, "
                "(SELECT count(*) FROM files WHERE disc = discs.id) FROM discs ORDER BY id"
            ):
                if at + count > len(buffer):  # rows fetched some thousands at a time
                    buffer = buffer[at:] + rows.fetchmany(max(4096, count))
                    at = 0
                states = buffer[at : at + count]
                at += count
                damaged = False
                if disc_id in odd:
                    damaged = any(
                        type(size) is not int or type(mtime) is not int for _, size, mtime in states
                    )
                    states = [(_text(path), size, mtime) for path, size, mtime in states]
                usable = (
                    not damaged
                    and disc_id not in unsound
                    and type(checked_at) is str
                    and type(search) is int
                    and type(v2_offset) is int
                )
                found[hash(path if type(path) is str else _text(path))] = KnownDisc(
                    disc_id,
                    statuses.get(status) or _text(status),
                    hash(tuple(states)),
                    checked_at if usable else None,
                    search if usable else None,
                    v2_offset if usable else None,
                    missing is not None,
                )
        return found

    def files(self, disc_id: int) -> tuple[FileState, ...]:
        """The files stored of a disc, in order."""
        with _reporting(self.name):
            return tuple(
                FileState(_text(path), size, mtime)
                for path, size, mtime in self._db.execute(
                    "SELECT path, size, mtime FROM files WHERE disc = ? ORDER BY position",
                    (disc_id,),
                )
            )

    def stored(self, path: str) -> StoredDisc | None:
        """What the database holds of the disc at ``path``, if anything.

        A row that cannot be read back (a damaged number, blob or JSON)
        leaves the disc with no checksums, and ``damaged`` says why.
        """
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
            try:
                files = tuple(
                    FileState(_read_path(file), size, mtime)
                    for file, size, mtime in db.execute(
                        "SELECT path, size, mtime FROM files WHERE disc = ? ORDER BY position",
                        (disc_id,),
                    )
                )
                result = None
                if checked_at is not None and not isinstance(checked_at, str):
                    raise ValueError(f"{checked_at!r} is not a time")
                if checked_at is not None:
                    result = DiscResult(
                        tracks=_tracks(db, disc_id, _int(search, 0), _int(v2_offset)),
                        sample_rate=_int(rate, 1),
                        search=search,
                        v2_offset=v2_offset,
                        hidden_frames=_int(hidden, 0),
                        skipped_tracks=tuple(_int(number) for number in _json_list(skipped)),
                        warnings=tuple(str(warning) for warning in _json_list(warnings)),
                    )
            except (ValueError, TypeError) as error:
                return StoredDisc(
                    disc_id,
                    status,
                    (),
                    None,
                    damaged=f"{self.name}: {path}: its stored rows cannot be read back: {error}",
                )
        return StoredDisc(disc_id, status, files, result, checked_at)

    def good(self, disc_id: int) -> tuple[DiscResult | None, str | None]:
        """The known-good checksums of a disc's tracks (version 1 at shift 0
        alone; None before its first good check), or why they cannot be
        read back."""
        with _reporting(self.name):
            try:
                return _good(self._db, disc_id, 1), None
            except (ValueError, TypeError) as error:
                reason = f"its known-good rows cannot be read back: {error}"
                return None, f"{self.name}: disc {disc_id}: {reason}"

    def absent(self, roots: Iterable[str], present: Iterable[str]) -> list[AbsentDisc]:
        """The stored discs under ``roots`` whose paths are not ``present``;
        read alone, nothing written."""
        prefixes = tuple(os.path.join(root, "") for root in roots)
        here = set(present)
        db = self._db
        found = []
        with _reporting(self.name):
            # Row by row: the stored discs of a large library are not all held.
            for disc_id, path, name, sheet in db.execute(
                "SELECT id, path, name, sheet FROM discs ORDER BY id"
            ):
                path = _read_path(path)
                if path in here or not path.startswith(prefixes):
                    continue
                try:
                    good = _good(db, disc_id, 1)
                except (ValueError, TypeError):
                    good = None
                layout = None if good is None else fingerprint(good)
                found.append(AbsentDisc(disc_id, path, _read_path(name), bool(sheet), layout))
        return found

    def prune(self, path: str) -> None:
        """Drop a disc, its files, its checksums and its history."""
        with _reporting(self.name), _transaction(self._db):
            self._db.execute("DELETE FROM discs WHERE path = ?", (_stored_path(path),))

    def record(self, run: int, outcome: DiscOutcome) -> None:
        """Record what a scan found of one disc, in one transaction.

        A checked or changed disc's ``result`` and ``files`` replace what
        was stored (with each track's change, in order); a good check
        (checked, new, restored, moved, or accepted) also makes them the
        known-good checksums.  A failed disc keeps the checksums and files
        of its last successful check, so that a later check is still
        compared with them; a skipped one keeps everything; a missing one
        keeps its rows, marked missing.  A moved disc takes over the row
        of the disc it moved from, with its history.  Every outcome but a
        skip adds a row to the history.  Its ``verification`` (or the
        reason ``unverified`` there is none) is the outcome against
        references.
        """
        self.record_all(run, [outcome])

    def record_all(self, run: int, outcomes: Sequence[DiscOutcome]) -> None:
        """Record several outcomes as ``record`` does each, in one
        transaction: the results of a batch of discs cost one commit."""
        for outcome in outcomes:
            if outcome.status not in STATUSES:
                raise ValueError(f"unknown status {outcome.status!r}")
        now = _now()  # one time for the batch, as one transaction
        counts: dict[str, int] = {}
        rows = _Rows()
        with _reporting(self.name), _transaction(self._db):
            for outcome in outcomes:
                self._record(run, outcome, now, rows)
                counts[outcome.status] = counts.get(outcome.status, 0) + 1
            self._insert(rows)
            for status, count in counts.items():
                self._db.execute(
                    f'UPDATE runs SET "{status}" = "{status}" + ? WHERE id = ?', (count, run)
                )

    def _insert(self, rows: _Rows) -> None:
        """Insert the rows a batch gathered, a table's in one statement."""
        db = self._db
        for statement, table in (
            ("INSERT INTO files (disc, position, path, size, mtime) VALUES (?, ?, ?, ?, ?)",
             rows.files),
            ("INSERT INTO tracks (disc_id, number, file, start, frames, v1, v2, v1_by_shift, "
             "change) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows.tracks),
            ("INSERT INTO good_tracks (disc_id, number, start, frames, v1, v2, v2_offset) "
             "VALUES (?, ?, ?, ?, ?, ?, ?)", rows.good),
            ("INSERT INTO checks (run, disc, at, status, changes, reason, accepted) "
             "VALUES (?, ?, ?, ?, ?, ?, ?)", rows.checks),
        ):  # fmt: skip
            if table:
                db.executemany(statement, table)
                table.clear()

    def _record(self, run: int, outcome: DiscOutcome, now: str, rows: _Rows) -> None:
        status = outcome.status
        inserted: int | None = None
        disc = outcome.disc
        stored_path = _stored_path(disc.path)
        db = self._db
        if outcome.moved_from is not None:
            db.execute(
                "UPDATE discs SET path = ? WHERE path = ?",
                (stored_path, _stored_path(outcome.moved_from)),
            )
        if status == "missing":
            db.execute(
                "UPDATE discs SET missing = coalesce(missing, ?) WHERE path = ?",
                (now, stored_path),
            )
        elif status == "skipped":
            db.execute(
                "UPDATE discs SET missing = NULL WHERE path = ?", (stored_path,)
            )
        else:
            row = (
                stored_path,
                _stored_path(disc.name),
                int(disc.sheet),
                _STORED_STATUS.get(status, status),
                _message(outcome.error),
                run,
            )
            if status == "new" and outcome.result is not None:
                # A disc not stored before: its row made whole, nothing of it
                # to replace.
                result = outcome.result
                try:
                    inserted = db.execute(
                        "INSERT INTO discs (path, name, sheet, status, error, run, checked_at, "
                        "sample_rate, search, v2_offset, hidden_frames, skipped_tracks, warnings) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                        (*row, *_checked(result, now)),
                    ).lastrowid
                except sqlite3.IntegrityError:  # stored after all
                    inserted = None
            if inserted is None:
                db.execute(
                    "INSERT INTO discs (path, name, sheet, status, error, run) "
                    "VALUES (?, ?, ?, ?, ?, ?) "
                    "ON CONFLICT (path) DO UPDATE SET name = excluded.name, sheet = excluded.sheet, "
                    "status = excluded.status, error = excluded.error, run = excluded.run, "
                    "missing = NULL",
                    row,
                )
        fresh = inserted is not None
        if not fresh:
            self._insert(rows)  # what it replaces may be among them
        disc_id = (
            inserted
            if inserted is not None
            else db.execute("SELECT id FROM discs WHERE path = ?", (stored_path,)).fetchone()[0]
        )
        if status not in ("skipped", "missing", "failed"):
            assert outcome.result is not None
            self._replace_checksums(
                disc_id, outcome.files, outcome.result, outcome.changes, now, fresh, rows
            )
            if status != "changed":
                self._replace_good(disc_id, outcome.result, fresh, rows)
        if status != "skipped":
            reasons = [outcome.error] if outcome.error else list(outcome.damage)
            if outcome.moved_from is not None:
                reasons.append(f"moved from {outcome.moved_from}")
            rows.checks.append(
                (
                    run,
                    disc_id,
                    now,
                    status,
                    _json(list(outcome.changes)),
                    _message("; ".join(reasons) or None),
                    int(outcome.accepted),
                )
            )
        if outcome.verification is not None or outcome.unverified is not None:
            self._insert(rows)  # its tracks, which the verification marks
            self._record_verification(disc_id, outcome.verification, outcome.unverified)

    def _replace_good(self, disc_id: int, result: DiscResult, fresh: bool, rows: _Rows) -> None:
        if not fresh:
            self._db.execute("DELETE FROM good_tracks WHERE disc_id = ?", (disc_id,))
        rows.good.extend(
            [
                (
                    disc_id,
                    track.number,
                    track.start,
                    track.frames,
                    track.checksum_v1,
                    track.checksum_v2,
                    result.v2_offset,
                )
                for track in result.tracks
            ]
        )

    def _replace_checksums(
        self,
        disc_id: int,
        files: Sequence[FileState],
        result: DiscResult,
        changes: Sequence[str | None],
        now: str,
        fresh: bool,
        rows: _Rows,
    ) -> None:
        db = self._db
        if not fresh:  # else its row was made with all this
            db.execute(
                "UPDATE discs SET checked_at = ?, sample_rate = ?, search = ?, v2_offset = ?, "
                "hidden_frames = ?, skipped_tracks = ?, warnings = ?, matched = NULL, "
                "verification = NULL WHERE id = ?",
                (*_checked(result, now), disc_id),
            )
            db.execute("DELETE FROM files WHERE disc = ?", (disc_id,))
            db.execute("DELETE FROM tracks WHERE disc_id = ?", (disc_id,))
        rows.files.extend(
            (disc_id, position, _stored_path(file.path), file.size, file.mtime)
            for position, file in enumerate(files)
        )
        all_changes = list(changes) + [None] * (len(result.tracks) - len(changes))
        rows.tracks.extend(
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
            ]
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


def _checked(result: DiscResult, now: str) -> tuple[object, ...]:
    """A disc's columns of its check at ``now``: checked_at, sample_rate,
    search, v2_offset, hidden_frames, skipped_tracks and warnings."""
    return (
        now,
        result.sample_rate,
        result.search,
        result.v2_offset,
        result.hidden_frames,
        _json(list(result.skipped_tracks)),
        _json(list(result.warnings)),
    )


class _Rows:
    """Rows a batch inserts at its end, a table's in one statement."""

    __slots__ = ("files", "tracks", "good", "checks")

    def __init__(self) -> None:
        self.files: list[tuple[object, ...]] = []
        self.tracks: list[tuple[object, ...]] = []
        self.good: list[tuple[object, ...]] = []
        self.checks: list[tuple[object, ...]] = []


class ReferenceDatabase:
    """Another scan's database, read only, whose checksums serve as references.

    A disc is looked up by its name: its path relative to the library
    root it was found under.
    """

    def __init__(self, path: Path_, *, name: str | None = None, timeout: float = BUSY_TIMEOUT) -> None:
        self.name = os.fspath(path) if name is None else name
        self._db = _open_read_only(path, self.name, timeout)

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
        and its version 2 checksum when it was taken at shift 0.  Raises
        StoreError for rows that cannot be read back.
        """
        from orvane.isotrak.references import Candidate, Reference

        with _reporting(self.name):
            row = self._db.execute(
                "SELECT id, v2_offset FROM discs WHERE name = ? AND checked_at IS NOT NULL "
                "ORDER BY checked_at DESC, id DESC LIMIT 1",
                (_stored_path(name),),
            ).fetchone()
            if row is None:
                return None
            disc_id, v2_offset = row
            try:
                tracks = {
                    _int(number): (
                        Candidate(_checksum(v1), _checksum(v2) if v2_offset == 0 else None),
                    )
                    for number, v1, v2 in self._db.execute(
                        "SELECT number, v1, v2 FROM tracks WHERE disc_id = ? ORDER BY number",
                        (disc_id,),
                    )
                }
            except ValueError as error:
                raise StoreError(
                    f"{self.name}: {name}: its stored checksums cannot be read: {error}"
                ) from None
        return Reference(f"{self.name}: {name}", tracks)


def _open_read_only(path: Path_, name: str, timeout: float = BUSY_TIMEOUT) -> sqlite3.Connection:
    """An orvane library database opened for reading alone (also on read-only media)."""
    if not os.path.isfile(path):
        raise StoreError(f"{name}: no such database")
    db = _connect(path, name, timeout, read_only=True)
    try:
        with _reporting(name):
            version = _user_version(db)
        if not 1 <= version <= SCHEMA_VERSION:
            raise StoreError(
                f"{name}: not an orvane library database of a version this orvane reads"
                f" (schema version {version})"
            )
    except BaseException:
        db.close()
        raise
    return db


def stored_states(
    path: Path_, *, root: str | None = None, name: str | None = None
) -> Iterator[StoredState]:
    """The stored state of every disc of a database (under ``root``, when
    given), in the order of their names, read without writing anything.

    Raises StoreError for a database that cannot be read.
    """
    shown = os.fspath(path) if name is None else name
    db = _open_read_only(path, shown)
    prefix = None if root is None else os.path.join(root, "")
    try:
        with _reporting(shown):
            version = _user_version(db)
            missing = "missing" if version >= 3 else "NULL"
            for disc_id, disc_path, disc_name, status, checked_at, error, gone in db.execute(
                f"SELECT id, path, name, status, checked_at, error, {missing} FROM discs ORDER BY name"
            ):
                disc_path = _text(disc_path)
                if prefix is not None and not disc_path.startswith(prefix):
                    continue
                # Shown as they are, whatever a damaged row holds.
                changes = tuple(
                    (number if type(number) is int else -1, None if change is None else _text(change))
                    for number, change in db.execute(
                        "SELECT number, change FROM tracks WHERE disc_id = ? ORDER BY number",
                        (disc_id,),
                    )
                )
                yield StoredState(
                    disc_path,
                    _text(disc_name),
                    "missing" if gone is not None else _text(status),
                    None if checked_at is None else _text(checked_at),
                    None if error is None else _text(error),
                    changes,
                )
    finally:
        db.close()
