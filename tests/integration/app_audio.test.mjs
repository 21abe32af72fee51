// App-audio sharing under Wine: Tolvin starts a capture helper for the page,
// answers the start request, relays the helper's PCM stream and ends the helper.
// Beside Tolvin.exe runs the misbehaving helper of tests/doubles (its orders are
// written before each start), the real helper, or its simulated build.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { Scenario, realHelper, simHelper } from './lib/capture-helper.mjs';
import { ENDED, FakeHelper, PCM_PREFIX, pcmChunks, startShell, startedPrefix, windowsProcesses } from './lib/page.mjs';
import { isEvent, logLines, probe, waitFor, winPath } from './lib/wine.mjs';

const HELPER = 'tolvin-app-audio.exe';
const STREAM = 'say ready stream 0';
const fake = new FakeHelper();
let shell;
before(async () => {
  shell = await startShell({ extra: fake.extra, env: fake.env });
  await shell.page();
});
after(() => shell?.close());

const helpers = (s = shell) => windowsProcesses(s.dir, HELPER);
const pcmAfter = (from, s = shell) => s.calls('PostWebMessageAsJson', from).filter((r) => r.json.startsWith(PCM_PREFIX));
const startText = (id) => JSON.stringify({ type: 'appAudioStart', id, windowId: '' });
const stop = (s = shell) => s.send('{"type":"appAudioStop"}');

// Waits until no helper runs; how long that took, in ms.
async function helpersGone(s = shell) {
  const from = performance.now();
  while (helpers(s).length > 0) {
    assert.ok(performance.now() - from < 5000, 'a helper still runs after 5 s');
    await sleep(20);
  }
  return performance.now() - from;
}

// Sends a start request with these orders for the helper; `started()` tells
// when the helper has read them.
async function request(text, orders) {
  fake.mode(orders);
  const runs = fake.runs().length;
  await shell.send(text);
  return () => fake.runs().length > runs;
}

// A start: the page's answer, how long it took, and what the helper recorded.
async function start(id, orders, text = startText(id)) {
  const from = shell.standIn.reports.length;
  const sentAt = performance.now();
  await request(text, orders);
  const answer = await shell.nextPageMessage(startedPrefix(id), { from, ms: 8000 });
  return { ok: answer.ok, ms: answer.seenAt - sentAt, seenAt: answer.seenAt, run: fake.runs().at(-1) };
}

test('the helper starts hidden on three pipes, told the window to capture or the shell to leave out', async () => {
  const cases = [
    ['{"type":"appAudioStart","id":1,"windowId":"132004abc"}', 1, `--window 132004 --self ${shell.pid}`],
    ['{"type":"appAudioStart","id":2,"windowId":"abc"}', 2, `--all-except ${shell.pid}`],
    ['{"type":"appAudioStart","windowId":""}', 0, `--all-except ${shell.pid}`],
  ];
  for (const [text, id, args] of cases) {
    const { ok, run } = await start(id, 'say ready', text);
    assert.equal(ok, true, text);
    assert.deepEqual([run.commandLine, run.console, run.stdio], [`"${winPath(path.join(shell.dir, HELPER))}" ${args}`, false, [3, 3, 3]]);
  }
  await stop();
});

test('how the helper comes up decides the answer; a failed start leaves no helper behind', async () => {
  const cases = [
    // orders, ok, answered within [ms, ms], helper gone after the answer within [ms, ms]
    ['say re sleep 300 say ady', true, [300, 3000]],
    ['noise 5000 say ready', true, [0, 3000]],
    ['say usage exit 1', false, [0, 2000], [0, 1000]],
    ['', false, [3900, 5500], [0, 1000]],
    ['deaf', false, [3900, 5500], [800, 2500]],
  ];
  for (const [orders, ok, [early, late], [soonest, latest] = [0, 1000]] of cases) {
    const answer = await start(10, orders);
    assert.equal(answer.ok, ok, orders);
    assert.ok(answer.ms >= early && answer.ms <= late, `${orders}: answered after ${Math.round(answer.ms)} ms`);
    // A failed start is stopped as its answer goes out.
    if (ok) await stop();
    await helpersGone();
    const gone = performance.now() - answer.seenAt;
    assert.ok(ok || (gone >= soonest && gone <= latest), `${orders}: gone ${Math.round(gone)} ms after the answer`);
  }
});

test('the relay passes the stream on byte for byte in whole frames; its end ends the share', async () => {
  const written = 200003;
  const from = shell.standIn.reports.length;
  assert.equal((await start(20, `say ready sleep 300 pattern ${written} 3001 sleep 100 exit 0`)).ok, true);
  await shell.nextPageMessage(ENDED, { from, ms: 10000 });
  const messages = shell.pageMessages(from);
  assert.equal(messages.at(-1).type, 'appAudio:ended', 'nothing after the end');
  const chunks = pcmChunks(messages);
  assert.deepEqual(chunks.filter((c) => c.length % 8 || c.length < 7680 || c.length > 24056), []);
  const relayed = Buffer.concat(chunks);
  assert.ok(written - relayed.length < 7680, `${relayed.length} of ${written} bytes relayed`);
  assert.ok(relayed.equals(Buffer.from(relayed.map((_, i) => i % 251))), 'the bytes as written, in order');
});

test('sequences of starts, stops, navigations and closing: what the page hears and what runs', async () => {
  const steps = {
    start: async (id, orders) => {
      const started = await request(startText(id), orders);
      while (!started()) await sleep(20);
    },
    stop: () => stop(),
    // A reload: the document keeps its origin, so the page's requests still count.
    navigate: () => shell.standIn.command(`navigate ${shell.calls('Navigate')[0].uri}`, isEvent('navigationStarted')),
    // A navigation that brings no new document: the page and its share stay.
    mailto: () => shell.standIn.command('navigation-starting mailto:x@example.test', isEvent('navigationStarted')),
    close: () => shell.post(16), // WM_CLOSE, as the frame's close button sends it
    crash: () => shell.standIn.command('process-failed 1', isEvent('processFailed')), // the renderer died
    wait: (ms) => sleep(ms),
  };
  const cases = [
    // steps, what the page hears (sorted), helpers running at the end, sound still flowing
    [[['start', 31, STREAM], ['wait', 500], ['start', 32, STREAM], ['wait', 1500]], ['started 31 true', 'started 32 true'], 1, true],
    [[['start', 33, 'deaf sleep 500 say ready'], ['start', 34, 'say ready'], ['wait', 2500]], ['started 33 false', 'started 34 true'], 1, false],
    [[['start', 35, ''], ['stop'], ['wait', 1500]], ['started 35 false'], 0, false],
    [[['start', 36, STREAM], ['wait', 500], ['navigate'], ['wait', 1500]], ['started 36 true'], 0, false],
    [[['start', 39, STREAM], ['wait', 500], ['mailto'], ['wait', 1000]], ['started 39 true'], 1, true],
    [[['start', 37, STREAM], ['wait', 500], ['close'], ['wait', 1000]], ['started 37 true'], 1, true],
    [[['start', 38, STREAM], ['wait', 500], ['crash'], ['wait', 1500]], ['started 38 true'], 0, false],
  ];
  for (const [sequence, heard, running, flowing] of cases) {
    const name = sequence.map((s) => s[0]).join(', ');
    const from = shell.standIn.reports.length;
    let endedAt = null;
    for (const [step, ...args] of sequence) {
      await steps[step](...args);
      if (['stop', 'navigate', 'crash'].includes(step)) endedAt = shell.standIn.reports.length;
    }
    const said = shell.pageMessages(from).filter((m) => m.type !== 'appAudio:pcm')
      .map((m) => (m.type === 'appAudio:started' ? `started ${m.id} ${m.ok}` : 'ended'));
    assert.deepEqual(said.sort(), heard, name);
    assert.equal(helpers().length, running, `${name}: helpers running`);
    if (endedAt !== null) assert.equal(pcmAfter(endedAt).length, 0, `${name}: sound after the end`);
    const now = shell.standIn.reports.length;
    await sleep(500);
    assert.equal(pcmAfter(now).length > 0, flowing, `${name}: sound flowing`);
    await stop();
    await helpersGone();
  }
});

test('sound the helper writes before "ready" never reaches the page', async () => {
  const from = shell.standIn.reports.length;
  await request(startText(65), 'pattern 34000 3400 sleep 300 say ready stream 0');
  // The window thread sleeps while the helper writes: its chunks and its start
  // result wait in one queue.
  await shell.standIn.command('busy 1500', isEvent('idle'));
  await shell.nextPageMessage(startedPrefix(65), { from });
  await sleep(500);
  await stop();
  const messages = shell.pageMessages(from);
  const started = messages.findIndex((m) => m.type === 'appAudio:started');
  assert.deepEqual(messages.slice(0, started + 1).map((m) => m.type), ['appAudio:started'], 'no sound before the start');
  const chunks = pcmChunks(messages);
  assert.ok(messages[started].ok && chunks.length > 0);
  // The stream's frames begin with their block number, the bytes before "ready" with 0x03020100 and the like.
  const blocks = chunks.flatMap((c) => Array.from({ length: c.length / 8 }, (_, i) => c.readUInt32LE(8 * i)));
  assert.deepEqual(blocks.filter((n) => n > 10000), [], 'only what came after "ready"');
  await helpersGone();
});

test('no helper file, a folder in its place, or the real helper, which Wine cannot serve: "false" at once', async () => {
  const file = path.join(shell.dir, HELPER);
  const cases = [() => {}, () => fs.mkdirSync(file), () => fs.copyFileSync(realHelper, file)];
  try {
    for (const [i, prepare] of cases.entries()) {
      fs.rmSync(file, { recursive: true, force: true });
      prepare();
      const answer = await start(40, 'say ready');
      assert.ok(!answer.ok && answer.ms < 2000, `case ${i}: ${answer.ok} after ${Math.round(answer.ms)} ms`);
      await helpersGone();
    }
  } finally {
    fs.rmSync(file, { recursive: true, force: true });
    fs.copyFileSync(fake.extra[HELPER], file);
  }
});

// 80 cycles after the first 20 keep the suite under 100 s; a leak of 13 KB or
// one handle per cycle still shows.
test('100 starts and stops leave no helper, handle or memory behind', async (t) => {
  // Each session's watchdog lives 4 s: count once every worker has ended.
  const settled = () => sleep(5000).then(() => probe('handles', shell.pid));
  let first;
  let lost = 0;
  for (let cycle = 1; cycle <= 100; cycle++) {
    const runs = fake.runs().length;
    const { ok } = await start(50, STREAM);
    // Wine now and then loses a new process before it runs a line of its own
    // (once in about 1800 starts today); the shell rightly answers false. Such a
    // start, where the helper recorded nothing, is not counted, twice at most.
    const neverRan = !ok && fake.runs().length === runs;
    assert.ok(ok || (neverRan && ++lost <= 2), `cycle ${cycle} answered ${ok}; helpers that never ran: ${lost}`);
    await stop();
    if (!ok) {
      cycle--;
      continue;
    }
    if (cycle === 20) first = await settled();
  }
  await helpersGone();
  const last = await settled();
  t.diagnostic(`after 20 cycles: ${first.handles} handles, ${first.workingSet} B; after 100: ${last.handles}, ${last.workingSet} B; ${lost} helpers lost by Wine`);
  assert.ok(first.handles > 0 && last.handles - first.handles <= 5, 'handles');
  assert.ok(last.workingSet - first.workingSet <= 1024 * 1024, 'working set');
});

test('private messages that no worker of the program posted are ignored', async () => {
  assert.equal((await start(55, STREAM)).ok, true);
  const from = shell.standIn.reports.length;
  const WM_APP = 0x8000;
  for (const [message, wParam, lParam] of [[WM_APP + 1, 1, 4096], [WM_APP + 2, 0, 0x12345678], [WM_APP + 3, 0, 8]]) {
    await shell.post(message, wParam, lParam);
  }
  await sleep(300);
  assert.deepEqual(shell.pageMessages(from).filter((m) => m.type !== 'appAudio:pcm'), [], 'the page is told nothing');
  assert.ok(pcmAfter(from).length > 0 && helpers().length === 1, 'the share runs on');
  await stop();
});

test('a helper that dies leaves its exit code, an exception named, and its last error line in the log', async () => {
  // [id, orders, what the log says]
  const cases = [
    [51, 'say ready exit 3221225477', 'share 51 ended: helper exception 0xC0000005, last error line "ready"'],
    [52, 'say unsupported exit 7', 'share 52 ended: helper exit code 7, last error line "unsupported"'],
  ];
  for (const [id, orders, logged] of cases) {
    await start(id, orders);
    await waitFor(logged, () => logLines('tolvin.log').some((l) => l.endsWith(`warn [app audio] ${logged}`)), 5000);
  }
});

test('"Quit Tolvin" ends a running share and its helper', async () => {
  assert.equal((await start(60, STREAM)).ok, true);
  assert.equal(await shell.quit(), 0);
  assert.ok(await helpersGone() < 2000);
});

test('the simulated helper\'s tone reaches the page in whole frames; a stop ends it within a second', async (t) => {
  const scenario = new Scenario(['process 310 101 a.exe', 'session 310 active', 'tone 310 16384 240']);
  const sim = await startShell({ extra: { [HELPER]: simHelper }, env: { TOLVIN_SIM_SCENARIO: scenario.windowsPath }, t });
  await sim.page();
  const from = sim.standIn.reports.length;
  await sim.send(startText(7));
  assert.equal((await sim.nextPageMessage(startedPrefix(7), { from, ms: 8000 })).ok, true);
  await sleep(1500);
  await stop(sim);
  const stoppedAt = sim.standIn.reports.length;
  assert.ok(await helpersGone(sim) < 1200, 'the helper ends');
  await sleep(300);
  assert.equal(pcmAfter(stoppedAt, sim).length, 0, 'no sound after the stop');

  const chunks = pcmChunks(sim.pageMessages(from));
  assert.ok(chunks.length >= 50, `${chunks.length} chunks in 1.5 s`);
  assert.deepEqual(chunks.filter((c) => c.length % 8 || c.length < 7680 || c.length > 24056), []);
  const frames = chunks.flatMap((c) => Array.from({ length: c.length / 8 }, (_, i) => [c.readFloatLE(8 * i), c.readFloatLE(8 * i + 4)]));
  assert.deepEqual(frames.filter(([l, r]) => l !== r || ![0, 0.5, -0.5].includes(l)), [], 'the tone on both channels, or silence');
  assert.ok(frames.filter(([l]) => l === 0.5).length > 20000 && frames.filter(([l]) => l === -0.5).length > 20000, 'the tone is heard');
  await sim.quit();
});
