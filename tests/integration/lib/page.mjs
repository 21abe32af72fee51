// Tolvin with a page: the loader stand-in completes the environment and hands
// over a controller, so that the program sets its page up. Also the outside
// world a page test needs: real keys and mouse on the X display, and a window
// of another program that holds the keyboard focus.
import { execFile, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { promisify } from 'node:util';

import {
  StandIn, doublesDir, isCall, isEvent, mainWindows, programFolder, startProgram, top, waitFor, winPath,
  wineEnv, wineRun,
} from './wine.mjs';

export const WM_COMMAND = 273;
export const WM_TRAYICON = 1125;
// What the tray icon (id 1, version 4) sends: the event, with the icon's id above it.
export const TRAY = Object.fromEntries(
  Object.entries({ select: 0x400, contextMenu: 0x7b, balloonTimeout: 0x404, balloonClick: 0x405 })
    .map(([name, event]) => [name, event | (1 << 16)]));
export const WM_TIMER = 275;
export const TIMER_UPDATE_CHECK = 202;
export const IDM = { show: 1001, mute: 1002, deafen: 1003, switchServer: 1004, quit: 1005 };
export const MUTE_SCRIPT = 'if (window.__tolvinToggleMute) window.__tolvinToggleMute();';
export const DEAFEN_SCRIPT = 'if (window.__tolvinToggleDeafen) window.__tolvinToggleDeafen();';

// The update check runs about 3 s after start and tells the page its result
// whenever it ends: tests of other scripts leave those pushes aside.
export const isUpdatePush = (r) => r.call === 'ExecuteScript' && r.script.startsWith('if (window.__tolvinUpdate)');
export const isPageScript = (r) => r.call === 'ExecuteScript' && !isUpdatePush(r);

// Starts Tolvin.exe from a fresh folder (with `extra` files beside it and `env`
// added to its environment) and brings it to the point where the runtime is
// asked for a controller. `page` then answers that request with `controller` (a
// stand-in command) and returns the reports the answer caused. Given a test context, the program and the
// stand-in end with that test; a file-wide shell ends with `close()`.
export async function startShell({ extra = {}, env = {}, t } = {}) {
  const standIn = await StandIn.listen({ t });
  const dir = programFolder({ loader: true, extra });
  const program = startProgram(path.join(dir, 'Tolvin.exe'), [], { env: { ...env, ...standIn.env }, t });
  const request = await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'), { ms: 30000 });
  const [window] = await mainWindows(request.pid);
  await standIn.command('environment 0', isEvent('environmentCompleted'));
  await standIn.next(isCall('CreateCoreWebView2Controller'));
  const shell = {
    standIn, program, dir, pid: request.pid, hwnd: window.hwnd,
    async page(controller = 'controller 0') {
      const from = standIn.reports.length;
      await standIn.command(controller, isEvent('controllerCompleted'));
      return standIn.reports.slice(from);
    },
    // Delivers one page message and waits until the program's handler returns.
    send: (json) => standIn.command(`message ${json}`, isEvent('messageDelivered')),
    // The same, sent by a document at `source` rather than the current one.
    sendFrom: (source, json) => standIn.command(`message-from ${source} ${json}`, isEvent('messageDelivered')),
    // Posts a window message to the main window and waits until it is handled:
    // the state report is made after it on the same thread.
    async post(message, wParam = 0, lParam = 0) {
      await standIn.command(`post ${message} ${wParam} ${lParam}`, isEvent('posted'));
      return shell.state();
    },
    state: () => standIn.command('state', isEvent('state')),
    calls: (name, from = 0) => standIn.reports.slice(from).filter(isCall(name)),
    // What the page was sent, parsed, each with the stand-in's clock reading at the post (µs).
    pageMessages: (from = 0) => shell.calls('PostWebMessageAsJson', from).map((r) => ({ ...JSON.parse(r.json), at: r.at })),
    // The first message for the page from report `from` on whose text starts with `prefix`.
    async nextPageMessage(prefix, { from = 0, ms = 20000 } = {}) {
      const report = await standIn.next((r) => r.call === 'PostWebMessageAsJson' && r.json.startsWith(prefix), { from, ms });
      return { ...JSON.parse(report.json), at: report.at, seenAt: performance.now() };
    },
    scripts: (from = 0) => standIn.reports.slice(from).filter(isPageScript),
    async quit() {
      await standIn.command(`post ${WM_COMMAND} ${IDM.quit} 0`, isEvent('posted'));
      const code = await program.ended();
      standIn.close();
      return code;
    },
    close() {
      program.child.kill('SIGKILL');
      standIn.close();
    },
  };
  return shell;
}

const run = promisify(execFile);

// Real input on the X display the Wine programs use.
export const xdotool = (...args) => run('xdotool', args.map(String));

// App-audio sharing. The Linux processes that run a Windows program of `folder`
// (Wine puts the Windows command line in the Linux one); zombies do not count.
export function windowsProcesses(folder, name) {
  const wanted = winPath(path.join(folder, name)).toLowerCase();
  const runs = (pid) => {
    try {
      return fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').toLowerCase().includes(wanted) &&
        !/\) Z /.test(fs.readFileSync(`/proc/${pid}/stat`, 'latin1'));
    } catch {
      return false; // ended meanwhile
    }
  };
  return fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry) && runs(entry)).map(Number);
}

export const startedPrefix = (id) => `{"type":"appAudio:started","id":${id},`;
export const ENDED = '{"type":"appAudio:ended"}';
export const PCM_PREFIX = '{"type":"appAudio:pcm"';
// The bytes of the "appAudio:pcm" messages among `messages`, one Buffer each.
export const pcmChunks = (messages) => messages.filter((m) => m.type === 'appAudio:pcm').map((m) => Buffer.from(m.data, 'base64'));

// The misbehaving helper of tests/doubles: `mode` sets its orders for the next
// start, `runs` lists what each start recorded.
export class FakeHelper {
  constructor() {
    fs.mkdirSync(path.join(top, 'build/tmp'), { recursive: true });
    this.dir = fs.mkdtempSync(path.join(top, 'build/tmp/fake-helper-'));
    this.env = { TOLVIN_FAKE_HELPER: winPath(this.dir) };
    this.extra = { 'tolvin-app-audio.exe': path.join(doublesDir, 'fake_helper.exe') };
  }
  mode(orders) {
    fs.writeFileSync(path.join(this.dir, 'mode'), orders);
  }
  runs() {
    const text = fs.readFileSync(path.join(this.dir, 'runs'), { encoding: 'utf8', flag: 'a+' });
    return text.split('\n').filter(Boolean).map((line) => JSON.parse(line));
  }
}

// The stamped stream of the "stream" order as it arrived somewhere: `chunks`
// are { bytes, at }, `at` on the Windows clock (µs). A block's delay runs from
// its write to the arrival of the chunk that carries its last frame; a block
// number skipped is a gap. Delays in ms, sorted.
export function stampedDelays(chunks) {
  const blocks = new Map(); // number -> { stamp, at }
  let gaps = 0;
  let previous = -1;
  for (const { bytes, at } of chunks) {
    for (let i = 0; i < bytes.length; i += 8) {
      const number = bytes.readUInt32LE(i);
      if (number > previous + 1) gaps++;
      previous = number;
      blocks.set(number, { stamp: bytes.readUInt32LE(i + 4), at });
    }
  }
  const delays = [...blocks.values()].map((b) => (((b.at % 2 ** 32) - b.stamp + 2 ** 32) % 2 ** 32) / 1000);
  return { delays: delays.sort((a, b) => a - b), gaps };
}

// A copy of the probe under another name, running until it is stopped.
export async function runAs(name) {
  const dir = fs.mkdtempSync(path.join(top, 'build/tmp/game-'));
  const exe = path.join(dir, name);
  fs.copyFileSync(path.join(doublesDir, 'probe.exe'), exe);
  const child = spawn(wineRun, [exe, 'sleep', '60'], { env: wineEnv, stdio: ['ignore', 'pipe', 'ignore'] });
  let out = '';
  child.stdout.on('data', (chunk) => (out += chunk));
  await waitFor(`${name} to run`, () => out.includes('sleeping'));
  return async () => {
    child.kill('SIGKILL');
    await once(child, 'exit');
  };
}
