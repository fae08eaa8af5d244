"""The project's own PostGIS and Redis, as the tests and the benchmarks see and control them."""

from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import subprocess
import time
from collections.abc import Iterator

import settings

from settings import LOOPBACK, PG_PORT, REDIS_PORT, ROOT, project_database_url

SCRIPT = ROOT / "scripts" / "services.sh"
STATE = settings.STATE_DIR
PG_CTL = "/usr/lib/postgresql/15/bin/pg_ctl"
ADMIN_TOKEN = "test-admin-token"


def database_url(*, user: str = "postgres", port: int = PG_PORT, driver: str = "postgresql+asyncpg") -> str:
    """The project's database as a URL: SQLAlchemy's asyncpg form unless another driver is named."""
    return project_database_url(user=user, port=port, driver=driver)


DATABASE_URL = database_url()  # for the host and SQLAlchemy engines
PG_DSN = database_url(driver="postgresql")  # for asyncpg.connect


def run_script(*args: str) -> None:
    subprocess.run([str(SCRIPT), *args], check=True, capture_output=True, text=True)


def configure_environment() -> None:
    """Point the host and the tile module at the project's own servers."""
    os.environ.update(settings.project_environment())
    os.environ["VEXA_ADMIN_TOKEN"] = ADMIN_TOKEN


def start() -> None:
    run_script("start")


def stop_redis() -> None:
    run_script("stop-redis")


def start_redis() -> None:
    run_script("start-redis")


def restart_postgres() -> None:
    """The project's PostgreSQL shut down (fast: its sessions cut) and started again, waited for."""
    command = [PG_CTL, "-D", str(STATE / "pg"), "-l", str(STATE / "run" / "postgres.log"), "-m", "fast", "-w",
               "restart"]
    if os.geteuid() == 0:
        command = ["runuser", "-u", "postgres", "--", *command]
    subprocess.run(command, check=True, capture_output=True)


def redis_pid() -> int:
    """The project's Redis process (from its pid file, or asked, when another checkout started it)."""
    pid_file = STATE / "redis.pid"
    if pid_file.exists():
        return int(pid_file.read_text().strip())
    import redis

    return int(redis.Redis(host=LOOPBACK, port=REDIS_PORT).info("server")["process_id"])


@contextlib.contextmanager
def redis_stopped() -> Iterator[None]:
    """Redis shut down for the block, started again afterwards."""
    stop_redis()
    try:
        yield
    finally:
        start_redis()


@contextlib.contextmanager
def redis_paused() -> Iterator[None]:
    """Redis accepts connections (the kernel queues them) but answers nothing for the block."""
    pid = redis_pid()
    os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.05)


def ends_with_its_parent() -> None:
    """preexec_fn of a server a test starts: SIGKILL for it when the test process dies, however
    it dies (a server left behind would hold ports, connections or the change listener's lock)."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
