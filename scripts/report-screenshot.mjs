// Takes a screenshot of a schedule report in headless Chromium:
//
//   node scripts/report-screenshot.mjs REPORT.html OUT.png [--phase N] [--tensor NAME]
//
// With --phase the phase is chosen and with --tensor the tensor searched, as a person would by
// clicking a row of the phase table and typing in the search box.

/* global document, requestAnimationFrame -- in the functions that run inside the page */

import { launchChromium } from "../tests/tools/chromium.mjs";
import { access } from "node:fs/promises";
import { resolve } from "node:path";
import { pathToFileURL } from "node:url";
import { parseArgs } from "node:util";

const { values, positionals } = parseArgs({
  allowPositionals: true,
  options: { phase: { type: "string" }, tensor: { type: "string" } },
});
if (positionals.length !== 2) {
  console.error(
    "usage: node scripts/report-screenshot.mjs REPORT.html OUT.png [--phase N] [--tensor NAME]",
  );
  process.exit(2);
}
const [report, output] = positionals;
try {
  await access(report);
} catch {
  console.error(`cannot read ${report}`);
  process.exit(2);
}
const browser = await launchChromium();
try {
  const page = await browser.context.newPage();
  await page.goto(pathToFileURL(resolve(report)).href);
  await page.waitForSelector("html[data-ready-ms]");
  if (values.phase !== undefined) {
    await page.click(`#phases tbody tr[data-phase="${Number(values.phase)}"]`);
  }
  if (values.tensor !== undefined) {
    await page.fill("#search", values.tensor);
  }
  // The page draws only what is near the window (the heat map's bands), so the window is made
  // as tall as the page, and two frames are drawn, before the picture is taken.
  const height = await page.evaluate(() => document.documentElement.scrollHeight);
  await page.setViewportSize({ width: page.viewportSize().width, height });
  await page.evaluate(
    () => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))),
  );
  await page.screenshot({ path: output, fullPage: true });
} finally {
  await browser.close();
}
