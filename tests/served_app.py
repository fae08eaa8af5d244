"""What a test needs to run the host app as a real server: a free loopback port, and the
directory its log and a browser's screenshots go to."""

from __future__ import annotations

import socket

import services

ARTIFACTS = services.ROOT / "test-artifacts"  # screenshots and server logs of a run (ignored by git)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
