// The page's host time per FLASH round trip: the simulated device answers at once, so the time
// from its acknowledgement to its answer to the last record, over 500 records, is the page's and
// the browser's own (the core in WebAssembly, Asyncify, the streams). One value in microseconds a
// line, one line per run, for `make bench`.
//
//   node page_bench.mjs --build BUILD_WEB --file UPDATE [--runs N]
import { openBrowser, options, untilState } from './browser.mjs';

const args = options(process.argv.slice(2));
const site = await openBrowser(args.build, args.file);
for (let run = 0; run < Number(args.runs ?? 5); ++run) {
  const page = await site.page({});
  await page.goto(`${site.origin}/`);
  await untilState(page, 'ready');
  await page.click('#connect');
  await untilState(page, 'pause');
  const took = await page.evaluate(() => window.simulatedDevice.flashFinishedAt - window.simulatedDevice.flashStartedAt);
  console.log((took * 1000 / 500).toFixed(1));
  await page.context().close();
}
await site.close();
