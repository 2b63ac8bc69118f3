// The page's host time per round trip, for the FLASH and for the EEPROM: the simulated device
// answers at once, so the time from its acknowledgement to its answer to the last record, over 500
// records, and from the EEPROM's start sequence to its last byte, over 4,096 round trips, is the
// page's and the browser's own (the core in WebAssembly with its run record, Asyncify, the
// streams). A fresh page's first update runs while the browser still compiles the core to its
// faster code; the runs measured follow it on the same page. One line per run, "FLASH EEPROM
// FIRST-FLASH" in microseconds, the last the fresh page's first FLASH, for `make bench`.
//
//   node page_bench.mjs --build BUILD_WEB --file UPDATE [--runs N]
import { openBrowser, options, untilState } from './browser.mjs';

const args = options(process.argv.slice(2));
const site = await openBrowser(args.build, args.file);

// One update with the EEPROM on the page; its round trips in microseconds.
async function update(page) {
  await untilState(page, 'ready');
  await page.evaluate(() => { window.simulatedDevice.flashFinishedAt = 0; });
  await page.click('#connect');
  await untilState(page, 'eeprom-choice');
  await page.keyboard.press('e');
  await untilState(page, 'result');
  const [flash, eeprom] = await page.evaluate(() => {
    const device = window.simulatedDevice;
    return [device.flashFinishedAt - device.flashStartedAt, device.eepromFinishedAt - device.eepromStartedAt];
  });
  await page.click('#start-again');
  return [flash * 1000 / 500, eeprom * 1000 / 4096];
}

for (let run = 0; run < Number(args.runs ?? 5); ++run) {
  const page = await site.page({});
  await page.goto(`${site.origin}/`);
  const [first] = await update(page);
  const [flash, eeprom] = await update(page);
  console.log(`${flash.toFixed(1)} ${eeprom.toFixed(1)} ${first.toFixed(1)}`);
  await page.context().close();
}
await site.close();
