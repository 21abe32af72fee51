// The bridge script in headless Chromium, loaded from the same file the program
// embeds. A fake window.chrome.webview stands in for the web view's message
// channel: it records every post as the JSON text the shell would receive and
// lets a test deliver shell messages as 'message' events.

import {after, before, beforeEach, describe, test} from 'node:test';
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const source =
    process.env.TOLVIN_SOURCE ?? path.resolve(fileURLToPath(import.meta.url), '../../..');
const bridgeText = readFileSync(path.join(source, 'bridge/bridge.js'), 'utf8');
const withHelper = (flag) => bridgeText.replace('__HAVE_HELPER__', String(flag));

const PAGE_URL = 'https://page.tolvin.test/';

// Runs before the bridge: the channel the web view would provide, and the list
// of globals that existed before, so a test can see what the bridge added.
function installFakeWebView() {
    const channel = new EventTarget();
    window.__posts = [];
    channel.postMessage = (message) => window.__posts.push(JSON.stringify(message));
    window.chrome = window.chrome || {};
    window.chrome.webview = channel;
    window.__globalsBefore = Object.getOwnPropertyNames(window).concat('__globalsBefore');
}

// Runs after the bridge in the outside-the-web-view page: a channel appearing
// later must not be used, since the bridge decided at start that there is none.
function installLateWebView() {
    window.__posts = [];
    window.chrome = window.chrome || {};
    window.chrome.webview = {postMessage : (m) => window.__posts.push(JSON.stringify(m))};
}

let browser;
let page;
let outside;

async function openPage(scripts) {
    const context = await browser.newContext();
    await context.route(
        '**/*',
        (route) =>
            route.fulfill({contentType : 'text/html', body : '<!doctype html><title>page</title>'}),
    );
    for (const script of scripts) await context.addInitScript(script);
    const opened = await context.newPage();
    // Time stands still unless a test moves it, across every navigation.
    await opened.clock.install({time : 0});
    await opened.clock.pauseAt(1000);
    await opened.goto(PAGE_URL);
    return opened;
}

before(async () => {
    browser = await chromium.launch({
        executablePath : '/usr/bin/chromium',
        headless : true,
        args : [
            '--no-sandbox',
            '--disable-gpu',
            '--disable-quic',
            '--no-first-run',
            '--disable-background-networking',
            '--disable-component-update',
            '--disable-sync',
        ],
    });
    page = await openPage([ installFakeWebView, withHelper(true) ]);
    outside = await openPage([ withHelper(false), installLateWebView ]);
});

after(async () => { await browser?.close(); });

const posts = () => page.evaluate(() => window.__posts);
const clearPosts = () => page.evaluate(() => (window.__posts.length = 0));
const deliver = (data) => page.evaluate(
    (d) => window.chrome.webview.dispatchEvent(new MessageEvent('message', {data : d})), data);

// Starts a capture in the page and keeps its promise where later steps can
// look at it without awaiting it.
const start = (name, target) => page.evaluate(
    ([ n, t ]) => {
        window.__starts = window.__starts || {};
        const entry = {settled : false, value : undefined};
        window.__starts[n] = entry;
        const args = t === 'none' ? [] : [ t ];
        window.pallan.appAudio.start(...args).then((v) => {
            entry.settled = true;
            entry.value = v;
        });
    },
    [ name, target ],
);
const startState = (name) => page.evaluate((n) => window.__starts[n], name);
const isActive = () => page.evaluate(() => window.pallan.appAudio.active());

describe('bridge script in the web view', () => {
    beforeEach(async () => { await page.goto(PAGE_URL); });

    test('exposes the constants and adds only its two globals', async () => {
        const seen = await page.evaluate(async () => {
            const p = window.pallan;
            const before = new Set(window.__globalsBefore);
            return {
                desktop : p.desktop,
                native : p.native,
                platform : p.platform,
                arch : p.arch,
                available : await p.appAudio.available(),
                functions : [
                    p.setInCall,
                    p.updates.state,
                    p.updates.onChange,
                    p.updates.install,
                    p.updates.download,
                    p.appAudio.available,
                    p.appAudio.start,
                    p.appAudio.active,
                    p.appAudio.onData,
                    p.appAudio.stop,
                ].map((f) => typeof f),
                added : Object.getOwnPropertyNames(window)
                            .filter((name) => !before.has(name) && !name.startsWith('__pw'))
                            .sort(),
            };
        });
        assert.deepEqual(seen, {
            desktop : true,
            native : true,
            platform : 'win32',
            arch : 'x64',
            available : true,
            functions : Array(10).fill('function'),
            added : [ '__tolvinUpdate', 'pallan' ],
        });
    });

    test('asks for the update state first, once per document', async () => {
        assert.deepEqual(await posts(), [ '{"type":"updateState"}' ]);
        await page.reload();
        assert.deepEqual(await posts(), [ '{"type":"updateState"}' ]);
    });

    test('posts the page requests as JSON in property order', async () => {
        await clearPosts();
        await page.evaluate(() => {
            const p = window.pallan;
            const returned = [
                p.setInCall(1),
                p.setInCall(),
                p.setInCall('yes'),
                p.updates.install(),
                p.updates.download(),
                p.appAudio.stop(),
            ];
            window.__returned = returned.map((r) => typeof r);
        });
        assert.deepEqual(await posts(), [
            '{"type":"setInCall","inCall":true}',
            '{"type":"setInCall","inCall":false}',
            '{"type":"setInCall","inCall":true}',
            '{"type":"updateInstall"}',
            '{"type":"updateDownload"}',
            '{"type":"appAudioStop"}',
        ]);
        assert.deepEqual(await page.evaluate(() => window.__returned), Array(6).fill('undefined'));
    });

    test('the badge calls post the count as given, and resolve', async () => {
        await clearPosts();
        const returned = await page.evaluate(() => Promise.all([
            navigator.setAppBadge(3), navigator.setAppBadge(2.5), navigator.setAppBadge(), navigator.clearAppBadge(),
        ]));
        assert.deepEqual(returned, Array(4).fill(undefined));
        assert.deepEqual(await posts(), [
            '{"type":"setAppBadge","count":3}', '{"type":"setAppBadge","count":2.5}', '{"type":"setAppBadge"}',
            '{"type":"clearAppBadge"}',
        ]);
    });

    test('numbers starts from 1 in each document and sends the window id as text', async () => {
        await clearPosts();
        await start('a', {windowId : 132004});
        await start('b', 'none');
        await start('c', {windowId : 0});
        await start('d', {windowId : '77'});
        await start('e', null);
        await start('f', {});
        assert.deepEqual(await posts(), [
            '{"type":"appAudioStart","id":1,"windowId":"132004"}',
            '{"type":"appAudioStart","id":2,"windowId":""}',
            '{"type":"appAudioStart","id":3,"windowId":""}',
            '{"type":"appAudioStart","id":4,"windowId":"77"}',
            '{"type":"appAudioStart","id":5,"windowId":""}',
            '{"type":"appAudioStart","id":6,"windowId":""}',
        ]);
        await page.reload();
        await clearPosts();
        await start('g', {windowId : 5});
        assert.deepEqual(await posts(), [ '{"type":"appAudioStart","id":1,"windowId":"5"}' ]);
    });

    test('resolves each start with the shell answer for its id', async () => {
        await start('first', 'none');
        await start('second', 'none');
        await deliver({type : 'appAudio:started', id : 2, ok : false});
        assert.deepEqual(await startState('second'), {settled : true, value : false});
        assert.deepEqual(await startState('first'), {settled : false, value : undefined});
        await deliver({type : 'appAudio:started', id : 1, ok : true});
        assert.deepEqual(await startState('first'), {settled : true, value : true});
        assert.equal(await isActive(), true);

        // An answer nobody waits for changes nothing.
        await deliver({type : 'appAudio:started', id : 1, ok : false});
        await deliver({type : 'appAudio:started', id : 99, ok : false});
        assert.equal(await isActive(), true);
    });

    test('gives up on a start after 6000 ms and ignores a late answer', async () => {
        await start('slow', 'none');
        await page.clock.runFor(5999);
        assert.deepEqual(await startState('slow'), {settled : false, value : undefined});
        await page.clock.runFor(1);
        assert.deepEqual(await startState('slow'), {settled : true, value : false});
        await deliver({type : 'appAudio:started', id : 1, ok : true});
        assert.equal(await isActive(), false);

        // An answered start leaves its timer with nothing to do.
        await start('quick', 'none');
        await deliver({type : 'appAudio:started', id : 2, ok : true});
        await page.clock.runFor(6000);
        assert.deepEqual(await startState('quick'), {settled : true, value : true});
        assert.equal(await isActive(), true);
    });

    test('tracks whether sharing runs through start, stop and the end notice', async () => {
        assert.equal(await isActive(), false);
        await start('one', 'none');
        await deliver({type : 'appAudio:started', id : 1, ok : true});
        assert.equal(await isActive(), true);
        await deliver({type : 'appAudio:ended'});
        assert.equal(await isActive(), false);

        await start('two', 'none');
        await deliver({type : 'appAudio:started', id : 2, ok : true});
        await clearPosts();
        await page.evaluate(() => window.pallan.appAudio.stop());
        assert.equal(await isActive(), false);
        assert.deepEqual(await posts(), [ '{"type":"appAudioStop"}' ]);

        // Stopping leaves a waiting start to its answer.
        await start('three', 'none');
        await page.evaluate(() => window.pallan.appAudio.stop());
        assert.deepEqual(await startState('three'), {settled : false, value : undefined});
        await deliver({type : 'appAudio:started', id : 3, ok : true});
        assert.deepEqual(await startState('three'), {settled : true, value : true});
        assert.equal(await isActive(), true);

        // Messages that are not objects, or of unknown type, are ignored.
        for (const data
                 of ['appAudio:ended', null, 42, [ 'appAudio:ended' ], {type : 'appAudio:End'}]) {
            await deliver(data);
        }
        assert.equal(await isActive(), true);
    });

    test('decodes PCM into one shared byte array per chunk', async () => {
        const seen = await page.evaluate(() => {
            const received = [];
            window.pallan.appAudio.onData((bytes) => received.push([ 'a', bytes ]));
            window.pallan.appAudio.onData((bytes) => received.push([ 'b', bytes ]));
            const dispatch = (data) => window.chrome.webview.dispatchEvent(
                new MessageEvent('message', {data : {type : 'appAudio:pcm', data}}),
            );
            dispatch('YWJj');
            const all = new Uint8Array(256).map((_, i) => i);
            dispatch(btoa(String.fromCharCode(...all)));
            return {
                order : received.map(([ who ]) => who),
                typed : received.every(([, bytes ]) => bytes instanceof Uint8Array),
                first : Array.from(received[0][1]),
                shared : received[0][1] === received[1][1] && received[2][1] === received[3][1],
                fresh : received[0][1] !== received[2][1],
                all : received[2][1].every((value, i) => value === i) &&
                          received[2][1].length === 256,
            };
        });
        assert.deepEqual(seen, {
            order : [ 'a', 'b', 'a', 'b' ],
            typed : true,
            first : [ 97, 98, 99 ],
            shared : true,
            fresh : true,
            all : true,
        });
    });

    test('a throwing PCM listener ends delivery of that chunk', async () => {
        const seen = await page.evaluate(() => {
            const calls = [];
            const errors = [];
            window.addEventListener('error', (e) => {
                errors.push(e.message);
                e.preventDefault();
            });
            window.pallan.appAudio.onData(() => {
                calls.push('thrower');
                throw new Error('listener failed');
            });
            window.pallan.appAudio.onData(() => calls.push('later'));
            window.chrome.webview.dispatchEvent(
                new MessageEvent('message', {data : {type : 'appAudio:pcm', data : 'AA=='}}),
            );
            return {calls, errors : errors.length};
        });
        assert.deepEqual(seen, {calls : [ 'thrower' ], errors : 1});
    });

    test('listener sets keep one entry per function and unsubscribe only once', async () => {
        const seen = await page.evaluate(() => {
            const {appAudio, updates} = window.pallan;
            const counts = {pcm : 0, other : 0, update : 0};
            const pcm = () => counts.pcm++;
            const other = () => counts.other++;
            const update = () => counts.update++;
            const chunk = () => window.chrome.webview.dispatchEvent(
                new MessageEvent('message', {data : {type : 'appAudio:pcm', data : 'AA=='}}),
            );
            const result = {};

            const first = appAudio.onData(pcm);
            appAudio.onData(pcm);
            appAudio.onData(other);
            chunk();
            result.twice = {...counts};

            first();
            first();
            chunk();
            result.removed = {...counts};

            // A stale remover must not take away a newer registration.
            appAudio.onData(pcm);
            first();
            chunk();
            result.reAdded = {...counts};

            const u1 = updates.onChange(update);
            updates.onChange(update);
            window.__tolvinUpdate({status : 'idle'});
            u1();
            u1();
            window.__tolvinUpdate({status : 'idle'});
            result.updates = counts.update;
            return result;
        });
        assert.deepEqual(seen, {
            twice : {pcm : 1, other : 1, update : 0},
            removed : {pcm : 1, other : 2, update : 0},
            reAdded : {pcm : 2, other : 3, update : 0},
            updates : 1,
        });
    });

    test('keeps the last update state and tells every listener', async () => {
        const seen = await page.evaluate(async () => {
            const {updates} = window.pallan;
            const heard = [];
            const initial = await updates.state();
            updates.onChange((s) => {
                heard.push([ 'thrower', s.status ]);
                throw new Error('listener failed');
            });
            updates.onChange((s) => heard.push([ 'later', s.status ]));
            const heardAtRegistration = heard.length;
            const ready = {status : 'ready', version : '2.2.0'};
            window.__tolvinUpdate({status : 'idle'});
            window.__tolvinUpdate(ready);
            return {
                initial,
                heardAtRegistration,
                heard,
                same : (await updates.state()) === ready,
            };
        });
        assert.deepEqual(seen, {
            initial : null,
            heardAtRegistration : 0,
            heard : [
                [ 'thrower', 'idle' ],
                [ 'later', 'idle' ],
                [ 'thrower', 'ready' ],
                [ 'later', 'ready' ],
            ],
            same : true,
        });
    });
});

describe('bridge script outside the web view', () => {
    beforeEach(async () => { await outside.goto(PAGE_URL); });

    test('drops every post and lets starts time out', async () => {
        await outside.evaluate(() => {
            window.__result = 'pending';
            window.pallan.appAudio.start({windowId : 1}).then((v) => (window.__result = v));
            window.pallan.setInCall(true);
            window.pallan.updates.install();
            window.pallan.updates.download();
            window.pallan.appAudio.stop();
        });
        await outside.clock.runFor(5999);
        assert.equal(await outside.evaluate(() => window.__result), 'pending');
        await outside.clock.runFor(1);
        const seen =
            await outside.evaluate(async () => ({
                                       result : window.__result,
                                       posts : window.__posts,
                                       state : await window.pallan.updates.state(),
                                       available : await window.pallan.appAudio.available(),
                                   }));
        assert.deepEqual(seen, {result : false, posts : [], state : null, available : false});
    });
});
