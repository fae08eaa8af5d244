// Offline tiles: a PMTiles file written by scripts/export_tiles.py, opened from the disk and drawn
// in the map's own style (styleLayers of map.js), with no request to the tile service.
"use strict";

const offlineProtocol = new pmtiles.Protocol();
maplibregl.addProtocol("pmtiles", offlineProtocol.tile);

// The layer information styleLayers reads, from the file's vector_layers.
function offlineLayerInfo(metadata) {
  const info = {};
  for (const layer of metadata.vector_layers || []) info[layer.id] = { min_zoom: layer.minzoom ?? 0 };
  return info;
}

async function openOfflineTiles(file) {
  const map = window.vexaMap;
  const archive = new pmtiles.PMTiles(new pmtiles.FileSource(file));
  const [header, metadata] = await Promise.all([archive.getHeader(), archive.getMetadata()]);
  offlineProtocol.add(archive);
  if (window.vexaTileVersions) window.vexaTileVersions.close();  // the file's tiles never change
  const info = offlineLayerInfo(metadata);
  const known = new Set(Object.keys(info));
  const everyLayer = new Proxy(info, { get: (target, name) => target[name] || { min_zoom: 0 } });
  const layers = styleLayers(everyLayer)
    .filter((layer) => !layer.source || known.has(layer.source))
    .map((layer) => (layer.source ? { ...layer, source: "offline" } : layer));
  map.setStyle({
    version: 8,
    sources: { offline: { type: "vector", url: "pmtiles://" + file.name, maxzoom: header.maxZoom } },
    layers,
  });
  map.fitBounds([[header.minLon, header.minLat], [header.maxLon, header.maxLat]], { animate: false });
  document.getElementById("offline-name").textContent = `Offline: ${file.name} (zooms ${header.minZoom}\u2013${header.maxZoom})`;
  return { layers: [...known], minZoom: header.minZoom, maxZoom: header.maxZoom };
}

document.getElementById("offline-file").addEventListener("change", (event) => {
  const [file] = event.target.files;
  if (!file) return;
  window.vexaOffline = openOfflineTiles(file).catch((error) => {
    console.error("offline tiles could not be opened", error);
    document.getElementById("offline-name").textContent = `${file.name} is not a tile file this map can draw.`;
  });
});
