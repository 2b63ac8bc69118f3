// The page served on localhost with the simulated device, and Debian's headless Chromium to open it:
// for the page's tests and its benchmark. Nothing here downloads a browser.
import path from 'node:path';
import { chromium } from 'playwright-core';
import { startServer } from '../../tools/web/serve.mjs';

const here = path.dirname(new URL(import.meta.url).pathname);

// Options of the form --name value.
export function options(argv) {
  const found = {};
  for (let i = 0; i < argv.length; i += 2) found[argv[i].replace(/^--/, '')] = argv[i + 1];
  return found;
}

export async function openBrowser(build, updateFile) {
  const server = await startServer({ page: path.join(here, '../../web'), build, file: updateFile, simulate: true });
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    // Without the background services, Chromium asks no other site for anything.
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--disable-quic'],
  });
  return {
    browser,
    origin: `http://127.0.0.1:${server.address().port}`,
    // A fresh page whose simulated device is set up by device (see tools/web/fake_serial.js).
    async page(device) {
      const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
      const page = await context.newPage();
      await page.addInitScript({ content: `window.SIMULATED_DEVICE = ${JSON.stringify({ banner: false, ...device })};` });
      return page;
    },
    async close() {
      await browser.close();
      server.close();
    },
  };
}

export const untilState = (page, ...states) =>
  page.waitForFunction((s) => s.includes(document.body.dataset.state), states, { timeout: 30000 });
