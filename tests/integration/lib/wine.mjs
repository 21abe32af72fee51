// Running the Windows programs under Wine for the integration tests: a fresh
// program folder per test, the WebView2 loader stand-in's report channel, and
// the probe program that looks at windows from outside.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

export const top = process.env.TOLVIN_SOURCE ?? path.resolve(import.meta.dirname, '../../..');
export const windowsBuild = process.env.TOLVIN_WINDOWS_BUILD ?? path.join(top, 'build/windows');
export const binDir = path.join(windowsBuild, 'bin');
export const doublesDir = path.join(windowsBuild, 'doubles');
export const wineRun = path.join(top, 'scripts/wine-run');
export const winePrefix = process.env.WINEPREFIX ?? path.join(top, 'build/wine');

export const wineEnv = { ...process.env, WINEPREFIX: winePrefix, WINEDEBUG: '-all' };

// Wine starts its services and desktop with the first program of a session, and
// they inherit that program's Unix standard streams: were that a test's pipe, it
// would never close. A first program with no streams at all starts them (and
// makes the prefix, if that is still to do).
await once(
  spawn(wineRun, [path.join(doublesDir, 'probe.exe'), 'windows', '*'], { env: wineEnv, stdio: 'ignore' }),
  'exit');

// Keeps that wineserver alive for the whole file, so each start is quick.
spawn('wineserver', ['-p'], { env: wineEnv, stdio: 'ignore' }).on('error', () => {}).unref();

// Programs a test leaves running (it failed half-way) end with the test file.
const running = new Set();
process.on('exit', () => running.forEach((child) => child.kill('SIGKILL')));

// The value at percentile p (0-100) of values sorted in ascending order.
export const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];

export const winPath = (p) => 'Z:' + p.replaceAll('/', '\\');

// The Windows profile folders of the prefix, as Linux paths.
export const profileDir = path.join(winePrefix, 'drive_c/users', os.userInfo().username);
export const roamingDir = path.join(profileDir, 'AppData/Roaming');
export const localDir = path.join(profileDir, 'AppData/Local');
// The lines of one of the programs' logs (tolvin.log, app-audio.log, ...).
export const logsDir = path.join(localDir, 'Tolvin/logs');
export const logLines = (name) =>
  fs.existsSync(path.join(logsDir, name)) ? fs.readFileSync(path.join(logsDir, name), 'utf8').split('\n').filter(Boolean) : [];

// Tolvin saves its window's place at exit in the shared profile; each test file
// starts from the default place, whatever a suite before it left.
fs.rmSync(path.join(roamingDir, 'Tolvin/window.txt'), { force: true });

// A fresh folder holding Tolvin.exe and, on request, the loader stand-in and
// other files (name -> source path, or null for an empty folder of that name).
export function programFolder({ loader = false, extra = {} } = {}) {
  const base = path.join(top, 'build/tmp');
  fs.mkdirSync(base, { recursive: true });
  const dir = fs.mkdtempSync(path.join(base, 'program-'));
  fs.copyFileSync(path.join(binDir, 'Tolvin.exe'), path.join(dir, 'Tolvin.exe'));
  if (loader) fs.copyFileSync(path.join(doublesDir, 'WebView2Loader.dll'), path.join(dir, 'WebView2Loader.dll'));
  for (const [name, source] of Object.entries(extra)) {
    if (source === null) fs.mkdirSync(path.join(dir, name));
    else fs.copyFileSync(source, path.join(dir, name));
  }
  return dir;
}

// `promise`, or a failure naming `what` after `ms`: a program that does not end
// fails its test at once instead of holding the suite until ctest's limit.
export function within(what, promise, ms = 10000) {
  let timer;
  const limit = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: not within ${ms} ms`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// Starts a Windows program; `exited` resolves with its exit code, and `ended()`
// is the same within a limit. Given a test
// context, the program ends with that test at the latest, so that a failure
// leaves nothing behind to confuse the next test. Its output
// goes nowhere: the Wine processes it starts (the desktop, services) would
// inherit a pipe and keep it open.
// Wine's own trace (WINEDEBUG in `env`) can go to `errorFile`: a file, never a pipe.
export function startProgram(exe, args = [], { env = {}, t, errorFile } = {}) {
  const stderr = errorFile ? fs.openSync(errorFile, 'w') : 'ignore';
  const child = spawn(wineRun, [exe, ...args], {
    env: { ...wineEnv, ...env },
    stdio: ['ignore', 'ignore', stderr],
  });
  if (errorFile) fs.closeSync(stderr);
  t?.after(() => child.kill('SIGKILL'));
  running.add(child);
  const exited = once(child, 'exit').then(([code]) => {
    running.delete(child);
    return code;
  });
  return { child, exited, ended: (ms) => within('the program to end', exited, ms), startedAt: performance.now() };
}

// Runs the probe program once and returns what it printed, parsed. Its standard
// error is not a pipe: Wine hands that descriptor on to the programs the probe
// starts, which would hold the pipe open.
export async function probe(...args) {
  const child = spawn(wineRun, [path.join(doublesDir, 'probe.exe'), ...args.map(String)], {
    env: wineEnv,
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  child.stdout.setEncoding('utf8');
  let out = '';
  child.stdout.on('data', (chunk) => (out += chunk));
  const [code] = await once(child, 'exit');
  if (code !== 0) throw new Error(`probe ${args.join(' ')} ended with ${code}`);
  return JSON.parse(out.trim().split('\n').pop());
}

// Polls `check` until it returns something truthy other than an empty list, or
// fails after `ms`.
export async function waitFor(what, check, ms = 20000, everyMs = 200) {
  const end = performance.now() + ms;
  for (;;) {
    const value = await check();
    if (value && !(Array.isArray(value) && value.length === 0)) return value;
    if (performance.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(everyMs);
  }
}

// Another program's window, holding the X keyboard focus (Wine delivers registered
// hot keys only while one of its windows has the focus) or to be captured: the
// line that names it, then the keys it gets, each with when it came. Its standard
// error is not a pipe, for the reason probe() gives.
export async function focusWindow(seconds) {
  const child = spawn(wineRun, [path.join(doublesDir, 'probe.exe'), 'focus', String(seconds)], {
    env: wineEnv,
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  const lines = [];
  let pending = '';
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (chunk) => {
    pending += chunk;
    for (let end; (end = pending.indexOf('\n')) >= 0; pending = pending.slice(end + 1)) {
      lines.push({ ...JSON.parse(pending.slice(0, end)), at: performance.now() });
    }
  });
  const exited = once(child, 'exit');
  await waitFor('the focus window', () => lines.length > 0 || child.exitCode !== null);
  if (lines.length === 0) throw new Error(`the focus window ended with ${child.exitCode}`);
  return {
    window: lines[0],
    keys: () => lines.slice(1),
    close: async () => {
      child.kill();
      await exited;
    },
  };
}

// Puts the PowerShell stand-in in the place of Windows PowerShell in the prefix
// for the rest of this test file. Wine's own powershell.exe is kept aside and
// put back when the file ends, even after a failure: the prefix is shared by
// every integration suite. Programs started with `env` run the stand-in (Wine
// would run its built-in powershell.exe rather than a file in its place);
// `plan` says what its next starts print, after which they wait `delay` ms and
// end with `code`; `runs` is what each start recorded, until `forget`.
export function usePowerShellStandIn() {
  const dir = path.join(winePrefix, 'drive_c/windows/system32/WindowsPowerShell/v1.0');
  const powerShell = path.join(dir, 'powershell.exe');
  const log = path.join(dir, 'powershell-standin.log');
  const planFile = path.join(dir, 'powershell-standin.plan');
  const kept = `${powerShell}.wine`;
  if (!fs.existsSync(kept)) fs.renameSync(powerShell, kept);
  fs.copyFileSync(path.join(doublesDir, 'powershell.exe'), powerShell);
  process.on('exit', () => {
    fs.renameSync(kept, powerShell);
    fs.rmSync(log, { force: true });
    fs.rmSync(planFile, { force: true });
  });
  return {
    env: { WINEDLLOVERRIDES: 'mscoree,mshtml=;powershell.exe=n' },
    plan: (code, output = '', delay = 0, error = '') =>
      fs.writeFileSync(planFile, `${code} ${delay} ${error.length}\n${error}${output}`, 'latin1'),
    runs: () => (fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean).map(JSON.parse) : []),
    forget: () => fs.rmSync(log, { force: true }),
  };
}

// The values of a registry key ({ name: text }, a REG_DWORD as a number), read
// with Wine's `reg query`, or null when there is no such key.
export async function registryValues(key) {
  const child = spawn(wineRun, ['reg', 'query', key], { env: wineEnv, stdio: ['ignore', 'pipe', 'ignore'] });
  let out = '';
  child.stdout.on('data', (chunk) => (out += chunk));
  const [code] = await once(child, 'exit');
  if (code !== 0) return null;
  const values = out.matchAll(/^ {4}(.+?) {4}(REG_\w+) {4}(.*?)\r?$/gm);
  return Object.fromEntries([...values].map(([, name, type, v]) => [name, type === 'REG_DWORD' ? Number(v) : v]));
}

export async function mainWindows(pid) {
  const all = await probe('windows', 'TolvinWindowClass');
  return pid ? all.filter((w) => w.pid === pid) : all;
}

// The test's end of the loader stand-in: every call the program makes on the
// web view objects arrives as one JSON report; commands go the other way.
// Neither the server nor its connection keeps the test file alive, so a test
// that fails while they are open still lets the file end; given a test context,
// they close with that test. A stand-in that runs for long (the development web
// view) keeps no reports and hands each to its listeners only.
export class StandIn {
  static async listen({ t, keep = true } = {}) {
    const standIn = new StandIn();
    standIn.keep = keep;
    standIn.server = net.createServer((socket) => standIn.#attach(socket));
    standIn.server.listen(0, '127.0.0.1');
    standIn.server.unref();
    await once(standIn.server, 'listening');
    t?.after(() => standIn.close());
    return standIn;
  }

  reports = [];
  listeners = new Set();
  #waiters = [];
  #socket = null;

  get port() {
    return this.server.address().port;
  }

  get env() {
    return { TOLVIN_STANDIN_PORT: String(this.port) };
  }

  #attach(socket) {
    socket.unref();
    socket.setNoDelay(true);
    this.#socket = socket;
    let pending = '';
    socket.setEncoding('utf8');
    socket.on('data', (chunk) => {
      pending += chunk;
      for (let end; (end = pending.indexOf('\n')) >= 0; ) {
        const report = JSON.parse(pending.slice(0, end));
        pending = pending.slice(end + 1);
        if (this.keep) this.reports.push(report);
        this.listeners.forEach((listener) => listener(report));
        this.#waiters = this.#waiters.filter((w) => !w());
      }
    });
  }

  // The first report at or after index `from` that satisfies `match`.
  next(match, { from = 0, ms = 20000 } = {}) {
    const find = () => this.reports.slice(from).find(match);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`stand-in: no report matched ${match}`)), ms);
      const check = () => {
        const found = find();
        if (found) {
          clearTimeout(timer);
          resolve(found);
        }
        return Boolean(found);
      };
      if (!check()) this.#waiters.push(check);
    });
  }

  // Sends a command and waits for the report it causes.
  async command(line, match) {
    const from = this.reports.length;
    this.send(line);
    return this.next(match, { from });
  }

  send(line) {
    this.#socket?.write(line + '\n');
  }

  close() {
    this.#socket?.destroy();
    this.server.close();
  }
}

export const isCall = (name) => (r) => r.call === name;
export const isEvent = (name) => (r) => r.event === name;
