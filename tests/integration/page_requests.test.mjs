// Page requests that reach beyond the window, under Wine: the activity scan over
// real processes, the download page and other sites in the default browser, and
// the keyboard hook for push-to-talk with real key presses on the X display.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { isPageScript, runAs, startShell, xdotool } from './lib/page.mjs';
import { focusWindow, isEvent, probe, top, waitFor } from './lib/wine.mjs';

const deployment = fs.readFileSync(path.join(top, 'shell/deployment.h'), 'utf8');
const setting = (name) => deployment.match(new RegExp(`${name}\\[\\] = L"([^"]+)"`))[1];
const downloadPage = setting('SERVICE_ORIGIN') + setting('DOWNLOAD_PAGE_PATH');
const reply = (id, result) => `if (window.__tolvinNativeReply) window.__tolvinNativeReply(${id}, ${result});`;

// Wine hands http and https addresses to the first xdg-open on PATH: this one
// records them.
fs.mkdirSync(path.join(top, 'build/tmp'), { recursive: true });
const browserDir = fs.mkdtempSync(path.join(top, 'build/tmp/browser-'));
const record = path.join(browserDir, 'opened');
fs.writeFileSync(path.join(browserDir, 'xdg-open'), `#!/bin/sh\nprintf '%s\\n' "$1" >> '${record}'\n`, { mode: 0o755 });
const opened = () => (fs.existsSync(record) ? fs.readFileSync(record, 'utf8').split('\n').filter(Boolean) : []);

let shell;
before(async () => {
  shell = await startShell({ env: { PATH: `${browserDir}:${process.env.PATH}` } });
  await shell.page();
});
after(() => shell?.close());

const figures = [];

// The script the scan request makes, and how long the program took to answer.
async function scan(message) {
  const from = shell.standIn.reports.length;
  const sent = performance.now();
  const delivered = await shell.send(message);
  const answer = await shell.standIn.next(isPageScript, { from });
  figures.push({ insideMs: (answer.at - delivered.startedAt) / 1000, roundTripMs: performance.now() - sent });
  assert.equal(shell.scripts(from).length, 1, 'one answer per request');
  return answer.script;
}

test('an activity scan names the known program that runs, with the callback id as given', async (t) => {
  const cases = [
    ['VALORANT.exe', '{"type":"scanActivity","callbackId":7}', reply(7, '{"name":"VALORANT","type":"playing"}')],
    ['bg3.exe', '{"type":"scanActivity","callbackId":-3}', reply(-3, `{"name":"Baldur's Gate 3","type":"playing"}`)],
    ['javaw.exe', '{"type":"scanActivity"}', reply(0, '{"name":"Minecraft","type":"playing"}')],
    ['myvalorant.exe', '{"type":"scanActivity","callbackId":7}', reply(7, 'null')],
  ];
  assert.equal(await scan('{"type":"scanActivity","callbackId":7}'), reply(7, 'null'), 'none runs at first');
  for (const [name, message, expected] of cases) {
    const stop = await runAs(name);
    try {
      assert.equal(await scan(message), expected, name);
    } finally {
      await stop();
    }
  }
  assert.equal(await scan('"scanActivity"'), reply(0, 'null'), 'each request scans anew');
  const range = (key) => `${Math.min(...figures.map((f) => f[key])).toFixed(2)}-${Math.max(...figures.map((f) => f[key])).toFixed(2)} ms`;
  t.diagnostic(`first page message to reply script: ${figures[0].insideMs.toFixed(2)} ms in the program,` +
               ` ${figures[0].roundTripMs.toFixed(1)} ms seen by the test; all scans: ${range('insideMs')}` +
               ` in the program, ${range('roundTripMs')} seen by the test`);
});

test('only the opened page and the service may ask: documents of other origins are not heard', async () => {
  const page = new URL(shell.calls('Navigate')[0].uri);
  const sources = [
    [`${page.origin}/another/room`, true],
    [`${setting('SERVICE_ORIGIN')}/download`, true],
    [`https://evil.example${page.pathname}`, false],
    [`http://${page.host}${page.pathname}`, false],
    [`https://${page.hostname}:8443${page.pathname}`, false],
    ['about:blank', false],
    ['data:text/html,<p>hi</p>', false],
  ];
  const before = await shell.state();
  for (const [source, heard] of sources) {
    const from = shell.standIn.reports.length;
    await shell.sendFrom(source, '{"type":"scanActivity","callbackId":9}');
    if (!heard) await shell.sendFrom(source, '"windowMinimize"');
    const calls = shell.standIn.reports.slice(from).filter((r) => r.call);
    assert.deepEqual(calls.map((c) => c.script), heard ? [reply(9, 'null')] : [], source);
  }
  const after = await shell.state();
  assert.deepEqual([after.visible, after.minimised, after.rect], [before.visible, before.minimised, before.rect]);
});

// What the browser is given from now on, once `count` addresses came and a
// second passed without more.
async function openedFrom(from, count) {
  await waitFor(`${count} addresses in the browser`, () => opened().length >= from + count);
  await sleep(1000);
  return opened().slice(from);
}

test('a download request opens the download page in the default browser, each time', async () => {
  const from = opened().length;
  await shell.send('{"type":"updateDownload"}');
  await shell.send('{"type":"updateDownload"}');
  assert.deepEqual(await openedFrom(from, 2), [downloadPage, downloadPage]);
});

test('new windows the user asked for of other sites open in the default browser, the page\'s own stay with the runtime, the rest open nothing', async () => {
  const page = new URL(shell.calls('Navigate')[0].uri);
  const cases = [
    // address, asked by, handled by the program, given to the browser
    ['https://elsewhere.example/a?b=1', 'new-window', true, true],
    [`http://${page.host}/plain`, 'new-window', true, true],
    ['https://elsewhere.example/popup', 'new-window-by-script', true, false],
    ['mailto:someone@example.test', 'new-window-by-script', true, false],
    ['javascript:alert(1)', 'new-window', true, false],
    ['file:///etc/passwd', 'new-window', true, false],
    ['about:blank', 'new-window', false, false],
    [`${page.origin}/room/2`, 'new-window-by-script', false, false],
    [`${setting('SERVICE_ORIGIN')}/help`, 'new-window', false, false],
  ];
  const from = opened().length;
  for (const [address, verb, handled] of cases) {
    const request = await shell.standIn.command(`${verb} ${address}`, isEvent('newWindowRequested'));
    assert.deepEqual([request.handled, request.returned, request.argsRefsLeft], [handled, 0, 0], address);
  }
  const expected = cases.filter(([, , , browser]) => browser).map(([address]) => address);
  assert.deepEqual((await openedFrom(from, expected.length)).sort(), expected.sort());
});

test('push-to-talk installs one observing hook; keys typed elsewhere arrive unchanged', async () => {
  const hooks = (from) => shell.calls('SetWindowsHookExW', from);
  let from = shell.standIn.reports.length;
  await shell.standIn.command('fail-hooks 1', isEvent('hooksWillFail'));
  await shell.send('{"type":"setPushToTalkKey","key":"KeyV"}');
  assert.deepEqual(hooks(from).map((h) => h.installed), [false]);

  from = shell.standIn.reports.length;
  await shell.send('{"type":"setPushToTalkKey","key":"KeyV"}');
  await shell.send('{"type":"setPushToTalkKey","key":"F13"}');
  const installed = hooks(from);
  assert.equal(installed.length, 1, 'a failed installation is tried again, a working hook is not doubled');
  assert.deepEqual({ ...installed[0], call: undefined },
                   { call: undefined, kind: 13, procedure: true, programModule: true, thread: 0, installed: true });

  const other = await focusWindow(20);
  try {
    const [window] = await probe('windows', 'TolvinProbeFocus');
    await xdotool('mousemove', (window.rect[0] + window.rect[2]) >> 1, (window.rect[1] + window.rect[3]) >> 1);
    await xdotool('type', '--delay', '50', 'Talk 42');
    const typed = await waitFor('the typed text', () => {
      const chars = other.keys().filter((k) => k.key === 'char');
      return chars.length === 7 && chars;
    }, 10000);
    assert.equal(String.fromCharCode(...typed.map((k) => k.code)), 'Talk 42');
    await sleep(300);
    const keys = other.keys();
    assert.equal(keys.filter((k) => k.key === 'down').length, keys.filter((k) => k.key === 'up').length,
                 'every key that went down came up');

    // The hook has a thread of its own: a busy window thread delays no one's typing.
    let idleAt = Infinity;
    const idle = shell.standIn.command('busy 2000', isEvent('idle')).then(() => (idleAt = performance.now()));
    await sleep(300);
    const before = other.keys().length;
    await xdotool('type', '--delay', '50', 'ok');
    const [, last] = await waitFor('keys typed while the program is busy', () => {
      const chars = other.keys().slice(before).filter((k) => k.key === 'char');
      return chars.length === 2 && chars;
    }, 10000);
    await idle;
    assert.ok(last.at < idleAt - 500, `typed keys arrived ${Math.round(idleAt - last.at)} ms before the program was free`);
  } finally {
    await other.close();
  }
  assert.equal(await shell.quit(), 0);
});
