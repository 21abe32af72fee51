// App-audio sharing under Wine: Tolvin starts a capture helper for the page,
// answers the page's start request, relays the helper's PCM stream and ends the
// helper again. Beside Tolvin.exe runs the misbehaving helper of tests/doubles
// (its orders are written before each start), the real helper, or the real
// helper's simulated build.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { Scenario, realHelper, simHelper } from './lib/capture-helper.mjs';
import {
  ENDED, FakeHelper, PCM_PREFIX, pcmChunks, startShell, startedPrefix, windowsProcesses,
} from './lib/page.mjs';
import { isEvent, probe, winPath } from './lib/wine.mjs';

const WM_CLOSE = 16;
const STREAM = 'say ready stream 0';
const HELPER = 'tolvin-app-audio.exe';

const fake = new FakeHelper();
let shell;
before(async () => {
  shell = await startShell({ extra: fake.extra, env: fake.env });
  await shell.page();
});
after(() => {
  shell?.program.child.kill('SIGKILL');
  shell?.standIn.close();
});

const helpers = (s = shell) => windowsProcesses(s.dir, HELPER);
const pcmAfter = (from, s = shell) => s.calls('PostWebMessageAsJson', from).filter((r) => r.json.startsWith(PCM_PREFIX));

// Waits until no helper runs; how long that took, in ms.
async function helpersGone(s = shell, ms = 5000) {
  const from = performance.now();
  while (helpers(s).length > 0) {
    if (performance.now() - from > ms) throw new Error(`a helper still runs after ${ms} ms`);
    await sleep(20);
  }
  return performance.now() - from;
}

// Sends a start request (its JSON text) with these orders for the helper and
// waits until the helper has read them, if one starts.
async function request(text, orders) {
  fake.mode(orders);
  const runs = fake.runs().length;
  const sentAt = performance.now();
  await shell.send(text);
  return { sentAt, started: () => fake.runs().length > runs };
}

// A start with these orders; the page's answer, how long it took and the last run.
async function start(id, orders, text = JSON.stringify({ type: 'appAudioStart', id, windowId: '' })) {
  const from = shell.standIn.reports.length;
  const { sentAt } = await request(text, orders);
  const answer = await shell.nextPageMessage(startedPrefix(id), { from, ms: 8000 });
  return { ok: answer.ok, ms: answer.seenAt - sentAt, seenAt: answer.seenAt, run: fake.runs().at(-1) };
}

async function stopAndWait() {
  await shell.send('{"type":"appAudioStop"}');
  return helpersGone();
}

test('the helper is started hidden on three pipes with the window to capture or the shell to leave out', async () => {
  const helper = `"${winPath(path.join(shell.dir, HELPER))}"`;
  const cases = [
    ['{"type":"appAudioStart","id":1,"windowId":"132004"}', 1, `--window 132004 --self ${shell.pid}`],
    ['{"type":"appAudioStart","id":2,"windowId":"132004abc"}', 2, `--window 132004 --self ${shell.pid}`],
    ['{"type":"appAudioStart","id":3,"windowId":""}', 3, `--all-except ${shell.pid}`],
    ['{"type":"appAudioStart","id":4,"windowId":"abc"}', 4, `--all-except ${shell.pid}`],
    ['{"type":"appAudioStart","windowId":"77"}', 0, `--window 77 --self ${shell.pid}`],
    ['{"type":"appAudioStart","id":-5}', -5, `--all-except ${shell.pid}`],
  ];
  for (const [text, id, args] of cases) {
    const { ok, run } = await start(id, 'say ready', text);
    assert.equal(ok, true, text);
    assert.deepEqual({ ...run, pid: undefined }, {
      pid: undefined, commandLine: `${helper} ${args}`, console: false, stdin: 'pipe', stdout: 'pipe', stderr: 'pipe',
    }, text);
  }
  await stopAndWait();
});

test('how the helper comes up decides the answer; a failed start leaves no helper behind', async () => {
  const cases = [
    // name, orders, ok, answer within [ms, ms], helper gone after the answer within [ms, ms]
    ['"re" and "ady" in two writes', 'say re sleep 300 say ady', true, [300, 3000]],
    ['5000 bytes of noise before "ready"', 'noise 5000 say ready', true, [0, 3000]],
    ['"ready" inside a longer word', 'say already', true, [0, 3000]],
    ['exit before "ready"', 'say usage exit 1', false, [0, 2000], [0, 1000]],
    ['silent for ever', '', false, [3900, 5500], [0, 1000]],
    ['silent, deaf to its life-line', 'deaf', false, [3900, 5500], [800, 2500]],
  ];
  for (const [name, orders, ok, [early, late], gone] of cases) {
    const answer = await start(10, orders);
    assert.equal(answer.ok, ok, name);
    assert.ok(answer.ms >= early && answer.ms <= late, `${name}: answered after ${Math.round(answer.ms)} ms`);
    if (ok) {
      assert.ok(await stopAndWait() < 1500, `${name}: ended on the stop`);
      continue;
    }
    // The failed start is stopped when its answer goes out.
    await helpersGone();
    const goneAfter = performance.now() - answer.seenAt;
    assert.ok(goneAfter >= gone[0] && goneAfter <= gone[1], `${name}: gone ${Math.round(goneAfter)} ms after the answer`);
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
  for (const chunk of chunks) {
    assert.ok(chunk.length % 8 === 0 && chunk.length >= 7680 && chunk.length <= 24056, `a chunk of ${chunk.length} bytes`);
  }
  const relayed = Buffer.concat(chunks);
  assert.ok(written - relayed.length < 7680, `${relayed.length} of ${written} bytes relayed`);
  const expected = Buffer.from(Array.from({ length: relayed.length }, (_, i) => i % 251));
  assert.ok(relayed.equals(expected), 'the bytes as written, in order');
  await helpersGone();
});

// Steps of a sequence, each run after the one before has returned.
const steps = {
  // A start whose helper has read its orders when the step ends.
  async start(id, orders) {
    const { started } = await request(JSON.stringify({ type: 'appAudioStart', id, windowId: '' }), orders);
    while (!started()) await sleep(20);
  },
  stop: () => shell.send('{"type":"appAudioStop"}'),
  navigate: () => shell.standIn.command('navigate https://page.tolvin.example/next', isEvent('navigationStarted')),
  close: () => shell.post(WM_CLOSE),
  wait: (ms) => sleep(ms),
};

test('sequences of starts, stops, navigations and closing: what the page hears and what runs', async () => {
  const cases = [
    {
      name: 'a second start ends the first share silently',
      steps: [['start', 31, STREAM], ['wait', 500], ['start', 32, STREAM], ['wait', 1500]],
      heard: ['started 31 true', 'started 32 true'], helpers: 1, streaming: true,
    },
    {
      name: 'a replaced start that still says "ready" is answered false with its own id',
      steps: [['start', 33, 'deaf sleep 500 say ready stream 0'], ['start', 34, 'say ready'], ['wait', 2500]],
      heard: ['started 33 false', 'started 34 true'], helpers: 1, streaming: false,
    },
    {
      name: 'a stop while the start is pending is answered false; nothing ends later',
      steps: [['start', 35, ''], ['stop'], ['wait', 1500]],
      heard: ['started 35 false'], helpers: 0, streaming: false,
    },
    {
      name: 'a navigation ends the share without a word',
      steps: [['start', 36, STREAM], ['wait', 500], ['navigate'], ['wait', 1500]],
      heard: ['started 36 true'], helpers: 0, streaming: false,
    },
    {
      name: 'closing the window from its frame only hides it: the share goes on',
      steps: [['start', 37, STREAM], ['wait', 500], ['close'], ['wait', 1000]],
      heard: ['started 37 true'], helpers: 1, streaming: true,
    },
  ];
  for (const { name, steps: sequence, heard, helpers: running, streaming } of cases) {
    const from = shell.standIn.reports.length;
    let endedAt = null;
    for (const [step, ...args] of sequence) {
      await steps[step](...args);
      if (step === 'stop' || step === 'navigate') endedAt = shell.standIn.reports.length;
    }
    const said = shell.pageMessages(from).filter((m) => m.type !== 'appAudio:pcm')
      .map((m) => (m.type === 'appAudio:started' ? `started ${m.id} ${m.ok}` : 'ended'));
    assert.deepEqual(said.sort(), heard, name);
    assert.equal(helpers().length, running, `${name}: helpers running`);
    if (endedAt !== null) assert.equal(pcmAfter(endedAt).length, 0, `${name}: sound after the end`);
    const before = shell.standIn.reports.length;
    await sleep(500);
    assert.equal(pcmAfter(before).length > 0, streaming, `${name}: sound goes on`);
    await stopAndWait();
  }
});

test('no helper file, a folder in its place, or the real helper, which Wine cannot serve, is answered false at once', async () => {
  const file = path.join(shell.dir, HELPER);
  const cases = [
    ['no helper file', () => {}],
    ['a folder of its name', () => fs.mkdirSync(file)],
    ['the real helper', () => fs.copyFileSync(realHelper, file)],
  ];
  try {
    for (const [name, prepare] of cases) {
      fs.rmSync(file, { recursive: true, force: true });
      prepare();
      const answer = await start(40, 'say ready');
      assert.equal(answer.ok, false, name);
      assert.ok(answer.ms < 2000, `${name}: answered after ${Math.round(answer.ms)} ms`);
      await helpersGone();
    }
  } finally {
    fs.rmSync(file, { recursive: true, force: true });
    fs.copyFileSync(fake.extra[HELPER], file);
  }
});

test('200 starts and stops leave no helper, handle or memory behind', async (t) => {
  // Each session's watchdog lives 4 s; measure once every worker has ended.
  const settled = async () => {
    await sleep(5000);
    return probe('handles', shell.pid);
  };
  let first;
  for (let cycle = 1; cycle <= 200; cycle++) {
    assert.equal((await start(50, STREAM)).ok, true, `cycle ${cycle}`);
    await shell.send('{"type":"appAudioStop"}');
    if (cycle === 20) first = await settled();
  }
  await helpersGone();
  const last = await settled();
  t.diagnostic(`after 20 cycles: ${first.handles} handles, ${first.workingSet} B working set; ` +
               `after 200: ${last.handles} handles, ${last.workingSet} B`);
  assert.ok(first.handles > 0, 'the shell\'s handles are counted');
  assert.ok(last.handles - first.handles <= 5, 'handles');
  assert.ok(last.workingSet - first.workingSet <= 2 * 1024 * 1024, 'working set');
});

test('"Quit Tolvin" ends a running share and the helper with it', async () => {
  assert.equal((await start(60, STREAM)).ok, true);
  assert.equal(await shell.quit(), 0);
  assert.ok(await helpersGone() < 2000);
});

test('the simulated helper\'s tone reaches the page in whole frames; a stop ends it within a second', async (t) => {
  const scenario = new Scenario(['process 310 100 a.exe', 'session 310 active', 'tone 310 16384 240']);
  const sim = await startShell({ extra: { [HELPER]: simHelper }, env: { TOLVIN_SIM_SCENARIO: scenario.windowsPath }, t });
  await sim.page();
  const from = sim.standIn.reports.length;
  await sim.send('{"type":"appAudioStart","id":7,"windowId":""}');
  assert.equal((await sim.nextPageMessage(startedPrefix(7), { from, ms: 8000 })).ok, true);
  await sleep(1500);
  await sim.send('{"type":"appAudioStop"}');
  const stoppedAt = sim.standIn.reports.length;
  assert.ok(await helpersGone(sim) < 1200, 'the helper ends');
  await sleep(300);
  assert.equal(pcmAfter(stoppedAt, sim).length, 0, 'no sound after the stop');

  const chunks = pcmChunks(sim.pageMessages(from));
  assert.ok(chunks.length >= 50, `${chunks.length} chunks in 1.5 s`);
  const values = new Map();
  for (const chunk of chunks) {
    assert.ok(chunk.length % 8 === 0 && chunk.length >= 7680 && chunk.length <= 24056, `a chunk of ${chunk.length} bytes`);
    for (let at = 0; at < chunk.length; at += 8) {
      const [left, right] = [chunk.readFloatLE(at), chunk.readFloatLE(at + 4)];
      assert.equal(left, right, 'both channels carry the tone');
      values.set(left, (values.get(left) ?? 0) + 1);
    }
  }
  assert.deepEqual([...values.keys()].filter((v) => ![0, 0.5, -0.5].includes(v)), [], 'only the tone and silence');
  assert.ok(values.get(0.5) > 20000 && values.get(-0.5) > 20000, 'the tone is heard');
  await sim.quit();
});
