"""What a test needs to run the host app as a real server: a free loopback port, the directory its
log and a browser's screenshots go to, and the app under uvicorn on the project's servers."""

from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sys
import time
from collections.abc import Iterator

import httpx
import services

ARTIFACTS = services.ROOT / "test-artifacts"  # screenshots and server logs of a run (ignored by git)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def uvicorn_app(log_name: str = "uvicorn.log", setup: str = "") -> Iterator[str]:
    """The host app under uvicorn on a free port of the loopback, its base URL, its log in
    ARTIFACTS / `log_name`. `setup`, when given, is Python the server's process runs before it
    imports the app, as a host configures the modules (a module constant set)."""
    port = free_port()
    ARTIFACTS.mkdir(exist_ok=True)
    log_path = ARTIFACTS / log_name
    log = open(log_path, "wb")
    if setup:
        command = [sys.executable, "-c", f"{setup}\nimport uvicorn\n"
                   f"uvicorn.run('main:app', host='127.0.0.1', port={port}, log_level='warning')"]
    else:
        command = [sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(port),
                   "--log-level", "warning"]
    server = subprocess.Popen(command, cwd=services.ROOT / "api", env=dict(os.environ), stdout=log, stderr=log,
                              preexec_fn=services.ends_with_its_parent)
    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(150):
            try:
                httpx.get(base + "/gis/layers/", timeout=1)
                break
            except httpx.TransportError:
                if server.poll() is not None:
                    break
                time.sleep(0.1)
        else:
            raise RuntimeError(f"uvicorn did not answer within 15 s; see {log_path}")
        if server.poll() is not None:
            raise RuntimeError(f"uvicorn ended with {server.returncode}; see {log_path}")
        yield base
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(5)
        log.close()
