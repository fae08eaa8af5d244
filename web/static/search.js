// The map's plot search: suggestions from /plots/search as the user types a plot number or file
// number; choosing one flies to the plot, selects it and shows its details.
"use strict";

const SEARCH_DELAY_MS = 150;
const SEARCH_SUGGESTIONS = 8;

// Fly to a found plot; once the map is still, select it with the properties its tile carries.
function goToPlot(map, hit, show) {
  const [w, s, e, n] = hit.bbox;
  map.fitBounds([[w, s], [e, n]], { padding: 80, maxZoom: 18.5, duration: 1500 });
  map.once("idle", () => {
    const rendered = map.queryRenderedFeatures({ layers: ["plots-fill"], filter: ["==", ["get", "ID"], hit.ID] });
    show(map, rendered.length ? rendered[0].properties : hit);
  });
}

class SearchControl {
  constructor(show) { this.show = show; this.hits = []; this.active = -1; this.pending = null; this.asked = 0; }

  onAdd(map) {
    this.map = map;
    const box = this.box = document.createElement("div");
    box.className = "maplibregl-ctrl vexa-search";
    box.innerHTML = '<input id="search" type="search" placeholder="Plot number or file number" ' +
      'autocomplete="off" spellcheck="false" aria-label="Find a plot" maxlength="64">' +
      '<ul id="suggestions" role="listbox" hidden></ul>';
    this.input = box.querySelector("input");
    this.list = box.querySelector("ul");
    this.input.addEventListener("input", () => this.typed());
    this.input.addEventListener("keydown", (e) => this.key(e));
    this.list.addEventListener("mousedown", (e) => {
      const item = e.target.closest("li[data-index]");
      if (item) { e.preventDefault(); this.choose(Number(item.dataset.index)); }
    });
    this.input.addEventListener("blur", () => { this.list.hidden = true; });
    return box;
  }

  onRemove() { this.box.remove(); }

  typed() {
    clearTimeout(this.pending);
    const q = this.input.value.trim();
    if (!q) { this.render([]); return; }
    this.pending = setTimeout(() => this.ask(q), SEARCH_DELAY_MS);
  }

  async ask(q) {
    const asked = ++this.asked;
    let hits = [];
    try {
      const response = await fetch(`/plots/search?q=${encodeURIComponent(q)}&limit=${SEARCH_SUGGESTIONS}`);
      if (response.ok) hits = await response.json();
    } catch (error) {
      console.warn("plot search failed", error);  // no suggestions; the next keystroke asks again
    }
    if (asked !== this.asked) return;  // a later keystroke has its own answer coming
    this.render(hits);
  }

  render(hits) {
    this.hits = hits;
    this.active = hits.length ? 0 : -1;
    this.list.innerHTML = hits.length
      ? hits.map((h, i) => `<li data-index="${i}" role="option"${i === 0 ? ' class="active"' : ""}>` +
          `<b>${escapeHtml(h.PLOT_NO)}</b> <span>${escapeHtml(h.file_no ?? "")}</span>` +
          `<small>${escapeHtml(h.CADZONE ?? "")}</small></li>`).join("")
      : (this.input.value.trim() ? '<li class="none">No plot found</li>' : "");
    this.list.hidden = this.list.innerHTML === "";
  }

  key(e) {
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      if (!this.hits.length) return;
      e.preventDefault();
      this.active = (this.active + (e.key === "ArrowDown" ? 1 : this.hits.length - 1)) % this.hits.length;
      this.list.querySelectorAll("li").forEach((li, i) => li.classList.toggle("active", i === this.active));
    } else if (e.key === "Enter" && this.active >= 0) {
      e.preventDefault();
      this.choose(this.active);
    } else if (e.key === "Escape") {
      this.list.hidden = true;
    }
  }

  choose(index) {
    const hit = this.hits[index];
    this.input.value = hit.PLOT_NO;
    this.list.hidden = true;
    goToPlot(this.map, hit, this.show);
  }
}

function addSearch(map, show) {
  map.addControl(new SearchControl(show), "top-left");
}
