// The update page in headless Chromium (Debian's chromium) against the simulated device behind a
// stand-in Web Serial: one table of runs, each a device (loader-sim's fault options) or browser
// set-up, what the person does, and what the page and the device show after.
//
//   node page_test.mjs --build BUILD_WEB --file UPDATE [--screenshots DIR] [--only NAME]
import fs from 'node:fs';
import path from 'node:path';
import crypto from 'node:crypto';
import net from 'node:net';
import { openBrowser, options, runRow, untilState } from './browser.mjs';

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

// A key of the test's own, and the example file signed with it as docs/architecture.md says: the
// statement (the mark and version, the payload's SHA-256, the key's id) signed, in the block before
// the digest block with the key's X and Y.
const { publicKey, privateKey } = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
const spki = publicKey.export({ type: 'spki', format: 'der' });
const keyId = crypto.createHash('sha256').update(spki).digest().subarray(0, 8);
const mark = Buffer.from('UPDATER-SIGNED:\x01', 'latin1');
const statement = Buffer.concat([mark, Buffer.from(payloadSha256, 'hex'), keyId]);
const signedFile = Buffer.from(file);
Buffer.concat([mark, spki.subarray(27), crypto.sign('sha256', statement, { key: privateKey, dsaEncoding: 'ieee-p1363' })])
  .copy(signedFile, offset - 48 - 144);

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

// Does the actions in one task, the page's own update file at hand: ['change', name] sets it on the
// file input under name, ['drop', name] drops it, ['click', id] clicks a button.
const inOneTask = (page, ...actions) => page.evaluate(async ({ url, actions }) => {
  const blob = await (await fetch(url)).blob();
  for (const [kind, name] of actions) {
    const transfer = new DataTransfer();
    if (kind !== 'click') transfer.items.add(new File([blob], name));
    if (kind === 'drop') window.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, cancelable: true }));
    if (kind === 'click') document.getElementById(name).click();
    if (kind === 'change') {
      const input = document.getElementById('file-input');
      input.files = transfer.files;
      input.dispatchEvent(new Event('change'));
    }
  }
}, { url: `/${path.basename(updateFile)}`, actions });

// Runs the update to its result after whatever came before (Connect clicked already, or not yet),
// and checks that the device then holds the file byte for byte.
async function completes(page, eeprom = 'write', connected = false) {
  if (!connected) {
    await untilState(page, 'ready');
    await page.click('#connect');
  }
  await untilState(page, 'eeprom-choice', 'eeprom', 'result');
  if (await state(page) === 'eeprom-choice') await page.keyboard.press(eeprom === 'write' ? 'e' : 'Escape');
  await untilState(page, 'result');
  await expectResult(page, 0, 'Download of FLASH program memory successfully completed');
  expectEqual(Buffer.from(await deviceHolds(page, 'flash')).equals(expectedFlash), true, 'FLASH');
  if (eeprom === 'write') expectEqual(Buffer.from(await deviceHolds(page, 'eeprom')).equals(expectedEeprom), true, 'EEPROM');
}

const CASES = [
  {
    name: 'complete update with EEPROM: the device holds the file byte for byte',
    run: async (page, shoot) => {
      await untilState(page, 'ready');
      expectEqual((await text(page, 'file-verdict')).endsWith('64500 Bytes read\nChecksum test OK'), true, 'verdict');
      expectEqual(await text(page, 'header-signature'), 'not signed', 'signature');
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
      await expectResult(page, 4, 'The serial port went away', 'What to do: check the cable');
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
      expectEqual(await text(page, 'result-heading'), 'The EEPROM holds other bytes than the file', 'heading');
      expectEqual(await text(page, 'differences'),
        `7FF: ${(expectedEeprom[0x7ff] ^ 0xff).toString(16).toUpperCase()}, expected ${expectedEeprom[0x7ff].toString(16).toUpperCase()}`,
        'differences');
    },
  },
  {
    name: 'a device that keeps sending leaves the EEPROM not verified, within seconds',
    faults: '--heartbeat 250',
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page, 'write');
      await expectResult(page, 6, 'the device kept sending without being asked');
      expectEqual(await text(page, 'result-heading'), 'The EEPROM could not be verified', 'heading');
    },
  },
  {
    name: 'a reply with a framing error is missing, and said, not a port lost',
    faults: '',
    device: { framingErrorAt: 11 },
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 4, 'Undefined response ffff. Check cable!');
      const note = await text(page, 'port-note');
      if (!note.includes('a line error') || note.includes('The port:')) throw new Error(`port note: ${note}`);
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
    name: 'a page made with a key: an unsigned file is refused before any port, one signed by the key is taken',
    trustedKey: publicKey.export({ type: 'spki', format: 'pem' }),
    run: async (page) => {
      await untilState(page, 'result');
      await expectResult(page, 2, 'Update file not signed by a trusted key: the file is not signed');
      expectEqual(await page.evaluate(() => window.simulatedDevice.requests), 0, 'ports asked for');
      await page.setInputFiles('#file-input', { name: 'signed', mimeType: 'application/octet-stream', buffer: signedFile });
      await untilState(page, 'ready');
      expectEqual(await text(page, 'header-signature'), `signed by key ${keyId.toString('hex')}`, 'signature');
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
  // Orders that reach the core while it is busy: each waits its turn.
  {
    name: 'a file set and Connect clicked at once: the file waits for the update',
    run: async (page) => {
      await untilState(page, 'ready');
      await inOneTask(page, ['change', 'update-copy'], ['click', 'connect']);
      await completes(page, 'write', true);
      expectEqual(await text(page, 'file-note'), 'update-copy arrived during the update: it is checked when you press Check update-copy.', 'note');
      await page.click('#start-again');
      await untilState(page, 'ready');
      expectEqual(await text(page, 'file-note'), '', 'note once checked');
    },
  },
  {
    name: 'two files dropped in one task, and Connect clicked twice in one task',
    address: '/index.html',
    run: async (page) => {
      await untilState(page, 'file');
      await inOneTask(page, ['drop', 'first'], ['drop', 'second']);
      await untilState(page, 'ready');
      await inOneTask(page, ['click', 'connect'], ['click', 'connect']);
      await completes(page, 'write', true);
      expectEqual(await page.evaluate(() => window.simulatedDevice.opens), 1, 'port openings');
    },
  },
  {
    name: 'the address answered slowly while a file is dropped: the dropped file counts',
    slowFile: true,
    run: async (page) => {
      await untilState(page, 'file');
      await inOneTask(page, ['drop', 'dropped']);
      await untilState(page, 'ready');
      await page.waitForFunction(() => document.getElementById('file-note').textContent !== '', null, { timeout: 10000 });
      expectEqual(await text(page, 'file-note'), 'update arrived after you chose dropped: it was not taken.', 'note');
      expectEqual((await text(page, 'transcript')).includes('dropped opened'), true, 'the dropped file checked');
      await completes(page, 'skip');
    },
  },
  {
    name: 'Start again pressed twice, Write EEPROM pressed twice, e pressed during the pause',
    run: async (page) => {
      await untilState(page, 'ready');
      await page.click('#connect');
      await untilState(page, 'pause');
      await page.keyboard.press('e');
      await untilState(page, 'eeprom', 'result');
      await completes(page, 'write', true);
      await inOneTask(page, ['click', 'start-again'], ['click', 'start-again']);
      await untilState(page, 'ready');
      await page.click('#connect');
      await untilState(page, 'eeprom-choice');
      await inOneTask(page, ['click', 'write-eeprom'], ['click', 'write-eeprom']);
      await completes(page, 'write', true);
    },
  },
  {
    name: 'the port lost while a check runs',
    run: async (page) => {
      await untilState(page, 'ready');
      await page.click('#connect');
      await page.keyboard.press('Escape');
      await completes(page, 'skip', true);
      await page.evaluate(async () => {
        const [port] = await navigator.serial.getPorts();
        document.getElementById('start-again').click();
        port.dispatchEvent(new Event('disconnect'));
        navigator.serial.dispatchEvent(new Event('disconnect'));
      });
      await completes(page);
    },
  },
  // The page's port as the console's: what waits at open answers nothing, and a write that never
  // completes loses the port in its time.
  ...[0x00, 0x41].map((stray) => ({
    name: `a byte ${stray.toString(16)} waiting at open is no answer`,
    device: { strayAtOpen: stray },
    run: async (page) => {
      await untilState(page, 'ready');
      await completes(page);
    },
  })),
  {
    name: 'a write that never completes loses the port, with its message and in the record',
    device: { stallAfter: 100 },
    run: async (page) => {
      await untilState(page, 'ready');
      await update(page);
      await expectResult(page, 4, 'The serial port went away during the update', 'What to do: check the cable');
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download-record')]);
      const record = JSON.parse(fs.readFileSync(await download.path(), 'utf8'));
      expectEqual([record.exit_status, record.port_help], [4, ['The serial port went away during the update: the ' +
        'adapter was unplugged, or its connection failed.']], 'record');
    },
  },
  {
    name: 'a file far larger than an update file is refused by its size, unread',
    address: '/index.html',
    run: async (page) => {
      await untilState(page, 'file');
      const huge = path.join(screenshots, 'huge-update');
      fs.closeSync(fs.openSync(huge, 'w'));
      fs.truncateSync(huge, 3 * 1024 ** 3);
      await page.setInputFiles('#file-input', huge);
      await page.waitForFunction(() => document.getElementById('file-note').textContent !== '');
      fs.unlinkSync(huge);
      expectEqual(await text(page, 'file-note'),
        'huge-update is no update file: at 3221225472 bytes it is far larger than one can be.', 'note');
      expectEqual(await state(page), 'file', 'state');
    },
  },
  {
    name: 'a slow adapter: time left beside the bar, and the EEPROM\'s time before the question',
    device: { latency: 16 },
    run: async (page) => {
      await untilState(page, 'ready');
      await page.click('#connect');
      await page.waitForFunction(() => /^about \d+ s left$/.test(document.getElementById('flash-left').textContent));
      await untilState(page, 'eeprom-choice');
      const advice = await text(page, 'adapter-advice');
      // The stand-in line has no wire time, which the replies' time is taken to include: the figures are a real
      // line's, only the words are checked here.
      for (const part of ['Slow serial adapter: replies took ', 'The EEPROM takes about', 'The browser cannot change']) {
        expectEqual(advice.includes(part), true, `advice: ${advice}`);
      }
      await page.keyboard.press('Escape');
      await untilState(page, 'result');
      await expectResult(page, 0, 'Download of FLASH program memory successfully completed');
    },
  },
  {
    name: 'the server answers a request it cannot parse with 400, keeps serving, and forbids framing',
    run: async () => {
      const { port } = new URL(site.origin);
      const answer = await new Promise((resolve) => {
        const socket = net.connect(Number(port), '127.0.0.1', () => socket.end('GET http://[ HTTP/1.1\r\nHost: x\r\n\r\n'));
        let got = '';
        socket.on('data', (data) => { got += data; });
        socket.on('close', () => resolve(got));
      });
      expectEqual(answer.split('\r\n')[0], 'HTTP/1.1 400 Bad Request', 'bad request');
      const page = await fetch(`${site.origin}/index.html`);
      expectEqual(page.headers.get('content-security-policy').endsWith("; frame-ancestors 'none'"), true, 'policy');
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
  // The address's file answered only after a while; the test's own requests for it at once.
  let slow = test.slowFile;
  if (slow) {
    await page.route(`**/${path.basename(updateFile)}`, (route) => {
      setTimeout(() => route.continue(), slow ? 1500 : 0);
      slow = false;
    });
  }
  // The page as made with a key: its own module of keys holds it.
  if (test.trustedKey) {
    await page.route('**/trusted_keys.js', (route) => route.fulfill({ contentType: 'text/javascript',
      body: `export const TRUSTED_KEYS = ${JSON.stringify([test.trustedKey])};` }));
  }
  const problems = [];
  // Nothing but the page's own site.
  page.on('request', (request) => {
    if (!/^(blob:|data:)/.test(request.url()) && !request.url().startsWith(site.origin)) {
      problems.push(`request to another site: ${request.url()}`);
    }
  });
  const passed = await runRow(page, {
    index, name: test.name, screenshots, problems,
    run: async (p, shoot) => {
      await p.goto(`${site.origin}${test.address ?? '/'}`);
      await test.run(p, shoot);
    },
  });
  if (!passed) failures += 1;
}
await site.close();
process.exit(failures > 0 ? 1 : 0);
