// The update script run by PowerShell 7 against an HTTPS release host on
// loopback, whose throw-away certificate only the script's runs trust. Each run
// gets a fresh stage folder and a copy of the embedded script pointed at the
// host under a base of its own, so that requests are counted per run.
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import { describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

const top = process.env.TOLVIN_SOURCE ?? path.resolve(import.meta.dirname, '../..');
const pwsh = path.join(top, 'build/tools/pwsh/pwsh');
const embedded = fs.readFileSync(path.join(top, 'build/host/generated/native-update.ps1'), 'latin1');
const skip = !fs.existsSync(pwsh) && 'PowerShell 7 is missing (no dotnet to install it): skipped';

const work = fs.mkdtempSync(path.join(top, 'build/tmp-update-'));
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));
const file = (...parts) => path.join(work, ...parts);
const write = (p, content, mode) => {
  fs.mkdirSync(path.dirname(p), { recursive: true });
  fs.writeFileSync(p, content, { mode });
};

// The host: a certificate for this run, and files by path, each request counted.
const hosted = new Map();
const requests = new Map();
let server;
if (!skip) {
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', '/CN=localhost',
    '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', file('key.pem'), '-out', file('cert.pem')], { stdio: 'ignore' });
  server = https.createServer({ key: fs.readFileSync(file('key.pem')), cert: fs.readFileSync(file('cert.pem')) }, (q, a) => {
    requests.set(q.url, (requests.get(q.url) ?? 0) + 1);
    const body = hosted.get(q.url);
    a.writeHead(body ? 200 : 404, { 'content-type': 'application/octet-stream' }).end(body);
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  server.unref();
}
const origin = () => `https://127.0.0.1:${server.address().port}`;

// Runs the script, in constrained language on request (as where application
// control is enforced); resolves with its exit code, outputs and wall time in ms.
let runs = 0;
async function runScript(base, args, { constrained = false } = {}) {
  const script = file(`script-${++runs}.ps1`);
  write(script, embedded.replace(/^\$RepositoryBase = .*$/m, `$RepositoryBase = '${origin()}${base}'`));
  const started = performance.now();
  const call = ["$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage';", `& '${script}'`,
    ...args.map((a) => `'${a}'`), '; exit $LASTEXITCODE'].join(' ');
  const child = spawn(pwsh, ['-NoProfile', '-NonInteractive', ...(constrained ? ['-Command', call] : ['-File', script, ...args])], {
    env: { ...process.env, SSL_CERT_FILE: file('cert.pem') }, stdio: ['ignore', 'pipe', 'pipe'],
  });
  const out = [];
  const err = [];
  child.stdout.on('data', (d) => out.push(d));
  child.stderr.on('data', (d) => err.push(d));
  const timer = setTimeout(() => child.kill('SIGKILL'), 60000);
  const [code] = await once(child, 'close');
  clearTimeout(timer);
  return { code, stdout: Buffer.concat(out).toString(), stderr: Buffer.concat(err).toString(), ms: performance.now() - started };
}

// The archives: the one scripts/release makes, signed with a throw-away
// certificate (the programs' files as unpacked are in release/), the same files stored without
// compression (about 1.6 MB, for the timing figure), and one whose entry climbs
// out of "new" (a name of the same length patched into a zip of a harmless one).
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
const archives = {};
if (!skip) {
  execFileSync('openssl', ['pkcs12', '-export', '-inkey', file('key.pem'), '-in', file('cert.pem'), '-out', file('sign.pfx'),
    '-passout', 'pass:throw away'], { stdio: 'ignore' });
  execFileSync(path.join(top, 'scripts/release'), [file('dist')],
    { stdio: 'ignore', env: { ...process.env, TOLVIN_SIGN_PFX: file('sign.pfx'), TOLVIN_SIGN_PASSWORD: 'throw away' } });
  const [release] = fs.readdirSync(file('dist')).filter((n) => n.endsWith('-windows-x64.zip'));
  archives.release = fs.readFileSync(file('dist', release));
  execFileSync('unzip', ['-q', file('dist', release), '-d', file('release')]);
  execFileSync('zip', ['-q', '-0', file('stored.zip'), 'Tolvin.exe', 'tolvin-app-audio.exe'], { cwd: file('release') });
  archives.stored = fs.readFileSync(file('stored.zip'));
  write(file('evil', 'xx', 'evil.txt'), 'out of new');
  execFileSync('zip', ['-q', file('evil.zip'), 'Tolvin.exe', 'xx/evil.txt'], { cwd: file('evil') });
  archives.unsafe = Buffer.from(fs.readFileSync(file('evil.zip')).toString('latin1').replaceAll('xx/evil.txt', '../evil.txt'), 'latin1');
}

// Hosts a manifest (with ARCHIVE standing for the archive line) under a fresh base.
let bases = 0;
function host(manifest, archive = archives.release, digest = sha256(archive ?? '')) {
  const base = `/case${++bases}/tolvin`;
  const zip = `${base}/releases/download/v9.9.9/Tolvin-9.9.9-windows-x64.zip`;
  hosted.set(`${base}/releases/latest/download/native-latest.txt`, manifest.replaceAll('ARCHIVE', `${origin()}${zip} ${digest}`));
  if (archive) hosted.set(zip, archive);
  return { base, fetches: () => [requests.get(`${base}/releases/latest/download/native-latest.txt`) ?? 0, requests.get(zip) ?? 0] };
}

// An app folder of its own for each check, so that write probes never meet.
const newApp = () => fs.mkdtempSync(file('app-'));
const stageFiles = (stage) => (fs.existsSync(stage) ? fs.readdirSync(stage, { recursive: true }).sort() : []);

describe('check', { skip, concurrency: 4 }, () => {
  const usage = 'usage: check <current> <app-folder> <stage> | install <app-folder> <pid> <stage>';
  // [name, manifest, stdout, exit code, standard error, [manifest, archive] fetches]
  const cases = [
    ['the same version', 'version 2.1.1\nwindows-x64 ARCHIVE\n', 'none', 0, '', [1, 0]],
    ['a lower version', 'version 2.0.9\nwindows-x64 ARCHIVE\n', 'none', 0, '', [1, 0]],
    ['version 2.1', 'version 2.1\nwindows-x64 ARCHIVE\n', 'none', 0, '', [1, 0]],
    ['no windows-x64 line, arm64 ignored', 'version 9.9.9\nwindows-arm64 ARCHIVE\n', 'none', 0, '', [1, 0]],
    ['key words in any case', '  VERSION 9.9.9 \r\nWindows-X64   ARCHIVE\r\n', 'ready 9.9.9', 0, '', [1, 1]],
    ['the last of two lines wins', 'version 9.9.9\nversion 2.0\nwindows-x64 ARCHIVE\n', 'none', 0, '', [1, 0]],
    ['invalid version 2.2-beta', 'version 2.2-beta\nwindows-x64 ARCHIVE\n', '', 1, 'invalid version 2.2-beta', [1, 0]],
    ['invalid version 3', 'version 3\nwindows-x64 ARCHIVE\n', '', 1, 'invalid version 3', [1, 0]],
    ['an archive outside the download prefix', 'version 9.9.9\nwindows-x64 https://elsewhere.example/t.zip 00\n', '', 1,
      'unexpected address https://elsewhere.example/t.zip', [1, 0]],
  ];
  for (const [name, manifest, stdout, code, stderr, fetches] of cases) {
    test(name, async () => {
      const release = host(manifest);
      const run = await runScript(release.base, ['check', '2.1.1', newApp(), file(`stage-${bases}`)]);
      assert.deepEqual([run.stdout.trim(), run.code, run.stderr.trim(), release.fetches()], [stdout, code, stderr, fetches]);
    });
  }

  // A stage folder in a user folder named with [ and ], which wildcards would misread.
  test('a verified archive is unpacked once; a second check answers ready without fetching it', async (t) => {
    const release = host('version 9.9.9\nwindows-x64 ARCHIVE\n');
    const stage = file('user [x]', 'stage-ready');
    const first = await runScript(release.base, ['check', '2.1.1', newApp(), stage]);
    assert.deepEqual([first.stdout, first.code], ['ready 9.9.9\n', 0]);
    const shipped = ['Tolvin.exe', 'WebView2Loader-NOTICE.txt', 'WebView2Loader.dll', 'tolvin-app-audio.exe'];
    assert.deepEqual(stageFiles(stage), ['manifest.txt', 'new', ...shipped.map((n) => `new/${n}`), 'version']);
    for (const name of shipped)
      assert.ok(fs.readFileSync(path.join(stage, 'new', name)).equals(fs.readFileSync(file('release', name))));
    assert.equal(fs.readFileSync(path.join(stage, 'version'), 'latin1').trim(), '9.9.9');
    const second = await runScript(release.base, ['check', '2.1.1', newApp(), stage]);
    assert.equal(second.stdout, 'ready 9.9.9\n');
    assert.deepEqual(release.fetches(), [2, 1]);
    t.diagnostic(`release archive ${archives.release.length} bytes, check ${first.ms.toFixed(0)} ms`);
  });

  test('a full check of a 1.6 MB archive, timed', async (t) => {
    const release = host('version 9.9.9\nwindows-x64 ARCHIVE\n', archives.stored);
    const run = await runScript(release.base, ['check', '2.1.1', newApp(), file('stage-timed')]);
    assert.equal(run.stdout, 'ready 9.9.9\n');
    t.diagnostic(`full check of a ${archives.stored.length}-byte archive: ${run.ms.toFixed(0)} ms wall time`);
  });

  // The tests run as root, which file modes do not stop; no one can make a file in /proc.
  for (const [name, app, constrained] of [['an app folder that cannot be written', '/proc', false], ['constrained language', null, true]]) {
    test(`${name} gives manual, nothing downloaded`, async () => {
      const release = host('version 9.9.9\nwindows-x64 ARCHIVE\n');
      const run = await runScript(release.base, ['check', '2.1.1', app ?? newApp(), file(`stage-${bases}`)], { constrained });
      assert.deepEqual([run.stdout, run.code, release.fetches()], ['manual 9.9.9\n', 0, [1, 0]]);
    });
  }

  // [name, archive, digest, standard error]
  const failures = [
    ['a wrong digest', archives.release, '0'.repeat(64), 'checksum mismatch'],
    ['an entry outside new', archives.unsafe, undefined, 'unsafe archive entry ../evil.txt'],
  ];
  for (const [name, archive, digest, stderr] of failures) {
    test(`${name} deletes the archive and unpacks nothing`, async () => {
      const release = host('version 9.9.9\nwindows-x64 ARCHIVE\n', archive, digest);
      const stage = file(`stage-${bases}`, 'stage');
      write(path.join(stage, 'new', 'Tolvin.exe'), 'an older release');
      write(path.join(stage, 'version'), '9.9.8\n');
      const run = await runScript(release.base, ['check', '2.1.1', newApp(), stage]);
      assert.deepEqual([run.stdout, run.code, run.stderr.trim()], ['', 1, stderr]);
      assert.deepEqual(stageFiles(path.dirname(stage)), ['stage', 'stage/manifest.txt']);
    });
  }

  test('a missing manifest and an unknown mode fail', async () => {
    const missing = await runScript('/nothing', ['check', '2.1.1', newApp(), file('stage-404')]);
    assert.deepEqual([missing.code, missing.stdout], [1, '']);
    assert.match(missing.stderr, /404/);
    const unknown = await runScript('/nothing', ['update', 'a', 'b', 'c']);
    assert.deepEqual([unknown.code, unknown.stdout, unknown.stderr], [1, '', `${usage}\n`]);
  });
});

describe('release', { skip }, () => {
  const verify = (name, ...trust) =>
    spawnSync('osslsigncode', ['verify', '-in', file('release', name), ...trust], { encoding: 'utf8' }).stdout;

  test('the zip holds both programs signed with the certificate, the SDK loader as Microsoft signed it, and its notice', () => {
    const manifest = fs.readFileSync(file('dist', 'native-latest.txt'), 'latin1');
    assert.ok(manifest.trim().endsWith(` ${sha256(archives.release)}`), manifest);
    for (const name of ['Tolvin.exe', 'tolvin-app-audio.exe']) {
      const report = verify(name, '-CAfile', file('cert.pem'));
      assert.match(report, /Subject: \/CN=localhost\n/, name);
      assert.match(report, /Signature verification: ok/, name);
    }
    const sdk = fs.readFileSync(path.join(top, 'build/windows/bin/WebView2Loader.dll'));
    assert.ok(fs.readFileSync(file('release', 'WebView2Loader.dll')).equals(sdk), 'the loader as the SDK has it');
    assert.match(verify('WebView2Loader.dll'), /Subject: .*\/O=Microsoft Corporation\/CN=Microsoft Corporation\n/);
    assert.match(fs.readFileSync(file('release', 'WebView2Loader-NOTICE.txt'), 'latin1'), /Copyright \(C\) Microsoft Corporation/);
  });

  test('without a certificate the release refuses unless it is asked for unsigned', () => {
    const refused = spawnSync(path.join(top, 'scripts/release'), [file('unsigned')], { encoding: 'utf8', env: { ...process.env, TOLVIN_SIGN_PFX: '' } });
    assert.equal(refused.status, 1);
    assert.match(refused.stderr, /no code-signing certificate: set TOLVIN_SIGN_PFX/);
    assert.equal(fs.existsSync(file('unsigned')), false);
    const unsigned = spawnSync(path.join(top, 'scripts/release'), ['--unsigned', file('unsigned')], { encoding: 'utf8' });
    assert.equal(unsigned.status, 0, unsigned.stderr);
    assert.match(unsigned.stdout, /Tolvin-[\d.]+-windows-x64\.zip, \d+ bytes, unsigned\n/);
  });
});

describe('install', { skip, concurrency: 4 }, () => {
  // An app folder with an old program, a stage folder with a new one; each
  // program is a script that notes its start in started.log.
  function folders(name, { staged = true } = {}) {
    const dir = file(`install-${name}`);
    const program = (who) => `#!/bin/sh\necho ${who} >> '${dir}/started.log'\n`;
    write(path.join(dir, 'app', 'Tolvin.exe'), program('old'), 0o755);
    write(path.join(dir, 'app', 'tolvin-app-audio.exe'), 'old helper');
    if (staged) {
      write(path.join(dir, 'stage', 'new', 'Tolvin.exe'), program('new'), 0o755);
      write(path.join(dir, 'stage', 'new', 'tolvin-app-audio.exe'), 'new helper');
      write(path.join(dir, 'stage', 'new', 'lib', 'added.dll'), 'new library');
      write(path.join(dir, 'stage', 'version'), '9.9.9\n');
    }
    const app = (name) => fs.readFileSync(path.join(dir, 'app', name), 'latin1');
    const started = async () => {
      for (let i = 0; i < 50 && !fs.existsSync(`${dir}/started.log`); i++) await sleep(100);
      return fs.readFileSync(`${dir}/started.log`, 'latin1');
    };
    return { dir, app, started, args: (pid) => ['install', path.join(dir, 'app'), String(pid), path.join(dir, 'stage')] };
  }

  // PowerShell takes seconds to start: the stand-in shell lives for 5 s.
  test('waits for the shell to end, copies, clears the stage and starts the new program', async () => {
    const f = folders('[wait]');
    const shell = spawn('sleep', ['5']);
    const atShellExit = once(shell, 'exit').then(() => f.app('tolvin-app-audio.exe'));
    const run = await runScript('/', f.args(shell.pid));
    assert.equal(run.code, 0, run.stderr);
    assert.equal(await atShellExit, 'old helper', 'nothing was copied while the shell ran');
    assert.deepEqual([f.app('tolvin-app-audio.exe'), f.app('lib/added.dll'), await f.started()], ['new helper', 'new library', 'new\n']);
    assert.deepEqual(stageFiles(path.join(f.dir, 'stage')), []);
  });

  // A program that cannot start for a moment after the copy (a scanner holding it).
  test('a start that fails at first is tried again', async () => {
    const f = folders('start');
    fs.chmodSync(path.join(f.dir, 'stage', 'new', 'Tolvin.exe'), 0o644);
    const running = runScript('/', f.args(999999));
    for (let i = 0; i < 400 && !f.app('Tolvin.exe').includes('new'); i++) await sleep(50);
    await sleep(700);
    fs.chmodSync(path.join(f.dir, 'app', 'Tolvin.exe'), 0o755);
    const run = await running;
    assert.deepEqual([run.code, run.stderr, await f.started()], [0, '', 'new\n']);
  });

  test('an unknown process id goes on at once', async () => {
    const f = folders('unknown');
    const run = await runScript('/', f.args(999999));
    assert.deepEqual([run.code, await f.started()], [0, 'new\n']);
    assert.ok(run.ms < 20000, `${run.ms} ms`);
  });

  test('nothing to install starts the program that is there', async () => {
    const f = folders('nothing', { staged: false });
    const run = await runScript('/', f.args(999999));
    assert.deepEqual([run.code, run.stderr, await f.started()], [1, 'nothing to install\n', 'old\n']);
  });

  // A folder where the added library belongs blocks its copy (as root, file
  // modes block nothing); the files of the top level are copied before it.
  for (const [name, blockedFor] of [['a copy blocked for 1.5 s succeeds later', 1500], ['a copy blocked for good restores the old program', Infinity]]) {
    test(name, async () => {
      const f = folders(blockedFor === Infinity ? 'blocked' : 'retry');
      const blocker = path.join(f.dir, 'app', 'lib', 'added.dll');
      fs.mkdirSync(blocker, { recursive: true });
      const running = runScript('/', f.args(999999));
      if (blockedFor !== Infinity) {
        for (let i = 0; i < 400 && !f.app('Tolvin.exe').includes('new'); i++) await sleep(50);
        await sleep(blockedFor);
        fs.rmdirSync(blocker);
      }
      const run = await running;
      const app = [f.app('Tolvin.exe').includes('new'), f.app('tolvin-app-audio.exe'), await f.started()];
      if (blockedFor !== Infinity) {
        assert.deepEqual([run.code, ...app, f.app('lib/added.dll')], [0, true, 'new helper', 'new\n', 'new library']);
        return;
      }
      assert.equal(run.code, 1);
      assert.match(run.stderr, /added\.dll/);
      assert.ok(run.ms > 10000, 'twenty waits of 500 ms');
      assert.deepEqual(app, [false, 'old helper', 'old\n']);
    });
  }
});
