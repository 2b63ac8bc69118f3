// The page's host time per round trip, for the FLASH and for the EEPROM: the simulated device
// answers at once, so the time from its acknowledgement to its answer to the last record, over 500
// records, and from the EEPROM's start sequence to its last byte, over 4,096 round trips, is the
// page's and the browser's own (the core in WebAssembly with its run record, Asyncify, the
// streams). A fresh page's first update runs while the browser still compiles the core to its
// faster code; the runs measured follow it on the same page. One line per run, "FLASH EEPROM
// FIRST-FLASH" in microseconds, the last the fresh page's first FLASH, for `make bench`.
//
// With --usb FILE, the page over WebUSB with an FTDI adapter's stand-in whose latency timer holds
// every reply that does not fill a packet (16 ms as shipped): the EEPROM's time in seconds with the
// timer set by the page ("set S", a line a run, each the second update on its page) and with a chip
// that refuses the timer's requests, so that it stays at 16 ms ("left S", one run), into FILE.
//
//   node page_bench.mjs --build BUILD_WEB --file UPDATE [--runs N] [--usb FILE]
import fs from 'node:fs';
import { openBrowser, options, untilState } from './browser.mjs';

const args = options(process.argv.slice(2));
const site = await openBrowser(args.build, args.file);

// One update with the EEPROM on the page; its round trips in microseconds, and the EEPROM's time in
// seconds. Behind a 16 ms timer the transfers take longer than a step of the tests may.
async function update(page) {
  const until = (state) => page.waitForFunction((s) => document.body.dataset.state === s, state, { timeout: 300000 });
  await untilState(page, 'ready');
  await page.evaluate(() => { window.simulatedDevice.flashFinishedAt = 0; });
  await page.click('#connect');
  await until('eeprom-choice');
  await page.keyboard.press('e');
  await until('result');
  const [flash, eeprom] = await page.evaluate(() => {
    const device = window.simulatedDevice;
    return [device.flashFinishedAt - device.flashStartedAt, device.eepromFinishedAt - device.eepromStartedAt];
  });
  await page.click('#start-again');
  return [flash * 1000 / 500, eeprom * 1000 / 4096, eeprom / 1000];
}

for (let run = 0; run < Number(args.runs ?? 5); ++run) {
  const page = await site.page({});
  await page.goto(`${site.origin}/`);
  const [first] = await update(page);
  const [flash, eeprom] = await update(page);
  console.log(`${flash.toFixed(1)} ${eeprom.toFixed(1)} ${first.toFixed(1)}`);
  await page.context().close();
}
if (args.usb) {
  const lines = [];
  for (let run = 0; run < Number(args.runs ?? 5); ++run) {
    const page = await site.page({ noWebSerial: true, usb: { family: 'ftdi' } });
    await page.goto(`${site.origin}/`);
    await update(page);
    lines.push(`set ${(await update(page))[2].toFixed(3)}`);
    await page.context().close();
  }
  const page = await site.page({ noWebSerial: true, usb: { family: 'ftdi', latencyRefused: true } });
  await page.goto(`${site.origin}/`);
  lines.push(`left ${(await update(page))[2].toFixed(3)}`);
  await page.context().close();
  fs.writeFileSync(args.usb, `${lines.join('\n')}\n`);
}
await site.close();
