// Runs the capture helper (real or simulated build) under Wine and records what
// it writes: standard error as text, standard output as timed chunks of bytes.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

import { doublesDir, probe, wineEnv, wineRun, windowsBuild, within } from './wine.mjs';

export const realHelper = path.join(windowsBuild, 'bin/tolvin-app-audio.exe');
export const simHelper = path.join(windowsBuild, 'bin/tolvin-app-audio-sim.exe');

export const BLOCK_BYTES = 3840;
export const BYTES_PER_SECOND = 384000;
export const USAGE = 'usage: tolvin-app-audio --window <hwnd> [--self <pid>] | --all-except <pid>\r\n';

// A scenario file for the simulated audio system, rewritten atomically so the
// helper never reads half of it.
export class Scenario {
  constructor(lines = []) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-sim-'));
    this.file = path.join(this.dir, 'scenario.txt');
    this.write(lines);
  }
  write(lines) {
    const tmp = `${this.file}.tmp`;
    fs.writeFileSync(tmp, lines.join('\n') + '\n');
    fs.renameSync(tmp, this.file);
  }
  get windowsPath() {
    return 'Z:' + this.file.replaceAll('/', '\\');
  }
}

// Starts the helper with its three streams on pipes. `ended()` is its exit code
// within a limit; given a test context, the helper ends with that test at the
// latest, so that a failed test neither leaves it running nor holds its pipes.
export function startHelper(exe, args, { scenario, t } = {}) {
  const env = { ...wineEnv };
  if (scenario) env.TOLVIN_SIM_SCENARIO = scenario.windowsPath;
  const child = spawn(wineRun, [exe, ...args], { env, stdio: ['pipe', 'pipe', 'pipe'] });
  const run = {
    child,
    startedAt: performance.now(),
    stderr: '',
    stderrAt: null,
    chunks: [], // { at, bytes }
    bytes: 0,
    exit: null, // { code, at }
  };
  child.stderr.setEncoding('latin1');
  child.stderr.on('data', (text) => {
    run.stderr += text;
    run.stderrAt ??= performance.now();
  });
  child.stdout.on('data', (bytes) => {
    run.chunks.push({ at: performance.now(), bytes });
    run.bytes += bytes.length;
  });
  child.stdout.on('error', () => {});
  child.stdin.on('error', () => {});
  run.exited = new Promise((resolve) => {
    child.on('exit', (code) => {
      run.exit = { code, at: performance.now() };
      resolve(code);
    });
  });
  run.ended = (ms) => within('the helper to end', run.exited, ms);
  t?.after(() => child.kill('SIGKILL'));
  return run;
}

export async function waitUntil(what, check, ms = 15000) {
  const end = performance.now() + ms;
  while (!check()) {
    if (performance.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

export async function waitForReady(run, ms = 15000) {
  await waitUntil('"ready"', () => run.stderr.includes('ready') || run.exit !== null, ms);
  return run.stderrAt;
}

// Closes the life-line and waits for the helper to end.
export async function stop(run) {
  run.child.stdin.end();
  return run.ended();
}

// All float samples received from `from` (a time) on, whole blocks only.
export function samplesSince(run, from = 0) {
  const bytes = Buffer.concat(run.chunks.filter((c) => c.at >= from).map((c) => c.bytes));
  const whole = bytes.subarray(0, bytes.length - (bytes.length % 4));
  const samples = new Float32Array(whole.length / 4);
  for (let i = 0; i < samples.length; i++) samples[i] = whole.readFloatLE(i * 4);
  return samples;
}

// How often each sample value occurs.
export function histogram(samples) {
  const counts = new Map();
  for (const v of samples) counts.set(v, (counts.get(v) ?? 0) + 1);
  return counts;
}

export const f32 = (x) => Math.fround(x);

// A real top-level window of another program (the probe's), open for `seconds`:
// its handle and the id of the process that owns it. The probe's standard error
// is not a pipe, for the reason wine.mjs's probe() gives.
export async function openWindow(seconds) {
  const child = spawn(wineRun, [path.join(doublesDir, 'probe.exe'), 'focus', String(seconds)], {
    env: wineEnv,
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  const exited = once(child, 'exit');
  let out = '';
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (chunk) => (out += chunk));
  await waitUntil('the probe window', () => out.includes('\n') || child.exitCode !== null, 20000);
  const { hwnd } = JSON.parse(out.slice(0, out.indexOf('\n')));
  const listed = (await probe('windows', 'TolvinProbeFocus')).find((w) => w.hwnd === hwnd);
  if (!listed) throw new Error(`probe window ${hwnd} is not listed`);
  return {
    hwnd,
    pid: listed.pid,
    close: async () => {
      child.kill();
      await exited;
    },
  };
}
