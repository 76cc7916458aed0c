"""Check-and-insert rate of each nonce store, beside the raw client loops it is built on, in one run.

    .venv/bin/python bench/nonce_store_bench.py [--count N] [--rounds R]

It starts a redis-server of its own on a free loopback port and keeps its SQLite files in a
temporary folder. Each figure is the median of R rounds of N fresh nonces, in checks per second:
- memory: MemoryStore, with nothing beside it;
- SQLite: SQLiteStore (WAL, synchronous=FULL, one write transaction a check), beside a raw
  sqlite3 loop making the same durable INSERT OR FAIL, one transaction an insert, on the same
  settings;
- Redis: RedisStore without a capacity (one SET NX PX a check) beside a raw redis-py
  SET NX PX loop, and RedisStore with a capacity (its server-side script).
"""

from __future__ import annotations

import argparse
import os
import secrets
import shutil
import socket
import sqlite3
import statistics
import subprocess
import tempfile
import time
from collections.abc import Callable

import redis

from corvel_charter.nonce_stores import MemoryStore, NonceStore, RedisStore, SQLiteStore


def rate(check: Callable[[bytes], None], count: int, rounds: int) -> float:
    rates = []
    for _ in range(rounds):
        nonces = [secrets.token_bytes(32) for _ in range(count)]
        start = time.perf_counter()
        for nonce in nonces:
            check(nonce)
        rates.append(count / (time.perf_counter() - start))
    return statistics.median(rates)


def checker(store: NonceStore) -> Callable[[bytes], None]:
    return lambda nonce: store.check_and_insert(nonce, 60)


def raw_set(client: redis.Redis) -> Callable[[bytes], None]:
    def set_nx(nonce: bytes) -> None:
        client.set("raw:" + nonce.hex(), b"1", nx=True, px=60_000)

    return set_nx


def start_redis(folder: str) -> tuple[subprocess.Popen[bytes], int]:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    binary = shutil.which("redis-server") or "/usr/bin/redis-server"
    server = subprocess.Popen(
        [binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", folder],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    client = redis.Redis(port=port)
    for _ in range(500):
        try:
            client.ping()
            break
        except redis.ConnectionError:
            time.sleep(0.01)
    client.close()
    return server, port


def raw_sqlite(path: str) -> Callable[[bytes], None]:
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.execute("CREATE TABLE nonces (nonce BLOB PRIMARY KEY, expires_ms INTEGER NOT NULL) WITHOUT ROWID")

    def insert(nonce: bytes) -> None:
        db.execute("INSERT OR FAIL INTO nonces VALUES (?, ?)", (nonce, time.time_ns() // 1_000_000 + 60_000))

    return insert


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    server, port = start_redis(folder)
    url = f"redis://127.0.0.1:{port}/0"
    try:
        raw_redis = redis.Redis(port=port)
        figures = {
            "memory: MemoryStore": rate(checker(MemoryStore(capacity=10**7)), args.count, args.rounds),
            "sqlite: raw sqlite3 INSERT OR FAIL": rate(raw_sqlite(os.path.join(folder, "raw.db")), args.count, args.rounds),
            "sqlite: SQLiteStore": rate(
                checker(SQLiteStore(os.path.join(folder, "store.db"), capacity=10**7)),
                args.count, args.rounds),
            "redis: raw redis-py SET NX PX": rate(raw_set(raw_redis), args.count, args.rounds),
            "redis: RedisStore": rate(
                checker(RedisStore(url, prefix="plain:")),
                args.count, args.rounds),
            "redis: RedisStore with capacity": rate(
                checker(RedisStore(url, prefix="bounded:", capacity=10**7)),
                args.count, args.rounds),
        }
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(folder, ignore_errors=True)
    print(f"check-and-insert, {args.count} nonces a round, median of {args.rounds} rounds")
    for name, value in figures.items():
        print(f"  {name:40s} {value:12,.0f} /s")
    print(f"  SQLiteStore / raw sqlite3          {figures['sqlite: SQLiteStore'] / figures['sqlite: raw sqlite3 INSERT OR FAIL']:.2f}")
    print(f"  RedisStore / raw SET NX PX         {figures['redis: RedisStore'] / figures['redis: raw redis-py SET NX PX']:.2f}")
    print(f"  bounded RedisStore / raw SET NX PX {figures['redis: RedisStore with capacity'] / figures['redis: raw redis-py SET NX PX']:.2f}")


if __name__ == "__main__":
    main()
