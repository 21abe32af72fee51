// The page host under Wine: how Tolvin sets its page up once the runtime hands
// over a controller, what it keeps of the runtime's objects, and what it does
// when the runtime fails it or hands over a controller without a web view.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { IDM, WM_COMMAND, startShell } from './lib/page.mjs';
import { doublesDir, isCall, isEvent, roamingDir, top } from './lib/wine.mjs';

const WM_HOTKEY = 786;
const WM_SYSCOMMAND = 274;
const SC_MAXIMIZE = 0xf030;
const E_FAIL = 0x80004005;

const bridgeText = fs.readFileSync(path.join(top, 'bridge/bridge.js'), 'utf8');
const deployment = fs.readFileSync(path.join(top, 'shell/deployment.h'), 'utf8');
const defaultAddress = deployment.match(/DEFAULT_SERVER_URL\[\] = L"([^"]+)"/)[1];
const configFile = path.join(roamingDir, 'Tolvin/config.json');
const anyFile = path.join(doublesDir, 'probe.exe');

function writeConfig(text) {
  fs.rmSync(configFile, { force: true });
  if (text === null) return;
  fs.mkdirSync(path.dirname(configFile), { recursive: true });
  fs.writeFileSync(configFile, text);
}

const callNames = (reports) => reports.filter((r) => r.call).map((r) => r.call);
const refs = (shell) => shell.standIn.command('refs', isEvent('refs'));

// Toggle scripts run only in a page; whatever the route, nothing happens without one.
async function toggleEveryWay(shell) {
  const from = shell.standIn.reports.length;
  await shell.post(WM_COMMAND, IDM.mute);
  await shell.post(WM_COMMAND, IDM.deafen);
  await shell.post(WM_HOTKEY, 1);
  await shell.post(WM_HOTKEY, 2);
  return shell.scripts(from);
}

test('with the helper beside it the page is set up in order and opens the configured address', async (t) => {
  const address = 'https://page.tolvin.example/room?a=1';
  writeConfig(`{\n  "serverUrl": "${address}"\n}\n`);
  const shell = await startShell({ extra: { 'tolvin-app-audio.exe': anyFile }, t });
  const setup = await shell.page();

  assert.deepEqual(callNames(setup), [
    'get_CoreWebView2', 'put_Bounds', 'get_Settings', 'put_IsScriptEnabled',
    'put_AreDefaultScriptDialogsEnabled', 'put_IsWebMessageEnabled', 'add_WebMessageReceived',
    'add_ContentLoading', 'add_NewWindowRequested', 'add_ProcessFailed', 'add_PermissionRequested',
    'add_NotificationReceived', 'AddScriptToExecuteOnDocumentCreated', 'Navigate',
  ]);
  const call = (name) => setup.find(isCall(name));
  assert.deepEqual(call('put_Bounds').bounds, (await shell.state()).client);
  for (const setting of ['put_IsScriptEnabled', 'put_AreDefaultScriptDialogsEnabled', 'put_IsWebMessageEnabled']) {
    assert.equal(call(setting).value, 1, setting);
  }
  assert.equal(call('add_WebMessageReceived').handler, true);
  assert.equal(call('add_ContentLoading').handler, true);
  assert.equal(call('add_NewWindowRequested').handler, true);
  assert.equal(call('add_ProcessFailed').handler, true);
  assert.equal(call('add_PermissionRequested').handler, true);
  assert.equal(call('add_NotificationReceived').handler, true);
  const script = call('AddScriptToExecuteOnDocumentCreated');
  assert.equal(script.script, bridgeText.replace('__HAVE_HELPER__', 'true'));
  assert.equal(script.handler, false, 'no completion handler');
  assert.equal(call('Navigate').uri, address);
  assert.equal(setup.find(isEvent('controllerCompleted')).returned, 0);

  // The four callback objects: found as themselves, nothing else, not counted.
  const rules = shell.standIn.reports.filter(isEvent('handlerRules'));
  assert.deepEqual(rules.map((r) => r.handler).sort(), [
    'ContentLoadingHandler', 'ControllerCompletedHandler', 'EnvironmentCompletedHandler',
    'NewWindowRequestedHandler', 'NotificationReceivedHandler', 'PermissionRequestedHandler',
    'ProcessFailedHandler', 'WebMessageReceivedHandler',
  ]);
  for (const { event, handler, ...answers } of rules) {
    assert.deepEqual(answers, { unknown: 'self', own: 'self', sibling: 'refused', controller: 'refused', addRef: 1, release: 1 }, handler);
  }

  // The runtime holds one reference of its own to each object: the program
  // holds one more to the controller and the web view, none to the settings.
  const counts = async () => {
    const now = await refs(shell);
    return [now.controller, now.webView, now.settings];
  };
  assert.deepEqual(await counts(), [2, 2, 1]);

  // Event arguments are given back: nothing keeps a reference past the call.
  const message = await shell.send('"nothing we know"');
  assert.deepEqual([message.returned, message.argsRefsLeft], [0, 0]);
  const navigation = await shell.standIn.command('navigate https://elsewhere.tolvin.example/', isEvent('contentLoading'));
  assert.deepEqual([navigation.returned, navigation.argsRefsLeft], [0, 0]);
  assert.deepEqual(await counts(), [2, 2, 1]);

  assert.equal(await shell.quit(), 0);
  writeConfig(null);
});

test('a helper folder counts as the helper; without a settings file the default address opens', async (t) => {
  writeConfig(null);
  const shell = await startShell({ extra: { 'tolvin-app-audio.exe': null }, t });
  const setup = await shell.page();
  assert.equal(setup.find(isCall('AddScriptToExecuteOnDocumentCreated')).script,
               bridgeText.replace('__HAVE_HELPER__', 'true'));
  assert.equal(setup.find(isCall('Navigate')).uri, defaultAddress);
  assert.equal(await shell.quit(), 0);
});

test('toggles before the page exist do nothing; without the helper the page hears false', async (t) => {
  const shell = await startShell({ extra: { 'tolvin-app-audio': anyFile, 'app-audio.exe': anyFile }, t });
  assert.deepEqual(await toggleEveryWay(shell), []);
  const setup = await shell.page();
  const script = setup.find(isCall('AddScriptToExecuteOnDocumentCreated')).script;
  assert.equal(script, bridgeText.replace('__HAVE_HELPER__', 'false'));
  assert.equal(await shell.quit(), 0);
});

test('a failed controller creation leaves an empty window and a running program', async (t) => {
  const shell = await startShell({ t });
  const setup = await shell.page(`controller ${E_FAIL}`);
  assert.deepEqual(callNames(setup), []);
  assert.equal(setup.find(isEvent('controllerCompleted')).returned, E_FAIL | 0, 'the failure is handed back');
  assert.deepEqual(await toggleEveryWay(shell), []);
  const state = await shell.state();
  assert.ok(state.visible && !state.minimised);
  assert.equal(shell.program.child.exitCode, null);
  assert.equal(await shell.quit(), 0);
});

test('a controller without a web view is kept and sized; the page steps are skipped', async (t) => {
  const shell = await startShell({ t });
  const setup = await shell.page('controller-without-webview');
  assert.deepEqual(callNames(setup), ['get_CoreWebView2', 'put_Bounds']);
  assert.equal(setup.find(isEvent('controllerCompleted')).returned, 0);
  const held = await refs(shell);
  assert.deepEqual([held.controller, held.webView], [2, null]);

  const from = shell.standIn.reports.length;
  const maximised = await shell.post(WM_SYSCOMMAND, SC_MAXIMIZE);
  assert.ok(maximised.maximised);
  const bounds = shell.calls('put_Bounds', from);
  assert.deepEqual(bounds.at(-1)?.bounds, maximised.client, 'the page area follows the window');

  assert.deepEqual(await toggleEveryWay(shell), []);
  assert.equal(await shell.quit(), 0);
});

test('a failed renderer is reloaded, a hanging one once its reports keep coming; a failed browser is rebuilt three times a minute, then the window says so', async (t) => {
  const shell = await startShell({ t });
  await shell.page();
  const fail = async (kind) => {
    const from = shell.standIn.reports.length;
    const failed = await shell.standIn.command(`process-failed ${kind}`, isEvent('processFailed'));
    assert.deepEqual([failed.returned, failed.argsRefsLeft], [0, 0]);
    return from;
  };
  const GPU_PROCESS_EXITED = 6;
  const HANG = 2;
  // [kind, quiet time before it in ms, calls]: two hang reports, a quiet 11 s, then three in a row.
  const failures = [[1, 0, ['Reload']], [GPU_PROCESS_EXITED, 0, []], [HANG, 0, []], [HANG, 0, []], [HANG, 11000, []],
    [HANG, 0, []], [HANG, 0, ['Reload']]];
  for (const [i, [kind, quiet, calls]] of failures.entries()) {
    await new Promise((resolve) => setTimeout(resolve, quiet));
    assert.deepEqual(callNames(shell.standIn.reports.slice(await fail(kind))), calls, `failure ${i}, kind ${kind}`);
  }
  assert.equal((await shell.state()).drawn, 0, 'the page covers the window');

  for (let rebuild = 1; rebuild <= 3; rebuild++) {
    const from = await fail(0);
    await shell.standIn.next(isCall('CreateCoreWebView2EnvironmentWithOptions'), { from });
    const freed = shell.standIn.reports.slice(from).filter(isEvent('freed')).map((r) => r.object);
    assert.deepEqual(freed.filter((o) => o !== 'ProcessFailedEventArgs').sort(),
                     ['Controller', 'Environment', 'Settings', 'WebView'], 'the old objects are all let go');
    await shell.standIn.command('environment 0', isEvent('environmentCompleted'));
    await shell.standIn.next(isCall('CreateCoreWebView2Controller'), { from });
    const names = callNames(await shell.page());
    assert.deepEqual(names.slice(names.indexOf('add_WebMessageReceived')), [
      'add_WebMessageReceived', 'add_ContentLoading', 'add_NewWindowRequested', 'add_ProcessFailed',
      'add_PermissionRequested', 'add_NotificationReceived', 'AddScriptToExecuteOnDocumentCreated', 'Navigate',
    ], `rebuild ${rebuild}: the same set-up, the bridge before the page`);
  }
  const from = await fail(0);
  await new Promise((resolve) => setTimeout(resolve, 1000));
  assert.deepEqual(shell.calls('CreateCoreWebView2EnvironmentWithOptions', from), [], 'no fourth rebuild');
  const maximised = await shell.post(WM_SYSCOMMAND, SC_MAXIMIZE);
  assert.ok(maximised.maximised, 'the window still answers');
  assert.ok(maximised.drawn > 0, 'and says the page stopped');
  assert.equal(await shell.quit(), 0);
});
