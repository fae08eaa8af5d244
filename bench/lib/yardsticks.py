"""The general tile servers the replay measures vexa against, as yardsticks: TiPg (from PyPI, into
bench/.peers/tipg) and MapServer 8 (from Debian, FastCGI under lighttpd, configured in
bench/.peers/mapserver/), each serving the plots of one database, its log in bench/.peers/logs/."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import IO

from settings import LOOPBACK, PG_PORT

from lib import ROOT
from lib.cadastre import pg_url
from lib.servers import Server, popen, uvicorn

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
    CONNECTION "host={pg_host} port={pg_port} dbname={database} user=postgres"
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


def tipg(database: str, workers: int) -> Server:
    env = {**os.environ, "DATABASE_URL": pg_url(database), "TIPG_DB_SCHEMAS": '["GIS"]',
           "TIPG_DB_TABLES": '["GIS.PLOT"]', "TIPG_MAX_FEATURES_PER_TILE": str(TIPG_MAX_FEATURES)}
    # Run from its own folder, so that no .env of the project's configures it.
    return Server("TiPg", uvicorn("tipg.main:app", env, workers, TIPG_VENV, str(TIPG_PYTHON)),
                  "/collections/GIS.PLOT/tiles/WebMercatorQuad/{z}/{x}/{y}", ready_path=None, log_path=LOGS / "tipg.log")


def mapserver(database: str, workers: int) -> Server:
    """MapServer's MVT output as FastCGI under lighttpd, configured in bench/.peers/mapserver/."""
    def launch(port: int, log: IO[bytes] | int) -> subprocess.Popen:
        MAPSERVER_DIR.mkdir(parents=True, exist_ok=True)
        mapfile = MAPSERVER_DIR / "plots.map"
        mapfile.write_text(MAPFILE.format(edge_buffer=MAPSERVER_EDGE_BUFFER, pg_host=LOOPBACK, pg_port=PG_PORT,
                                        database=database))
        (MAPSERVER_DIR / "mapserver.conf").write_text(MAPSERVER_CONFIG.format(mapfile=mapfile))
        config = MAPSERVER_DIR / "lighttpd.conf"
        config.write_text(LIGHTTPD_CONFIG.format(folder=MAPSERVER_DIR, port=port, mapserv=MAPSERV, workers=workers))
        return popen([str(LIGHTTPD), "-D", "-f", str(config)], log)

    return Server("MapServer", launch, "/mapserv?mode=tile&tilemode=gmap&tile={x}+{y}+{z}&layers=plots",
                  ready_path=None, log_path=LOGS / "mapserver.log")


def installed_peers() -> list[str]:
    """The names of the yardsticks installed here."""
    return [name for name, present in (("TiPg", tipg_installed()), ("MapServer", mapserver_installed())) if present]
