// Headless Chromium from Debian, driven by playwright-core: the browser of the report's tests
// and of its screenshot. Playwright's own browser download is never used; ORVIK_CHROMIUM may
// name another Chromium executable than /usr/bin/chromium.

import { chromium } from "playwright-core";
import { mkdtemp, rm } from "node:fs/promises";
import { tmpdir } from "node:os";
import { join } from "node:path";

/// Starts Chromium with a fresh profile and without any traffic of its own, and returns its
/// browser context with a `close` that also removes the profile.
export async function launchChromium(viewport = { width: 1440, height: 1000 }) {
  const profile = await mkdtemp(join(tmpdir(), "orvik-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.ORVIK_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    viewport,
    args: [
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-background-networking",
      "--disable-component-update",
      "--no-first-run",
      "--disable-quic",
      "--disable-sync",
    ],
  });
  return {
    context,
    async close() {
      await context.close();
      await rm(profile, { recursive: true, force: true });
    },
  };
}
