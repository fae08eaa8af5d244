// Drives the web map in headless Chromium while the test edits a plot in the database: opens the
// map over the plot, selects it and opens its plan, then, for each step the test writes on stdin
// (one JSON line, after its edit is committed), waits until the map draws the edit without a
// reload and reports how long that took, what the details panel and the plan panel show, and
// where the view is. Prints one JSON line per step on stdout.
//   node check_freshness.mjs BASE_URL ARTIFACT_DIR PLOT_ID LAT LON
// Steps: {"step": "attributes", "committed": ms, "expect": {column: value}}, {"step": "geometry",
// "committed": ms, "expect": {"bbox": [w, s, e, n]}}, {"step": "drop"}: the versions stream breaks
// and is refused, {"step": "restore", "expect": {...}}: it may connect again, and {"step": "done"}.
// The browser reaches the app through a proxy of this script's own, which can break the stream.
import { mkdirSync } from "node:fs";
import http from "node:http";
import { createInterface } from "node:readline";
import { join } from "node:path";
import { launchChromium } from "./chromium.mjs";


const [base, artifacts, plotIdText, lat, lon] = process.argv.slice(2);
const plotId = Number(plotIdText);
const WAIT_MS = 5000;  // "within a few seconds"
mkdirSync(artifacts, { recursive: true });
const say = (report) => console.log(JSON.stringify(report));
const steps = createInterface({ input: process.stdin })[Symbol.asyncIterator]();

// A forward proxy for the browser's requests. While `refusing`, the versions stream is answered 503
// (an error answer: EventSource gives up and the page has to open it again itself); dropStreams()
// breaks the streams open now (EventSource reconnects by itself).
const openStreams = new Set();
let refusing = false;
let streamAnswers = [];  // [path, status] of every versions stream asked for
const proxy = http.createServer((request, answer) => {
  const target = new URL(request.url);
  const isStream = target.pathname === "/gis/tile-versions";
  if (isStream && refusing) {
    streamAnswers.push([target.pathname, 503]);
    answer.writeHead(503, { "Content-Type": "application/json" }).end('{"detail": "refused by the test"}');
    return;
  }
  const upstream = http.request(target, { method: request.method, headers: request.headers }, (reply) => {
    if (isStream) streamAnswers.push([target.pathname, reply.statusCode]);
    answer.writeHead(reply.statusCode, reply.headers);
    reply.pipe(answer);
  });
  upstream.on("error", () => answer.destroy());
  request.pipe(upstream);
  if (isStream) {
    const stream = { request, upstream };
    openStreams.add(stream);
    answer.on("close", () => openStreams.delete(stream));
  }
});
await new Promise((resolve) => proxy.listen(0, "127.0.0.1", resolve));
function dropStreams() {
  for (const { request, upstream } of openStreams) { upstream.destroy(); request.socket.destroy(); }
  openStreams.clear();
}

const browser = await launchChromium([`--proxy-server=http://127.0.0.1:${proxy.address().port}`, "--proxy-bypass-list=<-loopback>"]);
try {
  const context = await browser.newContext({ viewport: { width: 1400, height: 900 } });
  const page = await context.newPage();
  const consoleErrors = [], droppedErrors = [];  // the latter while the stream was broken
  let dropped = false;
  page.on("console", (m) => {
    process.stderr.write(`console ${m.type()}: ${m.text()}\n`);
    if (m.type() === "error") (dropped ? droppedErrors : consoleErrors).push(m.text());
  });
  page.on("pageerror", (e) => consoleErrors.push(String(e)));
  let loads = 0;
  page.on("load", () => { loads++; });
  const planRequests = [];
  page.on("request", (r) => { if (r.url().includes("/plans/")) planRequests.push(new URL(r.url()).pathname + new URL(r.url()).search); });

  await page.goto(`${base}/#16/${lat}/${lon}`, { waitUntil: "load" });
  await page.waitForFunction(() => window.vexaReady === true, null, { timeout: 60000 });
  await page.evaluate(() => { window.vexaSamePage = true; });

  // The plot as the map draws it: its attributes and the box of its pieces, in degrees.
  const drawn = () => page.evaluate((id) => plotDrawn(window.vexaMap, id), plotId);
  await page.evaluate(() => {
    window.plotDrawn = (map, id) => {
      const pieces = map.queryRenderedFeatures({ layers: ["plots-fill"], filter: ["==", ["get", "ID"], id] });
      if (!pieces.length) return null;
      const box = [Infinity, Infinity, -Infinity, -Infinity];
      for (const f of pieces) {
        const rings = f.geometry.type === "Polygon" ? f.geometry.coordinates : f.geometry.coordinates.flat();
        for (const [x, y] of rings.flat()) {
          box[0] = Math.min(box[0], x); box[1] = Math.min(box[1], y);
          box[2] = Math.max(box[2], x); box[3] = Math.max(box[3], y);
        }
      }
      return { properties: pieces[0].properties, bbox: box };
    };
  });
  const view = () => page.evaluate(() => {
    const map = window.vexaMap;
    const c = map.getCenter();
    return { center: [c.lng, c.lat], zoom: map.getZoom(), bearing: map.getBearing(), pitch: map.getPitch(),
             hash: location.hash, samePage: window.vexaSamePage === true };
  });
  const panels = () => page.evaluate(() => {
    const img = document.getElementById("plan");
    return { details: document.querySelector("#details table")?.textContent ?? null,
             selected: window.vexaMap.getFilter("plots-selected")?.[2] ?? null,
             plan: img ? { src: img.getAttribute("src"), width: img.naturalWidth, complete: img.complete } : null };
  });
  // The page point over the plot's centre, where its fill is drawn.
  const point = () => page.evaluate(([x, y]) => {
    const p = window.vexaMap.project([x, y]);
    const canvas = window.vexaMap.getCanvas().getBoundingClientRect();
    return { x: Math.round(canvas.left + p.x), y: Math.round(canvas.top + p.y) };
  }, [Number(lon), Number(lat)]);
  const idle = () => page.evaluate(() => new Promise((resolve) => {
    const map = window.vexaMap;
    if (map.loaded() && !map.isMoving()) resolve(); else map.once("idle", resolve);
  }));
  // When (page clock, ms) the map first drew the plot as `expect` says; null if not within WAIT_MS.
  const drawnAt = (expect) => page.waitForFunction(([id, want]) => {
    const now = window.plotDrawn(window.vexaMap, id);
    if (!now) return false;
    if (want.bbox && !want.bbox.every((v, i) => Math.abs(now.bbox[i] - v) < 2e-6)) return false;
    for (const [k, v] of Object.entries(want)) if (k !== "bbox" && now.properties[k] !== v) return false;
    return Date.now();
  }, [plotId, expect], { timeout: WAIT_MS, polling: 20 }).then((h) => h.jsonValue()).catch(() => null);
  // Until the plan panel shows a plan loaded from another address than `src`.
  const planReplaced = (src) => page.waitForFunction((old) => {
    const img = document.getElementById("plan");
    return img && img.getAttribute("src") !== old && img.complete && img.naturalWidth > 0;
  }, src, { timeout: 30000 }).then(() => true).catch(() => false);
  const legendColours = () => page.$$eval("#legend li", (items) => Object.fromEntries(items.map((li) =>
    [li.textContent.trim(), getComputedStyle(li.querySelector(".swatch")).backgroundColor])));

  await page.waitForFunction((id) => window.plotDrawn(window.vexaMap, id) !== null, plotId, { timeout: 30000 });
  await idle();
  const at = await point();
  await page.mouse.click(at.x, at.y);
  await page.waitForSelector("#plan-button", { timeout: 10000 });
  await page.click("#plan-button");
  await page.waitForSelector("#plan", { timeout: 60000 });
  await page.mouse.move(5, 890);  // the pointer off the map
  await idle();
  await page.screenshot({ path: join(artifacts, "fresh-before.png") });
  say({ step: "ready", point: at, view: await view(), drawn: await drawn(), panels: await panels(),
        colours: await legendColours() });

  for (;;) {
    const { value, done } = await steps.next();
    if (done) break;
    const step = JSON.parse(value);
    if (step.step === "done") break;
    if (step.step === "drop") {
      // The stream breaks and cannot connect again: the edit the test commits next is missed.
      dropped = refusing = true;
      streamAnswers = [];
      dropStreams();
      say({ step: "drop" });
      continue;
    }
    const before = await panels();
    let since = step.committed;
    if (step.step === "restore") {
      since = Date.now();
      refusing = false;
    }
    const at = await drawnAt(step.expect);
    const replaced = await planReplaced(before.plan && before.plan.src);
    await idle();
    await page.screenshot({ path: join(artifacts, `fresh-${step.step}.png`) });
    dropped = false;
    say({ step: step.step, afterMs: at === null ? null : at - since, point: await point(), view: await view(),
          drawn: await drawn(), panels: await panels(), planReplaced: replaced, streamAnswers });
  }
  say({ step: "done", loads, consoleErrors, droppedErrors, planRequests, view: await view() });
} finally {
  await browser.close();
  proxy.close();
  dropStreams();
}
