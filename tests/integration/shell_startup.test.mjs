// Start-up of Tolvin.exe under Wine: the main window, the tray icon, the hot
// keys, the settings folder, the web view environment request or the warning
// box when no runtime is there, and a clean exit.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  StandIn, binDir, isCall, isEvent, localDir, mainWindows, probe, programFolder, roamingDir,
  startProgram, waitFor, winPath,
} from './lib/wine.mjs';

const WM_COMMAND = 273;
const WM_CLOSE = 16;
const WM_SYSCOMMAND = 274;
const [SC_MAXIMIZE, SC_RESTORE] = [0xf030, 0xf120];
const IDM_QUIT = 1005;
const WS_OVERLAPPEDWINDOW = 0x00cf0000;
const WS_VISIBLE = 0x10000000;
const WS_CLIPSIBLINGS = 0x04000000;
const [E_FAIL, E_ABORT, E_OUTOFMEMORY, NO_RUNTIME] = [0x80004005, 0x80004004, 0x8007000e, 0x80070002];
const COINIT_APARTMENTTHREADED = 2;
const [MOD_CONTROL, MOD_SHIFT, MOD_NOREPEAT] = [2, 4, 0x4000];

const trayIcons = async () =>
  (await probe('children', '__winex11_standalone_tray')).filter((c) => c.className === '__winex11_tray_icon');

async function quit(window, program) {
  await probe('post', window.hwnd, WM_COMMAND, IDM_QUIT, 0);
  return program.ended();
}


// The real loader from the SDK finds no runtime under Wine and says so at once;
// without the loader the installation is broken, whatever runtime there is.
const RUNTIME_MISSING = ['WebView2 Runtime Missing', "Microsoft Edge WebView2 Runtime is required to run Tolvin.\n" +
                         "Please download and install it from Microsoft's website."];
const LOADER_MISSING = ['Tolvin', "Tolvin's installation is incomplete: WebView2Loader.dll is missing. Please reinstall Tolvin."];
for (const [name, loader, [title, text]] of [['without a loader', null, LOADER_MISSING],
                                              ['with the real loader and no runtime', path.join(binDir, 'WebView2Loader.dll'), RUNTIME_MISSING]]) {
  test(`${name} a box says so over the window and the program keeps running`, async (t) => {
    fs.rmSync(path.join(roamingDir, 'Tolvin'), { recursive: true, force: true });
    const folder = programFolder({ extra: loader ? { 'WebView2Loader.dll': loader } : {} });
    // Wine's trace of loaded modules shows that the loader really ran.
    const trace = path.join(folder, 'wine-trace.txt');
    const program = startProgram(path.join(folder, 'Tolvin.exe'), [], { t, env: { WINEDEBUG: '-all,+loaddll' }, errorFile: trace });
    const [window] = await waitFor('the main window', () => mainWindows());

    const [box] = await waitFor('the box', () => probe('dialogs', window.pid), 5000);
    assert.equal(box.title, title);
    assert.equal(box.owner, window.hwnd, 'the box is owned by the main window');
    const texts = box.controls.map((c) => c.text);
    assert.ok(texts.includes(text), `box texts: ${JSON.stringify(texts)}`);
    assert.equal((await trayIcons()).length, 1, 'the tray icon exists while the box shows');
    assert.ok((await mainWindows(window.pid))[0].visible);
    assert.equal(/Loaded L"[^"]*\\\\WebView2Loader\.dll" at \w+: native/.test(fs.readFileSync(trace, 'latin1')), Boolean(loader));

    await probe('click', box.hwnd, 1);
    await waitFor('the box to close', async () => (await probe('dialogs', window.pid)).length === 0);
    await sleep(1000);
    assert.equal((await mainWindows(window.pid)).length, 1, 'the window outlives the box');
    assert.equal(program.child.exitCode, null, 'the program keeps running');
    assert.ok(fs.statSync(path.join(roamingDir, 'Tolvin')).isDirectory(), 'the settings folder exists');

    assert.equal(await quit(window, program), 0);
    assert.equal((await trayIcons()).length, 0, 'the tray icon is gone');
  });
}

test('with a runtime the environment is asked for once, from the window thread in an STA joined just before', async (t) => {
  const standIn = await StandIn.listen({ t });
  const program = startProgram(path.join(programFolder({ loader: true }), 'Tolvin.exe'), [], { env: standIn.env, t });
  const request = await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  // Watched from the loader's load on. Wine may report an apartment the thread
  // never joined, so the call is what counts: once, apartment-threaded, before.
  assert.deepEqual(standIn.reports.slice(0, standIn.reports.indexOf(request)), [
    { call: 'RegisterHotKey', id: 1, modifiers: MOD_CONTROL | MOD_SHIFT | MOD_NOREPEAT, key: 'M'.charCodeAt(0) },
    { call: 'RegisterHotKey', id: 2, modifiers: MOD_CONTROL | MOD_SHIFT | MOD_NOREPEAT, key: 'D'.charCodeAt(0) },
    { call: 'CoInitializeEx', flags: COINIT_APARTMENTTHREADED },
  ]);
  assert.deepEqual(
    { ...request, pid: undefined },
    {
      call: 'CreateCoreWebView2EnvironmentWithOptions',
      browserFolder: null,
      userDataFolder: `C:\\users\\${os.userInfo().username}\\AppData\\Local\\Tolvin\\EBWebView`,
      options: false,
      handler: true,
      apartment: 'sta',
      onWindowThread: true,
      pid: undefined,
    });
  assert.ok(fs.existsSync(localDir), 'the local profile folder the path points into exists');

  const state = await standIn.command('state', isEvent('state'));
  assert.equal(state.className, 'TolvinWindowClass');
  assert.equal(state.title, 'Tolvin');
  assert.equal(state.style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), WS_OVERLAPPEDWINDOW);
  assert.equal(state.exStyle & ~0x100, 0, 'no extended style but the one Wine adds (WS_EX_WINDOWEDGE)');
  assert.deepEqual([state.rect[2] - state.rect[0], state.rect[3] - state.rect[1]], [1280, 820]);
  assert.equal(state.background, 0x000a0714);
  assert.ok(state.visible && !state.minimised);

  // A handler that finds no runtime leads to the same box as a missing loader.
  await standIn.command(`environment ${NO_RUNTIME}`, isEvent('environmentCompleted'));
  const [box] = await waitFor('the warning box', () => probe('dialogs', request.pid), 5000);
  assert.equal(box.title, 'WebView2 Runtime Missing');
  await probe('click', box.hwnd, 1);
  assert.equal(standIn.reports.filter(isCall('CreateCoreWebView2EnvironmentWithOptions')).length, 1);
  assert.deepEqual(standIn.reports.slice(standIn.reports.indexOf(request)).filter(isCall('CoInitializeEx')), [],
                   'no later CoInitializeEx');
  const [window] = await mainWindows(request.pid);
  assert.equal(await quit(window, program), 0);
  standIn.close();
});

test('a failed environment or controller is tried again from a new environment three times, then a box names the code', async (t) => {
  const standIn = await StandIn.listen({ t });
  const program = startProgram(path.join(programFolder({ loader: true }), 'Tolvin.exe'), [], { env: standIn.env, t });
  const request = await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  const requests = () => standIn.reports.filter(isCall('CreateCoreWebView2EnvironmentWithOptions')).length;
  const failures = [[`environment ${E_FAIL}`], ['environment 0', `controller ${E_OUTOFMEMORY}`], [`environment ${E_FAIL}`]];
  for (const [retry, commands] of failures.entries()) {
    for (const command of commands) await standIn.command(command, (r) => r.event?.endsWith('Completed'));
    await waitFor(`retry ${retry + 1}`, () => requests() === retry + 2, 5000, 50);
  }
  await standIn.command(`environment ${E_ABORT}`, isEvent('environmentCompleted'));
  const [box] = await waitFor('the failure box', () => probe('dialogs', request.pid), 5000);
  assert.equal(box.title, 'Tolvin');
  const texts = box.controls.map((c) => c.text);
  assert.ok(texts.includes('Tolvin could not start its page (error 0x80004004).\n' +
                           'Quit Tolvin from the tray and start it again.'), `box texts: ${JSON.stringify(texts)}`);
  await probe('click', box.hwnd, 1);
  await sleep(1500);
  assert.equal(requests(), 4, 'no more requests after the box');
  assert.equal(program.child.exitCode, null);
  const [window] = await mainWindows(request.pid);
  assert.equal(await quit(window, program), 0);
  standIn.close();
});

test('a successful environment is asked for a controller of the main window', async (t) => {
  const standIn = await StandIn.listen({ t });
  const program = startProgram(path.join(programFolder({ loader: true }), 'Tolvin.exe'), [], { env: standIn.env, t });
  const request = await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  const from = standIn.reports.length;
  await standIn.command('environment 0', isEvent('environmentCompleted'));
  const controller = await standIn.next(isCall('CreateCoreWebView2Controller'), { from });
  assert.equal(controller.parentIsMainWindow, true);
  const [window] = await mainWindows(request.pid);
  assert.equal(await quit(window, program), 0);
  standIn.close();
});

test('a minimised start shows the window minimised', async (t) => {
  const exe = path.join(programFolder(), 'Tolvin.exe');
  const SW_SHOWMINNOACTIVE = 7;
  const started = await probe('start', SW_SHOWMINNOACTIVE, winPath(exe));
  assert.ok(started.started);
  // Shown, not merely created: the first ShowWindow decides.
  const [window] = await waitFor('the main window', async () =>
    (await mainWindows(started.pid)).filter((w) => w.visible));
  assert.ok(window.minimised, 'the window is minimised');
  const [box] = await waitFor('the warning box', () => probe('dialogs', started.pid));
  await probe('click', box.hwnd, 1);
  await probe('post', window.hwnd, WM_COMMAND, IDM_QUIT, 0);
  await waitFor('the program to end', async () => (await mainWindows(started.pid)).length === 0);
});

// Starts Tolvin with the loader stand-in and waits for its environment request.
async function startWithStandIn(t) {
  const standIn = await StandIn.listen({ t });
  const program = startProgram(path.join(programFolder({ loader: true }), 'Tolvin.exe'), [], { env: standIn.env, t });
  const request = await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  const [window] = await mainWindows(request.pid);
  return { standIn, program, window, state: () => standIn.command('state', isEvent('state')) };
}

test('a second start shows the hidden first window in front and ends with 0, with no window or tray icon of its own', async (t) => {
  const first = await startWithStandIn(t);
  await probe('post', first.window.hwnd, WM_CLOSE, 0, 0);
  assert.equal((await first.state()).visible, false);

  const second = startProgram(path.join(programFolder(), 'Tolvin.exe'), [], { t });
  assert.equal(await second.ended(5000), 0);
  const [shown, ...others] = await waitFor('the first window shown', async () =>
    (await mainWindows()).filter((w) => w.visible), 2000, 50);
  assert.deepEqual([shown.pid, shown.foreground, others.length], [first.window.pid, true, 0]);
  assert.equal((await trayIcons()).length, 1);
  assert.equal(await quit(first.window, first.program), 0);
});

test('the window reopens where it was, maximised or not; a place off every monitor falls back to the default', async (t) => {
  const placeFile = path.join(roamingDir, 'Tolvin/window.txt');
  t.after(() => fs.rmSync(placeFile, { force: true }));
  const rectOf = (state) => state.rect.join(' ');

  let run = await startWithStandIn(t);
  const moved = rectOf(await run.standIn.command('move 150 120 1000 700', isEvent('state')));
  assert.equal(moved, '150 120 1150 820');
  assert.equal(await quit(run.window, run.program), 0);

  run = await startWithStandIn(t);
  assert.equal(rectOf(await run.state()), moved);
  await probe('post', run.window.hwnd, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  await probe('post', run.window.hwnd, WM_CLOSE, 0, 0); // hidden in the tray at exit
  assert.deepEqual(await run.state().then((s) => [s.maximised, s.visible]), [true, false]);
  assert.equal(await quit(run.window, run.program), 0);

  run = await startWithStandIn(t);
  assert.deepEqual(await run.state().then((s) => [s.maximised, s.visible]), [true, true]);
  await probe('post', run.window.hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
  assert.equal(rectOf(await run.state()), moved, 'restores to the saved place');
  assert.equal(await quit(run.window, run.program), 0);

  fs.writeFileSync(placeFile, '1700 120 2700 820 0\n'); // right of the only screen
  run = await startWithStandIn(t);
  const state = await run.state();
  assert.deepEqual([state.rect[2] - state.rect[0], state.rect[3] - state.rect[1], state.maximised], [1280, 820, false]);
  assert.ok(state.rect[0] < 1600 - 64, `on the screen: ${state.rect}`);
  assert.equal(await quit(run.window, run.program), 0);
});

test('the first update timer fires once after 3 s; a restarted taskbar gets the icon again; quitting removes the hook, the hot keys, the tray icon', async (t) => {
  const standIn = await StandIn.listen({ t });
  const folder = programFolder({ loader: true });
  // Wine's tray trace shows each Shell_NotifyIconW call with its record size.
  const trace = path.join(folder, 'wine-trace.txt');
  const program = startProgram(path.join(folder, 'Tolvin.exe'), [], {
    env: { ...standIn.env, WINEDEBUG: '-all,+systray' }, t, errorFile: trace,
  });
  await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  await standIn.command('environment 0', isEvent('environmentCompleted'));
  await standIn.command('controller 0', isEvent('controllerCompleted'));
  await standIn.command('message {"type":"setPushToTalkKey","key":"F13"}', isEvent('messageDelivered'));

  // The program started before the stand-in was loaded, so 3 s after start is a
  // little less than 3 s after the load.
  const killed = await standIn.next(isCall('KillTimer'), { ms: 10000 });
  assert.equal(killed.id, 201);
  assert.ok(killed.mainWindow);
  assert.ok(killed.msSinceLoad > 2000 && killed.msSinceLoad < 4000, `after ${killed.msSinceLoad} ms`);
  await sleep(3000);
  assert.equal(standIn.reports.filter(isCall('KillTimer')).length, 1, 'the periodic timer stays');

  await standIn.command('post TaskbarCreated 0 0', isEvent('posted'));
  const from = standIn.reports.length;
  await standIn.command(`post ${WM_COMMAND} ${IDM_QUIT} 0`, isEvent('posted'));
  assert.equal(await program.ended(), 0);
  const cleanUp = standIn.reports.slice(from).filter((r) =>
    ['UnhookWindowsHookEx', 'UnregisterHotKey'].includes(r.call));
  assert.deepEqual(cleanUp, [
    { call: 'UnhookWindowsHookEx' },
    { call: 'UnregisterHotKey', id: 1, mainWindow: true },
    { call: 'UnregisterHotKey', id: 2, mainWindow: true },
  ]);
  const NIM_ADD = 0;
  const NIM_DELETE = 2;
  const NIM_SETVERSION = 4; // after every add: the version is the icon's
  const trayCalls = [...fs.readFileSync(trace, 'latin1').matchAll(
    /Shell_NotifyIconW dwMessage = (\d+), nid->cbSize=(\d+)/g)].map(([, message, size]) => [+message, +size]);
  assert.deepEqual(trayCalls, [[NIM_ADD, 976], [NIM_SETVERSION, 976], [NIM_ADD, 976], [NIM_SETVERSION, 976],
                               [NIM_DELETE, 976]]);
  standIn.close();
});
