// The update page over WebUSB in headless Chromium: a stand-in navigator.usb with one adapter of a
// chip family (tools/web/fake_usb.js), the simulated device on its line. One table of runs: the
// adapter and device, what the person does, what the page, the chip and the device show after.
//
//   node usb_test.mjs --build BUILD_WEB --file UPDATE [--screenshots DIR] [--only NAME]
import fs from 'node:fs';
import path from 'node:path';
import { openBrowser, options, runRow, untilState } from './browser.mjs';

const args = options(process.argv.slice(2));
const screenshots = args.screenshots ?? path.join(args.build, 'screenshots');
fs.mkdirSync(screenshots, { recursive: true });

// What the device must hold after a complete update: the file's FLASH records without their
// checksums, and its EEPROM.
const file = fs.readFileSync(args.file);
const offset = Number(/UPDATER-PAYLOAD-OFFSET=(\d{1,9})\0/.exec(file.toString('latin1'))[1]);
const expectedFlash = Buffer.concat(Array.from({ length: 500 }, (_, r) =>
  file.subarray(offset + 32 + r * 129, offset + 32 + r * 129 + 128)));
const expectedEeprom = file.subarray(offset + 32 + 64500, offset + 32 + 64500 + 2048);

const text = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);
const chip = (page) => page.evaluate(() => window.simulatedDevice.usb);

function expectEqual(actual, expected, what) {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${what}: ${JSON.stringify(actual)} instead of ${JSON.stringify(expected)}`);
  }
}

async function record(page) {
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download-record')]);
  return JSON.parse(fs.readFileSync(await download.path(), 'utf8'));
}

// Connect (or the given link) pressed, the EEPROM written, to the result.
async function update(page, connect = '#connect') {
  if (connect) {
    await untilState(page, 'ready');
    await page.click(connect);
  }
  await untilState(page, 'eeprom-choice', 'result');
  if (await page.evaluate(() => document.body.dataset.state) === 'eeprom-choice') {
    await page.click('#write-eeprom');
    await untilState(page, 'result');
  }
  return text(page, 'result-outcome');
}

// A complete update: the device holds the file byte for byte, the chip's line was set by its own
// requests, and the record names the adapter.
async function completes(page, identity, device, connect) {
  expectEqual(await update(page, connect), 'Outcome: completed (exit status 0)', 'outcome');
  const holds = await page.evaluate(() => [window.simulatedDevice.flash(), window.simulatedDevice.eeprom()].map((b) => Array.from(b)));
  expectEqual([Buffer.from(holds[0]).equals(expectedFlash), Buffer.from(holds[1]).equals(expectedEeprom)], [true, true], 'FLASH, EEPROM');
  expectEqual((await chip(page)).lineSet, true, 'line set');
  const { port } = await record(page);
  expectEqual([port.device, port.identity], [device, identity], 'record port');
}

// Nothing runs off a phone's width, and every control shown is a touch target of 44 px at least.
async function fitsPhone(page, when) {
  const found = await page.evaluate(() => ({
    fits: document.documentElement.scrollWidth <= innerWidth,
    small: [...document.querySelectorAll('button, .button, a, summary')].filter((e) => e.offsetParent)
      .filter((e) => e.getBoundingClientRect().height < 44 || e.getBoundingClientRect().width < 44).map((e) => e.id || e.textContent),
  }));
  expectEqual(found, { fits: true, small: [] }, `on a phone, ${when}`);
}

const HELP_CLAIM = 'The phone\'s system holds this adapter for itself, so the browser cannot use it.';

// The adapter refused before the update: the port's error, the help naming what it found.
async function refused(page, help) {
  expectEqual(await update(page), 'Outcome: port_error (exit status 3)', 'outcome');
  const result = (await text(page, 'result-text')).replace(/\s+/g, ' ');
  expectEqual(result.includes(help), true, `help in ${result}`);
}

// A damaged byte that the chip tells of without saying which it was: it reaches the core, and the
// result says the adapter reported it.
async function toldLineError(page) {
  const outcome = await update(page);
  expectEqual(outcome.endsWith('(exit status 0)'), false, `outcome ${outcome}`);
  expectEqual((await text(page, 'port-note')).startsWith('The adapter reported a line error (framing, parity or break)'), true, 'note');
}

const CASES = [
  {
    name: 'FTDI FT232R: complete, the latency timer at 1 ms during the transfer and put back, on a phone\'s screen',
    usb: { family: 'ftdi', serialNumber: 'A50285BI' },
    run: async (page, shoot) => {
      await page.setViewportSize({ width: 360, height: 740 });
      await untilState(page, 'ready');
      await fitsPhone(page, 'ready');
      await page.click('#connect');
      await untilState(page, 'flash');
      await page.waitForFunction(() => document.getElementById('flash-progress').value >= 20);
      await shoot('phone-usb-update');
      await fitsPhone(page, 'FLASH');
      await completes(page, 'FTDI FT232R, serial A50285BI', 'usb 0403:6001', null);
      await fitsPhone(page, 'result');
      const { latency, latencyWhileWriting } = await chip(page);
      expectEqual([latencyWhileWriting <= 2, latency], [true, 16], 'latency during the transfer, after');
    },
  },
  { name: 'FTDI FT2232H, its first port', usb: { family: 'ftdi', release: 0x0700 }, identity: 'FTDI FT2232H', device: 'usb 0403:6010' },
  { name: 'WCH CH340', usb: { family: 'ch340' }, identity: 'WCH CH340', device: 'usb 1a86:7523' },
  {
    name: 'WCH CH340 of product 7522, a transfer that ends in babble dropped',
    usb: { family: 'ch340', productId: 0x7522, babble: 40 },
    identity: 'WCH CH340',
    device: 'usb 1a86:7522',
  },
  { name: 'Prolific PL2303', usb: { family: 'pl2303' }, identity: 'Prolific PL2303HX', device: 'usb 067b:2303' },
  { name: 'CDC-ACM (WCH CH9102)', usb: { family: 'cdc' }, identity: 'WCH CH9102', device: 'usb 1a86:55d4' },
  {
    name: 'CDC-ACM on interfaces 2 and 3 behind RNDIS on 0 and 1, paired by the Union descriptors',
    usb: { family: 'composite' },
    identity: 'USB serial (CDC-ACM)',
    device: 'usb 1209:2323',
  },
  {
    name: 'CDC-ACM on interfaces 2 and 3 behind RNDIS, without Union descriptors',
    usb: { family: 'composite', union: false },
    identity: 'USB serial (CDC-ACM)',
    device: 'usb 1209:2323',
  },
  {
    name: 'Silicon Labs CP210x, by the link beside Web Serial\'s Connect, a byte with a framing error dropped',
    webSerial: true,
    usb: { family: 'cp210x', framingError: 40 },
    run: async (page) => {
      await untilState(page, 'ready');
      expectEqual(await page.isVisible('#usb-instead'), true, 'the link');
      await completes(page, 'Silicon Labs CP210x', 'usb 10c4:ea60', '#usb-instead');
      expectEqual(await page.evaluate(() => window.simulatedDevice.opens), 0, 'Web Serial ports opened');
    },
  },
  {
    name: 'FTDI: a byte with a framing error is dropped',
    usb: { family: 'ftdi', framingError: 40 },
    identity: 'FTDI FT232R',
    device: 'usb 0403:6001',
  },
  {
    name: 'FTDI: unplugged in the middle of the FLASH',
    usb: { family: 'ftdi' },
    faults: '--hangup flash:250',
    run: async (page) => {
      const outcome = await update(page);
      expectEqual(outcome.endsWith('(exit status 0)'), false, `outcome ${outcome}`);
      expectEqual((await text(page, 'result-text')).includes('The serial port went away'), true, 'result');
      expectEqual(/^The port: (the adapter was unplugged|reading failed: .+)\.$/.test(await text(page, 'port-note')), true, 'reason');
    },
  },
  {
    name: 'claimInterface refused: one plain line of help, in the record too',
    usb: { family: 'cdc', claimRefused: true },
    run: async (page) => {
      expectEqual(await update(page), 'Outcome: port_error (exit status 3)', 'outcome');
      expectEqual((await text(page, 'result-text')).replace(/\s+/g, ' ').includes(HELP_CLAIM), true, 'help');
      expectEqual((await record(page)).port_help[0].startsWith(HELP_CLAIM), true, 'record');
    },
  },
  { name: 'Prolific PL2303: a byte with a framing error told', usb: { family: 'pl2303', framingError: 40 }, run: toldLineError },
  { name: 'CDC-ACM: a byte with a framing error told', usb: { family: 'cdc', framingError: 40 }, run: toldLineError },
  {
    name: 'an adapter of another family',
    usb: { family: 'ch340', productId: 0x5512 },
    run: (page) => refused(page, 'none of those the page drives'),
  },
  {
    name: 'a Prolific PL2303GC: its help names the PL2303G',
    usb: { family: 'pl2303', productId: 0x23a3 },
    run: (page) => refused(page, 'This adapter\'s Prolific PL2303GC is of Prolific\'s PL2303G series'),
  },
  {
    name: 'the chooser cancelled',
    usb: { family: 'ftdi', cancel: true },
    run: async (page) => {
      await untilState(page, 'ready');
      await page.click('#connect');
      await page.waitForFunction(() => document.getElementById('connect-note').textContent !== '');
      expectEqual((await text(page, 'connect-note')).startsWith('No adapter was chosen.'), true, 'note');
      expectEqual((await chip(page)).opens, 0, 'opens');
    },
  },
  {
    name: 'neither Web Serial nor WebUSB',
    noWebUsb: true,
    run: async (page) => {
      await untilState(page, 'ready');
      expectEqual((await text(page, 'environment')).includes('It has no WebUSB either'), true, 'notice');
      expectEqual(await page.evaluate(() => document.getElementById('connect').disabled), true, 'Connect disabled');
    },
  },
];

const site = await openBrowser(args.build, args.file);
let failures = 0;
for (const [index, test] of CASES.entries()) {
  if (args.only && !test.name.includes(args.only)) continue;
  const page = await site.page({ faults: test.faults, noWebSerial: !test.webSerial, noWebUsb: test.noWebUsb, usb: test.usb });
  const passed = await runRow(page, {
    index, name: test.name, screenshots,
    run: async (p, shoot) => {
      await p.goto(`${site.origin}/`);
      await (test.run ?? ((q) => completes(q, test.identity, test.device)))(p, shoot);
    },
  });
  if (!passed) failures += 1;
}
await site.close();
process.exit(failures > 0 ? 1 : 0);
