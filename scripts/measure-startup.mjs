#!/usr/bin/env node
// Measures how long Tolvin.exe takes under Wine from its process start to its
// call of the web view loader: ten starts from a fresh program folder with the
// loader stand-in, median and range. Needs a display (DISPLAY) and a built tree.
import path from 'node:path';

import { StandIn, isCall, programFolder, startProgram } from '../tests/integration/lib/wine.mjs';

const WM_COMMAND = 273;
const IDM_QUIT = 1005;
const runs = Number(process.argv[2] ?? 10);
const times = [];
for (let i = 0; i < runs; i++) {
  const standIn = await StandIn.listen();
  const program = startProgram(path.join(programFolder({ loader: true }), 'Tolvin.exe'), [], {
    env: standIn.env,
  });
  await standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'));
  times.push(performance.now() - program.startedAt);
  await standIn.command(`post ${WM_COMMAND} ${IDM_QUIT} 0`, (r) => r.event === 'posted');
  await program.exited;
  standIn.close();
}
times.sort((a, b) => a - b);
const median = (times[(runs - 1) >> 1] + times[runs >> 1]) / 2;
console.log(`process start to loader call over ${runs} starts: median ${median.toFixed(0)} ms, ` +
  `min ${times[0].toFixed(0)} ms, max ${times[runs - 1].toFixed(0)} ms`);
process.exit(0);
