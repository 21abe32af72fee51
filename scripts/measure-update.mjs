#!/usr/bin/env node
// Measures the verification of a staged release under Wine, with the running
// Tolvin.exe and a release (Tolvin.exe, tolvin-app-audio.exe, the SDK's
// WebView2Loader.dll) signed by one throw-away certificate: five checks that
// report "ready" (every file verified, then refused for its version, so that
// the next check runs), five that report "none", and the time from the check
// tick to the page's update push of each (median). Meanwhile the window's
// thread is asked for its state back to back: the longest answer is how long
// it went without pumping messages. Needs a display (DISPLAY) and a built tree.
import fs from 'node:fs';
import path from 'node:path';

import { TIMER_UPDATE_CHECK, WM_TIMER, isUpdatePush, startShell } from '../tests/integration/lib/page.mjs';
import { makeSigner, sign, withFileVersion } from '../tests/integration/lib/pe.mjs';
import { binDir, localDir, top, usePowerShellStandIn } from '../tests/integration/lib/wine.mjs';

const stage = path.join(localDir, 'Tolvin/update');
const files = fs.mkdtempSync(path.join(top, 'build/tmp/measure-update-'));
const signer = makeSigner(files, 'a', '/CN=Tolvin Measure/O=Tolvin Measure');
const signed = (name, bytes) => {
  fs.writeFileSync(path.join(files, name), bytes);
  sign(path.join(files, name), signer, path.join(files, `signed-${name}`));
  return path.join(files, `signed-${name}`);
};
const running = signed('Tolvin.exe', fs.readFileSync(path.join(binDir, 'Tolvin.exe')));
const release = {
  'Tolvin.exe': signed('Tolvin-2.1.0.exe', withFileVersion(fs.readFileSync(path.join(binDir, 'Tolvin.exe')), '2.1.0')),
  'tolvin-app-audio.exe': signed('tolvin-app-audio.exe', fs.readFileSync(path.join(binDir, 'tolvin-app-audio.exe'))),
  'WebView2Loader.dll': path.join(binDir, 'WebView2Loader.dll'),
};

const { env, plan } = usePowerShellStandIn();
plan(0, 'none\r\n');
const shell = await startShell({ env, extra: { 'Tolvin.exe': running } });
await shell.page();
const pushes = () => shell.standIn.reports.filter(isUpdatePush).length;
while (pushes() < 1) await shell.state();

// One check: ms from the tick to the push, and the longest state round trip meanwhile.
async function check(output) {
  fs.rmSync(path.join(stage, 'new'), { recursive: true, force: true });
  fs.mkdirSync(path.join(stage, 'new'), { recursive: true });
  for (const [name, source] of Object.entries(release)) fs.copyFileSync(source, path.join(stage, 'new', name));
  fs.writeFileSync(path.join(stage, 'version'), '2.1.2\n');
  plan(0, output);
  const before = pushes();
  const started = performance.now();
  await shell.post(WM_TIMER, TIMER_UPDATE_CHECK);
  let longest = 0;
  while (pushes() === before) {
    const asked = performance.now();
    await shell.state();
    longest = Math.max(longest, performance.now() - asked);
  }
  const refused = !fs.existsSync(path.join(stage, 'new'));
  if (refused !== output.startsWith('ready')) throw new Error(`"${output.trim()}" left the stage folder as it should not`);
  return { ms: performance.now() - started, longest };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const rounds = { ready: [], none: [] };
for (let i = 0; i < 5; i++) {
  rounds.ready.push(await check('ready 2.1.2\r\n'));
  rounds.none.push(await check('none\r\n'));
}
for (const [output, list] of Object.entries(rounds)) {
  console.log(`"${output}": tick to push median ${median(list.map((r) => r.ms)).toFixed(0)} ms, ` +
    `longest state answer ${Math.max(...list.map((r) => r.longest)).toFixed(1)} ms`);
}
console.log(`the first "ready" check, with the signature libraries loaded afresh: ${rounds.ready[0].ms.toFixed(0)} ms`);
const verify = median(rounds.ready.map((r) => r.ms)) - median(rounds.none.map((r) => r.ms));
console.log(`verifying the staged release: ${verify.toFixed(0)} ms (median of 5, the difference)`);
shell.close();
