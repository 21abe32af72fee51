// The update check and install flow under Wine, with the PowerShell stand-in in
// place of Wine's powershell.exe for this file only: when checks run, how
// PowerShell is started, what each output tells the page, and when an update
// installs; which staged releases a check accepts.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { TIMER_UPDATE_CHECK, WM_TIMER, isUpdatePush, startShell } from './lib/page.mjs';
import { makeSigner, sign, withFileVersion } from './lib/pe.mjs';
import {
  binDir, doublesDir, isCall, isEvent, localDir, logLines, top, usePowerShellStandIn, waitFor, winPath, windowsBuild,
} from './lib/wine.mjs';

const stage = path.join(localDir, 'Tolvin/update');

// Releases as a check leaves them in the stage folder: name below "new" -> file.
fs.mkdirSync(path.join(top, 'build/tmp'), { recursive: true });
const files = fs.mkdtempSync(path.join(top, 'build/tmp/releases-'));
const program = (version, signer) => {
  const unsigned = path.join(files, `Tolvin-${version}.exe`);
  fs.writeFileSync(unsigned, withFileVersion(fs.readFileSync(path.join(binDir, 'Tolvin.exe')), version));
  if (!signer) return unsigned;
  sign(unsigned, signer, `${unsigned}.${signer.name}`);
  return `${unsigned}.${signer.name}`;
};
function stageRelease(release, version = '2.1.2') {
  fs.rmSync(path.join(stage, 'new'), { recursive: true, force: true });
  for (const [name, source] of Object.entries(release)) {
    fs.mkdirSync(path.dirname(path.join(stage, 'new', name)), { recursive: true });
    fs.copyFileSync(source, path.join(stage, 'new', name));
  }
  fs.writeFileSync(path.join(stage, 'version'), `${version}\n`);
}
const staged = () => ['new', 'version'].filter((name) => fs.existsSync(path.join(stage, name)));

const { env, plan, runs, forget } = usePowerShellStandIn();
const pushes = (shell) => shell.standIn.reports.filter(isUpdatePush);
const push = (state) => `if (window.__tolvinUpdate) window.__tolvinUpdate(${state});`;

async function start(t, { inCall = false, extra } = {}) {
  forget();
  const shell = await startShell({ env, t, extra });
  await shell.page();
  if (inCall) await shell.send('{"type":"setInCall","inCall":true}');
  return shell;
}
const nextPush = (shell, count) => waitFor(`update push ${count}`, () => pushes(shell).length >= count && pushes(shell)[count - 1]);
const tick = (shell) => shell.post(WM_TIMER, TIMER_UPDATE_CHECK);

test('the first check 3 s after start: the exact command line, NUL and two pipes only; ready installs at once', async (t) => {
  fs.rmSync(stage, { recursive: true, force: true });
  // A build from source takes an unsigned release of the offered version.
  stageRelease({ 'Tolvin.exe': program('2.1.2') });
  plan(0, 'ready 2.1.2\r\n');
  const shell = await start(t);
  await shell.send('{"type":"updateState"}');
  await shell.send('{"type":"updateInstall"}');
  assert.deepEqual(pushes(shell).map((c) => c.script), [push('{"status":"idle"}')]);

  const [check] = await waitFor('the check', runs);
  const stageWin = `C:\\users\\${os.userInfo().username}\\AppData\\Local\\Tolvin\\update`;
  const head = '"C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe" -NoProfile -NonInteractive ' +
    `-ExecutionPolicy Bypass -WindowStyle Hidden -File "${stageWin}\\native-update.ps1" `;
  assert.equal(check.commandLine, `${head}check 2.1.1 "${winPath(shell.dir)}" "${stageWin}"`);
  assert.deepEqual(check.kinds, ['char', 'pipe', 'pipe']);
  assert.notEqual(check.stdout, check.stderr, 'output and error are separate pipes');
  assert.deepEqual(check.inherited.sort(), [check.stdin, check.stdout, check.stderr].sort(), 'nothing else inherited');
  assert.equal(check.console, false);
  assert.ok(fs.readFileSync(path.join(stage, 'native-update.ps1'))
    .equals(fs.readFileSync(path.join(windowsBuild, 'generated/native-update.ps1'))), 'the script as embedded');

  const ready = await nextPush(shell, 2);
  assert.equal(ready.script, push('{"status":"ready","version":"2.1.2"}'));
  const firstTick = shell.calls('KillTimer')[0];
  t.diagnostic(`first timer tick to result push: ${((ready.at - firstTick.at) / 1000).toFixed(0)} ms`);
  assert.equal(await shell.program.ended(), 0);
  const [, install, ...more] = runs();
  assert.equal(more.length, 0, 'the idle install request started nothing');
  assert.equal(install.commandLine, `${head}install "${winPath(shell.dir)}" ${shell.pid} "${stageWin}"`);
  shell.standIn.close();
});

test('in a call each output tells the page and the log; one check at a time, none once ready; the page installs', async (t) => {
  plan(0, 'WARNING: something\r\nnone\r\n');
  stageRelease({ 'Tolvin.exe': program('2.1.3') }, '2.1.3');
  const shell = await start(t, { inCall: true });
  // More error text than a pipe holds: PowerShell would wait for a reader.
  const error = 'Invoke-WebRequest : The remote name could not be resolved\r\n' + 'e'.repeat(20000);
  // [exit code, output, what the page is told, PowerShell's error text]
  const outputs = [
    [0, 'WARNING: something\r\nnone\r\n', '{"status":"idle"}'],
    [0, 'manual 2.1.2\r\n', '{"status":"manual","version":"2.1.2"}'],
    [1, '', '{"status":"manual","version":"2.1.2"}', error],
    [0, 'none\r\n', '{"status":"idle","version":"2.1.2"}'],
    [1, 'ready 2.1.3\r\n', '{"status":"error","version":"2.1.2"}'],
    [0, 'Ready 2.1.3\r\n', '{"status":"idle","version":"2.1.2"}'],
    [0, 'ready 2.1.3\r\n\r\n', '{"status":"ready","version":"2.1.3"}'],
  ];
  for (const [i, [code, output, state, error = '']] of outputs.entries()) {
    if (i > 0) {
      plan(code, output, 1500, error);
      await tick(shell);
      await tick(shell); // while the first runs: skipped
    }
    assert.equal((await nextPush(shell, i + 1)).script, push(state), `output ${JSON.stringify(output)}`);
    assert.equal(runs().length, i + 1);
    const [word = '', version = ''] = output.trim().split('\n').at(-1).trim().split(' ');
    const logged = `check: exit code ${code}, result "${word}"${version && ` ${version}`}` +
      (error && `, error text: ${error.slice(0, 4096).replaceAll(/[\r\n]/g, ' ')}`);
    await waitFor(logged.slice(0, 60), () => logLines('tolvin.log').some((l) => l.endsWith(`[update] ${logged}`)), 5000);
  }
  await tick(shell);
  await sleep(1500);
  assert.equal(runs().length, outputs.length, 'no check once ready');
  assert.equal(shell.program.child.exitCode, null, 'in a call a ready update waits');

  await shell.send('{"type":"updateInstall"}');
  assert.equal(await shell.program.ended(), 0);
  assert.match(runs().at(-1).commandLine, new RegExp(` install "[^"]+" ${shell.pid} "`));
  shell.standIn.close();
});

test('a new document is in no call: after a reload, ready in the first minute installs', async (t) => {
  plan(0, 'ready 2.1.2\r\n', 1500);
  stageRelease({ 'Tolvin.exe': program('2.1.2') });
  const shell = await start(t, { inCall: true });
  await shell.standIn.command(`navigate ${shell.calls('Navigate')[0].uri}`, isEvent('navigationStarted'));
  assert.equal(await shell.program.ended(), 0);
  assert.match(runs().at(-1).commandLine, / install /);
  shell.standIn.close();
});

test('an unwritable stage folder changes nothing; after the first minute a ready update waits', async (t) => {
  fs.rmSync(stage, { recursive: true, force: true });
  fs.mkdirSync(path.join(stage, 'native-update.ps1'), { recursive: true });
  plan(0, 'ready 2.1.2\r\n');
  const shell = await start(t);
  await shell.standIn.next(isCall('KillTimer'), { ms: 10000 });
  await sleep(1500);
  assert.deepEqual([runs().length, pushes(shell).length], [0, 0]);
  await shell.send('{"type":"updateState"}');
  assert.equal(pushes(shell)[0].script, push('{"status":"idle"}'));

  fs.rmdirSync(path.join(stage, 'native-update.ps1'));
  stageRelease({ 'Tolvin.exe': program('2.1.2') });
  // The program's clock, moved on past its first minute.
  assert.equal((await shell.standIn.command('advance 60000', isEvent('advanced'))).watched, true);
  await tick(shell);
  assert.equal((await nextPush(shell, 2)).script, push('{"status":"ready","version":"2.1.2"}'));
  await sleep(2000);
  assert.deepEqual([runs().length, shell.program.child.exitCode], [1, null]);
  assert.equal(await shell.quit(), 0);
});

test('a running program signed by A takes only a release that A signed, of the offered version', async (t) => {
  const [a, b] = [['a', '/CN=Tolvin Test/O=Tolvin Test A'], ['b', '/CN=Tolvin Test/O=Tolvin Test B']]
    .map(([name, subject]) => ({ name, ...makeSigner(files, name, subject) }));
  const microsoftLoader = path.join(binDir, 'WebView2Loader.dll');
  const tampered = path.join(files, 'tampered.exe');
  fs.writeFileSync(tampered, fs.readFileSync(program('2.1.2', a)).map((byte, i) => (i === 0x1000 ? byte ^ 1 : byte)));
  const loaderOfA = path.join(files, 'loader-a.dll');
  sign(path.join(doublesDir, 'WebView2Loader.dll'), a, loaderOfA);
  const good = { 'Tolvin.exe': program('2.1.2', a), 'WebView2Loader.dll': microsoftLoader, 'lib/ours.dll': loaderOfA };
  // [release in "new", what the page is told after "ready 2.1.2"]; once ready, no check runs.
  const refused = '{"status":"error"}';
  const cases = [
    [{ 'Tolvin.exe': program('2.1.2', b) }, refused],
    [{ 'Tolvin.exe': program('2.1.2') }, refused],
    [{ 'Tolvin.exe': tampered }, refused],
    [{ ...good, 'lib/extra.dat': path.join(doublesDir, 'WebView2Loader.dll') }, refused],
    [{ ...good, 'WebView2Loader.dll': loaderOfA }, refused],
    [{ ...good, 'Tolvin.exe': program('2.1.0', a) }, refused],
    [{ 'WebView2Loader.dll': microsoftLoader }, refused],
    [good, '{"status":"ready","version":"2.1.2"}'],
  ];
  plan(0, 'ready 2.1.2\r\n');
  stageRelease(cases[0][0]);
  const shell = await start(t, { extra: { 'Tolvin.exe': program('2.1.1', a) } });
  for (const [i, [release, state]] of cases.entries()) {
    if (i > 0) {
      stageRelease(release);
      await tick(shell);
    }
    const what = `release ${i}: ${Object.keys(release)}`;
    assert.equal((await nextPush(shell, i + 1)).script, push(state), what);
    assert.deepEqual(staged(), state === refused ? [] : ['new', 'version'], what);
  }
  assert.equal(await shell.program.ended(), 0, 'ready in the first minute installs');
  shell.standIn.close();
});
