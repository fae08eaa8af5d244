"""The tile servers bench/peers.py replays against: vexa, its bare cache endpoint, and two general
tile servers installed as yardsticks into bench/.peers/ (TiPg from PyPI, MapServer from Debian).

Each serves the plots of one database on a free loopback port; `TileServer` starts one, waits until
it answers and stops it.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO

import httpx
import psutil

from common import PG_PORT, REDIS_PORT, ROOT, free_port, pg_url, until_serving, uvicorn

PEERS = ROOT / "bench" / ".peers"
LOGS = PEERS / "logs"
TIPG_VENV = PEERS / "tipg"
TIPG_PYTHON = TIPG_VENV / "bin" / "python"
TIPG_REQUIREMENTS = ["tipg==1.6.1", "uvicorn", "uvloop", "httptools"]
MAPSERVER_DIR = PEERS / "mapserver"
MAPSERVER_PACKAGES = ["mapserver-bin", "cgi-mapserver", "lighttpd"]
MAPSERV = Path("/usr/lib/cgi-bin/mapserv")  # FastCGI-capable, from cgi-mapserver
LIGHTTPD = Path("/usr/sbin/lighttpd")
TIPG_MAX_FEATURES = 30000  # the tile module's largest feature limit, so that no tile is cut short
MAPSERVER_EDGE_BUFFER = 4  # pixels of a 256-pixel tile: the tile module's buffer at zoom 14 (64 of 4096)

MAPFILE = """\
MAP
  NAME "plots"
  EXTENT -20037508.342789244 -20037508.342789244 20037508.342789244 20037508.342789244
  SIZE 256 256
  UNITS METERS
  IMAGETYPE "mvt"
  PROJECTION "init=epsg:3857" END
  OUTPUTFORMAT
    NAME "mvt"
    DRIVER MVT
    FORMATOPTION "EXTENT=4096"
    FORMATOPTION "EDGE_BUFFER={edge_buffer}"
  END
  LAYER
    NAME "plots"
    TYPE POLYGON
    STATUS ON
    CONNECTIONTYPE POSTGIS
    CONNECTION "host=127.0.0.1 port={pg_port} dbname={database} user=postgres"
    # The plots that intersect the tile itself (!BOX!), as the other servers choose them; the
    # edge buffer only widens the geometry kept around each.
    DATA 'GEOMETRY from (SELECT * FROM "GIS"."PLOT" WHERE ST_Intersects("GEOMETRY", !BOX!)) AS t using unique ID using srid=3857'
    PROCESSING "CLOSE_CONNECTION=DEFER"
    PROJECTION "init=epsg:3857" END
    METADATA
      "gml_include_items" "all"
      "gml_types" "auto"
    END
  END
END
"""

MAPSERVER_CONFIG = """\
CONFIG
  ENV
    MS_MAPFILE "{mapfile}"
  END
END
"""

LIGHTTPD_CONFIG = """\
server.modules = ("mod_fastcgi")
server.document-root = "{folder}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{folder}/lighttpd-error.log"
server.max-fds = 8192
server.max-connections = 4096
server.max-keep-alive-requests = 100000
server.max-keep-alive-idle = 60
fastcgi.server = ("/mapserv" => ((
    "socket" => "{folder}/mapserv.sock",
    "bin-path" => "{mapserv}",
    "max-procs" => {workers},
    "bin-environment" => ("MAPSERVER_CONFIG_FILE" => "{folder}/mapserver.conf"),
    "check-local" => "disable",
)))
"""


def tipg_installed() -> bool:
    return TIPG_PYTHON.exists() and subprocess.run([TIPG_PYTHON, "-c", "import tipg"], capture_output=True).returncode == 0


def mapserver_installed() -> bool:
    return MAPSERV.exists() and LIGHTTPD.exists()


def install_peers() -> None:
    """TiPg into a virtual environment of bench/.peers/, MapServer and lighttpd from Debian."""
    if not tipg_installed():
        print(f"installing TiPg into {TIPG_VENV}", flush=True)
        subprocess.run([sys.executable, "-m", "venv", "--clear", TIPG_VENV], check=True)
        subprocess.run([TIPG_PYTHON, "-m", "pip", "install", "-q", *TIPG_REQUIREMENTS], check=True)
    if not mapserver_installed():
        print(f"installing {', '.join(MAPSERVER_PACKAGES)} from Debian", flush=True)
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "update", "-q"], check=True)
        subprocess.run(sudo + ["apt-get", "install", "-y", "-q", "--no-install-recommends", *MAPSERVER_PACKAGES],
                       check=True, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})


@dataclass
class TileServer:
    """A tile server to start on a free loopback port: `launch(port, log)` starts its process,
    `tile_path` is the path of a tile with holes {z}, {x} and {y}."""

    name: str
    tile_path: str
    launch: Callable[[int, IO[bytes]], subprocess.Popen]
    port: int = 0
    process: subprocess.Popen | None = field(default=None, repr=False)

    def path(self, z: int, x: int, y: int) -> str:
        return self.tile_path.format(z=z, x=x, y=y)

    @property
    def log_path(self) -> Path:
        return LOGS / f"{self.name.split()[0].lower()}.log"

    async def __aenter__(self) -> TileServer:
        LOGS.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        with open(self.log_path, "wb") as log:
            self.process = self.launch(self.port, log)
        try:
            async with httpx.AsyncClient(base_url=f"http://127.0.0.1:{self.port}", timeout=60) as client:
                await until_serving(client, 600, self.path(18, 0, 0))  # a tile far from any plot
        except Exception:
            self.stop()
            raise RuntimeError(f"{self.name} did not start: see {self.log_path}") from None
        except BaseException:  # cancelled or interrupted while waiting: no server left behind
            self.stop()
            raise
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.stop()

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

def vexa(database: str, workers: int, redis_db: int) -> TileServer:
    env = {**os.environ, "DATABASE_URL": "postgresql+asyncpg://" + pg_url(database).split("://")[1],
           "REDIS_HOST": "127.0.0.1", "REDIS_PORT": str(REDIS_PORT), "REDIS_DB": str(redis_db)}
    return TileServer("vexa", "/gis/plots/{z}/{x}/{y}.pbf", lambda port, log: uvicorn(port, env, workers, log))


def bare_endpoint(workers: int, redis_db: int) -> TileServer:
    env = {**os.environ, "REDIS_HOST": "127.0.0.1", "REDIS_PORT": str(REDIS_PORT), "REDIS_DB": str(redis_db)}
    return TileServer("bare endpoint", "/gis/plots/{z}/{x}/{y}.pbf",
                      lambda port, log: uvicorn(port, env, workers, log, app="bare_tiles:app", cwd=ROOT / "bench"))


def tipg(database: str, workers: int) -> TileServer:
    env = {**os.environ, "DATABASE_URL": pg_url(database), "TIPG_DB_SCHEMAS": '["GIS"]',
           "TIPG_DB_TABLES": '["GIS.PLOT"]', "TIPG_MAX_FEATURES_PER_TILE": str(TIPG_MAX_FEATURES)}
    # Run from its own folder, so that no .env of the project's configures it.
    return TileServer("TiPg", "/collections/GIS.PLOT/tiles/WebMercatorQuad/{z}/{x}/{y}",
                      lambda port, log: uvicorn(port, env, workers, log, app="tipg.main:app", cwd=TIPG_VENV,
                                                python=str(TIPG_PYTHON)))


def mapserver(database: str, workers: int) -> TileServer:
    """MapServer's MVT output as FastCGI under lighttpd, configured in bench/.peers/mapserver/."""
    def launch(port: int, log: IO[bytes]) -> subprocess.Popen:
        MAPSERVER_DIR.mkdir(parents=True, exist_ok=True)
        mapfile = MAPSERVER_DIR / "plots.map"
        mapfile.write_text(MAPFILE.format(edge_buffer=MAPSERVER_EDGE_BUFFER, pg_port=PG_PORT, database=database))
        (MAPSERVER_DIR / "mapserver.conf").write_text(MAPSERVER_CONFIG.format(mapfile=mapfile))
        config = MAPSERVER_DIR / "lighttpd.conf"
        config.write_text(LIGHTTPD_CONFIG.format(folder=MAPSERVER_DIR, port=port, mapserv=MAPSERV, workers=workers))
        return subprocess.Popen([LIGHTTPD, "-D", "-f", config], stdout=log, stderr=log)

    return TileServer("MapServer", "/mapserv?mode=tile&tilemode=gmap&tile={x}+{y}+{z}&layers=plots", launch)


def installed_peers() -> list[str]:
    """The names of the yardsticks installed here."""
    return [name for name, present in (("TiPg", tipg_installed()), ("MapServer", mapserver_installed())) if present]

