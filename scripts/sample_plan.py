#!/usr/bin/env python3
"""Render a sample survey plan to a PNG file.

    python scripts/sample_plan.py                  # plan.png from the built-in sample parcel
    python scripts/sample_plan.py --plot-id 5012   # a plot of the demo cadastre in the project's PostGIS
    python scripts/sample_plan.py --out /tmp/p.png --paper 190x160

With --plot-id, the plot, its neighbours, the roads around it and its corner beacons are read
from DATABASE_URL (or the project's own PostGIS).
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import sys
from pathlib import Path

import project  # puts the host's modules on the import path
from plans import records as survey_plans


async def from_database(plot_id: int):
    import asyncpg

    conn = await asyncpg.connect(project.database_dsn())
    try:
        return await survey_plans.records_from_database(conn, plot_id)
    finally:
        await conn.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plot-id", type=int, help="a plot of the cadastre in PostGIS")
    parser.add_argument("--out", default="plan.png", help="PNG file to write (default plan.png)")
    parser.add_argument("--paper", default="190x160", help="paper width x height in mm (default 190x160)")
    args = parser.parse_args()
    try:
        width, height = (float(v) for v in args.paper.lower().split("x"))
    except ValueError:
        parser.error("--paper takes WIDTHxHEIGHT in millimetres, for example 190x160")

    from vexa import plots

    if args.plot_id is None:
        parcels, selected, roads = survey_plans.sample_records()
    else:
        try:
            parcels, selected, roads = asyncio.run(from_database(args.plot_id))
        except survey_plans.PlotNotFound:
            parser.error(f"no plot with ID {args.plot_id}")
    parcels, selected, roads = survey_plans.drawable((parcels, selected, roads))
    image64, paper, scale, schedule = plots.generate_plot(parcels, selected, roads, "parcel_number", None, width, height)
    Path(args.out).write_bytes(base64.b64decode(image64))
    print(f"{args.out}: plan of {selected} at 1:{scale} on {paper[0]:g} x {paper[1]:g} mm", file=sys.stderr)
    for entry in schedule:
        print(f"  short edge {entry['from']} -> {entry['to']}: {entry['bearing']}  {entry['distance']} m", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
