// Plot numbers as labels from zoom 17, one a plot. A plot cut by tile edges comes in several
// pieces, each of which a symbol layer on the tiles would label; the labels are therefore points
// of their own, at the middle of the box of all the pieces drawn, refreshed when the map settles.
"use strict";

const PLOT_LABELS_FROM_ZOOM = 17;

function plotLabelPoints(map) {
  const boxes = new Map();
  for (const f of map.queryRenderedFeatures({ layers: ["plots-fill"] })) {
    const rings = f.geometry.type === "Polygon" ? [f.geometry.coordinates[0]] : f.geometry.coordinates.map((p) => p[0]);
    const box = boxes.get(f.properties.ID) || { no: f.properties.PLOT_NO, w: Infinity, s: Infinity, e: -Infinity, n: -Infinity };
    for (const [lng, lat] of rings.flat()) {
      box.w = Math.min(box.w, lng); box.e = Math.max(box.e, lng);
      box.s = Math.min(box.s, lat); box.n = Math.max(box.n, lat);
    }
    boxes.set(f.properties.ID, box);
  }
  return [...boxes].map(([id, b]) => ({
    type: "Feature", id, properties: { ID: id, PLOT_NO: b.no },
    geometry: { type: "Point", coordinates: [(b.w + b.e) / 2, (b.s + b.n) / 2] },
  }));
}

function addPlotLabels(map) {
  let shown = "";
  map.on("load", () => {
    map.addSource("plot-labels", { type: "geojson", data: { type: "FeatureCollection", features: [] } });
    // Glyphs are drawn in the browser from a local font (the style names no glyph server).
    map.addLayer({
      id: "plots-label", type: "symbol", source: "plot-labels", minzoom: PLOT_LABELS_FROM_ZOOM,
      metadata: { "vexa:layer": "plots" },
      layout: { "text-field": ["get", "PLOT_NO"], "text-font": ["DejaVu Sans"], "text-size": 11 },
      paint: { "text-color": "#3b3324", "text-halo-color": "#ffffff", "text-halo-width": 1.2 },
    });
  });
  map.on("idle", () => {
    if (!map.getSource("plot-labels")) return;
    const features = map.getZoom() >= PLOT_LABELS_FROM_ZOOM - 0.5 ? plotLabelPoints(map) : [];
    const key = features.map((f) => f.id + ":" + f.geometry.coordinates.join(",")).join(";");
    if (key !== shown) { shown = key; map.getSource("plot-labels").setData({ type: "FeatureCollection", features }); }
  });
}
