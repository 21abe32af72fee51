// The main window with a page under Wine: the page's window requests, the close
// to the tray and what the page is told of it, the tray icon and menu with the
// "Switch Server" dialog and "Start with Windows", the global hot keys with real
// key presses on the X display, and quitting. One program serves the whole
// file, in order.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  DEAFEN_SCRIPT, IDM, MUTE_SCRIPT, TRAY, WM_COMMAND, WM_TRAYICON, isUpdatePush, startShell, xdotool,
} from './lib/page.mjs';
import {
  focusWindow, isCall, isEvent, probe, registryValues, roamingDir, waitFor, winPath, wineEnv, wineRun,
} from './lib/wine.mjs';

const WM_SYSCOMMAND = 274;
const SC_RESTORE = 0xf120;

const WM_CLOSE = 16;
const NIM_MODIFY = 1;
const NIF_INFO = 0x10;
const NIIF_NOSOUND = 0x10;
const NIIF_RESPECT_QUIET_TIME = 0x80;

const trayIcons = async () =>
  (await probe('children', '__winex11_standalone_tray')).filter((c) => c.className === '__winex11_tray_icon');
const center = ([left, top, right, bottom]) => [(left + right) >> 1, (top + bottom) >> 1];

let shell;
before(async () => {
  shell = await startShell();
  await shell.page();
});
after(() => shell?.close());

// The one script the next action runs, or none within a second.
async function scriptOf(action) {
  const from = shell.standIn.reports.length;
  await action();
  await sleep(1000);
  const scripts = shell.scripts(from);
  assert.ok(scripts.length <= 1, `one script per action, got ${JSON.stringify(scripts)}`);
  assert.ok(scripts.every((s) => s.handler === false), 'no completion handler');
  return scripts[0]?.script;
}

// At the pointer, which the tests put at (600, 400) first.
async function openTrayMenu() {
  await shell.standIn.command(`post ${WM_TRAYICON} ${600 | (400 << 16)} ${TRAY.contextMenu}`, isEvent('posted'));
  return waitForMenu(true);
}

async function waitForMenu(shown) {
  for (let tries = 0; ; tries++) {
    const menu = await shell.standIn.command('menu', isEvent('menu'));
    if (menu.shown === shown || tries === 20) return menu;
    await sleep(100);
  }
}

async function clickItem(menu, text) {
  const item = menu.items.find((i) => i.text === text);
  await xdotool('mousemove', ...center(item.rect));
  await xdotool('click', 1);
}

test('the window cannot be made smaller than 940 by 600', async () => {
  assert.deepEqual((await shell.state()).minTrack, [940, 600]);
});

test('zoom maximises and restores, minimise minimises, and the page follows each size', async () => {
  const restored = await shell.state();
  const lastBounds = () => shell.calls('put_Bounds').at(-1).bounds;

  await shell.send('{"type":"windowZoom"}');
  const maximised = await shell.state();
  assert.ok(maximised.maximised);
  assert.deepEqual(lastBounds(), maximised.client);

  await shell.send('{"type":"windowZoom"}');
  const again = await shell.state();
  assert.ok(!again.maximised);
  assert.deepEqual(again.rect, restored.rect);
  assert.deepEqual(lastBounds(), restored.client);

  await shell.send('{"type":"windowMinimize"}');
  const minimised = await shell.state();
  assert.ok(minimised.minimised);
  assert.deepEqual(lastBounds(), minimised.client);
  const back = await shell.post(WM_SYSCOMMAND, SC_RESTORE);
  assert.deepEqual(back.rect, restored.rect);
});

test('a drag request returns at once and moves the window only while the button is held; the page hears of the move', async () => {
  const start = await shell.state();
  const [x, y] = [start.rect[0] + 400, start.rect[1] + 300];
  const drag = async (held) => {
    await xdotool('mousemove', x, y);
    if (held) await xdotool('mousedown', 1);
    const from = shell.standIn.reports.length;
    const delivered = await shell.send('{"type":"startWindowDrag"}');
    assert.ok(delivered.endedAt - delivered.startedAt < 50000, 'the handler returns at once');
    await sleep(500);
    await xdotool('mousemove', x + 60, y + 40);
    await sleep(500);
    if (held) await xdotool('mouseup', 1);
    return { rect: (await shell.state()).rect, notified: shell.calls('NotifyParentWindowPositionChanged', from).length > 0 };
  };
  assert.deepEqual(await drag(false), { rect: start.rect, notified: false }, 'the button was up: nothing moves');
  assert.deepEqual(await drag(true), {
    rect: [start.rect[0] + 60, start.rect[1] + 40, start.rect[2] + 60, start.rect[3] + 40], notified: true,
  });
});

// What the web view was told of its visibility and memory target since `from`.
const pageTold = (from) => shell.standIn.reports.slice(from)
  .filter((r) => r.call === 'put_IsVisible' || r.call === 'put_MemoryUsageTargetLevel').map((r) => `${r.call} ${r.value}`);
const HIDDEN = ['put_IsVisible 0', 'put_MemoryUsageTargetLevel 1'];
const SHOWN = ['put_IsVisible 1', 'put_MemoryUsageTargetLevel 0'];

test('close requests hide the window; the program, its tray icon and hot keys stay; the page is told', async () => {
  const shown = async () => (await shell.state()).visible;
  let from = shell.standIn.reports.length;
  await shell.send('"windowClose"');
  assert.equal(await shown(), false, 'the bare string hides the window');
  assert.deepEqual(pageTold(from), HIDDEN);
  assert.equal(shell.program.child.exitCode, null);
  assert.equal((await trayIcons()).length, 1);
  assert.equal((await probe('hotkey')).registered, false, 'the program still holds Ctrl+Shift+M');

  from = shell.standIn.reports.length;
  await shell.post(WM_TRAYICON, 0, TRAY.select);
  assert.equal(await shown(), true, 'a left click on the tray icon shows it');
  assert.deepEqual(pageTold(from), SHOWN);
  await shell.post(WM_TRAYICON, 0, TRAY.select);
  assert.equal(await shown(), false, 'and hides it again');
  await shell.post(WM_COMMAND, IDM.show);
  assert.equal(await shown(), true, '"Show Tolvin" shows it');

  // Only the plain serialised name counts, and it counts wherever it stands.
  await shell.send('"{\\"type\\":\\"windowClose\\"}"');
  await shell.send('{"type":"WindowClose"}');
  assert.equal(await shown(), true, 'an escaped or differently spelt name is no request');
  await shell.send('{"type":"setInCall","note":"windowClose"}');
  assert.equal(await shown(), false, 'the close request comes first in the order');
  await shell.post(WM_TRAYICON, 0, TRAY.select);
  assert.equal(await shown(), true);

  for (const [how, restore] of [['a tray click', [WM_TRAYICON, 0, TRAY.select]], ['"Show Tolvin"', [WM_COMMAND, IDM.show]]]) {
    from = shell.standIn.reports.length;
    await shell.send('"windowMinimize"');
    assert.ok((await shell.state()).minimised);
    assert.deepEqual(pageTold(from), HIDDEN);
    const back = await shell.post(...restore);
    assert.ok(back.visible && !back.minimised, `${how} restores a minimised window`);
    assert.deepEqual(pageTold(from), [...HIDDEN, ...SHOWN]);
  }
});

test('the hot keys, pressed in another program, run the toggle scripts', async () => {
  const other = await focusWindow(30);
  try {
    const probeWindow = (await probe('windows', 'TolvinProbeFocus'))[0];
    await xdotool('mousemove', ...center(probeWindow.rect));
    assert.equal(await scriptOf(() => xdotool('key', 'ctrl+shift+m')), MUTE_SCRIPT);
    assert.equal(await scriptOf(() => xdotool('key', 'ctrl+shift+d')), DEAFEN_SCRIPT);
    assert.equal(await scriptOf(() => xdotool('key', 'ctrl+shift+x')), undefined);
  } finally {
    await other.close();
  }
});

test('the tray menu holds its eight items, and its toggle entries run the scripts', async () => {
  await xdotool('mousemove', 600, 400);
  const menu = await openTrayMenu();
  assert.deepEqual(menu.items.map((i) => (i.separator ? '-' : `${i.id} ${i.text}`)), [
    '1001 Show Tolvin', '-', '1002 Toggle Mute (Ctrl+Shift+M)', '1003 Toggle Deafen (Ctrl+Shift+D)', '-',
    '1004 Switch Server...', '1006 Start with Windows', '1005 Quit Tolvin',
  ]);
  assert.equal(await scriptOf(() => clickItem(menu, 'Toggle Mute (Ctrl+Shift+M)')), MUTE_SCRIPT);
  assert.equal((await waitForMenu(false)).shown, false, 'a choice closes the menu');
  assert.equal(await scriptOf(async () => clickItem(await openTrayMenu(), 'Toggle Deafen (Ctrl+Shift+D)')), DEAFEN_SCRIPT);

  assert.equal(await scriptOf(() => shell.post(WM_COMMAND, IDM.mute)), MUTE_SCRIPT);
  assert.equal(await scriptOf(() => shell.post(WM_COMMAND, IDM.deafen)), DEAFEN_SCRIPT);
});

test('"Switch Server..." saves a good address in config.json, other lines kept, and opens it; others are refused; Cancel and Escape change nothing', async (t) => {
  const configFile = path.join(roamingDir, 'Tolvin/config.json');
  const kept = fs.existsSync(configFile) ? fs.readFileSync(configFile) : null;
  t.after(() => (kept ? fs.writeFileSync(configFile, kept) : fs.rmSync(configFile, { force: true })));
  let config = '{\r\n  "theme": "dark",\r\n  "serverUrl": "https://old.example/x",\r\n  "zoom": 1.5\r\n}\r\n';
  fs.writeFileSync(configFile, config);
  const dialogs = async () => (await probe('dialogs', shell.pid)).filter((d) => d.title === 'Switch Server');
  const texts = async () => (await dialogs()).map((d) => [1001, 1002].map((id) => d.controls.find((c) => c.id === id).text));
  // One dialog at a time; the X focus follows the pointer, so the keys go to it.
  const openDialog = async (open) => {
    await open();
    const [dialog, ...more] = await waitFor('the dialog', dialogs, 5000);
    assert.equal(more.length, 0);
    await xdotool('mousemove', ...center(dialog.rect));
    return dialog;
  };

  await xdotool('mousemove', 600, 400);
  await openDialog(async () => clickItem(await openTrayMenu(), 'Switch Server...'));
  assert.deepEqual(await texts(), [[shell.calls('Navigate')[0].uri, '']]);
  const HOST = 'Enter an http:// or https:// address with a host name.';
  const QUOTE = 'The address cannot hold a double quote, a backslash, a space or a line break.';
  // The address is selected at first, so that typing replaces it.
  for (const [keys, address, problem] of [[[], 'ftp://x', HOST], [['End', 'shift+Home'], 'not an address', QUOTE],
                                          [['End', 'shift+Home'], 'https://a"b.example', QUOTE]]) {
    if (keys.length) await xdotool('key', ...keys);
    await xdotool('type', '--delay', 30, address);
    await xdotool('key', 'Return');
    await sleep(500);
    assert.deepEqual(await texts(), [[address, problem]]);
    assert.equal(fs.readFileSync(configFile, 'utf8'), config);
  }
  const from = shell.standIn.reports.length;
  await xdotool('key', 'End', 'shift+Home');
  await xdotool('type', '--delay', 30, 'http://127.0.0.1:9/new');
  await xdotool('key', 'Return');
  await waitFor('a good address to close the dialog', async () => (await dialogs()).length === 0, 5000);
  config = config.replace('https://old.example/x', 'http://127.0.0.1:9/new');
  assert.equal(fs.readFileSync(configFile, 'utf8'), config);
  assert.deepEqual(shell.calls('Navigate', from).map((r) => r.uri), ['http://127.0.0.1:9/new']);
  const asked = shell.standIn.reports.length;
  await shell.sendFrom('http://127.0.0.1:9/other', '{"type":"updateState"}');
  assert.ok(shell.standIn.reports.slice(asked).some(isUpdatePush), 'the new origin may use the native surface');

  for (const close of [(dialog) => probe('click', dialog.hwnd, 2), () => xdotool('key', 'Escape')]) {
    const dialog = await openDialog(() => shell.post(WM_COMMAND, IDM.switchServer).then(() => shell.post(WM_COMMAND, IDM.switchServer)));
    await xdotool('type', '--delay', 30, 'https://cancelled.example');
    await close(dialog);
    await waitFor('the dialog to close', async () => (await dialogs()).length === 0, 5000);
  }
  assert.equal(fs.readFileSync(configFile, 'utf8'), config);
  assert.equal(shell.calls('Navigate', asked).length, 0);
});

const RUN_KEY = 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run';
const APPROVED_KEY = 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run';

// The program's value under `key`, or null when there is none.
const regValue = async (key) => (await registryValues(key))?.Tolvin ?? null;
// Sets it, as Task Manager or an earlier start would.
const regAdd = (key, type, data) =>
  once(spawn(wineRun, ['reg', 'add', key, '/v', 'Tolvin', '/t', type, '/d', data, '/f'], { env: wineEnv, stdio: 'ignore' }), 'exit');

test('"Start with Windows" writes and removes the Run value; its check mark shows it and a mark of Task Manager\'s', async () => {
  const item = async () => (await openTrayMenu()).items.find((i) => i.id === 1006);
  const command = `"${winPath(path.join(shell.dir, 'Tolvin.exe'))}"`;
  const toggle = async (checked) => {
    await xdotool('mousemove', 600, 400);
    const before = await item();
    assert.equal(before.checked, checked);
    await xdotool('mousemove', ...center(before.rect));
    await xdotool('click', 1);
    await waitForMenu(false);
  };
  for (const value of [command, null]) {
    await toggle(value === null);
    assert.equal(await regValue(RUN_KEY), value);
  }
  // Turned off in Task Manager: the Run value stays, marked disabled; on again removes the mark.
  await regAdd(RUN_KEY, 'REG_SZ', command);
  await regAdd(APPROVED_KEY, 'REG_BINARY', '030000000000000000000000');
  await toggle(false);
  assert.deepEqual([await regValue(RUN_KEY), await regValue(APPROVED_KEY)], [command, null]);
  await toggle(true);
  assert.equal(await regValue(RUN_KEY), null);
});

test('permissions follow the policy and are kept nowhere; the page\'s notifications show in the tray and report back, others do not', async (t) => {
  const page = new URL(shell.calls('Navigate').at(-1).uri).origin; // "Switch Server" moved it
  // kind, origin, state set: 0 the runtime's prompt, 1 allowed, 2 denied
  for (const [kind, origin, state] of [[1, page, 1], [4, page, 1], [3, page, 0], [1, 'https://widget.example', 2]]) {
    const request = await shell.standIn.command(`permission ${kind} ${origin}`, isEvent('permissionRequested'));
    assert.deepEqual([request.state, request.savesInProfile, request.argsRefsLeft], [state, false, 0], `${kind} ${origin}`);
  }

  const notify = async (origin, silent, texts) => {
    const from = shell.standIn.reports.length;
    const received = await shell.standIn.command(`notification ${origin} ${silent} ${texts}`, isEvent('notificationReceived'));
    assert.equal(received.handled, true);
    const reports = shell.standIn.reports.slice(from);
    return { received, reports, balloons: reports.filter((r) => r.call === 'Shell_NotifyIconW' && r.flags & NIF_INFO) };
  };
  const reported = (reports) => reports.filter((r) => r.call?.startsWith('Report')).map((r) => r.call);
  const first = await notify(page, 1, 'Ann|Hi <b>there</b> & bye');
  assert.deepEqual(first.balloons.map(({ message, title, info, infoFlags }) => ({ message, title, info, infoFlags })),
                   [{ message: NIM_MODIFY, title: 'Ann', info: 'Hi <b>there</b> & bye', infoFlags: NIIF_NOSOUND | NIIF_RESPECT_QUIET_TIME }]);
  assert.deepEqual(reported(first.reports), ['ReportShown']);
  t.diagnostic(`NotificationReceived to Shell_NotifyIconW: ${((first.balloons[0].at - first.received.at) / 1000).toFixed(2)} ms`);

  // A newer one replaces it; a click brings the window to the front and is the newer one's.
  await shell.post(WM_CLOSE);
  const second = await notify(page, 0, 'Bo|Again');
  assert.deepEqual([second.balloons[0]?.infoFlags, reported(second.reports)], [NIIF_RESPECT_QUIET_TIME, ['ReportClosed', 'ReportShown']]);
  let from = shell.standIn.reports.length;
  const state = await shell.post(WM_TRAYICON, 0, TRAY.balloonClick);
  assert.ok(state.visible && !state.minimised, 'the click shows the window');
  assert.deepEqual(reported(shell.standIn.reports.slice(from)), ['ReportClicked']);
  from = shell.standIn.reports.length;
  await shell.post(WM_TRAYICON, 0, TRAY.balloonTimeout);
  assert.deepEqual(reported(shell.standIn.reports.slice(from)), ['ReportClosed']);

  const other = await notify('https://widget.example', 0, 'Ad|Buy');
  assert.deepEqual([other.balloons.length, reported(other.reports)], [0, ['ReportClosed']]);
  assert.equal(other.received.notificationRefsLeft, 0, 'not held');
});

test('the page\'s unread count badges the taskbar button and the tray tip; clearing or a new document removes both', async () => {
  await shell.post('TaskbarButtonCreated');
  const badge = (from) => ({
    overlays: shell.calls('SetOverlayIcon', from).map((r) => [r.icon, r.mainWindow, r.description]),
    tips: shell.calls('Shell_NotifyIconW', from).map((r) => r.tip),
  });
  let from = shell.standIn.reports.length;
  await shell.send('{"type":"setAppBadge","count":3}');
  await shell.send('{"type":"setAppBadge","count":-1}');
  assert.deepEqual(badge(from), { overlays: [[true, true, 'Tolvin \u2013 3 unread']], tips: ['Tolvin \u2013 3 unread'] });
  from = shell.standIn.reports.length;
  await shell.send('{"type":"clearAppBadge"}');
  assert.deepEqual(badge(from), { overlays: [[false, true, null]], tips: ['Tolvin'] });
  await shell.send('{"type":"setAppBadge","count":12}');
  from = shell.standIn.reports.length;
  await shell.standIn.command('content-loading', isEvent('contentLoading'));
  assert.deepEqual(badge(from), { overlays: [[false, true, null]], tips: ['Tolvin'] });
});

test('"Quit Tolvin" ends the program with 0 and frees the hot keys and the tray', async () => {
  await xdotool('mousemove', 600, 400);
  await clickItem(await openTrayMenu(), 'Quit Tolvin');
  assert.equal(await shell.program.ended(), 0);
  assert.equal((await probe('hotkey')).registered, true);
  assert.equal((await trayIcons()).length, 0);
  shell.standIn.close();
});
