// The crash report under Wine: a test program that links it and then faults,
// throws out of a noexcept function or aborts leaves a log line whose frames
// scripts/symbolize turns into its own functions, and a dump; five dumps stay.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { doublesDir, logLines, logsDir, startProgram, top, windowsBuild } from './lib/wine.mjs';

const dumps = () => fs.readdirSync(logsDir).filter((f) => /^crash-.*\.dmp$/.test(f)).sort();

test('each way of crashing leaves a line that symbolizes to the crashing function, and a dump', async (t) => {
  fs.rmSync(logsDir, { recursive: true, force: true });
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
