// Takes the simulated helper's figures under Wine: byte rate, the gaps between
// blocks as the reader sees them, the stream beside a stuck activation, partial
// blocks of drifting sources on a 15.6 ms timer tick, lost packets with a busy
// loop on every core, the return of a source whose stream failed, and CPU time
// per minute with and without sound. Run through scripts/measure-helper;
// MEASURE_SECONDS sets the length of the drift, load and CPU runs, MEASURE_ONLY
// (comma-separated names of the runs below) picks some of them.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  BLOCK_BYTES,
  BYTES_PER_SECOND,
  DRIFTING,
  Scenario,
  blocksOf,
  bytesPerSecond,
  carries,
  fromWallClock,
  heardAgain,
  longestGap,
  simHelper,
  sourceGaps,
  startHelper,
  stop,
  waitForReady,
} from './capture-helper.mjs';
import { percentile } from './wine.mjs';

const cpuSeconds = Number(process.env.MEASURE_SECONDS ?? 60);
const only = process.env.MEASURE_ONLY?.split(',');
// One source playing 0.5.
const source = ['process 310 101 a.exe', 'session 310 active', 'tone 310 16384 0'];
const sortedGaps = (blocks) => blocks.slice(1).map((b, i) => b.at - blocks[i].at).sort((a, b) => a - b);
const ticksPerSecond = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }));

// User plus system ticks of a Linux process and all its descendants (the Wine
// launcher execs into the Windows process, which keeps the pid).
function treeCpuSeconds(rootPid) {
  const stats = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const text = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
      stats.set(Number(entry), { ppid: Number(fields[1]), ticks: Number(fields[11]) + Number(fields[12]) });
    } catch {
      // The process ended while the table was read.
    }
  }
  let ticks = 0;
  for (const [pid, stat] of stats) {
    for (let p = pid, depth = 0; p > 1 && depth < 16; p = stats.get(p)?.ppid ?? 0, depth++) {
      if (p === rootPid) {
        ticks += stat.ticks;
        break;
      }
    }
  }
  return ticks / ticksPerSecond;
}

// The prefix's own wineserver works in a folder named after the prefix's device
// and inode; other prefixes' servers on the machine are left out.
function wineserverCpuSeconds() {
  const prefix = fs.statSync(process.env.WINEPREFIX ?? `${process.env.TOLVIN_SOURCE}/build/wine`, { bigint: true });
  const serverDir = `server-${prefix.dev.toString(16)}-${prefix.ino.toString(16)}`;
  let seconds = 0;
  for (const entry of fs.readdirSync('/proc')) {
    try {
      if (/^\d+$/.test(entry) && fs.readlinkSync(`/proc/${entry}/cwd`).endsWith(serverDir)) {
        seconds += treeCpuSeconds(Number(entry));
      }
    } catch {
      // Not ours to look into, or already gone.
    }
  }
  return seconds;
}

async function rateAndGaps() {
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario: new Scenario([]) });
  await waitForReady(run);
  await sleep(10000 + 500);
  await stop(run);
  // The arrival time of each block is that of the chunk holding its last byte.
  const arrivals = [];
  let received = 0;
  for (const chunk of run.chunks) {
    received += chunk.bytes.length;
    while ((arrivals.length + 1) * BLOCK_BYTES <= received) arrivals.push(chunk.at);
  }
  const start = arrivals[0];
  const inWindow = arrivals.filter((at) => at - start <= 10000);
  const rate = ((inWindow.length - 1) * BLOCK_BYTES) / ((inWindow.at(-1) - start) / 1000);
  const gaps = inWindow.slice(1).map((at, i) => at - inWindow[i]).sort((a, b) => a - b);
  console.log(`byte rate over 10 s:        ${rate.toFixed(0)} B/s (${((rate / BYTES_PER_SECOND - 1) * 100).toFixed(3)} % off 384000)`);
  console.log(`gap between blocks:         p50 ${percentile(gaps, 50).toFixed(2)} ms, p99 ${percentile(gaps, 99).toFixed(2)} ms, max ${gaps.at(-1).toFixed(2)} ms (${gaps.length} gaps)`);
}

async function stuckActivation() {
  const scenario = new Scenario([
    'process 341 101 stuck.exe',
    'process 350 101 fine.exe',
    'session 341 active',
    'session 350 active',
    'activation 341 never',
    'tone 350 16384 0',
  ]);
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run, 20000);
  await sleep(20000);
  await stop(run);
  const blocks = blocksOf(run);
  const source = sourceGaps(blocks, carries(4));
  console.log(`stuck activation beside a source, 20 s: ready after ${Math.round(run.stderrAt - run.startedAt)} ms, ` +
    `longest gap between blocks ${longestGap(blocks).toFixed(1)} ms, ` +
    `lost sound ${(source.lostShare * 100).toFixed(1)} %, activations of the stuck pid ${scenario.report().activations.get('341')}`);
}

async function drift(pacing, lines) {
  const scenario = new Scenario(lines);
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run);
  await sleep(cpuSeconds * 1000);
  await stop(run);
  const blocks = blocksOf(run);
  const minutes = (blocks.at(-1).at - blocks[0].at) / 60000;
  const rate = bytesPerSecond(blocks);
  for (const [label, bit] of [['+300 ppm', 4], ['-300 ppm', 2]]) {
    const source = sourceGaps(blocks, carries(bit));
    console.log(`${label} source, 15.6 ms tick, ${pacing}: ${(source.partial / minutes).toFixed(1)} partial and ` +
      `${(source.missing / minutes).toFixed(1)} missing blocks per minute (${source.blocks} blocks)`);
  }
  const gaps = sortedGaps(blocks);
  console.log(`byte rate with the tick:   ${rate.toFixed(0)} B/s (${((rate / BYTES_PER_SECOND - 1) * 100).toFixed(3)} % off 384000), ` +
    `block gap p50 ${percentile(gaps, 50).toFixed(2)}, p99 ${percentile(gaps, 99).toFixed(2)} ms`);
}

// From a tone's sign change in the source to the block that carries it, as read:
// the source's stream starts at a wall-clock time the simulated platform reports,
// and changes sign every 500 ms from then on.
async function latency() {
  const scenario = new Scenario(['process 370 101 a.exe', 'session 370 active', 'tone 370 16384 24000']);
  const clockOffset = Date.now() - performance.now();
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run);
  await sleep(6000);
  await stop(run);
  const started = scenario.report().streams.find((s) => s.pid === '370').started;
  const delays = [];
  let previous = 0;
  for (const block of blocksOf(run)) {
    block.samples.forEach((v, i) => {
      if (i % 2 === 0 && v !== 0 && previous !== 0 && v !== previous) {
        const producedAt = started + 500 * (delays.length + 1);
        delays.push(block.at + clockOffset - ((block.samples.length - i) / 96) - producedAt);
      }
      if (i % 2 === 0 && v !== 0) previous = v;
    });
  }
  const mean = delays.reduce((a, b) => a + b, 0) / delays.length;
  console.log(`latency from source to reader: mean ${mean.toFixed(1)} ms, max ${Math.max(...delays).toFixed(1)} ms (${delays.length} sign changes)`);
}

// `during`, when given, replaces the scenario once the helper is ready.
async function cpuPerMinute(label, lines, during) {
  const scenario = new Scenario(lines);
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run);
  if (during) scenario.write(during);
  await sleep(1000);
  const helper0 = treeCpuSeconds(run.child.pid);
  const server0 = wineserverCpuSeconds();
  const t0 = performance.now();
  await sleep(cpuSeconds * 1000);
  const elapsedMinutes = (performance.now() - t0) / 60000;
  const helper = (treeCpuSeconds(run.child.pid) - helper0) / elapsedMinutes;
  const server = (wineserverCpuSeconds() - server0) / elapsedMinutes;
  await stop(run);
  console.log(`CPU per minute, ${label}: helper ${helper.toFixed(2)} s, wineserver ${server.toFixed(2)} s (over ${cpuSeconds} s)`);
}

// A busy loop on every core for as long as `body` runs: a machine whose other
// work competes with the helper for the CPU.
async function withCpuHog(body) {
  const hogs = os.cpus().map(() => spawn('sh', ['-c', 'while :; do :; done'], { stdio: 'ignore' }));
  try {
    return await body();
  } finally {
    for (const hog of hogs) hog.kill('SIGKILL');
  }
}

async function underLoad() {
  const scenario = new Scenario(source);
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run);
  await withCpuHog(() => sleep(cpuSeconds * 1000));
  await stop(run);
  const blocks = blocksOf(run);
  const minutes = (blocks.at(-1).at - blocks[0].at) / 60000;
  const gaps = sortedGaps(blocks);
  const stream = scenario.report().streams.find((s) => s.pid === '310');
  const gapsOfSource = sourceGaps(blocks, carries(4));
  console.log(`busy loop on ${os.cpus().length} cores: ${(stream.discontinuities / minutes).toFixed(1)} losses ` +
    `(${(stream.lost / 480 / minutes).toFixed(1)} packets) per minute, block gap p99 ${percentile(gaps, 99).toFixed(2)} ms, ` +
    `max ${gaps.at(-1).toFixed(1)} ms; source partial ${(gapsOfSource.partial / minutes).toFixed(1)}, missing ${(gapsOfSource.missing / minutes).toFixed(1)} blocks per minute`);
}

// A source whose stream fails for good (as when the audio service restarts) 2.1 s
// after it starts, just after a scan, which is the longest wait for the next one;
// its next stream is healthy.
async function streamFailure() {
  const scenario = new Scenario([...source, 'stream 310 fails 2100 88890004']);
  const run = startHelper(simHelper, ['--all-except', '0'], { scenario });
  await waitForReady(run);
  await sleep(500);
  scenario.write(source);
  await sleep(8000);
  await stop(run);
  const [first, second] = scenario.report().streams.filter((s) => s.pid === '310');
  const failedAt = fromWallClock(first.started + 2100);
  const heard = heardAgain(blocksOf(run), carries(4), failedAt);
  console.log(`stream failure: heard again ${heard ? Math.round(heard - failedAt) : 'never'} ms after it failed ` +
    `(next stream started ${second ? second.started - first.started - 2100 : '-'} ms after)`);
}

const runs = {
  rateAndGaps,
  stuckActivation,
  driftSleeping: () => drift('paced by Sleep', DRIFTING),
  driftTimer: () => drift('paced by the timer', DRIFTING.filter((line) => line !== 'timer none')),
  latency,
  underLoad,
  streamFailure,
  cpuSilence: () => cpuPerMinute('silence  ', []),
  cpuSilenceSleeping: () => cpuPerMinute('silence, paced by Sleep', ['timer none']),
  cpuOneSource: () => cpuPerMinute('one source', source),
  // Every new stream of the source fails at once, or the audio service is down:
  // its stream failed and activations fail until it is back.
  cpuFailing: () => cpuPerMinute('failing at every start', [...source, 'stream 310 fails 0 88890004']),
  cpuServiceDown: () => cpuPerMinute('audio service down', [...source, 'stream 310 fails 500 88890010'],
    [...source, 'stream 310 fails 0 88890010', 'activation 310 fail 88890010']),
  cpuTones: () => cpuPerMinute('two tones', [
    'process 310 101 a.exe',
    'process 321 101 b.exe',
    'session 310 active',
    'session 321 active',
    'tone 310 12000 100',
    'tone 321 9000 37',
  ]),
};
for (const [name, body] of Object.entries(runs)) {
  if (!only || only.includes(name)) await body();
}
