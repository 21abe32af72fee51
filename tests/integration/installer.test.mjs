// The setup scripts/release writes, run under Wine in a copy of the prefix of
// its own (installing changes the user profile other suites share): a silent
// install, a reinstall over a running Tolvin, the entry's version after a
// self-update, the uninstall with and without the user's data, the signatures.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

const top = process.env.TOLVIN_SOURCE ?? path.resolve(import.meta.dirname, '../..');
const shared = process.env.WINEPREFIX ?? path.join(top, 'build/wine');
const prefix = `${shared}-installer`;
fs.rmSync(prefix, { recursive: true, force: true });
execFileSync('cp', ['-a', shared, prefix]);
process.env.WINEPREFIX = prefix;
// Without winemenubuilder the Start menu shortcut makes no launcher on this machine.
process.env.WINEDLLOVERRIDES = 'mscoree,mshtml,winemenubuilder.exe=';
process.on('exit', () => {
  spawnSync('wineserver', ['-k'], { env: process.env });
  fs.rmSync(prefix, { recursive: true, force: true });
});
const { localDir, mainWindows, registryValues, roamingDir, startProgram, waitFor } = await import('./lib/wine.mjs');

const version = /^project\(Tolvin VERSION ([0-9.]+) /m.exec(fs.readFileSync(path.join(top, 'CMakeLists.txt'), 'utf8'))[1];
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvin-installer-'));
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));
const file = (...parts) => path.join(work, ...parts);
execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', '/CN=Tolvin test',
  '-keyout', file('key.pem'), '-out', file('cert.pem')], { stdio: 'ignore' });
execFileSync('openssl', ['pkcs12', '-export', '-inkey', file('key.pem'), '-in', file('cert.pem'), '-out', file('sign.pfx'),
  '-passout', 'pass:throw away'], { stdio: 'ignore' });
execFileSync(path.join(top, 'scripts/release'), [file('dist')],
  { stdio: 'ignore', env: { ...process.env, TOLVIN_SIGN_PFX: file('sign.pfx'), TOLVIN_SIGN_PASSWORD: 'throw away' } });
const setup = file('dist', `Tolvin-${version}-setup-x64.exe`);
execFileSync('unzip', ['-q', file('dist', `Tolvin-${version}-windows-x64.zip`), '-d', file('release')]);

const programs = ['Tolvin.exe', 'tolvin-app-audio.exe', 'WebView2Loader.dll', 'WebView2Loader-NOTICE.txt'];
const installDir = path.join(localDir, 'Programs/Tolvin');
const winDir = `C:\\users\\${os.userInfo().username}\\AppData\\Local\\Programs\\Tolvin`;
const shortcut = path.join(roamingDir, 'Microsoft/Windows/Start Menu/Programs/Tolvin.lnk');
const KEYS = {
  entry: 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tolvin',
  run: 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run',
  approved: 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run',
};
const verified = (exe) => spawnSync('osslsigncode', ['verify', '-in', exe, '-CAfile', file('cert.pem')], { encoding: 'utf8' }).stdout;
const run = (exe, args) => startProgram(exe, args).ended(30000);
const reg = (...args) => startProgram('reg', args).ended();
const exists = (p) => fs.existsSync(p);
const sameAsRelease = (name) => fs.readFileSync(path.join(installDir, name)).equals(fs.readFileSync(file('release', name)));

test('the setup is signed; a silent install puts the files, the shortcut and the entry in place', async (t) => {
  assert.match(verified(setup), /Signature verification: ok/);
  const started = performance.now();
  assert.equal(await run(setup, ['/S']), 0);
  const ms = performance.now() - started;
  for (const name of programs) assert.ok(sameAsRelease(name), name);
  assert.match(verified(path.join(installDir, 'Uninstall Tolvin.exe')), /Subject: \/CN=Tolvin test\n[^]*Signature verification: ok/);
  assert.ok(fs.readFileSync(shortcut, 'latin1').includes(`${winDir}\\Tolvin.exe`), 'the shortcut starts the program');
  const bytes = fs.readdirSync(installDir).reduce((sum, name) => sum + fs.statSync(path.join(installDir, name)).size, 0);
  assert.deepEqual(await registryValues(KEYS.entry), {
    DisplayName: 'Tolvin', DisplayVersion: version, Publisher: 'Tolvin', DisplayIcon: `${winDir}\\Tolvin.exe`,
    InstallLocation: winDir, UninstallString: `"${winDir}\\Uninstall Tolvin.exe"`,
    QuietUninstallString: `"${winDir}\\Uninstall Tolvin.exe" /S`, EstimatedSize: Math.floor(bytes / 1024), NoModify: 1, NoRepair: 1,
  });
  t.diagnostic(`setup ${fs.statSync(setup).size} bytes; silent install ${ms.toFixed(0)} ms`);
});

test('an installed Tolvin under an older entry takes its own version; a silent reinstall ends it and replaces its files', async (t) => {
  assert.equal(await reg('add', KEYS.entry, '/v', 'DisplayVersion', '/d', '1.0', '/f'), 0);
  fs.writeFileSync(path.join(installDir, 'WebView2Loader-NOTICE.txt'), 'an older notice');
  fs.mkdirSync(path.join(roamingDir, 'Tolvin'), { recursive: true });
  fs.writeFileSync(path.join(roamingDir, 'Tolvin/config.json'), '{}');
  // Started by its Windows path: from a Linux path Wine would run it from Z:.
  const program = startProgram(`${winDir}\\Tolvin.exe`, [], { t });
  await waitFor('the main window', () => mainWindows());
  await waitFor('the entry to take the running version', async () => (await registryValues(KEYS.entry)).DisplayVersion === version);

  assert.equal(await run(setup, ['/S']), 0);
  assert.equal(await program.ended(2000), 0, 'Tolvin ended with the setup');
  for (const name of programs) assert.ok(sameAsRelease(name), name);
  assert.equal(fs.readFileSync(path.join(roamingDir, 'Tolvin/config.json'), 'utf8'), '{}', 'settings kept');
});

test('a folder the user cannot write fails a silent install', async () => {
  assert.notEqual(await run(setup, ['/S', '/D=Z:\\proc\\Tolvin']), 0);
  assert.equal((await registryValues(KEYS.entry)).InstallLocation, winDir, 'the entry stays as it was');
});

for (const [args, dataKept] of [[['/S'], true], [['/S', '/REMOVEDATA'], false]]) {
  test(`uninstall ${args.join(' ')} removes the program, its entry, start-up values and update stage; the user's data ${dataKept ? 'stays' : 'goes'}`, async (t) => {
    if (!exists(installDir)) assert.equal(await run(setup, ['/S']), 0);
    const data = ['Roaming/Tolvin/config.json', 'Local/Tolvin/EBWebView/Local State', 'Local/Tolvin/logs/tolvin.log']
      .map((p) => path.join(localDir, '..', p));
    for (const p of [...data, path.join(localDir, 'Tolvin/update/new/Tolvin.exe')]) {
      fs.mkdirSync(path.dirname(p), { recursive: true });
      fs.writeFileSync(p, 'kept?');
    }
    assert.equal(await reg('add', KEYS.run, '/v', 'Tolvin', '/d', `"${winDir.toUpperCase()}\\Tolvin.exe"`, '/f'), 0);
    assert.equal(await reg('add', KEYS.approved, '/v', 'Tolvin', '/t', 'REG_BINARY', '/d', '030000000000000000000000', '/f'), 0);

    // The uninstaller started runs a copy of itself from %TEMP% and ends at once;
    // the copy removes the entry last.
    const started = performance.now();
    assert.equal(await run(path.join(installDir, 'Uninstall Tolvin.exe'), args), 0);
    await waitFor('the uninstall to end', async () => (await registryValues(KEYS.entry)) === null, 30000);
    const ms = performance.now() - started;
    assert.ok(!exists(installDir) && !exists(shortcut), 'program folder and shortcut removed');
    assert.deepEqual([(await registryValues(KEYS.run))?.Tolvin, (await registryValues(KEYS.approved))?.Tolvin], [undefined, undefined]);
    assert.ok(!exists(path.join(localDir, 'Tolvin/update')), 'update stage removed');
    assert.deepEqual(data.map(exists), data.map(() => dataKept));
    assert.equal(exists(path.join(localDir, 'Tolvin')) || exists(path.join(roamingDir, 'Tolvin')), dataKept);
    t.diagnostic(`silent uninstall ${args.join(' ')}: ${ms.toFixed(0)} ms`);
  });
}
