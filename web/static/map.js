// The demo host's cadastral map: the five vector tile layers of /gis, each from the minimum
// zoom the service reports, plot numbers from zoom 17, and a survey plan for any plot clicked.
// The plot search is in search.js, the legend and layer switches in legend.js, the plot numbers
// in labels.js.
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

async function fetchTile(params, abortController) {
  const url = params.url.replace(/^vexa-tiles:\/\//, location.origin + "/");
  for (let attempt = 0; ; attempt++) {
    await tileSlot();
    const response = await fetch(url, { signal: abortController.signal });
    if (response.status === 429 && attempt < 5) {
      await new Promise((resolve) => setTimeout(resolve, 400 * (attempt + 1)));
      continue;
    }
    if (response.status === 204) return { data: new ArrayBuffer(0) };  // nothing to draw here
    if (!response.ok) throw new Error(`tile ${url}: ${response.status}`);
    return { data: await response.arrayBuffer() };
  }
}

maplibregl.addProtocol("vexa-tiles", fetchTile);

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

function showPlot(map, properties) {
  const rows = ["PLOT_NO", "STATUS", "GENERAL_LU", "DETAIL_LU", "AREA_SYSTEM", "CADZONE", "file_no"]
    .map((k) => `<tr><td>${k}</td><td>${escapeHtml(properties[k] ?? "")}</td></tr>`).join("");
  const details = document.getElementById("details");
  details.innerHTML = `<table>${rows}</table><button id="plan-button">Survey plan</button>`;
  document.getElementById("plan-box").innerHTML = "";
  map.setFilter("plots-selected", ["==", ["get", "ID"], properties.ID]);
  document.getElementById("plan-button").onclick = () => {
    const box = document.getElementById("plan-box");
    box.innerHTML = "<p>Drawing the survey plan\u2026</p>";
    const img = new Image();
    img.id = "plan";
    img.alt = `Survey plan of plot ${properties.PLOT_NO}`;
    img.onload = () => {
      box.innerHTML = `<p class="plan-actions"><a id="plan-pdf" href="/plans/${encodeURIComponent(properties.ID)}.pdf" ` +
        'target="_blank" rel="noopener">Print (PDF)</a> <span>print at actual size (100 %) for a true scale</span></p>';
      box.appendChild(img);
    };
    img.onerror = () => { box.innerHTML = '<p class="error">The survey plan could not be drawn.</p>'; };
    img.src = `/plans/${encodeURIComponent(properties.ID)}.png`;
  };
}

async function start() {
  const layers = (await (await fetch("/gis/layers/")).json()).data.layers;
  let center = [7.35, 8.95];
  const centroid = await fetch("/gis/plots/");
  if (centroid.ok) {
    const c = (await centroid.json()).data;
    if (c && c.centroid_wgs84) center = [c.centroid_wgs84.longitude, c.centroid_wgs84.latitude];
  }
  const sources = {};
  for (const [name, layer] of Object.entries(layers)) {
    sources[name] = {
      type: "vector",
      tiles: ["vexa-tiles://" + layer.endpoints.xyz.replace(/^\//, "")],
      minzoom: layer.min_zoom,
      maxzoom: 20,
    };
  }
  const map = new maplibregl.Map({
    container: "map",
    style: { version: 8, sources, layers: styleLayers(layers) },
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
  window.vexaMap = map;
  map.once("idle", () => { window.vexaReady = true; });
}

start().catch((error) => { console.error("map start-up failed", error); });
