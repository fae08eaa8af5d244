// Opens a PMTiles file in the web map through "Open offline tiles…" in headless Chromium and
// reports what it drew and which tile requests went to the service afterwards.
//   node check_offline.mjs BASE_URL FILE.pmtiles SCREENSHOT.png
import { VIEWPORT, idleAtZoom, launchChromium, renderedFeatures } from "./chromium.mjs";


const [base, file, screenshot] = process.argv.slice(2);
const report = { consoleErrors: [], serviceTileRequests: [], layers: {} };

const browser = await launchChromium();
try {
  const page = await browser.newPage({ viewport: VIEWPORT });
  page.on("console", (m) => { if (m.type() === "error") report.consoleErrors.push(m.text()); });
  page.on("pageerror", (e) => report.consoleErrors.push(String(e)));
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForFunction(() => window.vexaReady === true, null, { timeout: 60000 });

  let opened = false;
  page.on("request", (r) => { if (opened && /\/gis\/.*\.pbf/.test(r.url())) report.serviceTileRequests.push(r.url()); });
  opened = true;
  await page.setInputFiles("#offline-file", file);
  await page.waitForFunction(() => window.vexaOffline !== undefined, null, { timeout: 10000 });
  report.opened = await page.evaluate(() => window.vexaOffline);
  report.label = await page.textContent("#offline-name");
  report.sources = await page.evaluate(() => Object.keys(window.vexaMap.getStyle().sources));

  const idleAt = (zoom) => idleAtZoom(page, zoom);
  const rendered = (ids) => renderedFeatures(page, ids);
  for (const [name, zoom, ids] of [["cadzones", 14, ["cadzones-fill"]], ["beacons", 16, ["beacons-circle"]],
                                   ["plots", 15.5, ["plots-fill"]]]) {
    await idleAt(zoom);
    report.layers[name] = await rendered(ids);
  }
  await idleAt(15);  // the whole exported area, and nothing beyond it
  await page.screenshot({ path: screenshot });
} finally {
  await browser.close();
}
console.log(JSON.stringify(report));
