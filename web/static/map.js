// The demo host's cadastral map: the five vector tile layers of /gis, each a source built from the
// layer's TileJSON, plot numbers from zoom 17, and a survey plan for any plot clicked. The plot
// search is in search.js, the legend and layer switches in legend.js, the plot numbers in
// labels.js, and what keeps the tiles and the selected plot fresh after an edit in freshness.js.
"use strict";

const LAND_USE_COLOURS = [
  "match", ["get", "GENERAL_LU"],
  "Residential", "#f3e3b5",
  "Commercial", "#f4b6a6",
  "Institutional", "#c9d7f0",
  "Recreational", "#bfe0b0",
  "Mixed Use", "#e6c8e8",
  "Industrial", "#d6cbb9",
  "#eeeeee",
];

// The tile service allows 40 tile requests per second and client address, and one viewport of
// five layers can ask for more. Tiles are therefore fetched through a protocol of our own that
// keeps to 30 a second and, should the service still refuse one (429), asks again shortly.
const TILES_PER_SECOND = 30;
const recentStarts = [];

async function tileSlot() {
  for (;;) {
    const now = performance.now();
    while (recentStarts.length && now - recentStarts[0] > 1000) recentStarts.shift();
    if (recentStarts.length < TILES_PER_SECOND) { recentStarts.push(now); return; }
    await new Promise((resolve) => setTimeout(resolve, 1000 - (now - recentStarts[0]) + 5));
  }
}

// A tile URL of a TileJSON document as one of that protocol: its address and query string kept,
// its scheme replaced. Tiles are then asked for with the page's own scheme, so that a page served
// over https behind a proxy never asks for http tiles.
function protocolUrl(url) {
  const absolute = /^[a-z][a-z0-9+.-]*:\/\//i.test(url) ? url : location.origin + (url.startsWith("/") ? "" : "/") + url;
  return absolute.replace(/^[a-z][a-z0-9+.-]*:\/\//i, "vexa-tiles://");
}

async function fetchTile(params, abortController) {
  const url = params.url.replace(/^vexa-tiles:\/\//, location.protocol + "//");
  for (let attempt = 0; ; attempt++) {
    await tileSlot();
    const response = await fetch(url, { signal: abortController.signal });
    if (response.status === 429 && attempt < 5) {
      await new Promise((resolve) => setTimeout(resolve, 400 * (attempt + 1)));
      continue;
    }
    if (response.status === 204) return { data: new ArrayBuffer(0) };  // nothing to draw here
    if (!response.ok) throw new Error(`tile ${url}: ${response.status}`);
    // No ETag is handed on: MapLibre ends the reload of a tile whose ETag did not change without
    // a repaint, and when that tile is the last one the map waits for, its "idle" event (which the
    // plot labels and the refresh of the selected plot wait for) never comes.
    return { data: await response.arrayBuffer() };
  }
}

maplibregl.addProtocol("vexa-tiles", fetchTile);

// The vector source of one layer, from the layer's TileJSON document.
function vectorSource(tileJson) {
  return {
    type: "vector",
    tiles: tileJson.tiles.map(protocolUrl),
    minzoom: tileJson.minzoom,
    maxzoom: tileJson.maxzoom,
    bounds: tileJson.bounds,
  };
}

function styleLayers(info) {
  const from = (name) => info[name].min_zoom;
  return [
    { id: "background", type: "background", paint: { "background-color": "#f7f6f2" } },
    { id: "cadzones-fill", type: "fill", source: "cadzones", "source-layer": "cadzones", minzoom: from("cadzones"),
      paint: { "fill-color": "#ffffff", "fill-opacity": 0.6 } },
    { id: "plots-fill", type: "fill", source: "plots", "source-layer": "plots", minzoom: from("plots"),
      paint: { "fill-color": LAND_USE_COLOURS, "fill-opacity": 0.9 } },
    { id: "plots-outline", type: "line", source: "plots", "source-layer": "plots", minzoom: from("plots"),
      paint: { "line-color": "#8a7d5c", "line-width": ["interpolate", ["linear"], ["zoom"], 13, 0.2, 18, 1.2] } },
    { id: "plots-selected", type: "line", source: "plots", "source-layer": "plots", minzoom: from("plots"),
      filter: ["==", ["get", "ID"], -1], paint: { "line-color": "#d00000", "line-width": 3 } },
    // Boundaries as polygon outlines: tiles clip polygons at their edges (plus a buffer), and an
    // outline drawn as a line layer would show those cuts as false boundaries along tile edges.
    { id: "cadzones-line", type: "fill", source: "cadzones", "source-layer": "cadzones", minzoom: from("cadzones"),
      paint: { "fill-color": "rgba(0, 0, 0, 0)", "fill-outline-color": "#5b6f8f" } },
    { id: "districts-line", type: "fill", source: "districts", "source-layer": "districts", minzoom: from("districts"),
      paint: { "fill-color": "rgba(0, 0, 0, 0)", "fill-outline-color": "#2f4b7c" } },
    { id: "lgas-line", type: "fill", source: "lgas", "source-layer": "lgas", minzoom: from("lgas"),
      paint: { "fill-color": "rgba(75, 29, 94, 0.04)", "fill-outline-color": "#4b1d5e" } },
    { id: "beacons-circle", type: "circle", source: "beacons", "source-layer": "beacons", minzoom: from("beacons"),
      paint: { "circle-radius": ["interpolate", ["linear"], ["zoom"], 12, 1, 16, 2.5, 19, 4],
               "circle-color": "#111111", "circle-stroke-color": "#ffffff", "circle-stroke-width": 0.5 } },
  ];
}

function escapeHtml(value) {
  return String(value).replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
}

// The plot shown in the details panel ({ properties, planOpen, stale }), or null.
let selected = null;
let planRequests = 0;  // a plan that loads after a later one was asked for is not shown

function showPlot(map, properties) {
  selected = { properties, planOpen: false, stale: false };
  planRequests++;
  document.getElementById("plan-box").innerHTML = "";
  renderDetails(map, properties);
}

function renderDetails(map, properties) {
  const rows = ["PLOT_NO", "STATUS", "GENERAL_LU", "DETAIL_LU", "AREA_SYSTEM", "CADZONE", "file_no"]
    .map((k) => `<tr><td>${k}</td><td>${escapeHtml(properties[k] ?? "")}</td></tr>`).join("");
  const details = document.getElementById("details");
  details.innerHTML = `<table>${rows}</table><button id="plan-button">Survey plan</button>`;
  map.setFilter("plots-selected", ["==", ["get", "ID"], properties.ID]);
  document.getElementById("plan-button").onclick = () => openPlan(properties, false);
}

// The survey plan of a plot in the plan panel. A refreshed plan replaces the one shown once it has
// loaded, under an address of its own: the page would otherwise reuse the image it already holds.
function openPlan(properties, refreshing) {
  const box = document.getElementById("plan-box");
  const asked = ++planRequests;
  if (!refreshing) box.innerHTML = "<p>Drawing the survey plan\u2026</p>";
  selected.planOpen = true;
  const img = new Image();
  img.id = "plan";
  img.alt = `Survey plan of plot ${properties.PLOT_NO}`;
  img.onload = () => {
    if (asked !== planRequests) return;
    box.innerHTML = `<p class="plan-actions"><a id="plan-pdf" href="/plans/${encodeURIComponent(properties.ID)}.pdf" ` +
      'target="_blank" rel="noopener">Print (PDF)</a> <span>print at actual size (100 %) for a true scale</span></p>';
    box.appendChild(img);
  };
  img.onerror = () => {
    if (asked === planRequests) box.innerHTML = '<p class="error">The survey plan could not be drawn.</p>';
  };
  img.src = `/plans/${encodeURIComponent(properties.ID)}.png` + (refreshing ? `?refresh=${asked}` : "");
}

// What the loaded tiles draw of the selected plot: its attributes and the outlines of its pieces
// (one per tile it crosses) as one text; null when no loaded tile holds it.
function selectedPlotDrawing(map) {
  if (!selected || !map.getSource("plots")) return null;
  const id = selected.properties.ID;
  const pieces = map.querySourceFeatures("plots", { sourceLayer: "plots", filter: ["==", ["get", "ID"], id] });
  if (!pieces.length) return null;
  return { id, properties: pieces[0].properties,
           outline: pieces.map((f) => JSON.stringify(f.geometry.coordinates)).sort().join("|") };
}

function sameProperties(a, b) {
  const keys = new Set([...Object.keys(a), ...Object.keys(b)]);
  return [...keys].every((k) => a[k] === b[k]);
}

// After the plots' tiles were reloaded for a new version: when the selected plot's attributes or
// outline differ from what was drawn before (`before`, taken over the same tiles), its details are
// shown again and an open plan is drawn anew. A plot outside the loaded tiles is checked once
// they hold it again.
function refreshSelectedPlot(map, before) {
  if (!selected) return;
  const now = selectedPlotDrawing(map);
  if (!now) { selected.stale = true; return; }
  selected.stale = false;
  const moved = !before || before.id !== now.id || before.outline !== now.outline;
  if (!moved && sameProperties(now.properties, selected.properties)) return;
  selected.properties = now.properties;
  renderDetails(map, now.properties);
  if (selected.planOpen) openPlan(now.properties, true);
}

async function fetchJson(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  return response.json();
}

async function start() {
  const names = Object.keys((await fetchJson("/gis/layers/")).data.layers);
  const documents = await Promise.all(names.map((name) => fetchJson(`/gis/${encodeURIComponent(name)}/tilejson.json`)));
  const sources = {}, info = {};
  names.forEach((name, i) => {
    sources[name] = vectorSource(documents[i]);
    info[name] = { min_zoom: documents[i].minzoom };
  });
  const plots = documents[names.indexOf("plots")];
  const center = plots && plots.center ? plots.center.slice(0, 2) : [7.35, 8.95];
  const map = new maplibregl.Map({
    container: "map",
    style: { version: 8, sources, layers: styleLayers(info) },
    center,
    zoom: 14,
    maxZoom: 20,
    hash: true,  // the view in the URL: a link opens the same place
    attributionControl: false,
  });
  addSearch(map, showPlot);
  map.addControl(new maplibregl.NavigationControl(), "top-left");
  addLegend(map, LAND_USE_COLOURS);
  addPlotLabels(map);
  map.addControl(new maplibregl.ScaleControl({ unit: "metric" }), "bottom-left");
  map.on("click", "plots-fill", (e) => showPlot(map, e.features[0].properties));
  map.on("mouseenter", "plots-fill", () => { map.getCanvas().style.cursor = "pointer"; });
  map.on("mouseleave", "plots-fill", () => { map.getCanvas().style.cursor = ""; });
  map.on("load", () => {
    const tiles = Object.fromEntries(Object.entries(sources).map(([name, source]) => [name, source.tiles]));
    window.vexaTileVersions = followTileVersions(map, tiles, {
      before: (layer) => (layer === "plots" ? selectedPlotDrawing(map) : null),
      after: (layer, before) => { if (layer === "plots") refreshSelectedPlot(map, before); },
    });
  });
  map.on("idle", () => { if (selected && selected.stale) refreshSelectedPlot(map, null); });
  window.vexaMap = map;
  map.once("idle", () => { window.vexaReady = true; });
}

start().catch((error) => { console.error("map start-up failed", error); });
