// chromium.mjs: the headless Chromium the browser scripts drive, through the web map's
// playwright-core, with WebGL in software (CHROMIUM names another binary than Debian's).
import { createRequire } from "node:module";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const { chromium } = createRequire(join(here, "..", "..", "web", "package.json"))("playwright-core");

export const VIEWPORT = { width: 1400, height: 900 };

/** Chromium launched headless, with `extraArgs` after the software-WebGL ones. */
export function launchChromium(extraArgs = []) {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--use-gl=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist", ...extraArgs],
  });
}

/** The web map of `page` jumped to `zoom`, once it is idle there. */
export function idleAtZoom(page, zoom) {
  return page.evaluate((z) => new Promise((resolve) => {
    const map = window.vexaMap;
    map.jumpTo({ zoom: z });
    map.once("idle", () => resolve());
  }), zoom);
}

/** How many features the web map of `page` draws in its layers `ids`. */
export function renderedFeatures(page, ids) {
  return page.evaluate((layerIds) => window.vexaMap.queryRenderedFeatures({ layers: layerIds }).length, ids);
}
