// Runs the capture helper (real or simulated build) under Wine and records what
// it writes: standard error as text, standard output as timed chunks of bytes.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { focusWindow, probe, waitFor, wineEnv, wineRun, windowsBuild, within } from './wine.mjs';

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
  // What the simulated platform saw so far (its report file, see sim_platform_win.cpp).
  report() {
    let text = '';
    try {
      text = fs.readFileSync(`${this.file}.report`, 'utf8');
    } catch {
      // Nothing activated yet.
    }
    const report = { activations: new Map(), marshal: null, streams: [], breaches: [] };
    for (const line of text.split('\n')) {
      const activations = /^activations (\S+) (\d+)$/.exec(line);
      const stream = /^stream \d+ (\S+) audio=(-?\d+) capture=(-?\d+) (\w+) discontinuities=(\d+) lost=(\d+) started=(\d+)$/.exec(line);
      if (activations) report.activations.set(activations[1], Number(activations[2]));
      if (stream) {
        const [pid, audio, capture, state, discontinuities, lost, started] = stream.slice(1);
        report.streams.push({ pid, audio: +audio, capture: +capture, state, discontinuities: +discontinuities, lost: +lost, started: +started });
      }
      if (line.startsWith('breach ')) report.breaches.push(line.slice(7));
      if (line.startsWith('marshal ')) report.marshal = line.slice(8);
    }
    // References still held on a stream that no running capture needs.
    report.leaks = report.streams.filter((s) => s.state !== 'running' && s.audio + s.capture > 0);
    return report;
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
  // On the simulated platform, a run that broke its rules or kept a reference it
  // no longer needed fails whichever test waits for its end.
  run.exited = new Promise((resolve, reject) => {
    child.on('exit', (code) => {
      run.exit = { code, at: performance.now() };
      const report = scenario?.report();
      if (report?.breaches.length) reject(new Error(`simulated platform breach: ${report.breaches.join('; ')}`));
      else if (report?.leaks.length) reject(new Error(`references leaked: ${JSON.stringify(report.leaks)}`));
      else resolve(code);
    });
  });
  run.exited.catch(() => {}); // a test that failed earlier no longer waits for it
  run.ended = (ms) => within('the helper to end', run.exited, ms);
  t?.after(() => child.kill('SIGKILL'));
  return run;
}

export async function waitForReady(run, ms = 15000) {
  await waitFor('"ready"', () => run.stderr.includes('ready') || run.exit !== null, ms, 5);
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

// A real top-level window of another program, open for `seconds`: its handle and
// the id of the process that owns it.
export async function openWindow(seconds) {
  const focus = await focusWindow(seconds);
  const { hwnd } = focus.window;
  const listed = (await probe('windows', 'TolvinProbeFocus')).find((w) => w.hwnd === hwnd);
  if (!listed) throw new Error(`probe window ${hwnd} is not listed`);
  return { hwnd, pid: listed.pid, close: focus.close };
}

// Two sources whose clocks run 300 ppm fast (310, 0.5) and slow (321, 0.25), with
// uneven packets after a large first one, and the output paced by Sleep on a
// 15.6 ms timer tick, as on Windows before 10 1803 (no high-resolution timer).
export const DRIFTING = [
  'process 310 101 fast.exe',
  'process 321 101 slow.exe',
  'session 310 active',
  'session 321 active',
  'tone 310 16384 0',
  'tone 321 8192 0',
  'clock 310 300',
  'clock 321 -300',
  'packets 310 720 448 512',
  'packets 321 720 441 519 480',
  'tick 15.6',
  'timer none',
];

// Sources of 0.5, 0.25 and 0.125 mix to exact sums; bit 4, 2 or 1 of a sample in
// eighths tells whether it carries each of them.
export const carries = (bit) => (v) => (Math.round(v * 8) & bit) !== 0;

// The stream cut into its 3840-byte blocks, each with the time its last byte was read.
export function blocksOf(run) {
  const bytes = Buffer.concat(run.chunks.map((c) => c.bytes));
  const blocks = [];
  let chunk = 0;
  let read = 0;
  for (let end = BLOCK_BYTES; end <= bytes.length; end += BLOCK_BYTES) {
    while (read < end) read += run.chunks[chunk++].bytes.length;
    const copy = new Uint8Array(bytes.subarray(end - BLOCK_BYTES, end));
    blocks.push({ at: run.chunks[chunk - 1].at, samples: new Float32Array(copy.buffer) });
  }
  return blocks;
}

// The performance.now() time of a wall-clock time that the simulated platform reports.
export const fromWallClock = (ms) => ms - (Date.now() - performance.now());

// When a source that `carries` recognises is heard again after its stream failed
// at `failedAt`: the first whole block of it after the blocks it is missing from.
export function heardAgain(blocks, carries, failedAt) {
  const silentFrom = blocks.findIndex((b) => b.at > failedAt && !b.samples.some(carries));
  return silentFrom < 0 ? null : (blocks.slice(silentFrom).find((b) => b.samples.every(carries))?.at ?? null);
}

export const longestGap = (blocks) => Math.max(...blocks.slice(1).map((b, i) => b.at - blocks[i].at));

// The stream's rate as the slope of the blocks' arrival times (least squares), so
// that a timer tick's jitter at either end does not count.
export function bytesPerSecond(blocks) {
  const n = blocks.length;
  const meanI = (n - 1) / 2;
  const meanT = blocks.reduce((sum, b) => sum + b.at, 0) / n;
  let num = 0;
  let den = 0;
  blocks.forEach((b, i) => {
    num += (i - meanI) * (b.at - meanT);
    den += (i - meanI) ** 2;
  });
  return (BLOCK_BYTES * 1000) / (num / den);
}

// How a source whose samples `carries` recognises fared between the first and the
// last block that hold it: blocks it is missing from in part (a silent tail) or
// in whole, and the share of its samples that never arrived. Given the simulated
// platform's record of its stream, `platform` is how many of those blocks the
// platform itself lost, because the machine held the capture thread back past the
// 20 ms buffer: the lost packets, and for each loss the block it falls in and the
// two-block cushion the source then waits for again.
export function sourceGaps(blocks, carries, stream) {
  const held = blocks.map((b) => b.samples.filter(carries).length);
  const first = held.findIndex((n) => n > 0);
  const playing = held.slice(first + 1, held.findLastIndex((n) => n > 0));
  const size = BLOCK_BYTES / 4;
  return {
    partial: playing.filter((n) => n > 0 && n < size).length,
    missing: playing.filter((n) => n === 0).length,
    blocks: playing.length,
    lostShare: playing.reduce((lost, n) => lost + size - n, 0) / (playing.length * size),
    platform: stream ? (stream.lost * 2) / size + 3 * stream.discontinuities : 0,
  };
}
