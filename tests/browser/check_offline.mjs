// Opens a PMTiles file in the web map through "Open offline tiles…" in headless Chromium and
// reports what it drew and which tile requests went to the service afterwards.
//   node check_offline.mjs BASE_URL FILE.pmtiles SCREENSHOT.png
import { createRequire } from "node:module";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, "..", "..", "web", "package.json"));
const { chromium } = require("playwright-core");

const [base, file, screenshot] = process.argv.slice(2);
const report = { consoleErrors: [], serviceTileRequests: [], layers: {} };

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--use-gl=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
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

  const idleAt = (zoom) => page.evaluate((z) => new Promise((resolve) => {
    const map = window.vexaMap;
    map.jumpTo({ zoom: z });
    map.once("idle", () => resolve());
  }), zoom);
  const rendered = (ids) => page.evaluate((layerIds) => window.vexaMap.queryRenderedFeatures({ layers: layerIds }).length, ids);
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
