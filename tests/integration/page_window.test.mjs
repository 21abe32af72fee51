// The main window with a page under Wine: the page's window requests, the close
// to the tray, the tray icon and menu, the global hot keys with real key presses
// on the X display, and quitting. One program serves the whole file, in order.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  DEAFEN_SCRIPT, IDM, MUTE_SCRIPT, WM_COMMAND, WM_TRAYICON, startShell, xdotool,
} from './lib/page.mjs';
import { focusWindow, isCall, isEvent, probe } from './lib/wine.mjs';

const WM_SYSCOMMAND = 274;
const SC_RESTORE = 0xf120;
const WM_LBUTTONUP = 514;
const WM_RBUTTONUP = 517;

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

async function openTrayMenu() {
  await shell.standIn.command(`post ${WM_TRAYICON} 1 ${WM_RBUTTONUP}`, isEvent('posted'));
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

test('close requests hide the window; the program, its tray icon and hot keys stay', async () => {
  const shown = async () => (await shell.state()).visible;
  await shell.send('"windowClose"');
  assert.equal(await shown(), false, 'the bare string hides the window');
  assert.equal(shell.program.child.exitCode, null);
  assert.equal((await trayIcons()).length, 1);
  assert.equal((await probe('hotkey')).registered, false, 'the program still holds Ctrl+Shift+M');

  await shell.post(WM_TRAYICON, 1, WM_LBUTTONUP);
  assert.equal(await shown(), true, 'a left click on the tray icon shows it');
  await shell.post(WM_TRAYICON, 1, WM_LBUTTONUP);
  assert.equal(await shown(), false, 'and hides it again');
  await shell.post(WM_COMMAND, IDM.show);
  assert.equal(await shown(), true, '"Show Tolvin" shows it');

  // Only the plain serialised name counts, and it counts wherever it stands.
  await shell.send('"{\\"type\\":\\"windowClose\\"}"');
  await shell.send('{"type":"WindowClose"}');
  assert.equal(await shown(), true, 'an escaped or differently spelt name is no request');
  await shell.send('{"type":"setInCall","note":"windowClose"}');
  assert.equal(await shown(), false, 'the close request comes first in the order');
  await shell.post(WM_TRAYICON, 1, WM_LBUTTONUP);
  assert.equal(await shown(), true);

  for (const [how, restore] of [['a tray click', [WM_TRAYICON, 1, WM_LBUTTONUP]], ['"Show Tolvin"', [WM_COMMAND, IDM.show]]]) {
    await shell.send('"windowMinimize"');
    assert.ok((await shell.state()).minimised);
    const back = await shell.post(...restore);
    assert.ok(back.visible && !back.minimised, `${how} restores a minimised window`);
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

test('the tray menu holds its seven items, and its toggle entries run the scripts', async () => {
  await xdotool('mousemove', 600, 400);
  const menu = await openTrayMenu();
  assert.deepEqual(menu.items.map((i) => (i.separator ? '-' : `${i.id} ${i.text}`)), [
    '1001 Show Tolvin', '-', '1002 Toggle Mute (Ctrl+Shift+M)', '1003 Toggle Deafen (Ctrl+Shift+D)', '-',
    '1004 Switch Server...', '1005 Quit Tolvin',
  ]);
  assert.equal(await scriptOf(() => clickItem(menu, 'Toggle Mute (Ctrl+Shift+M)')), MUTE_SCRIPT);
  assert.equal((await waitForMenu(false)).shown, false, 'a choice closes the menu');
  assert.equal(await scriptOf(async () => clickItem(await openTrayMenu(), 'Toggle Deafen (Ctrl+Shift+D)')), DEAFEN_SCRIPT);

  assert.equal(await scriptOf(() => shell.post(WM_COMMAND, IDM.mute)), MUTE_SCRIPT);
  assert.equal(await scriptOf(() => shell.post(WM_COMMAND, IDM.deafen)), DEAFEN_SCRIPT);

  const before = await shell.state();
  const from = shell.standIn.reports.length;
  await clickItem(await openTrayMenu(), 'Switch Server...');
  await waitForMenu(false);
  const afterwards = await shell.state();
  assert.deepEqual(shell.standIn.reports.slice(from).filter((r) => r.call), [], '"Switch Server..." does nothing');
  assert.deepEqual([afterwards.visible, afterwards.rect], [before.visible, before.rect]);
});

test('"Quit Tolvin" ends the program with 0 and frees the hot keys and the tray', async () => {
  await xdotool('mousemove', 600, 400);
  await clickItem(await openTrayMenu(), 'Quit Tolvin');
  assert.equal(await shell.program.ended(), 0);
  assert.equal((await probe('hotkey')).registered, true);
  assert.equal((await trayIcons()).length, 0);
  shell.standIn.close();
});
