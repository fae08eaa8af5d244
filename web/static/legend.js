// The map's legend: a switch for each of the five layers and the land-use colours of plots.
"use strict";

const LAYER_TITLES = [
  ["lgas", "Local government areas", "#4b1d5e"],
  ["districts", "Districts", "#2f4b7c"],
  ["cadzones", "Cadastral zones", "#5b6f8f"],
  ["plots", "Plots", "#8a7d5c"],
  ["beacons", "Beacons", "#111111"],
];

// The (land use, colour) pairs of a "match" expression, then its fallback as "Other".
function landUseEntries(expression) {
  const pairs = [];
  for (let i = 2; i + 1 < expression.length; i += 2) pairs.push([expression[i], expression[i + 1]]);
  pairs.push(["Other", expression[expression.length - 1]]);
  return pairs;
}

// Show or hide every style layer of one of the five layers: those drawn from its tiles and
// those that name it in their metadata (the plot labels).
function setSourceVisible(map, source, visible) {
  for (const layer of map.getStyle().layers) {
    const of = (layer.metadata && layer.metadata["vexa:layer"]) || layer.source;
    if (of === source) map.setLayoutProperty(layer.id, "visibility", visible ? "visible" : "none");
  }
}

class LegendControl {
  constructor(landUseColours) { this.landUseColours = landUseColours; }

  onAdd(map) {
    const box = document.createElement("div");
    box.className = "maplibregl-ctrl maplibregl-ctrl-group vexa-legend";
    box.id = "legend";
    const switches = LAYER_TITLES.map(([source, title, colour]) =>
      `<label><input type="checkbox" data-source="${source}" checked>` +
      `<span class="swatch line" style="border-color:${colour}"></span>${title}</label>`).join("");
    const colours = landUseEntries(this.landUseColours).map(([use, colour]) =>
      `<li><span class="swatch" style="background:${colour}"></span>${escapeHtml(use)}</li>`).join("");
    box.innerHTML = `<h2>Layers</h2>${switches}<h2>Land use</h2><ul>${colours}</ul>`;
    box.addEventListener("change", (e) => {
      const source = e.target.dataset.source;
      if (source) setSourceVisible(map, source, e.target.checked);
    });
    return box;
  }

  onRemove() {}
}

function addLegend(map, landUseColours) {
  map.addControl(new LegendControl(landUseColours), "top-right");
}
