// scripts/run's Node half: the development web view on $DISPLAY with Chromium's
// window beside Tolvin's, until SIGINT or SIGTERM, or until Tolvin ends.
//   --real-helper       keep the real capture helper
//   --screenshots DIR   once the page shows, save the display and the page there
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { top, waitFor } from '../integration/lib/wine.mjs';
import { startDevView } from './devview.mjs';

const { values: options } = parseArgs({
  options: { 'real-helper': { type: 'boolean' }, screenshots: { type: 'string' } },
});
const startedAt = performance.now();
const say = (line) => console.log(`[${((performance.now() - startedAt) / 1000).toFixed(1)} s] ${line}`);

if (options['real-helper']) {
  say('App audio: the real capture helper, tolvin-app-audio.exe. Wine has no process-loopback capture,' +
      ' so a share will not start here.');
} else {
  say('App audio: the SIMULATED capture helper (tolvin-app-audio-sim.exe, copied in as tolvin-app-audio.exe)' +
      ' plays a 1 kHz test tone, because Wine has no process-loopback capture. --real-helper keeps the real one.');
}

const view = await startDevView({ headless: false, helper: options['real-helper'] ? 'real' : 'sim', keep: false, log: say });
say(`Tolvin.exe runs under Wine from ${view.dir}; config.json names the development page ${view.page}`);

let ending = null;
function end(why) {
  ending ??= (async () => {
    say(`${why}: ending Tolvin and Chromium`);
    await view.close();
    process.exit(0);
  })();
}
process.on('SIGINT', () => end('Interrupted'));
process.on('SIGTERM', () => end('Stopped'));
view.program.exited.then((code) => end(`Tolvin ended with ${code}`));

await waitFor('the page to show', () => view.runtime.firstDocumentAt, 120000);
say(`The development page shows in Chromium beside Tolvin's window (${((view.runtime.firstDocumentAt - startedAt) / 1000).toFixed(1)} s after start).`);

if (options.screenshots) {
  const dir = options.screenshots;
  await new Promise((resolve) => setTimeout(resolve, 1500)); // both windows finish drawing
  await view.runtime.page.screenshot({ path: path.join(dir, 'page.png') });
  const screenshot = (...args) => execFileSync('node', [path.join(top, 'scripts/screenshot.mjs'), ...args], { maxBuffer: 1 << 28 });
  const tolvin = execFileSync('xdotool', ['search', '--name', '^Tolvin$'], { encoding: 'utf8' }).split('\n')[0];
  fs.writeFileSync(path.join(dir, 'screen.png'), screenshot());
  fs.writeFileSync(path.join(dir, 'tolvin.png'), screenshot(tolvin));
  say(`Screenshots in ${dir}: screen.png (the display), tolvin.png (Tolvin's window), page.png (Chromium's page)`);
}
say(`Running on ${process.env.DISPLAY}. Press Ctrl+C to stop.`);
