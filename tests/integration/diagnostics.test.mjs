// What a start of Tolvin logs, and the crash report under Wine: a test program
// that links it and then faults, throws out of a noexcept function or aborts
// leaves a log line whose frames scripts/symbolize turns into its own
// functions, and a dump; five dumps stay.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { isEvent } from './lib/wine.mjs';
import { startShell } from './lib/page.mjs';

import { doublesDir, logLines, logsDir, startProgram, top, windowsBuild } from './lib/wine.mjs';

// Wine's process ids come round again from one server start to the next.
fs.rmSync(logsDir, { recursive: true, force: true });

test('a start logs the versions, the page\'s origin only, a process failure with what was done, the update check and the quit', async (t) => {
  const shell = await startShell({ t });
  await shell.page();
  await shell.standIn.command('process-failed 1', isEvent('processFailed'));
  await sleep(4000); // the first update check, 3 s after start, with Wine's own PowerShell
  assert.equal(await shell.quit(), 0);
  const lines = logLines('tolvin.log');
  assert.ok(lines.every((l) => l.split(' ')[1] === String(shell.pid)));
  const page = new URL(shell.calls('Navigate')[0].uri);
  const origin = `${page.protocol}//${page.hostname}:${page.port || { 'http:': 80, 'https:': 443 }[page.protocol]}`;
  // The update check may come before the page is up; the first line and the last are fixed.
  const texts = lines.map((l) => l.replace(/^\S+ \d+ /, '').replace(/Windows \d+\.\d+ build \d+/, 'Windows'));
  assert.equal(texts[0], 'info [shell] start Tolvin 2.1.1 on Windows, unsigned');
  assert.equal(texts.at(-1), 'info [shell] quit, exit code 0');
  assert.deepEqual(texts.slice(1, -1).sort(), [
    'info [update] check: exit code 0, result ""',
    'info [web view] runtime 120.0.2210.91',
    `info [web view] navigating to ${origin}`,
    'warn [web view] process failed: renderer exited; reloading the page',
  ].sort());
  t.diagnostic(`one start's log: ${lines.length} lines, ${Buffer.byteLength(lines.join('\n') + '\n')} bytes`);
});

const dumps = () => fs.readdirSync(logsDir).filter((f) => /^crash-.*\.dmp$/.test(f)).sort();

test('each way of crashing leaves a line that symbolizes to the crashing function, and a dump', async (t) => {
  fs.mkdirSync(logsDir, { recursive: true });
  const seeded = [1, 2, 3, 4].map((n) => `crash-2000010${n}-000000000-1-old.exe.dmp`);
  for (const name of seeded) fs.writeFileSync(path.join(logsDir, name), '');
  // [argument, exit code as Wine's launcher reports it, crash text, a frame's function]
  const cases = [
    ['fault', 0x05, 'crash: exception 0xC0000005 at crash_test.exe+0x', /#0 +crash_test\.exe\+\S+ +crashTestFault at .*crash_test_win\.cpp/],
    ['terminate', 3, 'crash: std::terminate at crash_test.exe+0x', /crashTestNoexcept at .*crash_test_win\.cpp/],
    ['abort', 3, 'crash: abort at crash_test.exe+0x', /#1 +crash_test\.exe\+\S+ +onAbortSignal at /],
  ];
  for (const [i, [how, code, text, frame]] of cases.entries()) {
    const program = startProgram(path.join(doublesDir, 'crash_test.exe'), [how], { t });
    assert.equal(await program.ended(20000), code, how);
    const endedAt = Date.now();
    const lines = logLines('crash-test.log');
    assert.equal(lines.length, i + 1, how);
    assert.ok(lines[i].includes(`error [shell] ${text}`), lines[i]);
    t.diagnostic(`${how}: crash line to the launcher's end ${endedAt - Date.parse(lines[i].split(' ')[0])} ms`);
    const symbolized = execFileSync(path.join(top, 'scripts/symbolize'), ['--symbols', path.join(windowsBuild, 'symbols')],
      { input: lines[i], encoding: 'utf8' });
    assert.match(symbolized, frame);
    assert.match(symbolized, / wmain at .*crash_test_win\.cpp:\d+/);
  }
  assert.deepEqual(dumps().slice(0, 2), seeded.slice(2), 'the newest five kept');
  assert.equal(dumps().length, 5);
  for (const dump of dumps().slice(2)) {
    assert.match(dump, /-crash_test\.exe\.dmp$/);
    assert.equal(fs.readFileSync(path.join(logsDir, dump)).subarray(0, 4).toString(), 'MDMP');
  }
});
