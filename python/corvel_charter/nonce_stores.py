"""Replay defence that outlives a process: nonce stores in memory, in SQLite and in Redis.

A nonce store records each nonce it accepts and refuses it while its life lasts. All three
stores here keep one contract, so the code that consumes approvals or proofs never knows which
one it holds:

- ``check_and_insert(nonce, ttl_seconds)`` records a 32-byte nonce for ``ttl_seconds`` and
  raises :class:`NonceReusedError` if it was recorded before and its life has not ended. The
  check and the insertion are one indivisible step for every thread, process and (Redis)
  machine sharing the store.
- A nonce's life is at least ``ttl_seconds`` from the moment it was recorded; once it has ended
  the nonce may be recorded again. Give a life that covers whatever the nonce protects (a proof's
  or an approval's remaining validity plus the clock tolerance its verifier allows).
- A store holds at most ``capacity`` live nonces; a new one that finds it full, with nothing
  expired to make room, raises :class:`NonceStoreFullError`.
- Any failure of the storage itself (a file that cannot be written, Redis unreachable) raises
  :class:`NonceStoreUnavailableError`: the nonce counts as not accepted, so whatever needed the
  store is refused.

``open_nonce_store(url)`` picks the store: ``memory:``, ``sqlite:///path/to/file`` (an absolute
path after the third slash; ``sqlite:relative/path`` for a relative one) or
``redis://host:port/db`` (``rediss://`` for TLS, ``?prefix=...`` to name the key space).
"""

from __future__ import annotations

import abc
import os
import sqlite3
import threading
import time
import urllib.parse
from types import TracebackType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import redis as redis_module

__all__ = [
    "MemoryStore",
    "NonceReusedError",
    "NonceStore",
    "NonceStoreError",
    "NonceStoreFullError",
    "NonceStoreUnavailableError",
    "RedisStore",
    "SQLiteStore",
    "open_nonce_store",
]

NONCE_SIZE = 32
DEFAULT_CAPACITY = 100_000
DEFAULT_REDIS_PREFIX = "corvel:nonce:"
# A life longer than this is a mistake in the caller's units (milliseconds passed as seconds).
MAX_TTL_SECONDS = 10 * 365 * 24 * 3600


class NonceStoreError(Exception):
    """A nonce store refused a nonce or could not answer."""


class NonceReusedError(NonceStoreError):
    """The nonce was recorded before and its life has not ended: a replay."""

    def __init__(self, nonce: bytes) -> None:
        super().__init__(f"REPLAY ATTACK DETECTED: Nonce {nonce.hex()} already used")
        self.nonce = nonce


class NonceStoreFullError(NonceStoreError):
    """The store holds its capacity of live nonces; nothing expired could make room."""

    def __init__(self, store: str, capacity: int) -> None:
        super().__init__(f"Storage backend error: {store} capacity limit reached ({capacity} nonces)")
        self.capacity = capacity


class NonceStoreUnavailableError(NonceStoreError):
    """The storage behind the store failed; no nonce was accepted."""

    def __init__(self, store: str, cause: BaseException | str) -> None:
        super().__init__(f"Storage backend error: {store}: {cause}")


def _check_nonce(nonce: bytes) -> bytes:
    if isinstance(nonce, str) or not isinstance(nonce, (bytes, bytearray, memoryview)):
        raise TypeError(f"nonce: expected bytes, not {type(nonce).__name__}")
    nonce = bytes(nonce)
    if len(nonce) != NONCE_SIZE:
        raise ValueError(f"Nonce must be exactly {NONCE_SIZE} bytes")
    return nonce


def _check_ttl(ttl_seconds: int) -> int:
    if isinstance(ttl_seconds, bool) or not isinstance(ttl_seconds, int):
        raise TypeError(f"ttl_seconds: expected int, not {type(ttl_seconds).__name__}")
    if not 1 <= ttl_seconds <= MAX_TTL_SECONDS:
        raise ValueError(f"ttl_seconds must be from 1 to {MAX_TTL_SECONDS}")
    return ttl_seconds


def _check_capacity(capacity: int) -> int:
    if isinstance(capacity, bool) or not isinstance(capacity, int) or capacity < 1:
        raise ValueError("capacity must be a positive whole number")
    return capacity


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


class NonceStore(abc.ABC):
    """The contract every store keeps (see the module's description)."""

    name: str = "nonce store"

    @abc.abstractmethod
    def check_and_insert(self, nonce: bytes, ttl_seconds: int) -> None:
        """Record ``nonce`` for ``ttl_seconds``; raise NonceReusedError if it is still live."""

    @abc.abstractmethod
    def contains(self, nonce: bytes) -> bool:
        """Whether ``nonce`` is recorded and its life has not ended."""

    @abc.abstractmethod
    def count(self) -> int:
        """The number of live nonces."""

    @abc.abstractmethod
    def cleanup_expired(self) -> int:
        """Drop the nonces whose life has ended; returns how many were dropped."""

    @abc.abstractmethod
    def clear(self) -> None:
        """Forget every nonce."""

    def close(self) -> None:
        """Release the store's connection; the recorded nonces stay where they are kept."""

    def __enter__(self) -> NonceStore:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


class MemoryStore(NonceStore):
    """Nonces in this process's memory, shared by its threads; forgotten when it ends."""

    name = "memory nonce store"

    def __init__(self, capacity: int = DEFAULT_CAPACITY) -> None:
        self.capacity = _check_capacity(capacity)
        self._expiry_ms: dict[bytes, int] = {}
        self._lock = threading.Lock()

    def check_and_insert(self, nonce: bytes, ttl_seconds: int) -> None:
        nonce, ttl_seconds = _check_nonce(nonce), _check_ttl(ttl_seconds)
        with self._lock:
            now = _now_ms()
            expiry = self._expiry_ms.get(nonce)
            if expiry is not None and expiry >= now:
                raise NonceReusedError(nonce)
            if expiry is None and len(self._expiry_ms) >= self.capacity and self._purge(now) == 0:
                raise NonceStoreFullError(self.name, self.capacity)
            self._expiry_ms[nonce] = now + ttl_seconds * 1000

    def contains(self, nonce: bytes) -> bool:
        nonce = _check_nonce(nonce)
        with self._lock:
            expiry = self._expiry_ms.get(nonce)
            return expiry is not None and expiry >= _now_ms()

    def count(self) -> int:
        with self._lock:
            now = _now_ms()
            return sum(1 for expiry in self._expiry_ms.values() if expiry >= now)

    def cleanup_expired(self) -> int:
        with self._lock:
            return self._purge(_now_ms())

    def clear(self) -> None:
        with self._lock:
            self._expiry_ms.clear()

    def _purge(self, now: int) -> int:
        expired = [nonce for nonce, expiry in self._expiry_ms.items() if expiry < now]
        for nonce in expired:
            del self._expiry_ms[nonce]
        return len(expired)

    def __repr__(self) -> str:
        return f"MemoryStore(capacity={self.capacity})"


class SQLiteStore(NonceStore):
    """Nonces in an SQLite file (WAL mode, every acceptance synced before it returns): they
    survive a restart, and every process of the machine that opens the file shares them.

    The check and the insertion run in one write transaction (BEGIN IMMEDIATE), which SQLite
    serialises across processes. One connection per thread; a store object may be shared.
    """

    name = "SQLite nonce store"

    _SCHEMA = (
        "CREATE TABLE IF NOT EXISTS nonces (nonce BLOB PRIMARY KEY, expires_ms INTEGER NOT NULL) WITHOUT ROWID",
        "CREATE INDEX IF NOT EXISTS nonces_by_expiry ON nonces (expires_ms)",
        # The row count kept beside the table, so the capacity check does not count rows.
        "CREATE TABLE IF NOT EXISTS tally (id INTEGER PRIMARY KEY CHECK (id = 0), live INTEGER NOT NULL)",
        "INSERT OR IGNORE INTO tally VALUES (0, (SELECT count(*) FROM nonces))",
        "CREATE TRIGGER IF NOT EXISTS nonce_added AFTER INSERT ON nonces BEGIN UPDATE tally SET live = live + 1; END",
        "CREATE TRIGGER IF NOT EXISTS nonce_dropped AFTER DELETE ON nonces BEGIN UPDATE tally SET live = live - 1; END",
    )

    def __init__(self, path: str | os.PathLike[str], capacity: int = DEFAULT_CAPACITY, *, timeout: float = 30.0) -> None:
        self.path = os.fspath(path)
        self.capacity = _check_capacity(capacity)
        self._timeout = timeout
        self._local = threading.local()
        self._connections: list[sqlite3.Connection] = []
        self._connections_lock = threading.Lock()
        self._closed = False
        with self._transaction() as db:
            for statement in self._SCHEMA:
                db.execute(statement)

    def _connection(self) -> sqlite3.Connection:
        if self._closed:
            raise NonceStoreUnavailableError(self.name, "the store is closed")
        db: sqlite3.Connection | None = getattr(self._local, "db", None)
        if db is None:
            try:
                db = sqlite3.connect(self.path, timeout=self._timeout, isolation_level=None, check_same_thread=False)
                mode = db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
                if mode != "wal":
                    raise sqlite3.OperationalError(f"journal mode {mode!r} instead of WAL")
                # FULL: an acceptance is on disk before it returns, so a crash or a power cut
                # cannot forget a nonce that was already accepted.
                db.execute("PRAGMA synchronous=FULL")
            except sqlite3.Error as error:
                raise NonceStoreUnavailableError(self.name, f"cannot open {self.path}: {error}") from error
            self._local.db = db
            with self._connections_lock:
                self._connections.append(db)
        return db

    class _Transaction:
        def __init__(self, store: SQLiteStore) -> None:
            self.store = store

        def __enter__(self) -> sqlite3.Connection:
            self.db = self.store._connection()
            try:
                self.db.execute("BEGIN IMMEDIATE")
            except sqlite3.Error as error:
                raise NonceStoreUnavailableError(self.store.name, f"{self.store.path}: {error}") from error
            return self.db

        def __exit__(self, exc_type: Any, exc_value: Any, traceback: Any) -> None:
            try:
                self.db.execute("COMMIT" if exc_type is None else "ROLLBACK")
            except sqlite3.Error as error:
                if exc_type is None:
                    try:
                        self.db.execute("ROLLBACK")
                    except sqlite3.Error:
                        pass
                    raise NonceStoreUnavailableError(self.store.name, f"{self.store.path}: {error}") from error
            if isinstance(exc_value, sqlite3.Error):
                raise NonceStoreUnavailableError(self.store.name, f"{self.store.path}: {exc_value}") from exc_value

    def _transaction(self) -> SQLiteStore._Transaction:
        return SQLiteStore._Transaction(self)

    def check_and_insert(self, nonce: bytes, ttl_seconds: int) -> None:
        nonce, ttl_seconds = _check_nonce(nonce), _check_ttl(ttl_seconds)
        with self._transaction() as db:
            now = _now_ms()
            row = db.execute("SELECT expires_ms FROM nonces WHERE nonce = ?", (nonce,)).fetchone()
            if row is not None:
                if row[0] >= now:
                    raise NonceReusedError(nonce)
                db.execute("DELETE FROM nonces WHERE nonce = ?", (nonce,))
            (live,) = db.execute("SELECT live FROM tally").fetchone()
            if live >= self.capacity:
                if db.execute("DELETE FROM nonces WHERE expires_ms < ?", (now,)).rowcount == 0:
                    raise NonceStoreFullError(self.name, self.capacity)
            db.execute("INSERT INTO nonces VALUES (?, ?)", (nonce, now + ttl_seconds * 1000))

    def contains(self, nonce: bytes) -> bool:
        nonce = _check_nonce(nonce)
        row = self._query("SELECT expires_ms FROM nonces WHERE nonce = ?", (nonce,))
        return row is not None and row[0] >= _now_ms()

    def count(self) -> int:
        row = self._query("SELECT count(*) FROM nonces WHERE expires_ms >= ?", (_now_ms(),))
        return int(row[0]) if row else 0

    def cleanup_expired(self) -> int:
        with self._transaction() as db:
            return int(db.execute("DELETE FROM nonces WHERE expires_ms < ?", (_now_ms(),)).rowcount)

    def clear(self) -> None:
        with self._transaction() as db:
            db.execute("DELETE FROM nonces")

    def _query(self, sql: str, parameters: tuple[Any, ...]) -> Any:
        try:
            return self._connection().execute(sql, parameters).fetchone()
        except sqlite3.Error as error:
            raise NonceStoreUnavailableError(self.name, f"{self.path}: {error}") from error

    def close(self) -> None:
        self._closed = True
        with self._connections_lock:
            for db in self._connections:
                db.close()
            self._connections.clear()

    def __repr__(self) -> str:
        return f"SQLiteStore({self.path!r}, capacity={self.capacity})"


# Run by Redis as one indivisible step when a capacity is set: refuse a live nonce, make room by
# dropping expired members of the index, refuse when still full, then SET NX PX and index it.
# Redis's own clock decides expiry, so the machines of a fleet need not agree on the time.
_BOUNDED_CHECK = """
local now = redis.call('TIME')
local now_ms = tonumber(now[1]) * 1000 + math.floor(tonumber(now[2]) / 1000)
if redis.call('EXISTS', KEYS[1]) == 1 then return 0 end
local capacity = tonumber(ARGV[2])
if redis.call('ZCARD', KEYS[2]) >= capacity then
  redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', '(' .. now_ms)
  if redis.call('ZCARD', KEYS[2]) >= capacity then return -1 end
end
redis.call('SET', KEYS[1], '1', 'NX', 'PX', ARGV[1])
redis.call('ZADD', KEYS[2], now_ms + tonumber(ARGV[1]), KEYS[1])
return 1
"""


class RedisStore(NonceStore):
    """Nonces in a Redis server, shared by every process and machine that reaches it.

    Without a capacity, each check is one ``SET key 1 NX PX ttl``: atomic across clients, and
    Redis drops the key when its life ends. With a capacity, a short server-side script does the
    same SET NX PX and also keeps an index of live nonces (a sorted set by expiry) to count them.
    Keys are ``prefix`` followed by the nonce in hexadecimal; the index is ``prefix`` + "index".
    """

    name = "Redis nonce store"

    def __init__(
        self,
        url: str = "redis://127.0.0.1:6379/0",
        *,
        prefix: str = DEFAULT_REDIS_PREFIX,
        capacity: int | None = None,
        timeout: float = 5.0,
    ) -> None:
        try:
            import redis
        except ImportError as error:
            raise ImportError(
                "the Redis nonce store needs the redis client: pip install 'corvel-charter[redis]'"
            ) from error
        self.url = url
        self.prefix = prefix
        self.capacity = None if capacity is None else _check_capacity(capacity)
        self._errors: tuple[type[BaseException], ...] = (redis.RedisError, OSError)
        self._where = _redact(url)
        self._client: redis_module.Redis = redis.Redis.from_url(
            url, socket_timeout=timeout, socket_connect_timeout=timeout
        )
        self._index = prefix + "index"
        self._script = self._client.register_script(_BOUNDED_CHECK)
        self._call(self._client.ping)

    def _key(self, nonce: bytes) -> str:
        return self.prefix + nonce.hex()

    def _call(self, operation: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            return operation(*args, **kwargs)
        except self._errors as error:
            raise NonceStoreUnavailableError(self.name, f"Redis at {self._where}: {error}") from error

    def check_and_insert(self, nonce: bytes, ttl_seconds: int) -> None:
        nonce, ttl_seconds = _check_nonce(nonce), _check_ttl(ttl_seconds)
        key = self._key(nonce)
        if self.capacity is None:
            if not self._call(self._client.set, key, b"1", nx=True, px=ttl_seconds * 1000):
                raise NonceReusedError(nonce)
            return
        outcome = self._call(self._script, keys=[key, self._index], args=[ttl_seconds * 1000, self.capacity])
        if outcome == 0:
            raise NonceReusedError(nonce)
        if outcome == -1:
            raise NonceStoreFullError(self.name, self.capacity)

    def contains(self, nonce: bytes) -> bool:
        return bool(self._call(self._client.exists, self._key(_check_nonce(nonce))))

    def count(self) -> int:
        return sum(1 for _ in self._live_keys())

    def cleanup_expired(self) -> int:
        # Redis drops expired keys itself; only the index (with a capacity) keeps stale members.
        if self.capacity is None:
            return 0
        now_seconds, now_micros = self._call(self._client.time)
        now_ms = now_seconds * 1000 + now_micros // 1000
        return int(self._call(self._client.zremrangebyscore, self._index, "-inf", f"({now_ms}"))

    def clear(self) -> None:
        keys = self._live_keys()
        keys.append(self._index)
        for start in range(0, len(keys), 1000):
            self._call(self._client.delete, *keys[start : start + 1000])

    def _live_keys(self) -> list[bytes | str]:
        pattern = _glob_escape(self.prefix) + "?" * (2 * NONCE_SIZE)
        return list(self._call(lambda: list(self._client.scan_iter(match=pattern, count=1000))))

    def close(self) -> None:
        self._client.close()

    def __repr__(self) -> str:
        return f"RedisStore({self._where!r}, prefix={self.prefix!r}, capacity={self.capacity})"


def _glob_escape(text: str) -> str:
    return "".join("\\" + c if c in "*?[]\\" else c for c in text)


def _redact(url: str) -> str:
    """The URL without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    host = parts.hostname or ""
    if parts.port is not None:
        host += f":{parts.port}"
    user = f"{parts.username}:***@" if parts.username else ":***@"
    return urllib.parse.urlunsplit(parts._replace(netloc=user + host))


def open_nonce_store(url: str, *, capacity: int | None = None) -> NonceStore:
    """The store a URL names: ``memory:``, ``sqlite:///absolute/path``, ``sqlite:relative/path``,
    ``redis://host:port/db`` or ``rediss://...`` (``?prefix=...`` sets the Redis key prefix).

    ``capacity`` defaults to 100000 for memory and SQLite and to none for Redis (its keys expire
    by themselves; a capacity adds a server-side count).
    """
    if not isinstance(url, str):
        raise TypeError(f"url: expected str, not {type(url).__name__}")
    scheme, _, rest = url.partition(":")
    scheme = scheme.lower()
    if scheme == "memory" and rest in ("", "//"):
        return MemoryStore(DEFAULT_CAPACITY if capacity is None else capacity)
    if scheme == "sqlite":
        path = rest[2:] if rest.startswith("//") else rest
        path = urllib.parse.unquote(path)
        if path.startswith("//"):
            path = "/" + path.lstrip("/")  # sqlite:////abs/path, as some tools write it
        if not path:
            raise ValueError(f"no file in the nonce store URL {url!r} (sqlite:///path/to/file)")
        return SQLiteStore(path, DEFAULT_CAPACITY if capacity is None else capacity)
    if scheme in ("redis", "rediss", "unix"):
        parts = urllib.parse.urlsplit(url)
        query = urllib.parse.parse_qs(parts.query)
        prefix = query.pop("prefix", [DEFAULT_REDIS_PREFIX])[-1]
        plain = urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query, doseq=True)))
        return RedisStore(plain, prefix=prefix, capacity=capacity)
    raise ValueError(
        f"unknown nonce store URL {_redact(url)!r}: expected memory:, sqlite:///path or redis://host:port/db"
    )
