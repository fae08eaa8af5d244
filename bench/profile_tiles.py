#!/usr/bin/env python3
"""Where one tile worker spends its CPU on the peers replay: CPU per request and a py-spy profile.

    python bench/profile_tiles.py warm              # the host app, replaying on a filled cache
    python bench/profile_tiles.py cold              # the host app, Redis emptied first
    python bench/profile_tiles.py bare              # the bare cache endpoint, on the filled cache
    python bench/profile_tiles.py warm --checkout ../other-clone   # another checkout's host app,
                                                                   # under its own .venv's python

One uvicorn process (no supervisor: the process is the worker) serves the replay of bench/peers.py
(the same plan, lean client and source addresses: lib/replay.py) from the cadastre bench/peers.py loads. The
worker's CPU seconds (user + system, read from /proc before and after) divided by the requests
give its CPU per request; py-spy samples it meanwhile (100 Hz, native frames off, idle samples
dropped) and the functions with the largest share of samples are printed, by own time and by
time including callees. `warm` and `bare` first replay once uncounted to fill the cache.

py-spy must be installed (pip install py-spy) and allowed to read other processes (root, or
ptrace_scope 0). Run nothing else meanwhile: this is one process's CPU, on a machine it shares
with the load generator, PostgreSQL and Redis.
"""

from __future__ import annotations

import argparse
import asyncio
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

import psutil

from lib import ROOT, yardsticks
from lib.cadastre import cadastre_database, plot_extent
from lib.clients import redis_client
from lib.replay import http_replay, viewport_plan
from lib.servers import bare_endpoint, host
from lib.tile_module import tile_module

REDIS_DB = 4  # the peers replay's

FRAME_NOISE = ("<module>", "run (asyncio/runners.py", "run_until_complete", "run_forever", "_run_once", "_run (asyncio/events.py")


def aggregate(raw: Path) -> tuple[Counter, Counter, int]:
    """Own and inclusive sample counts per function from py-spy's raw (collapsed stacks) output."""
    own, inclusive, total = Counter(), Counter(), 0
    for line in raw.read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        if not stack or not count.isdigit():
            continue
        n = int(count)
        frames = [f for f in stack.split(";") if f and not f.startswith(("process ", "thread "))]
        if not frames:
            continue
        total += n
        own[frames[-1]] += n
        for frame in set(frames):
            inclusive[frame] += n
    return own, inclusive, total


def print_top(title: str, counts: Counter, total: int, top: int) -> None:
    print(f"\n{title} (share of {total} busy samples):")
    shown = 0
    for frame, n in counts.most_common():
        if frame.startswith(FRAME_NOISE):
            continue
        print(f"  {100 * n / total:5.1f} %  {frame[:150]}")
        shown += 1
        if shown == top:
            break


def cpu_seconds(pid: int) -> float:
    times = psutil.Process(pid).cpu_times()
    return times.user + times.system


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("warm", "cold", "bare"))
    parser.add_argument("--checkout", type=Path, help="profile the host app of another checkout (its api/ folder)")
    parser.add_argument("--plots", type=int, default=1_000_000)
    parser.add_argument("--users", type=int, default=32)
    parser.add_argument("--views", type=int, default=12)
    parser.add_argument("--seed", type=int, default=127)
    parser.add_argument("--top", type=int, default=25, help="functions to print in each list")
    parser.add_argument("--raw", type=Path, help="keep py-spy's raw profile (collapsed stacks) at this path")
    args = parser.parse_args()
    py_spy = shutil.which("py-spy") or shutil.which("py-spy", path=str(Path(sys.executable).parent))
    if not py_spy:
        parser.error("py-spy is not installed (pip install py-spy)")

    tile_module(REDIS_DB)
    database = await cadastre_database(args.plots)
    plan = viewport_plan(await plot_extent(database), args.users, args.views, args.seed)
    requests = sum(map(len, plan))
    vexa_log = yardsticks.LOGS / "vexa.log"
    if args.mode == "bare":
        server = bare_endpoint(1, REDIS_DB, yardsticks.LOGS / "bare.log")
    else:
        server = host(database, REDIS_DB, checkout=args.checkout or ROOT, log_path=vexa_log)
    redis = redis_client(REDIS_DB)
    try:
        if args.mode in ("cold", "warm"):
            await redis.flushdb()
        async with server:
            if args.mode in ("warm", "bare"):
                if args.mode == "bare":  # the bare endpoint fills nothing: let the host app fill the cache
                    async with host(database, REDIS_DB, log_path=vexa_log) as filler:
                        await http_replay("filling the cache", filler, plan)
                else:
                    await http_replay("filling the cache", server, plan)
            with tempfile.TemporaryDirectory() as folder:
                raw = Path(folder) / "profile.txt"
                spy = subprocess.Popen([py_spy, "record", "--pid", str(server.process.pid), "--rate", "100",
                                        "--format", "raw", "--output", str(raw), "--nonblocking"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                await asyncio.sleep(1.0)  # py-spy attaches
                before = cpu_seconds(server.process.pid)
                run = await http_replay(f"{args.mode}, profiled", server, plan)
                spent = cpu_seconds(server.process.pid) - before
                spy.send_signal(2)
                _, error = spy.communicate(timeout=60)
                print(f"\n{args.mode}: {requests} requests, {run.rate:.1f}/s; worker CPU {spent:.2f} s, "
                      f"{1e6 * spent / requests:.0f} us per request; answers {dict(run.statuses)}")
                if not raw.exists():
                    print(f"py-spy wrote no profile: {error.decode(errors='replace').strip()}")
                    return 1
                own, inclusive, total = aggregate(raw)
                if args.raw:
                    shutil.copyfile(raw, args.raw)
        print_top("own time", own, total, args.top)
        print_top("including callees", inclusive, total, args.top)
        return 0
    finally:
        await redis.aclose()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
