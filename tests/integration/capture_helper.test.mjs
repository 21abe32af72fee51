// The real capture helper under Wine: its command line, exit codes and the
// start-up probe on a platform without process loopback.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { USAGE, realHelper, startHelper } from './lib/capture-helper.mjs';

const usageCases = [
  ['no arguments', []],
  ['--window alone', ['--window']],
  ['a number that is no window', ['--window', '12345']],
  ['--self alone', ['--self', '5']],
];

for (const [name, args] of usageCases) {
  test(`usage and exit code 1: ${name}`, async (t) => {
    const run = startHelper(realHelper, args, { t });
    assert.equal(await run.ended(), 1);
    assert.equal(run.stderr, USAGE);
    assert.equal(run.bytes, 0, 'nothing on standard output');
  });
}

// Wine has no process-loopback device and answers the activation with
// ERROR_FILE_NOT_FOUND; Windows before 10 2004 fails it in its own way.
test('--all-except on a platform without process loopback: unsupported and exit code 2', async (t) => {
  const run = startHelper(realHelper, ['--all-except', '4242'], { t });
  assert.equal(await run.ended(), 2);
  assert.equal(run.stderr, 'unsupported 0x80070002\r\n');
  assert.equal(run.bytes, 0);
});
