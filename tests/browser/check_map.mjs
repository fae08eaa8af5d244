// Drives the web map in headless Chromium: console errors, rendered features of every layer and
// of the plot labels, a click on a plot and the survey plan it opens, a search for a plot number
// (suggestion, flight, selection, plan), the view link and the layer switches. Prints one JSON
// report on stdout.
//   node check_map.mjs BASE_URL ARTIFACT_DIR PLOT_NO
import { mkdirSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { VIEWPORT, idleAtZoom, launchChromium, renderedFeatures } from "./chromium.mjs";


const [base, artifacts, plotNo] = process.argv.slice(2);
mkdirSync(artifacts, { recursive: true });
const report = { consoleErrors: [], layers: {}, plan: null };

const browser = await launchChromium();
try {
  const page = await browser.newPage({ viewport: VIEWPORT });
  page.on("console", async (m) => {
    if (m.type() !== "error") return;
    let detail = m.text();
    try { detail += " " + JSON.stringify(await Promise.all(m.args().map((a) => a.evaluate((v) => (v && v.stack) || String(v))))); } catch (e) { /* page gone */ }
    report.consoleErrors.push(detail);
  });
  page.on("pageerror", (e) => report.consoleErrors.push(String(e)));
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForFunction(() => window.vexaReady === true, null, { timeout: 60000 });

  const idleAt = (zoom) => idleAtZoom(page, zoom);
  const rendered = (ids) => renderedFeatures(page, ids);

  const checks = [
    ["lgas", 11, ["lgas-line"]], ["districts", 12, ["districts-line"]], ["cadzones", 14, ["cadzones-fill", "cadzones-line"]],
    ["plots", 16, ["plots-fill"]], ["beacons", 17, ["beacons-circle"]], ["labels", 17, ["plots-label"]],
    ["labels-below-17", 16.5, ["plots-label"]],
  ];
  for (const [name, zoom, ids] of checks) {
    await idleAt(zoom);
    if (zoom >= 17) {  // plot labels are placed once the plots are drawn: give them a moment
      await page.waitForFunction((layerIds) => window.vexaMap.queryRenderedFeatures({ layers: layerIds }).length > 0,
        ids, { timeout: 10000 }).catch(() => {});
    }
    report.layers[name] = { zoom, rendered: await rendered(ids) };
    report.layers[name].distinct = await page.evaluate((layerIds) =>
      new Set(window.vexaMap.queryRenderedFeatures({ layers: layerIds }).map((f) => f.properties.ID)).size, ids);
  }
  await idleAt(14.5);
  await page.screenshot({ path: join(artifacts, "map.png") });
  await idleAt(17);
  await page.screenshot({ path: join(artifacts, "map-detail.png") });

  // A point inside one rendered plot, in screen pixels.
  const target = await page.evaluate(() => {
    const map = window.vexaMap;
    const canvas = map.getCanvas().getBoundingClientRect();
    for (const f of map.queryRenderedFeatures({ layers: ["plots-fill"] })) {
      const ring = f.geometry.type === "Polygon" ? f.geometry.coordinates[0] : f.geometry.coordinates[0][0];
      const n = ring.length - 1;
      let lng = 0, lat = 0;
      for (let i = 0; i < n; i++) { lng += ring[i][0]; lat += ring[i][1]; }
      const p = map.project([lng / n, lat / n]);
      if (p.x > 50 && p.y > 50 && p.x < canvas.width - 50 && p.y < canvas.height - 50)
        return { x: canvas.left + p.x, y: canvas.top + p.y, id: f.properties.ID };
    }
    return null;
  });
  report.clicked = target;
  if (target) {
    await page.mouse.click(target.x, target.y);
    await page.waitForSelector("#plan-button", { timeout: 10000 });
    report.details = await page.textContent("#details table");
    await page.click("#plan-button");
    await page.waitForSelector("#plan", { timeout: 60000 });
    report.plan = await page.evaluate(() => {
      const img = document.getElementById("plan");
      return { src: img.getAttribute("src"), width: img.naturalWidth, height: img.naturalHeight };
    });
    await page.screenshot({ path: join(artifacts, "map-with-plan.png") });
    const png = await page.request.get(base + report.plan.src);
    writeFileSync(join(artifacts, "plan.png"), await png.body());
    report.plan.status = png.status();
  }

  report.search = await searchFor(page, plotNo);
  report.link = await openLink(browser, page.url());
  report.switches = await switchOffPlots(page);
} finally {
  await browser.close();
}
console.log(JSON.stringify(report));

// Type a plot number, take the suggestion that is the plot itself, and follow it to its plan.
async function searchFor(page, plotNo) {
  const view = () => page.evaluate(() => {
    const map = window.vexaMap;
    const c = map.getCenter();
    const filter = map.getFilter("plots-selected");
    return { center: [c.lng, c.lat], zoom: map.getZoom(), selected: filter ? filter[2] : null, hash: location.hash };
  });
  const before = await view();
  await page.click("#search");
  await page.keyboard.type(plotNo.slice(0, -1), { delay: 40 });
  await page.waitForSelector("#suggestions li[data-index]", { timeout: 10000 });
  const typing = await page.$$eval("#suggestions li[data-index] b", (bs) => bs.map((b) => b.textContent));
  await page.screenshot({ path: join(artifacts, "search.png"), clip: { x: 0, y: 0, width: 980, height: 560 } });
  await page.keyboard.type(plotNo.slice(-1));
  await page.waitForFunction((n) => document.querySelector("#suggestions li[data-index] b")?.textContent === n,
    plotNo, { timeout: 10000 }).catch(() => {});
  const suggestions = await page.$$eval("#suggestions li[data-index] b", (bs) => bs.map((b) => b.textContent));
  await page.click(`#suggestions li[data-index="${suggestions.indexOf(plotNo)}"]`);
  await page.waitForFunction((n) => (document.querySelector("#details table")?.textContent || "").includes(n),
    plotNo, { timeout: 30000 });
  const after = await view();
  const details = await page.textContent("#details table");
  await page.click("#plan-button");
  await page.waitForSelector("#plan", { timeout: 60000 });
  const plan = await page.evaluate(() => {
    const img = document.getElementById("plan");
    return { src: img.getAttribute("src"), width: img.naturalWidth, height: img.naturalHeight,
             pdf: document.getElementById("plan-pdf").getAttribute("href"),
             pdfText: document.getElementById("plan-pdf").textContent };
  });
  await page.screenshot({ path: join(artifacts, "map-searched.png") });
  return { before, typing, suggestions, after, details, plan };
}

// The page's address in a fresh page: the same view.
async function openLink(browser, url) {
  const page = await browser.newPage({ viewport: VIEWPORT });
  try {
    await page.goto(url, { waitUntil: "load" });
    await page.waitForFunction(() => window.vexaReady === true, null, { timeout: 60000 });
    return await page.evaluate(() => {
      const c = window.vexaMap.getCenter();
      return { url: location.href, center: [c.lng, c.lat], zoom: window.vexaMap.getZoom() };
    });
  } finally {
    await page.close();
  }
}

// The legend's plot switch hides the plots' fill, outline, selection and labels.
async function switchOffPlots(page) {
  await page.uncheck('#legend input[data-source="plots"]');
  await page.evaluate(() => new Promise((resolve) => { window.vexaMap.triggerRepaint(); window.vexaMap.once("idle", resolve); }));
  return page.evaluate(() => {
    const map = window.vexaMap;
    const ids = ["plots-fill", "plots-outline", "plots-selected", "plots-label", "beacons-circle"];
    return Object.fromEntries(ids.map((id) => [id, {
      visibility: map.getLayoutProperty(id, "visibility") ?? "visible",
      rendered: map.queryRenderedFeatures({ layers: [id] }).length,
    }]));
  });
}
