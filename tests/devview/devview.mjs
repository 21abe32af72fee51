// The development web view: Tolvin.exe under Wine with the loader stand-in in
// Chromium mode, the driver playing the runtime, and the development page
// served from loopback and named in config.json, so the real shell, the real
// bridge script and a page that uses all of it run together.
import fs from 'node:fs';
import http from 'node:http';
import { once } from 'node:events';
import path from 'node:path';

import { Scenario, realHelper, simHelper } from '../integration/lib/capture-helper.mjs';
import { StandIn, doublesDir, programFolder, roamingDir, startProgram, waitFor } from '../integration/lib/wine.mjs';
import { ChromiumRuntime } from './driver.mjs';

const files = { '/page.js': ['page.js', 'text/javascript'] };
const PAGE = ['page.html', 'text/html'];

// Any path is the page (the second page of a link test is just another
// address); /redirect sends the browser to the first page.
function servePage() {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://page');
    if (url.pathname === '/redirect') {
      response.writeHead(302, { location: '/' });
      return response.end();
    }
    const [file, type] = files[url.pathname] ?? PAGE;
    response.writeHead(200, { 'content-type': type, 'cache-control': 'no-store' });
    response.end(fs.readFileSync(path.join(import.meta.dirname, file)));
  });
  server.listen(0, '127.0.0.1');
  return server;
}

// What the simulated helper plays: one program with a square wave at 1 kHz,
// half of full scale.
export const TONE = ['process 501 4 Player.exe', 'session 501 active', 'tone 501 16384 24'];

export const configFile = path.join(roamingDir, 'Tolvin/config.json');

// Starts it all. `helper`: 'sim' (the simulated helper build playing TONE),
// 'real', 'fake' (the misbehaving helper, whose orders are in `env`) or none;
// `env` is added to the program's environment. Given a test context,
// everything ends with that test.
export async function startDevView({ headless = true, helper = 'sim', env = {}, t, log = () => {}, keep = true } = {}) {
  const server = servePage();
  await once(server, 'listening');
  const page = `http://127.0.0.1:${server.address().port}/`;
  fs.mkdirSync(path.dirname(configFile), { recursive: true });
  fs.writeFileSync(configFile, `{\n  "serverUrl": "${page}"\n}\n`);

  const helpers = { sim: simHelper, real: realHelper, fake: path.join(doublesDir, 'fake_helper.exe') };
  const dir = programFolder({ loader: true, extra: helper ? { 'tolvin-app-audio.exe': helpers[helper] } : {} });
  const scenario = new Scenario(TONE);
  const standIn = await StandIn.listen({ t, keep });
  const runtime = new ChromiumRuntime(standIn, { headless, log });
  const program = startProgram(path.join(dir, 'Tolvin.exe'), [], {
    env: { ...env, ...standIn.env, TOLVIN_STANDIN_MODE: 'chromium', TOLVIN_SIM_SCENARIO: scenario.windowsPath },
    t,
  });
  const view = {
    page, dir, standIn, runtime, program, scenario,
    async close() {
      program.child.kill('SIGKILL');
      standIn.close();
      server.close();
      await runtime.close();
      fs.rmSync(configFile, { force: true });
    },
  };
  t?.after(() => view.close());
  return view;
}

// The first document's page script has run: its page.
export async function opened(view) {
  const shown = await waitFor('the development page',
    () => view.runtime.page?.url() === view.page && view.runtime.page, 60000);
  await shown.waitForFunction(() => window.devPage, null, { timeout: 20000 });
  return shown;
}
