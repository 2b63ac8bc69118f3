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

// Runs one row of a table on its fresh page: run(page, shoot) does the row's work, shoot(name) takes
// a screenshot into screenshots. An error the page reports, or one of problems (what the caller
// watches for itself), fails the row. Prints the row's result line, closes the page, and returns
// whether the row passed.
export async function runRow(page, { index, name, screenshots, problems = [], run }) {
  page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console error: ${message.text()}`);
  });
  const shoot = (shot) => page.screenshot({ path: path.join(screenshots, `${shot}.png`), fullPage: true });
  const started = Date.now();
  let passed = true;
  try {
    await run(page, shoot);
    if (problems.length > 0) throw new Error(problems.join('\n'));
    console.log(`ok ${index + 1} - ${name} (${Date.now() - started} ms)`);
  } catch (error) {
    passed = false;
    console.log(`not ok ${index + 1} - ${name}\n  ${error.message.replace(/\n/g, '\n  ')}`);
    const transcript = await page.evaluate(() => document.getElementById('transcript').textContent).catch(() => '');
    console.log(`  transcript:\n${transcript}`);
  }
  await page.context().close();
  return passed;
}

export const untilState = (page, ...states) =>
  page.waitForFunction((s) => s.includes(document.body.dataset.state), states, { timeout: 30000 });
