// Runs at the creation of every document, before the page's own scripts, and
// gives the page its native surface: window.pallan and window.__tolvinUpdate.
// Everything else stays private to this function, so each document starts fresh.
(function() {
'use strict';

// The shell writes true or false here when it registers the script,
// depending on whether the capture helper sits beside the program.
const haveHelper = __HAVE_HELPER__;

// A start the shell has not answered within this time counts as failed.
const START_TIMEOUT_MS = 6000;

const pcmListeners = new Set();
const waiting = new Map();
let nextId = 1;
let active = false;
const webview = window.chrome && window.chrome.webview;
let updateState = null;
const updateListeners = new Set();

// Outside the web view there is nobody to talk to; messages are dropped.
function post(message) {
    if (webview) webview.postMessage(message);
}

// Returns a remover that acts once, so a second call cannot take away a
// later registration of the same function.
function subscribe(set, cb) {
    set.add(cb);
    let subscribed = true;
    return function() {
        if (!subscribed) return;
        subscribed = false;
        set.delete(cb);
    };
}

if (webview) {
    webview.addEventListener('message', function(event) {
        const m = event.data;
        if (typeof m !== 'object' || m === null) return;
        if (m.type === 'appAudio:pcm') {
            const raw = atob(m.data);
            const bytes = new Uint8Array(raw.length);
            for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
            // Every listener sees the same array; a throwing listener ends
            // this chunk's delivery and the error reaches the event loop.
            for (const cb of pcmListeners) cb(bytes);
        } else if (m.type === 'appAudio:started') {
            const resolve = waiting.get(m.id);
            // An answer for a start that timed out, or that an earlier
            // document made, finds nothing waiting and changes nothing.
            if (!resolve) return;
            waiting.delete(m.id);
            active = Boolean(m.ok);
            resolve(active);
        } else if (m.type === 'appAudio:ended') {
            active = false;
        }
    });
}

window.__tolvinUpdate = function(state) {
    updateState = state;
    for (const cb of updateListeners) {
        // One broken listener must not keep the others from hearing.
        try {
            cb(state);
        } catch (e) {
        }
    }
};

window.pallan = {
    desktop : true,
    native : true,
    platform : 'win32',
    arch : 'x64',
    setInCall : function(on) { post({type : 'setInCall', inCall : Boolean(on)}); },
    updates : {
        state : function() { return Promise.resolve(updateState); },
        onChange : function(cb) { return subscribe(updateListeners, cb); },
        install : function() { post({type : 'updateInstall'}); },
        download : function() { post({type : 'updateDownload'}); },
    },
    appAudio : {
        available : function() { return Promise.resolve(haveHelper); },
        start : function(target) {
            return new Promise(function(resolve) {
                const id = nextId;
                nextId += 1;
                waiting.set(id, resolve);
                // No window id, or 0, asks for everything except the shell.
                const windowId = target && target.windowId ? String(target.windowId) : '';
                post({type : 'appAudioStart', id : id, windowId : windowId});
                setTimeout(function() {
                    if (!waiting.has(id)) return;
                    waiting.delete(id);
                    resolve(false);
                }, START_TIMEOUT_MS);
            });
        },
        active : function() { return Promise.resolve(active); },
        onData : function(cb) { return subscribe(pcmListeners, cb); },
        stop : function() {
            active = false;
            post({type : 'appAudioStop'});
        },
    },
};

// The web's Badging API, which the runtime does not give an ordinary page, and
// whose own version would badge nothing of Tolvin's: the count goes to the
// taskbar button and the tray. The shell takes whole numbers 0 to 9999.
for (const [name, fn] of [
         [ 'setAppBadge', function(count) { post({type : 'setAppBadge', count : count}); } ],
         [ 'clearAppBadge', function() { post({type : 'clearAppBadge'}); } ],
]) {
    Object.defineProperty(navigator, name, {
        configurable : true,
        writable : true,
        value : function() {
            fn.apply(null, arguments);
            return Promise.resolve();
        },
    });
}

// Ask for the current update state so the page need not wait for a change.
post({type : 'updateState'});
})();
