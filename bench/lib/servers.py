"""The one server runner: a server process on a loopback port, waited for until it answers and
stopped with every process it started; the host app (or another ASGI app) under uvicorn with N
workers, and the bare cache endpoint (lib/bare_tiles.py)."""

from __future__ import annotations

import asyncio
import contextlib
import os
import socket
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO

import httpx
import psutil
from settings import DATABASE, LOOPBACK

from lib import API, ROOT, services
from lib.cadastre import host_environment

Launch = Callable[[int, "IO[bytes] | int"], subprocess.Popen]  # port, log -> the server's process
TILE_PATH = "/gis/plots/{z}/{x}/{y}.pbf"  # the host's plot tiles
READY_S = 60.0


def free_port() -> int:
    """A free loopback port of VEXA_BENCH_PORTS ("first-last"; any free port when unset)."""
    first, _, last = os.environ.get("VEXA_BENCH_PORTS", "0-0").partition("-")
    for port in range(int(first), int(last or first) + 1):
        with socket.socket() as s:
            try:
                s.bind((LOOPBACK, port))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError(f"no free port in VEXA_BENCH_PORTS={os.environ['VEXA_BENCH_PORTS']}")


@dataclass
class Server:
    """A server to start on `requested_port` (a free port when 0) each time the block is entered:
    `launch(port, log)` starts its process, writing to `log_path` (nowhere when None); ready once
    it answers `ready_path` (a tile far from any plot when None). `tile_path` is the path of a
    tile with holes {z}, {x} and {y}."""

    name: str
    launch: Launch
    tile_path: str = TILE_PATH
    ready_path: str | None = "/gis/layers/"
    log_path: Path | None = None
    requested_port: int = 0
    port: int = 0
    process: subprocess.Popen | None = field(default=None, repr=False)

    def path(self, z: int, x: int, y: int) -> str:
        return self.tile_path.format(z=z, x=x, y=y)

    async def __aenter__(self) -> Server:
        self.port = self.requested_port or free_port()
        if self.log_path is None:
            self.process = self.launch(self.port, subprocess.DEVNULL)
        else:
            self.log_path.parent.mkdir(parents=True, exist_ok=True)
            with open(self.log_path, "wb") as log:
                self.process = self.launch(self.port, log)
        try:
            await self._until_serving()
        except BaseException:  # failed, cancelled or interrupted while waiting: no server left behind
            self.stop()
            raise
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.stop()

    async def _until_serving(self) -> None:
        path = self.ready_path or self.path(18, 0, 0)
        deadline = time.monotonic() + READY_S
        async with httpx.AsyncClient(base_url=f"http://{LOOPBACK}:{self.port}", timeout=READY_S) as client:
            while self.process.poll() is None and time.monotonic() < deadline:
                try:
                    await client.get(path)
                    return
                except httpx.TransportError:
                    await asyncio.sleep(0.1)
        raise RuntimeError(f"{self.name} did not start: see {self.log_path or 'its output (not kept)'}")

    def stop(self) -> None:
        """Stop the server and every process it started (lighttpd leaves its FastCGI processes running)."""
        if self.process is None:
            return
        try:
            children = psutil.Process(self.process.pid).children(recursive=True)
        except psutil.NoSuchProcess:
            children = []
        self.process.terminate()
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None
        for child in children:
            with contextlib.suppress(psutil.NoSuchProcess):
                child.terminate()
        for child in psutil.wait_procs(children, timeout=10)[1]:
            with contextlib.suppress(psutil.NoSuchProcess):
                child.kill()


def popen(command: list[str], log: IO[bytes] | int, env: dict[str, str] | None = None,
          cwd: Path | None = None) -> subprocess.Popen:
    """A server's process, writing to `log`, ended with the benchmark's process however that ends."""
    return subprocess.Popen(command, cwd=cwd, env=env, stdout=log, stderr=log, preexec_fn=services.ends_with_its_parent)


def uvicorn(app: str, env: dict[str, str], workers: int = 1, cwd: Path = API, python: str = sys.executable,
            log_config: Path | None = None, access_log: bool = False) -> Launch:
    """An ASGI app under uvicorn with `workers` processes on 127.0.0.1, in `cwd` with the environment
    `env`; `log_config` is a logging configuration file for uvicorn's --log-config."""
    def launch(port: int, log: IO[bytes] | int) -> subprocess.Popen:
        command = [python, "-m", "uvicorn", app, "--host", LOOPBACK, "--port", str(port), "--workers", str(workers),
                   "--log-level", "warning"]
        command += ["--log-config", str(log_config)] if log_config else []
        return popen(command + ([] if access_log else ["--no-access-log"]), log, env, cwd)

    return launch


def host(database: str = DATABASE, redis_db: int = 0, workers: int = 1, *, name: str = "vexa",
         checkout: Path = ROOT, env: dict[str, str] | None = None, log_path: Path | None = None,
         log_config: Path | None = None, access_log: bool = False, port: int = 0) -> Server:
    """The host app (api/main.py of `checkout`: this one, or another under the python of its own
    .venv) on `database` and Redis database `redis_db` of the project's servers, `env` added."""
    checkout = checkout.resolve()
    python = sys.executable if checkout == ROOT else str(checkout / ".venv" / "bin" / "python")
    environment = {**host_environment(database, redis_db), **(env or {})}
    return Server(name, uvicorn("main:app", environment, workers, checkout / "api", python, log_config, access_log),
                  log_path=log_path, requested_port=port)


def bare_endpoint(workers: int, redis_db: int, log_path: Path | None = None) -> Server:
    """lib/bare_tiles.py under uvicorn: the cached bytes of the host's tile URLs, straight from Redis."""
    return Server("bare endpoint", uvicorn("lib.bare_tiles:app", host_environment(redis_db=redis_db), workers,
                                           ROOT / "bench"), ready_path=None, log_path=log_path)
