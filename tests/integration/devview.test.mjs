// The real Tolvin.exe with the development page in headless Chromium: the
// loader stand-in's Chromium mode and its driver play the runtime, and the
// tests drive only the page and real input.
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { promisify } from 'node:util';
import zlib from 'node:zlib';

import { TONE, opened, startDevView } from '../devview/devview.mjs';
import { openWindow } from './lib/capture-helper.mjs';
import {
  IDM, TIMER_UPDATE_CHECK, WM_COMMAND, WM_TIMER, runAs, windowsProcesses, xdotool,
} from './lib/page.mjs';
import { withFileVersion } from './lib/pe.mjs';
import {
  binDir, focusWindow, isCall, isEvent, localDir, percentile, probe, top, usePowerShellStandIn, waitFor, within,
} from './lib/wine.mjs';

const artifacts = path.join(top, 'build/devview');
fs.mkdirSync(artifacts, { recursive: true });

let view;
let page;
const received = []; // { report, at: Date.now() when it reached this process }

before(async () => {
  view = await startDevView();
  view.standIn.listeners.add((report) => received.push({ report, at: Date.now() }));
  page = await opened(view);
});
after(() => view?.close());

const text = (id) => page.textContent(`#${id}`);
const state = () => view.standIn.command('state', isEvent('state'));
const active = () => page.evaluate(() => pallan.appAudio.active());

test('the first document has the bridge before its own scripts, as the shell sets it up', async () => {
  assert.deepEqual(await page.evaluate(() => window.devFirstScript.pallan + ' ' + window.devFirstScript.webview),
                   'object object');
  const surface = await page.evaluate(async () => ({
    constants: [pallan.desktop, pallan.native, pallan.platform, pallan.arch],
    available: await pallan.appAudio.available(),
    active: await pallan.appAudio.active(),
    members: Object.keys(pallan).concat(Object.keys(pallan.updates), Object.keys(pallan.appAudio)),
  }));
  assert.deepEqual(surface, {
    constants: [true, true, 'win32', 'x64'], available: true, active: false,
    members: ['desktop', 'native', 'platform', 'arch', 'setInCall', 'updates', 'appAudio', 'state', 'onChange',
              'install', 'download', 'available', 'start', 'active', 'onData', 'stop'],
  });
  assert.equal(await text('available'), 'true');
  const [bounds] = view.standIn.reports.filter(isCall('put_Bounds')).map((r) => r.bounds);
  assert.deepEqual(page.viewportSize(), { width: bounds[2] - bounds[0], height: bounds[3] - bounds[1] });
  await page.screenshot({ path: path.join(artifacts, 'page-first.png') });
});

test('every new document: the program hears NavigationStarting first, then the bridge and the page run', async () => {
  const ways = [
    ['reload', () => page.click('#reload'), '/', 1],
    ['link', () => page.click('#second'), '/second', 1],
    ['redirect', () => page.click('#redirect'), '/', 2],
    ['form', () => page.click('#form'), '/form', 1],
  ];
  for (const [way, go, pathname, starts] of ways) {
    const from = received.length;
    const before = await page.evaluate(() => window.devFirstScript.at);
    // The program's window thread is busy for a second: the document must wait for it.
    const busy = view.standIn.command('busy 1000', isEvent('idle'));
    await sleep(100);
    await go();
    await page.waitForFunction((t) => window.devFirstScript?.at > t && window.devPage, before, { timeout: 20000 });
    await busy;
    const heard = received.slice(from).filter((r) => r.report.event === 'navigationStarted');
    const first = await page.evaluate(() => ({ ...window.devFirstScript, pathname: location.pathname }));
    assert.equal(heard.length, starts, `${way}: navigations started`);
    assert.ok(first.at >= heard.at(-1).at, `${way}: the document ran ${heard.at(-1).at - first.at} ms before the program heard`);
    assert.deepEqual([first.pathname, first.pallan, first.webview], [pathname, 'object', 'object'], way);
    assert.equal(await page.evaluate(() => pallan.appAudio.available()), true, way);
  }
  await page.screenshot({ path: path.join(artifacts, 'page-after-navigations.png') });
});

test('the page\'s buttons reach the program: zoom, minimise, push-to-talk', async () => {
  const cases = [
    ['windowZoom', async () => (await state()).maximised, true],
    ['windowZoom', async () => (await state()).maximised, false],
    ['setPushToTalkKey', () => view.standIn.reports.filter(isCall('SetWindowsHookExW')).map((r) => r.installed), [true]],
    ['windowMinimize', async () => (await state()).minimised, true],
  ];
  for (const [button, observe, expected] of cases) {
    await page.click(`#${button}`);
    await waitFor(`${button} to show`, async () => {
      const seen = await observe();
      return JSON.stringify(seen) === JSON.stringify(expected);
    }, 10000);
    if (button === 'windowZoom' && expected) {
      // The page follows the window's new client area.
      const { client } = await state();
      await waitFor('the page to fill the maximised window', () =>
        page.viewportSize().width === client[2] && page.viewportSize().height === client[3]);
    }
  }
  await view.standIn.command(`post 1125 0 ${0x400 | (1 << 16)}`, isEvent('posted')); // the tray icon's click restores it
  await waitFor('the window back', async () => !(await state()).minimised);
});

test('the window hidden in the tray hides the page; shown again, the page is visible', async () => {
  const WM_CLOSE = 16;
  for (const [message, wParam, visibility] of [[WM_CLOSE, 0, 'hidden'], [WM_COMMAND, IDM.show, 'visible']]) {
    await view.standIn.command(`post ${message} ${wParam} 0`, isEvent('posted'));
    await waitFor(`the page ${visibility}`, async () => (await page.evaluate(() => document.visibilityState)) === visibility, 5000);
  }
});

test('the global hot keys toggle the page\'s mute and deafen', async () => {
  const other = await focusWindow(30);
  try {
    const [window] = await probe('windows', 'TolvinProbeFocus');
    await xdotool('mousemove', (window.rect[0] + window.rect[2]) >> 1, (window.rect[1] + window.rect[3]) >> 1);
    for (const [keys, id, shown] of [['ctrl+shift+m', 'mute', 'on'], ['ctrl+shift+m', 'mute', 'off'],
                                      ['ctrl+shift+d', 'deafen', 'on']]) {
      await xdotool('key', keys);
      await waitFor(`${id} ${shown}`, async () => (await text(id)) === shown, 10000);
    }
  } finally {
    await other.close();
  }
});

const quantile = (values, q) => percentile(values.toSorted((a, b) => a - b), 100 * q);

test('an activity scan from the page gets its answer with a renamed process running', async (t) => {
  const stop = await runAs('VALORANT.exe');
  try {
    await page.click('#scanActivity');
    await waitFor('the answer', async () => (await text('activity')).includes('{"name":"VALORANT","type":"playing"}'), 10000);
  } finally {
    await stop();
  }
  // What the adapter adds: a page message to the program's handler and its
  // answer back to the page, less the time the program spent in the handler.
  const from = view.standIn.reports.length;
  const trips = await page.evaluate(async () => {
    const times = [];
    for (let i = 0; i < 200; i++) {
      const sent = performance.now();
      await new Promise((resolve) => {
        window.__tolvinNativeReply = resolve;
        window.chrome.webview.postMessage({ type: 'scanActivity', callbackId: i });
      });
      times.push(performance.now() - sent);
    }
    return times;
  });
  // The stand-in reports a delivery once the handler has returned, after the answer.
  const delivered = () => view.standIn.reports.slice(from).filter(isEvent('messageDelivered'));
  await waitFor('every message to reach the handler', () => delivered().length === 200, 5000);
  const inside = delivered().map((r) => (r.endedAt - r.startedAt) / 1000);
  const adapter = trips.map((ms, i) => ms - inside[i]);
  const ms = (v) => `${v.toFixed(2)} ms`;
  t.diagnostic(`page → handler → page over 200 scans: median ${ms(quantile(trips, 0.5))}, p99 ${ms(quantile(trips, 0.99))};` +
               ` in the handler median ${ms(quantile(inside, 0.5))}; the adapter alone median` +
               ` ${ms(quantile(adapter, 0.5))}, p99 ${ms(quantile(adapter, 0.99))}`);
});

// Chromium's browser process: the one of its profile that is no helper of another type.
const browserPid = (dataDir) => Number(fs.readdirSync('/proc').find((pid) => {
  try {
    const command = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1');
    return command.includes(`--user-data-dir=${dataDir}\0`) && !command.includes('--type=');
  } catch {
    return false;
  }
}));

test('a renderer or browser that dies: the driver says so, the program runs on and its page comes back', async () => {
  const lines = [];
  view.runtime.log = (line) => lines.push(line);
  const crashes = [
    ['renderer', (old) => old.goto('chrome://crash').catch(() => {}), /renderer has crashed/],
    ['browser', () => process.kill(browserPid(view.runtime.dataDir), 'SIGKILL'), /browser has exited/],
  ];
  for (const [what, crash, said] of crashes) {
    const from = view.standIn.reports.length;
    const logged = lines.length;
    await within(`the ${what} to end`, crash(view.runtime.page));
    // A new document, whose bridge asks for the update state: Playwright keeps
    // no working handle on a page whose renderer crashed, the program's link does.
    await waitFor(`the page back after the ${what}'s end`, () => {
      const since = lines.slice(logged);
      const crashedAt = since.findIndex((line) => said.test(line));
      return crashedAt >= 0 && since.slice(crashedAt).some((line) => line.startsWith('page: loaded')) &&
        view.standIn.reports.slice(from).some(isEvent('messageDelivered'));
    }, 30000);
    assert.equal(view.program.child.exitCode, null, `the program runs on after the ${what}'s end`);
  }
  page = view.runtime.page;
  assert.equal(await page.evaluate(() => pallan.appAudio.available()), true);
});

test('the update state reaches the page: updates.state() resolves idle and the page shows it', async () => {
  const idle = await waitFor('an update state', () => page.evaluate(() => pallan.updates.state()), 15000);
  assert.deepEqual(idle, { status: 'idle' });
  assert.equal(await text('update'), '{"status":"idle"}');
});

// What the page's PCM listener saw of a tone: whole frames only, both channels
// alike, zeros (before the capture starts) or ±level in runs of 24 frames: a
// chunk lost, doubled or out of order breaks a run.
function listenToTone(level) {
  const seen = (window.toneSeen = { chunks: 0, bytes: 0, partial: 0, odd: 0, runs: {}, last: 0, run: 0, arrivals: [] });
  pallan.appAudio.onData((bytes) => {
    seen.arrivals.push([performance.now(), seen.bytes]);
    seen.chunks += 1;
    seen.bytes += bytes.length;
    if (bytes.length % 8) seen.partial += 1;
    const samples = new Float32Array(bytes.slice().buffer, 0, bytes.length >> 2);
    for (let i = 0; i + 1 < samples.length; i += 2) {
      const v = samples[i];
      if (samples[i + 1] !== v || (v !== 0 && Math.abs(v) !== level)) seen.odd += 1;
      else if (v === seen.last) seen.run += 1;
      else {
        if (seen.last !== 0) seen.runs[seen.run] = (seen.runs[seen.run] ?? 0) + 1;
        [seen.last, seen.run] = [v, 1];
      }
    }
  });
}

test('app audio of one window: the window id from the page reaches the helper, which hears only that window\'s program', async (t) => {
  const other = await openWindow(60);
  t.after(other.close);
  // The window's program plays at a quarter of full scale, everything else at half.
  view.scenario.write([...TONE, `process ${other.pid} 101 probe.exe`, `tone ${other.pid} 8192 24`]);
  t.after(() => view.scenario.write(TONE));
  await page.fill('#windowId', String(other.hwnd));
  await page.click('#startWindow');
  await waitFor('the share to start', active, 10000);
  await page.evaluate(listenToTone, 0.25);
  await sleep(2000);
  const seen = await page.evaluate(() => window.toneSeen);
  assert.deepEqual({ odd: seen.odd, runs: Object.keys(seen.runs).filter((n) => n !== '24') }, { odd: 0, runs: [] });
  assert.ok(seen.runs[24] > 50, `${seen.runs[24]} half periods`);
  await page.click('#stop');
  await waitFor('the share to end', async () => !(await active()), 10000);
});

test('app audio: the page hears the simulated helper\'s tone in order; stop, a reload and Quit end the helper', async (t) => {
  const helpers = () => windowsProcesses(view.dir, 'tolvin-app-audio.exe');
  const start = async () => {
    await page.click('#startAll');
    await waitFor('the share to start', active, 10000);
    assert.equal(helpers().length, 1, 'one helper runs');
  };
  await start();
  await page.evaluate(listenToTone, 0.5);
  const from = performance.now();
  // Longer for the figures: TOLVIN_TONE_SECONDS=60.
  await sleep(1000 * Number(process.env.TOLVIN_TONE_SECONDS ?? 3));
  const seen = await page.evaluate(() => window.toneSeen);
  const rate = seen.bytes / ((performance.now() - from) / 1000);
  // The helper writes at an even pace: how much later than the earliest chunk,
  // for its place in the stream, each chunk reached the page.
  const [firstAt] = seen.arrivals[0];
  const behind = seen.arrivals.map(([at, before]) => at - firstAt - (before / 384000) * 1000);
  const least = Math.min(...behind);
  const late = behind.map((ms) => ms - least);
  t.diagnostic(`the page received ${seen.chunks} chunks, ${Math.round(rate)} bytes/s; lateness beyond the earliest` +
               ` chunk: median ${quantile(late, 0.5).toFixed(1)} ms, p99 ${quantile(late, 0.99).toFixed(1)} ms`);
  assert.deepEqual({ partial: seen.partial, odd: seen.odd, runs: Object.keys(seen.runs).filter((n) => n !== '24') },
                   { partial: 0, odd: 0, runs: [] }, JSON.stringify(seen.runs));
  assert.ok(seen.runs[24] > 100 && Math.abs(rate / 384000 - 1) < 0.15, `${seen.runs[24]} half periods, ${rate} B/s`);

  const ends = [
    ['stop', () => page.click('#stop')],
    ['reload', () => page.click('#reload')],
    ['Quit', () => view.standIn.command(`post ${WM_COMMAND} ${IDM.quit} 0`, isEvent('posted'))],
  ];
  for (const [how, end] of ends) {
    if (how !== 'stop') await start();
    await end();
    await waitFor(`the helper to end after ${how}`, () => helpers().length === 0, 10000);
    if (how !== 'Quit') await waitFor(`the page inactive after ${how}`, async () => !(await active()), 10000);
  }
  assert.equal(await view.program.ended(), 0);
});

test('without the helper beside the program the page hears that app audio is unavailable', async (t) => {
  await view.close();
  const bare = await startDevView({ helper: null, t });
  const shown = await opened(bare);
  assert.equal(await shown.evaluate(() => pallan.appAudio.available()), false);
  assert.equal(await shown.textContent('#available'), 'false');
});

test('in a call a ready update waits until the page installs it, and the installer gets the program\'s pid', async (t) => {
  const powerShell = usePowerShellStandIn();
  powerShell.plan(0, 'none\r\n');
  const inCall = await startDevView({ helper: null, env: powerShell.env, t });
  const shown = await opened(inCall);
  await shown.click('#inCall');
  // A round trip behind it: the program has handled setInCall.
  await shown.evaluate(() => new Promise((resolve) => {
    window.__tolvinNativeReply = resolve;
    window.chrome.webview.postMessage({ type: 'scanActivity', callbackId: 0 });
  }));
  // The first check, 3 s after start, may have come and gone: the timer's next tick.
  // A build from source takes an unsigned release of the offered version.
  const staged = path.join(localDir, 'Tolvin/update/new');
  fs.mkdirSync(staged, { recursive: true });
  t.after(() => fs.rmSync(staged, { recursive: true, force: true }));
  fs.writeFileSync(path.join(staged, 'Tolvin.exe'), withFileVersion(fs.readFileSync(path.join(binDir, 'Tolvin.exe')), '9.9.9'));
  powerShell.plan(0, 'ready 9.9.9\r\n');
  await waitFor('the page to hear of the update', async () => {
    await inCall.standIn.command(`post ${WM_TIMER} ${TIMER_UPDATE_CHECK} 0`, isEvent('posted'));
    return (await shown.textContent('#update')) === '{"status":"ready","version":"9.9.9"}';
  }, 20000);
  await sleep(1500);
  assert.equal(inCall.program.child.exitCode, null, 'in a call a ready update waits');
  assert.ok(powerShell.runs().every((run) => / check /.test(run.commandLine)), 'only checks so far');

  await shown.click('#updateInstall');
  assert.equal(await inCall.program.ended(), 0);
  const { pid } = inCall.standIn.reports.find(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  assert.match(powerShell.runs().at(-1).commandLine, new RegExp(` install "[^"]+" ${pid} "`));
});

// Rows of a PNG that scripts/screenshot.mjs wrote (RGB, no row filters).
function pixels(file) {
  const png = fs.readFileSync(file);
  const width = png.readUInt32BE(16);
  const chunks = [];
  for (let at = 8; at < png.length; at += 12 + png.readUInt32BE(at)) {
    if (png.toString('latin1', at + 4, at + 8) === 'IDAT') chunks.push(png.subarray(at + 8, at + 8 + png.readUInt32BE(at)));
  }
  const raw = zlib.inflateSync(Buffer.concat(chunks));
  return (x, y) => raw.subarray(y * (1 + 3 * width) + 1 + 3 * x, y * (1 + 3 * width) + 4 + 3 * x).toString('hex');
}

// Processes of the run, Wine's and Chromium's alike, by the Wine prefix in their
// environment.
function leftOver(prefix) {
  return fs.readdirSync('/proc').filter((pid) => /^\d+$/.test(pid)).flatMap((pid) => {
    try {
      const environ = fs.readFileSync(`/proc/${pid}/environ`, 'latin1');
      const command = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').replaceAll('\0', ' ');
      return environ.includes(`WINEPREFIX=${prefix}\0`) ? [`${pid} ${command.slice(0, 60)}`] : [];
    } catch {
      return []; // ended meanwhile
    }
  });
}

test('scripts/run on a virtual display shows both windows with the page, and Ctrl+C ends everything', async (t) => {
  const env = { ...process.env };
  delete env.DISPLAY;
  const startedAt = performance.now();
  // A group of its own, as a terminal's foreground job: a failed test ends it
  // with Ctrl+C, and what is left after a while goes for good.
  const run = spawn(path.join(top, 'scripts/run'), [], { env, stdio: ['ignore', 'pipe', 'pipe'], detached: true });
  const group = (signal) => {
    try {
      process.kill(-run.pid, signal);
    } catch {} // already gone
  };
  t.after(async () => {
    group('SIGINT');
    await Promise.race([exited, sleep(20000)]);
    group('SIGKILL');
  });
  const exited = once(run, 'exit');
  let out = '';
  let shownAt = null;
  for (const stream of [run.stdout, run.stderr]) {
    stream.on('data', (chunk) => {
      out += chunk;
      if (out.includes('The development page shows')) shownAt ??= performance.now();
    });
  }
  await waitFor('scripts/run to settle', () => out.includes('Press Ctrl+C') || run.exitCode !== null, 300000);
  t.diagnostic(`scripts/run to the page shown: ${((shownAt - startedAt) / 1000).toFixed(1)} s`);
  assert.match(out, /SIMULATED capture helper/);
  const display = out.match(/Running on (:\d+)\./)[1];
  const windows = await promisify(execFile)('xwininfo', ['-root', '-children'], { env: { ...env, DISPLAY: display } });
  const geometry = (title) => windows.stdout.match(new RegExp(`"${title}".*\\s(\\d+)x(\\d+)\\+(-?\\d+)\\+(-?\\d+)\\s`)).slice(1).map(Number);
  const [width, height, x, y] = geometry('Tolvin development page[^"]*');
  assert.ok(geometry('Tolvin'), 'Tolvin\'s window is on the display');
  // The page's header band, in the page's colour, on the display where Chromium's window is.
  const at = pixels(path.join(top, 'build/run/screen.png'));
  const header = [...Array(40).keys()].filter((row) => at(x + (width >> 1), y + row) === '1f6f5c');
  assert.ok(header.length > 20 && height > 200, `header rows seen: ${header.length}`);
  for (const file of ['page.png', 'tolvin.png']) assert.ok(fs.statSync(path.join(top, 'build/run', file)).size > 1000, file);

  group('SIGINT');
  await within('scripts/run to end after Ctrl+C', exited, 30000);
  let left = [];
  await waitFor('no process of the run', () => (left = leftOver(path.join(top, 'build/wine-run'))).length === 0, 10000)
    .catch(() => assert.fail(`still running: ${left.join('; ')}`));
});
