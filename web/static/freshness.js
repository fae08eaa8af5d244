// Keeps the open map's tiles fresh. The tile service announces each layer's version on
// /gis/tile-versions (server-sent events): once at connection, then each time an edit of the layer
// has reached its tile cache. A layer whose version changed has its source pointed at the tile URL
// of the new version (the v its TileJSON tile URL carries), and MapLibre reloads the tiles in view
// without moving the map.
"use strict";

const TILE_VERSIONS_URL = "/gis/tile-versions";
const STREAM_REOPEN_MS = 3000;  // after an error answer, which EventSource does not retry by itself

// `url` (a tile URL template) with its query parameter v set to `version`; the {z}/{x}/{y} of
// the path are kept as they are.
function withVersion(url, version) {
  const at = url.indexOf("?");
  const params = new URLSearchParams(at < 0 ? "" : url.slice(at + 1));
  params.set("v", version);
  return (at < 0 ? url : url.slice(0, at)) + "?" + params;
}

function versionOf(url) {
  const at = url.indexOf("?");
  return at < 0 ? null : new URLSearchParams(url.slice(at + 1)).get("v");
}

// Resolves once the source `layer` has reloaded its tiles after a change of its tile URLs: its
// "content" event (the reload starts), then the map's next idle (every tile in view loaded).
function tilesReloaded(map, layer) {
  return new Promise((resolve) => {
    const started = (e) => {
      if (e.sourceId !== layer || e.sourceDataType !== "content") return;
      map.off("sourcedata", started);
      map.once("idle", resolve);
    };
    map.on("sourcedata", started);
  });
}

// Follows the versions stream for the sources named in `tiles` ({layer: [tile URL, ...]}, as the
// style gave them). hooks.before(layer) is called just before a layer's tiles are reloaded, and
// hooks.after(layer, what before returned) once they are. Returns { close() }.
function followTileVersions(map, tiles, hooks) {
  const drawn = {}, wanted = {}, busy = {};
  for (const [layer, urls] of Object.entries(tiles)) drawn[layer] = versionOf(urls[0]);

  // One reload at a time per layer; a version announced meanwhile is applied after it.
  async function refresh(layer) {
    busy[layer] = true;
    try {
      while (wanted[layer] !== drawn[layer] && map.getSource(layer)) {
        const version = wanted[layer];
        const before = hooks.before(layer);
        tiles[layer] = tiles[layer].map((url) => withVersion(url, version));
        const reloaded = tilesReloaded(map, layer);
        map.getSource(layer).setTiles(tiles[layer]);
        drawn[layer] = version;
        await reloaded;
        hooks.after(layer, before);
      }
    } finally {
      busy[layer] = false;
    }
  }

  // The first event after each (re)connection carries the current versions, so that a change
  // missed while the stream was down is caught up.
  function announced(versions) {
    for (const [layer, version] of Object.entries(versions)) {
      if (!(layer in tiles) || typeof version !== "string") continue;
      wanted[layer] = version;
      if (!busy[layer] && version !== drawn[layer]) {
        refresh(layer).catch((error) => console.warn(`tiles of ${layer} not refreshed`, error));
      }
    }
  }

  let stream = null, closed = false;
  function open() {
    stream = new EventSource(TILE_VERSIONS_URL);
    stream.onmessage = (event) => {
      let versions;
      try { versions = JSON.parse(event.data); } catch (error) { return; }
      if (versions && typeof versions === "object") announced(versions);
    };
    // A dropped connection is reopened by EventSource itself (after the stream's retry time);
    // a connection refused with an error answer is closed for good, and opened here again.
    stream.onerror = () => {
      if (stream.readyState === EventSource.CLOSED && !closed) {
        setTimeout(() => { if (!closed) open(); }, STREAM_REOPEN_MS);
      }
    };
  }
  open();
  return { close() { closed = true; stream.close(); } };
}
