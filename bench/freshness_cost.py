#!/usr/bin/env python3
"""What keeping the cache fresh costs: the viewport replay on this checkout's host and on the code before.

    python bench/freshness_cost.py --baseline /work/wt-fresh-base                 # the full run
    python bench/freshness_cost.py --baseline /work/wt-fresh-base --plots 20000 --users 8 --views 3 \\
        --cost-rounds 1                                                            # a quick check

On the hosts of lib/freshness.py, `--cost-rounds` rounds of the replay (lib/replay.py, no pauses),
cold (Redis emptied) then warm, with this checkout (the change listener and the checked write) and
with `--baseline` (its api/ under its .venv's python, on the same servers), in alternating order;
tiles/s, p50 and p99 of each run, then the medians and new / baseline. About 5 minutes at 3 rounds
on 2 cores.
"""

from __future__ import annotations

import asyncio
import statistics
import sys
from pathlib import Path

from lib import ROOT
from lib.freshness import Setting, git_commit, parsed, parser, prepared
from lib.replay import IN_FLIGHT, TABLE_HEAD, Run, SqlFloor, http_replay, viewport_plan, warm_up


async def cost(setting: Setting) -> None:
    args, baseline = setting.args, Path(setting.args.baseline)
    plan = viewport_plan(setting.extent, args.users, args.views, args.seed)
    distinct = sorted({tile for user in plan for tile in user})
    print(f"\ncost: {args.cost_rounds} round(s), each the replay cold (Redis emptied) then warm, with the "
          f"listener and the checked write (this checkout, {git_commit(ROOT)}) and without ({baseline}, "
          f"{git_commit(baseline)}), alternating; {args.users} users x {args.views} views = "
          f"{sum(map(len, plan))} requests for {len(distinct)} distinct tiles, {IN_FLIGHT} in flight per user",
          flush=True)
    floor = SqlFloor(setting.pool, set(distinct))
    print(f"  database warmed: {len(distinct)} tiles in {await floor.warm(distinct):.1f} s")
    hosts = {"new": setting.new_host(), "baseline": setting.baseline_host()}
    runs: dict[tuple[str, str], list[Run]] = {}
    samples = distinct[:: max(1, len(distinct) // 12)][:12]
    print(f"\n{TABLE_HEAD}")
    for n in range(args.cost_rounds):
        for name in (("baseline", "new") if n % 2 == 0 else ("new", "baseline")):
            host = hosts[name]
            async with host.server() as server:
                if n == 0:
                    host.describe(server)
                await warm_up(server, samples, args.users)
                await setting.redis.flushdb()
                for phase in ("cold", "warm"):
                    run = await http_replay(f"{name} {phase} (round {n + 1})", server, plan)
                    runs.setdefault((name, phase), []).append(run)
    print("\n  medians over the rounds (tiles/s, p50, p99), new / baseline:")
    for phase in ("cold", "warm"):
        figures = {}
        for name in ("new", "baseline"):
            rates = [r.rate for r in runs[name, phase]]
            figures[name] = (statistics.median(rates), statistics.median(r.p(0.5) for r in runs[name, phase]),
                             statistics.median(r.p(0.99) for r in runs[name, phase]))
            failed = sum(r.failed for r in runs[name, phase])
            print(f"    {phase} {name:<9} {figures[name][0]:8.1f}/s (rounds {min(rates):.1f} to {max(rates):.1f})   "
                  f"p50 {figures[name][1]:7.1f} ms   p99 {figures[name][2]:7.1f} ms"
                  + (f"   answers other than 200/204: {failed}" if failed else ""))
        new, old = figures["new"], figures["baseline"]
        print(f"    {phase} new / baseline: tiles/s x{new[0] / old[0]:.3f}, p50 x{new[1] / old[1]:.3f}, "
              f"p99 x{new[2] / old[2]:.3f}")


async def main() -> int:
    options = parser(__doc__, baseline="a checkout of the code before the feature, with its .venv built")
    options.add_argument("--users", type=int, default=32, help="map users of the replay")
    options.add_argument("--views", type=int, default=12, help="views per user and plan")
    options.add_argument("--cost-rounds", type=int, default=3)
    args = parsed(options, "users", "views", "cost_rounds")
    if not args.baseline:
        options.error("--baseline is needed: the cost is measured against that checkout")
    async with prepared(args) as setting:
        await cost(setting)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
