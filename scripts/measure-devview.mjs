// Takes the development web view's relay figure under Wine: Tolvin with the
// development page in headless Chromium relays the misbehaving helper's stamped
// 10 ms blocks, and each block's delay runs from the helper's write to the
// page's onData call that carries its last frame. The same for the shell's
// PostWebMessageAsJson shows what Chromium and the driver add.
// Run through scripts/measure-devview.
import { opened, startDevView } from '../tests/devview/devview.mjs';
import { FakeHelper, PCM_PREFIX, stampedDelays } from '../tests/integration/lib/page.mjs';
import { isCall, percentile, waitFor } from '../tests/integration/lib/wine.mjs';

const seconds = Number(process.env.MEASURE_SECONDS ?? 60);
const fake = new FakeHelper();
fake.mode(`say ready sleep 200 stream ${seconds} exit 0`);
const view = await startDevView({ helper: 'fake', env: fake.env });
// The Windows clock (µs) against this process's (ms): the least gap between a
// report's stamp and its arrival here.
let windowsToHere = Infinity;
view.standIn.listeners.add((report) => {
  if (report.at) windowsToHere = Math.min(windowsToHere, performance.now() - report.at / 1000);
});
const page = await opened(view);
// The page's clock against this process's: the quickest of 50 round trips.
let pageToHere = { trip: Infinity };
for (let i = 0; i < 50; i++) {
  const sent = performance.now();
  const there = await page.evaluate(() => performance.now());
  const back = performance.now();
  if (back - sent < pageToHere.trip) pageToHere = { trip: back - sent, offset: (sent + back) / 2 - there };
}

// Of each chunk, its arrival and the last frame of each block in it.
await page.evaluate(() => {
  window.stamped = [];
  pallan.appAudio.onData((bytes) => {
    const at = performance.now();
    const words = new Uint32Array(bytes.slice().buffer);
    const kept = [];
    for (let i = 0; i < words.length; i += 2) if (words[i + 2] !== words[i]) kept.push(words[i], words[i + 1]);
    window.stamped.push([at, kept]);
  });
});
const active = () => page.evaluate(() => pallan.appAudio.active());
const from = view.standIn.reports.length;
await page.click('#startAll');
await waitFor('the stream to start', active, 20000);
await waitFor('the stream to end', async () => !(await active()), (seconds + 30) * 1000);

const toWindows = (pageAt) => (pageAt + pageToHere.offset - windowsToHere) * 1000;
const arrived = (await page.evaluate(() => window.stamped))
  .map(([at, words]) => ({ bytes: Buffer.from(new Uint32Array(words).buffer), at: toWindows(at) }));
const posted = view.standIn.reports.slice(from)
  .filter((r) => isCall('PostWebMessageAsJson')(r) && r.json.startsWith(PCM_PREFIX))
  .map((post) => ({ bytes: Buffer.from(JSON.parse(post.json).data, 'base64'), at: post.at }));
const ms = (v) => `${v.toFixed(2)} ms`;
for (const [where, chunks] of [['the page\'s onData', arrived], ['PostWebMessageAsJson', posted]]) {
  const { delays, gaps } = stampedDelays(chunks);
  console.log(`helper write to ${where} over ${seconds} s: min ${ms(delays[0])}, ` +
              `median ${ms(percentile(delays, 50))}, p99 ${ms(percentile(delays, 99))}, max ${ms(delays.at(-1))} ` +
              `(${delays.length} blocks, ${gaps} gaps)`);
}
console.log(`clocks matched within ${ms(pageToHere.trip / 2)} (page) and the least report delivery (Windows)`);
await view.close();
