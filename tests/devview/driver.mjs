// Plays the WebView2 runtime for Tolvin.exe with a real page in Debian's
// Chromium. The loader stand-in inside the program reports each call on the web
// view objects over its loopback link; this driver carries it out in the
// browser and answers with the stand-in's commands, so the program's callbacks
// still run on its own window thread:
//
//   environment request      a fresh browser, then "environment 0"
//   controller request       a page with the message channel, then "controller 0"
//   main-frame navigation    held until "navigation-starting <address>" has
//                            been through the program's message loop
//   main-frame new document  "content-loading"
//   page postMessage(value)  "message-from <document address> <JSON text>"
//   renderer or browser gone "process-failed 1" or "process-failed 0"
//   controller visibility    Chromium's window minimised or restored
//
// Chromium DevTools calls do the work (one session per page, whose commands run
// in the order sent); Playwright attaches to the browser and gives tests the page.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { chromium } from 'playwright-core';

export const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
  // A page restored from the back-forward cache would be a navigation without a
  // request, which NavigationStarting could not precede.
  '--disable-features=BackForwardCache',
];

// The runtime's window.chrome.webview, made before any other script of a
// document. Its post goes through a DevTools binding that only this script
// keeps: the global is deleted at once, in every frame, so no page script can
// post with a made-up address. Only the top document gets the channel.
const CHANNEL = `(() => {
  const send = window.__tolvinDriverPost;
  delete window.__tolvinDriverPost;
  if (window !== window.top) return;
  const stringify = JSON.stringify;
  const channel = new EventTarget();
  channel.postMessage = (value) => {
    const json = stringify(value);
    if (json !== undefined) send(stringify([location.href, json]));
  };
  window.chrome = window.chrome || {};
  window.chrome.webview = channel;
})();`;

// The browser may still be writing its profile as it goes.
const removeDataDir = (dir) => fs.rm(dir, { recursive: true, force: true, maxRetries: 10 }, () => {});

const PROCESS_FAILED = { browserExited: 0, renderExited: 1 };

// Chromium started here, and Playwright attached without its default overrides:
// its focus emulation would keep the page visible in a minimised window.
async function launch(dataDir, args) {
  const child = spawn('/usr/bin/chromium', [...args, `--user-data-dir=${dataDir}`, '--remote-debugging-port=0'],
                      { stdio: ['ignore', 'ignore', 'pipe'] });
  let said = '';
  const endpoint = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no DevTools address within 30 s')), 30000);
    child.on('error', reject);
    child.on('exit', () => reject(new Error('Chromium ended at its start')));
    child.stderr.on('data', (chunk) => {
      said = (said + chunk).slice(-4096);
      const found = said.match(/DevTools listening on (ws:\S+)/);
      if (found) resolve(found[1]);
    });
  }).catch((error) => {
    child.kill('SIGKILL');
    throw error;
  });
  const browser = await chromium.connectOverCDP(endpoint, { noDefaults: true });
  return { child, browser, context: browser.contexts()[0] };
}

export class ChromiumRuntime {
  // `standIn` is the program's link (tests/integration/lib/wine.mjs); `log`
  // takes one line of text; headed, the browser window follows the program's
  // window and shows beside it.
  constructor(standIn, { headless = true, log = () => {} } = {}) {
    this.standIn = standIn;
    this.headless = headless;
    this.log = log;
    this.context = null;
    this.page = null;
    this.firstDocumentAt = null; // performance.now() of the first document's load event
    this.#closing = false;
    standIn.listeners.add((report) => this.#onReport(report));
  }

  #closing;
  #browserProcess = null;
  #session = null;
  #mainFrame = null;
  #dialogs = true;
  #messages = true;
  #held = []; // navigations waiting for the program's NavigationStarting handler
  #work = Promise.resolve(); // set-up steps, one after the other

  #onReport(report) {
    const step = this.#handlers[report.call ?? report.event];
    if (!step) return;
    // One step after the other, in the order the program made the calls. Those
    // for the page only send to its session, which keeps that order, and await
    // no answer; those that set the browser up are awaited.
    this.#work = this.#work.then(() => step(report)).catch((error) => this.log(`driver: ${error.message}`));
  }

  #handlers = {
    CreateCoreWebView2EnvironmentWithOptions: () => this.#startBrowser(),
    CreateCoreWebView2Controller: () => this.#openPage(),
    put_Bounds: (r) => this.#size(r.bounds),
    put_IsVisible: (r) => this.#show(Boolean(r.value)),
    put_IsScriptEnabled: (r) => this.#send('Emulation.setScriptExecutionDisabled', { value: !r.value }),
    put_AreDefaultScriptDialogsEnabled: (r) => (this.#dialogs = Boolean(r.value)),
    put_IsWebMessageEnabled: (r) => (this.#messages = Boolean(r.value)),
    AddScriptToExecuteOnDocumentCreated: (r) =>
      this.#send('Page.addScriptToEvaluateOnNewDocument', { source: r.script }),
    Navigate: (r) => void this.#send('Page.navigate', { url: r.uri }),
    Reload: () => void this.#send('Page.reload', {}),
    ExecuteScript: (r) => void this.#evaluate(r.script),
    PostWebMessageAsJson: (r) => {
      if (this.#messages) {
        this.#evaluate(`window.chrome.webview.dispatchEvent(new MessageEvent('message', { data: ${r.json} }));`);
      }
    },
    navigationStarted: () => this.#held.shift()?.(),
  };

  // Without a page (before the first, or while a new browser starts) the call
  // is dropped, as the runtime drops what comes for a page it no longer has.
  #send(method, params) {
    if (!this.#session) return Promise.resolve();
    return this.#session.send(method, params).catch((error) => this.log(`driver: ${method}: ${error.message}`));
  }

  // In the current document, as ExecuteScript does; no result is awaited.
  #evaluate(expression) {
    return this.#send('Runtime.evaluate', { expression }).then((answer) => {
      if (answer?.exceptionDetails) this.log(`page: script failed: ${answer.exceptionDetails.exception?.description}`);
    });
  }

  async #startBrowser() {
    if (!this.context) {
      const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvin-chromium-'));
      this.dataDir = dataDir;
      const args = [...CHROMIUM_ARGS];
      if (this.headless) {
        args.push('--headless', '--window-size=800,600', 'about:blank');
      } else {
        // An app window (no tabs, no address bar) as large as the program's, right of it.
        const [left, top, right, bottom] = (await this.#ask('state', 'state')).rect;
        args.push('--test-type', '--app=data:text/html,', `--window-position=${right},${top}`,
                  `--window-size=${right - left},${bottom - top}`);
      }
      let launched;
      try {
        launched = await launch(dataDir, args);
      } catch (error) {
        removeDataDir(dataDir);
        this.log(`driver: Chromium did not start: ${error.message}`);
        return this.standIn.send('environment 0x80004005');
      }
      const { child, browser, context } = launched;
      this.context = context;
      this.#browserProcess = child;
      child.on('exit', () => removeDataDir(dataDir));
      browser.on('disconnected', () => {
        child.kill('SIGKILL');
        if (this.context !== context) return;
        this.context = this.page = this.#session = null;
        this.#held = [];
        if (this.#closing) return;
        this.log('driver: the browser has exited; the program hears that its browser process failed');
        this.standIn.send(`process-failed ${PROCESS_FAILED.browserExited}`);
      });
    }
    this.standIn.send('environment 0');
  }

  async #openPage() {
    const page = this.context.pages()[0] ?? (await this.context.newPage());
    const session = await this.context.newCDPSession(page);
    this.page = page;
    this.#session = session;
    this.#mainFrame = (await session.send('Page.getFrameTree')).frameTree.frame.id;
    await session.send('Page.enable');
    await session.send('Runtime.enable');
    await session.send('Runtime.addBinding', { name: '__tolvinDriverPost' });
    await session.send('Page.addScriptToEvaluateOnNewDocument', { source: CHANNEL });
    await session.send('Fetch.enable', { patterns: [{ urlPattern: '*', resourceType: 'Document' }] });
    session.on('Fetch.requestPaused', (event) => this.#navigationRequest(session, event));
    session.on('Runtime.bindingCalled', (event) => this.#postedByPage(event));
    // A committed document of the main frame has replaced the one before; its
    // scripts run after this, so the program hears it before their messages.
    session.on('Page.frameNavigated', ({ frame }) => {
      if (!frame.parentId) this.standIn.send('content-loading');
    });
    session.on('Page.loadEventFired', () => {
      this.firstDocumentAt ??= performance.now();
      this.log(`page: loaded ${page.url()}`);
    });
    page.on('dialog', (dialog) => this.#dialog(dialog));
    page.on('console', (message) => this.log(`page: console: ${message.text()}`));
    page.on('pageerror', (error) => this.log(`page: ${error.message}`));
    page.on('crash', () => {
      this.log('driver: the page\'s renderer has crashed; the program hears that it failed');
      this.standIn.send(`process-failed ${PROCESS_FAILED.renderExited}`);
    });
    this.standIn.send('controller 0');
  }

  // Every request of the main frame's document is a navigation starting, a
  // redirect's too: the program's message loop has seen it before it goes on.
  #navigationRequest(session, { requestId, frameId, request }) {
    const resume = () => session.send('Fetch.continueRequest', { requestId }).catch(() => {});
    if (frameId !== this.#mainFrame) return resume();
    this.#held.push(resume);
    this.standIn.send(`navigation-starting ${request.url}`);
  }

  #postedByPage({ name, payload }) {
    if (name !== '__tolvinDriverPost' || !this.#messages) return;
    const [source, json] = JSON.parse(payload);
    this.standIn.send(`message-from ${source} ${json}`);
  }

  // Shown, a dialog waits for its user; without a screen it is answered at once.
  // Disabled, it is dismissed, as a runtime without a dialog handler does.
  #dialog(dialog) {
    this.log(`page: ${dialog.type()} dialog: ${dialog.message()}`);
    if (!this.#dialogs) dialog.dismiss().catch(() => {});
    else if (this.headless) dialog.accept().catch(() => {});
  }

  // The page fills the program's client area: headless, the viewport takes its
  // size; headed, Chromium's window follows the program's, right of it.
  async #size([left, top, right, bottom]) {
    if (this.headless) return this.page?.setViewportSize({ width: Math.max(right - left, 1), height: Math.max(bottom - top, 1) });
    const state = await this.#ask('state', 'state');
    if (state.minimised || !this.#session) return;
    const [x, y, windowRight, windowBottom] = state.rect;
    const { windowId } = await this.#session.send('Browser.getWindowForTarget');
    await this.#session.send('Browser.setWindowBounds', {
      windowId, bounds: { left: windowRight, top: y, width: windowRight - x, height: windowBottom - y },
    });
  }

  // Not visible, the page is in a minimised window: Chromium throttles its
  // timers and drawing and tells it document.visibilityState "hidden".
  async #show(visible) {
    if (!this.#session) return;
    const { windowId } = await this.#session.send('Browser.getWindowForTarget');
    await this.#session.send('Browser.setWindowBounds', { windowId, bounds: { windowState: visible ? 'normal' : 'minimized' } });
  }

  // A stand-in command and the report it causes; the stand-in of a long run
  // keeps no reports to search.
  #ask(line, event) {
    return new Promise((resolve) => {
      const listener = (report) => {
        if (report.event !== event) return;
        this.standIn.listeners.delete(listener);
        resolve(report);
      };
      this.standIn.listeners.add(listener);
      this.standIn.send(line);
    });
  }

  async close() {
    this.#closing = true;
    const child = this.#browserProcess;
    if (!child || child.exitCode !== null || child.signalCode) return;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    await ended;
    clearTimeout(timer);
  }
}
