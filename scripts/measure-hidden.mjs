// Takes the figures of a hidden window under Wine, with the development page in
// headless Chromium drawing every animation frame: the CPU time of Chromium's
// renderers and of all its processes per minute, Tolvin's window shown and
// then hidden in the tray; the simulated helper's share at the page in blocks
// per second, hidden and shown; and the time from a second start of the
// program to the first window shown in front, five times.
// Run through scripts/measure-devview hidden.
import path from 'node:path';
import fs from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';

import { opened, startDevView } from '../tests/devview/devview.mjs';
import { IDM, WM_COMMAND } from '../tests/integration/lib/page.mjs';
import { isEvent, mainWindows, programFolder, startProgram, waitFor } from '../tests/integration/lib/wine.mjs';

const seconds = Number(process.env.MEASURE_SECONDS ?? 60);
const WM_CLOSE = 16;
const BLOCK = 3840; // 10 ms of stereo float PCM

const view = await startDevView();
const page = await opened(view);

// CPU seconds of Chromium's processes: the renderers, and all of them.
const TICKS = 100;
function chromiumCpu() {
  const all = { renderers: 0, total: 0 };
  for (const pid of fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry))) {
    try {
      const command = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1');
      if (!command.startsWith('/usr/lib/chromium/chromium')) continue;
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'latin1').split(') ')[1].split(' ');
      const cpu = (Number(stat[11]) + Number(stat[12])) / TICKS;
      all.total += cpu;
      if (command.includes('--type=renderer')) all.renderers += cpu;
    } catch {
      // ended meanwhile
    }
  }
  return all;
}

await page.evaluate(() => {
  const canvas = Object.assign(document.createElement('canvas'), { width: 640, height: 360 });
  document.body.append(canvas);
  const g = canvas.getContext('2d');
  window.frames = 0;
  const draw = (t) => {
    window.frames++;
    g.fillStyle = `hsl(${(t / 10) % 360} 70% 40%)`;
    g.fillRect(0, 0, 640, 360);
    for (let i = 0; i < 200; i++) {
      g.fillStyle = `hsl(${(i * 37 + t / 5) % 360} 80% 60%)`;
      g.fillRect((i * 53 + t / 3) % 640, (i * 29) % 360, 24, 24);
    }
    requestAnimationFrame(draw);
  };
  requestAnimationFrame(draw);
  window.shareBytes = 0;
  pallan.appAudio.onData((bytes) => (window.shareBytes += bytes.length));
});
// Each phase: the window shown or hidden, two seconds to settle, then `span`
// seconds of Chromium's CPU, the page's frames and the share's bytes.
async function phase(message, wParam, span) {
  await view.standIn.command(`post ${message} ${wParam} 0`, isEvent('posted'));
  await sleep(2000);
  const count = () => page.evaluate(() => [window.frames, window.shareBytes]);
  const before = { cpu: chromiumCpu(), page: await count(), at: performance.now() };
  await sleep(span * 1000);
  const after = { cpu: chromiumCpu(), page: await count(), at: performance.now() };
  const s = (after.at - before.at) / 1000;
  return {
    visibility: await page.evaluate(() => document.visibilityState),
    renderers: ((after.cpu.renderers - before.cpu.renderers) * 60) / s,
    total: ((after.cpu.total - before.cpu.total) * 60) / s,
    frames: (after.page[0] - before.page[0]) / s,
    blocks: (after.page[1] - before.page[1]) / BLOCK / s,
  };
}
const SHOW = [WM_COMMAND, IDM.show];
const HIDE = [WM_CLOSE, 0];
const drawing = { shown: await phase(...SHOW, seconds), hidden: await phase(...HIDE, seconds) };
for (const [state, f] of Object.entries(drawing)) {
  console.log(`drawing, ${state} (${f.visibility}) over ${seconds} s: renderer CPU ${f.renderers.toFixed(2)} s/min, ` +
              `all of Chromium ${f.total.toFixed(2)} s/min, ${f.frames.toFixed(1)} frames/s`);
}
console.log(`hidden/shown renderer CPU: ${((100 * drawing.hidden.renderers) / drawing.shown.renderers).toFixed(1)} %`);

await page.evaluate(() => pallan.appAudio.start());
await waitFor('the share to start', () => page.evaluate(() => pallan.appAudio.active()), 20000);
const share = { hidden: await phase(...HIDE, seconds / 3), shown: await phase(...SHOW, seconds / 3) };
await page.evaluate(() => pallan.appAudio.stop());
for (const [state, f] of Object.entries(share)) {
  console.log(`share, ${state} (${f.visibility}) over ${seconds / 3} s: ${f.blocks.toFixed(1)} blocks/s at the page, ` +
              `renderer CPU ${f.renderers.toFixed(2)} s/min`);
}

// The first window is hidden each time; it tells its page when it shows again.
// Wine without a window manager holds the window thread about 2 s after a hide
// (it waits for the window to be withdrawn), so each start waits that out.
const times = [];
let inFront = 0;
const ends = [];
for (let i = 0; i < 5; i++) {
  await view.standIn.command(`post ${WM_CLOSE} 0 0`, isEvent('posted'));
  await sleep(2500);
  const from = view.standIn.reports.length;
  const second = startProgram(path.join(programFolder(), 'Tolvin.exe'));
  await view.standIn.next((r) => r.call === 'put_IsVisible' && r.value === 1, { from, ms: 10000 });
  times.push(performance.now() - second.startedAt);
  const [first] = await mainWindows(); // the second makes none
  if (first.visible && first.foreground) inFront++;
  await second.ended(10000);
  ends.push(performance.now() - second.startedAt);
}
times.sort((a, b) => a - b);
console.log(`second start to the first window shown (${inFront} of 5 in front): median ${times[2].toFixed(0)} ms, ` +
            `min ${times[0].toFixed(0)} ms, max ${times[4].toFixed(0)} ms; its end seen after at most ` +
            `${Math.max(...ends).toFixed(0)} ms`);
await view.close();
process.exit(0);
