// Drives the web map in headless Chromium: console errors, rendered features of every layer,
// a click on a plot and the survey plan it opens. Prints one JSON report on stdout.
//   node check_map.mjs BASE_URL ARTIFACT_DIR
import { createRequire } from "node:module";
import { mkdirSync, writeFileSync } from "node:fs";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, "..", "..", "web", "package.json"));
const { chromium } = require("playwright-core");

const [base, artifacts] = process.argv.slice(2);
mkdirSync(artifacts, { recursive: true });
const report = { consoleErrors: [], layers: {}, plan: null };

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--use-gl=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  page.on("console", async (m) => {
    if (m.type() !== "error") return;
    let detail = m.text();
    try { detail += " " + JSON.stringify(await Promise.all(m.args().map((a) => a.evaluate((v) => (v && v.stack) || String(v))))); } catch (e) { /* page gone */ }
    report.consoleErrors.push(detail);
  });
  page.on("pageerror", (e) => report.consoleErrors.push(String(e)));
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForFunction(() => window.vexaReady === true, null, { timeout: 60000 });

  const idleAt = (zoom) => page.evaluate((z) => new Promise((resolve) => {
    const map = window.vexaMap;
    map.jumpTo({ zoom: z });
    map.once("idle", () => resolve());
  }), zoom);
  const rendered = (ids) => page.evaluate((layerIds) => window.vexaMap.queryRenderedFeatures({ layers: layerIds }).length, ids);

  const checks = [
    ["lgas", 11, ["lgas-line"]], ["districts", 12, ["districts-line"]], ["cadzones", 14, ["cadzones-fill", "cadzones-line"]],
    ["plots", 16, ["plots-fill"]], ["beacons", 17, ["beacons-circle"]],
  ];
  for (const [name, zoom, ids] of checks) {
    await idleAt(zoom);
    report.layers[name] = { zoom, rendered: await rendered(ids) };
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
} finally {
  await browser.close();
}
console.log(JSON.stringify(report));
