// Takes the relay's figures under Wine: Tolvin relays a stream of stamped 10 ms
// blocks from the misbehaving helper to the loader stand-in. Chunks per second,
// the delay from the helper's write of a block to the post that carries its last
// frame, the shell's CPU time per minute, and chunks dropped.
// Run through scripts/measure-relay, which also measures Base64 on this machine.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';

import { ENDED, FakeHelper, PCM_PREFIX, stampedDelays, startShell } from '../tests/integration/lib/page.mjs';
import { percentile } from '../tests/integration/lib/wine.mjs';

const seconds = Number(process.env.MEASURE_SECONDS ?? 60);
const ticksPerSecond = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }));

// User plus system time of one Linux process: the Wine launcher execs into the
// Windows program, which keeps the pid.
function cpuSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond;
}

const fake = new FakeHelper();
fake.mode(`say ready sleep 200 stream ${seconds} exit 0`);
const shell = await startShell({ extra: fake.extra, env: fake.env });
await shell.page();
const from = shell.standIn.reports.length;
const pid = shell.program.child.pid;
const cpu0 = cpuSeconds(pid);
const t0 = performance.now();
await shell.send('{"type":"appAudioStart","id":1,"windowId":""}');
await shell.nextPageMessage(ENDED, { from, ms: (seconds + 30) * 1000 });
const cpuPerMinute = (cpuSeconds(pid) - cpu0) / ((performance.now() - t0) / 60000);

// The stamped blocks as the shell posted them.
const posts = shell.calls('PostWebMessageAsJson', from).filter((r) => r.json.startsWith(PCM_PREFIX));
const chunks = posts.map((post) => ({ bytes: Buffer.from(JSON.parse(post.json).data, 'base64'), at: post.at }));
const relayed = chunks.reduce((sum, chunk) => sum + chunk.bytes.length, 0);
const { delays, gaps } = stampedDelays(chunks);
const span = (posts.at(-1).at - posts[0].at) / 1e6;
const written = seconds * 100 * 3840;

console.log(`stream of ${seconds} s: ${posts.length} chunks, ${(posts.length - 1) / span} chunks/s`.replace(/(\d+\.\d{2})\d+/, '$1'));
console.log(`helper write to PostWebMessageAsJson: median ${percentile(delays, 50).toFixed(2)} ms, ` +
            `p99 ${percentile(delays, 99).toFixed(2)} ms, max ${delays.at(-1).toFixed(2)} ms (${delays.length} blocks)`);
console.log(`shell CPU per minute: ${cpuPerMinute.toFixed(2)} s`);
console.log(`chunks dropped: ${gaps} (bytes not relayed: ${written - relayed}, of which under 7680 are the final partial chunk)`);
await shell.quit();
