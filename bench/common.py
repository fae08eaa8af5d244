"""What the benchmarks share: where the project lies, its servers' ports, a free loopback port,
the host app under uvicorn, and the figures of a timed run."""

from __future__ import annotations

import asyncio
import os
import socket
import statistics
import subprocess
import sys
from pathlib import Path
from typing import IO

import httpx

ROOT = Path(__file__).resolve().parents[1]
API = ROOT / "api"
PG_PORT = int(os.environ.get("VEXA_PG_PORT", "55432"))
REDIS_PORT = int(os.environ.get("VEXA_REDIS_PORT", "56379"))


def pg_url(database: str = "vexa") -> str:
    return f"postgresql://postgres@127.0.0.1:{PG_PORT}/{database}"


def free_port() -> int:
    """A free loopback port of VEXA_BENCH_PORTS ("first-last"; any free port when unset)."""
    first, _, last = os.environ.get("VEXA_BENCH_PORTS", "0-0").partition("-")
    for port in range(int(first), int(last or first) + 1):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError(f"no free port in VEXA_BENCH_PORTS={os.environ['VEXA_BENCH_PORTS']}")


def uvicorn(port: int, env: dict[str, str], workers: int = 1, log: IO[bytes] | int = subprocess.DEVNULL,
            access_log: bool = False) -> subprocess.Popen:
    """The host app under uvicorn on 127.0.0.1:`port` with the environment `env`."""
    command = [sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(port),
               "--workers", str(workers), "--log-level", "warning"]
    return subprocess.Popen(command + ([] if access_log else ["--no-access-log"]), cwd=API, env=env,
                            stdout=log, stderr=log)


async def until_serving(client: httpx.AsyncClient, tries: int = 150) -> None:
    """Wait (0.1 s a try) until the server behind `client` answers; RuntimeError if it never does."""
    for _ in range(tries):
        try:
            await client.get("/gis/layers/")
            return
        except httpx.TransportError:
            await asyncio.sleep(0.1)
    raise RuntimeError("uvicorn did not start")


def summary(name: str, wall: float, latencies: list[float], unit: str = "requests", width: int = 30) -> dict[str, float]:
    """Rate, p50 and p99 of a run of `wall` seconds, printed as one line."""
    latencies = sorted(latencies)
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    figures = {"rate": len(latencies) / wall, "p50": statistics.median(latencies), "p99": p99}
    print(f"  {name:<{width}} {figures['rate']:9.1f} {unit}/s   p50 {figures['p50']:7.2f} ms   p99 {figures['p99']:7.2f} ms")
    return figures
