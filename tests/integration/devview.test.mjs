// The real Tolvin.exe with the development page in headless Chromium: the
// loader stand-in's Chromium mode and its driver play the runtime, and the
// tests drive only the page and real input.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { startDevView } from '../devview/devview.mjs';
import { focusWindow, runAs, xdotool } from './lib/page.mjs';
import { isCall, isEvent, probe, top, waitFor } from './lib/wine.mjs';

const artifacts = path.join(top, 'build/devview');
fs.mkdirSync(artifacts, { recursive: true });

let view;
let page;
const received = []; // { report, at: Date.now() when it reached this process }

// The first document's page script has run.
async function opened(v) {
  const shown = await waitFor('the development page', () => v.runtime.page?.url() === v.page && v.runtime.page, 60000);
  await shown.waitForFunction(() => window.devPage, null, { timeout: 20000 });
  return shown;
}

before(async () => {
  view = await startDevView();
  view.standIn.listeners.add((report) => received.push({ report, at: Date.now() }));
  page = await opened(view);
});
after(() => view?.close());

const text = (id) => page.textContent(`#${id}`);
const state = () => view.standIn.command('state', isEvent('state'));

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
  await view.standIn.command('post 1125 0 514', isEvent('posted')); // the tray icon's click restores it
  await waitFor('the window back', async () => !(await state()).minimised);
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

const quantile = (values, q) => values.toSorted((a, b) => a - b)[Math.min(values.length - 1, Math.floor(q * values.length))];

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

test('without the helper beside the program the page hears that app audio is unavailable', async (t) => {
  await view.close();
  const bare = await startDevView({ helper: null, t });
  const shown = await opened(bare);
  assert.equal(await shown.evaluate(() => pallan.appAudio.available()), false);
  assert.equal(await shown.textContent('#available'), 'false');
});
