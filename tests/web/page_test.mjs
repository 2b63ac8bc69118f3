// The update page in headless Chromium (Debian's chromium) against the simulated device behind a
// stand-in Web Serial: one table of runs, each a device (loader-sim's fault options) or browser
// set-up, what the person does, and what the page and the device show after.
//
//   node page_test.mjs --build BUILD_WEB --file UPDATE [--screenshots DIR] [--only NAME]
import fs from 'node:fs';
import path from 'node:path';
import crypto from 'node:crypto';
import { openBrowser, options, untilState } from './browser.mjs';

const args = options(process.argv.slice(2));
const updateFile = args.file;
const screenshots = args.screenshots ?? path.join(args.build, 'screenshots');
fs.mkdirSync(screenshots, { recursive: true });

// The example file's payload: what the device must hold after a complete update.
const file = fs.readFileSync(updateFile);
const offset = Number(/UPDATER-PAYLOAD-OFFSET=(\d{1,9})\0/.exec(file.toString('latin1'))[1]);
const expectedFlash = Buffer.concat(Array.from({ length: 500 }, (_, r) =>
  file.subarray(offset + 32 + r * 129, offset + 32 + r * 129 + 128)));
const expectedEeprom = file.subarray(offset + 32 + 64500, offset + 32 + 64500 + 2048);
const payloadSha256 = crypto.createHash('sha256').update(file.subarray(offset, offset + 32 + 64500 + 0x40000)).digest('hex');
const device = file.subarray(offset, offset + 32).toString().trim().split(/\s+/)[0];

// The file with one FLASH byte changed: its digest no longer matches.
const damaged = Buffer.from(file);
damaged[offset + 32 + 1000] ^= 0xff;

const state = (page) => page.evaluate(() => document.body.dataset.state);
const text = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);
const deviceHolds = (page, what) => page.evaluate((w) => Array.from(window.simulatedDevice[w]()), what);

// Connects and runs the update to its result; eeprom: 'write', 'skip', or undefined when the run
// ends before the question.
async function update(page, eeprom, shoot) {
  await page.click('#connect');
  await untilState(page, 'pause', 'result');
  if (await state(page) === 'result') return;
  await shoot?.('flash-done');
  await untilState(page, 'eeprom-choice');
  await shoot?.('eeprom-choice');
  // The console updater's keys: e writes, Esc skips.
  await page.keyboard.press(eeprom === 'write' ? 'e' : 'Escape');
  await untilState(page, 'result');
}

async function expectResult(page, status, ...lines) {
  const outcome = await text(page, 'result-outcome');
  if (!outcome.endsWith(`(exit status ${status})`)) throw new Error(`outcome: ${outcome}`);
  const shown = await text(page, 'result-text');
  for (const line of lines) if (!shown.includes(line)) throw new Error(`result lacks "${line}":\n${shown}`);
}

function expectEqual(actual, expected, what) {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${what}: ${JSON.stringify(actual)?.slice(0, 200)} instead of ${JSON.stringify(expected)?.slice(0, 200)}`);
  }
}

const CASES = [
  {
    name: 'complete update with EEPROM: the device holds the file byte for byte',
    run: async (page, shoot) => {
      await untilState(page, 'ready');
      expectEqual((await text(page, 'file-verdict')).endsWith('64500 Bytes read\nChecksum test OK'), true, 'verdict');
      await shoot('ready');
      // 200 % zoom on a 1280 pixel window: nothing runs off the side.
      await page.setViewportSize({ width: 640, height: 800 });
      expectEqual(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth), true, 'fits at 200 %');
      await shoot('ready-200-percent');
      await page.setViewportSize({ width: 1280, height: 800 });
      await update(page, 'write', shoot);
      await expectResult(page, 0, 'Download of FLASH program memory successfully completed',
        'Download of EEPROM data memory successfully completed');
      await shoot('completed');
      expectEqual(await page.evaluate(() => window.simulatedDevice.openedWith),
        { baudRate: 115200, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none' }, 'line settings');
      expectEqual(Buffer.from(await deviceHolds(page, 'flash')).equals(expectedFlash), true, 'FLASH');
      expectEqual(Buffer.from(await deviceHolds(page, 'eeprom')).equals(expectedEeprom), true, 'EEPROM');
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download-record')]);
      const record = JSON.parse(fs.readFileSync(await download.path(), 'utf8'));
      expectEqual([record.outcome, record.exit_status, record.interrupted], ['completed', 0, false], 'record outcome');
      expectEqual([record.header.device, record.update_file.payload_sha256, record.flash_round_trip_ms.replies],
        [device, payloadSha256, 500], 'record contents');
      expectEqual([record.port.device, record.port.identity, record.phases.read_back.ran],
        ['usb 0403:6001', 'FTDI FT232/FT231X', true], 'record port and phases');
    },
  },
  {
    name: 'burning error at record 499, then start again without reloading',
    faults: '--reply 499=55',
    run: async (page, shoot) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 5, 'FLASH burning error at address F980. Try again!',
        'What to do: run the update again; if the error comes back, contact support.');
      await shoot('failed');
      await page.click('#start-again');
      await untilState(page, 'ready');
      expectEqual((await text(page, 'transcript')).split('Checksum test OK').length, 3, 'the file checked anew');
      // The port was given back: it opens again for the second run.
      await update(page);
      await expectResult(page, 5, 'FLASH burning error at address F980. Try again!');
      expectEqual(await page.evaluate(() => window.simulatedDevice.opens), 2, 'port openings');
    },
  },
  {
    name: 'a device that never acknowledges',
    faults: '--ack none',
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 4, `Error: No response from ${device}`, 'What to do: check the cable');
    },
  },
  {
    name: 'a device unplugged in the middle of the FLASH',
    faults: '--hangup flash:250',
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 4, 'The serial port went away', 'Undefined response ffff. Check cable!');
      expectEqual(await text(page, 'flash-status'), '7D00 50%', 'FLASH progress');
    },
  },
  {
    name: 'a stray byte before the acknowledgement is no success',
    device: { strayBeforeAck: 0x00 },
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 4, 'Undefined response 59. Check cable!');
      expectEqual(await page.evaluate(() => window.simulatedDevice.records()), 0, 'records the device took');
    },
  },
  {
    name: 'read-back differences are listed',
    faults: `--eeprom-wrong 7FF=${(expectedEeprom[0x7ff] ^ 0xff).toString(16)}`,
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page, 'write');
      await expectResult(page, 6, 'EEPROM verification failed: 1 of 2048 bytes differ. Try again!');
      expectEqual(await text(page, 'differences'),
        `7FF: ${(expectedEeprom[0x7ff] ^ 0xff).toString(16).toUpperCase()}, expected ${expectedEeprom[0x7ff].toString(16).toUpperCase()}`,
        'differences');
    },
  },
  {
    name: 'a damaged file is refused before any port is asked for',
    address: '/index.html',
    run: async (page, shoot) => {
      await untilState(page, 'file');
      await page.setInputFiles('#file-input', { name: 'update', mimeType: 'application/octet-stream', buffer: damaged });
      await untilState(page, 'result');
      await expectResult(page, 2, 'Error in checksum. Probably download error from website.\nTry again or contact Tarvenholt !');
      await shoot('file-refused');
      expectEqual(await page.evaluate(() => window.simulatedDevice.requests), 0, 'ports asked for');
    },
  },
  {
    name: 'a port that another program holds',
    device: { openError: 'Failed to open serial port.' },
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 3, 'Failed to open serial port.', 'Another program (a terminal, an IDE, a 3D-printer host) holds');
    },
  },
  {
    name: 'the port chooser cancelled',
    device: { cancel: true },
    run: async (page) => {
      await untilState(page, 'ready');
      await page.click('#connect');
      await page.waitForFunction(() => document.getElementById('connect-note').textContent !== '');
      expectEqual(await text(page, 'connect-note'), 'No port was chosen. Press Connect to choose the device\'s port.', 'note');
      expectEqual([await state(page), await page.evaluate(() => window.simulatedDevice.opens)], ['ready', 0], 'nothing opened');
    },
  },
  {
    name: 'a browser without Web Serial',
    device: { noWebSerial: true },
    run: async (page, shoot) => {
      await untilState(page, 'ready');
      expectEqual((await text(page, 'environment')).includes('it has no Web Serial'), true, 'notice');
      expectEqual(await page.evaluate(() => document.getElementById('connect').disabled), true, 'Connect disabled');
      await shoot('no-web-serial');
    },
  },
];

const site = await openBrowser(args.build, updateFile);
let failures = 0;
for (const [index, test] of CASES.entries()) {
  if (args.only && !test.name.includes(args.only)) continue;
  const page = await site.page({ faults: test.faults, ...test.device });
  const problems = [];
  page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console error: ${message.text()}`);
  });
  // Nothing but the page's own site.
  page.on('request', (request) => {
    if (!/^(blob:|data:)/.test(request.url()) && !request.url().startsWith(site.origin)) {
      problems.push(`request to another site: ${request.url()}`);
    }
  });
  const shoot = (name) => page.screenshot({ path: path.join(screenshots, `${name}.png`), fullPage: true });
  const started = Date.now();
  try {
    await page.goto(`${site.origin}${test.address ?? '/'}`);
    await test.run(page, shoot);
    if (problems.length > 0) throw new Error(problems.join('\n'));
    console.log(`ok ${index + 1} - ${test.name} (${Date.now() - started} ms)`);
  } catch (error) {
    failures += 1;
    console.log(`not ok ${index + 1} - ${test.name}\n  ${error.message.replace(/\n/g, '\n  ')}`);
    console.log(`  transcript:\n${await text(page, 'transcript').catch(() => '')}`);
  }
  await page.context().close();
}
await site.close();
process.exit(failures > 0 ? 1 : 0);
