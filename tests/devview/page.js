// The development page: every part of window.pallan and of the page protocol
// behind a button, the shell's answers shown, and a log of the messages both
// ways. Tests read the same elements a person looks at.
'use strict';

const $ = (id) => document.getElementById(id);
const pallan = window.pallan;
const webview = window.chrome && window.chrome.webview;
const state = { mute: false, deafen: false, nextCallback: 1, pcm: { chunks: 0, bytes: 0, peak: 0 } };

const logLines = [];
function log(direction, text) {
  // PCM chunks arrive a hundred a second: one line counts them.
  const last = logLines.at(-1);
  if (text.startsWith('{"type":"appAudio:pcm"') && last?.pcm === direction) {
    last.count += 1;
    last.text = `${direction} appAudio:pcm × ${last.count}`;
  } else {
    const pcm = text.startsWith('{"type":"appAudio:pcm"') ? direction : null;
    logLines.push({ pcm, count: 1, text: `${new Date().toISOString().slice(11, 23)} ${direction} ${pcm ? 'appAudio:pcm × 1' : text}` });
    if (logLines.length > 200) logLines.shift();
  }
  $('log').textContent = logLines.map((l) => l.text).join('\n');
  $('log').scrollTop = $('log').scrollHeight;
}

$('where').textContent = location.pathname;
$('surface').textContent = pallan
  ? `pallan: ${pallan.platform}/${pallan.arch}, desktop ${pallan.desktop}, native ${pallan.native}`
  : 'no window.pallan: not inside Tolvin';

// Page to shell: the bridge's own posts and the page's, all through here.
if (webview) {
  const post = webview.postMessage.bind(webview);
  webview.postMessage = (message) => {
    log('→', JSON.stringify(message));
    post(message);
  };
  webview.addEventListener('message', (event) => log('←', JSON.stringify(event.data)));
}
const send = (message) => webview?.postMessage(message);

// Shell to page, as scripts it runs.
window.__tolvinToggleMute = () => {
  state.mute = !state.mute;
  $('mute').textContent = state.mute ? 'on' : 'off';
  $('mute').className = state.mute ? 'on' : '';
  log('←', '__tolvinToggleMute()');
};
window.__tolvinToggleDeafen = () => {
  state.deafen = !state.deafen;
  $('deafen').textContent = state.deafen ? 'on' : 'off';
  $('deafen').className = state.deafen ? 'on' : '';
  log('←', '__tolvinToggleDeafen()');
};
window.__tolvinNativeReply = (id, result) => {
  $('activity').textContent = `#${id}: ${JSON.stringify(result)}`;
  log('←', `__tolvinNativeReply(${id}, ${JSON.stringify(result)})`);
};

// Window requests; a drag starts while the button is held.
$('startWindowDrag').addEventListener('mousedown', () => send({ type: 'startWindowDrag' }));
for (const type of ['windowZoom', 'windowMinimize', 'windowClose']) $(type).onclick = () => send({ type });
$('reload').onclick = () => location.reload();

$('scanActivity').onclick = () => send({ type: 'scanActivity', callbackId: state.nextCallback++ });
$('setPushToTalkKey').onclick = () => send({ type: 'setPushToTalkKey', key: $('pttKey').value });

if (pallan) {
  const showUpdate = (update) => {
    $('update').textContent = JSON.stringify(update);
    log('←', `__tolvinUpdate(${JSON.stringify(update)})`);
  };
  pallan.updates.onChange(showUpdate);
  pallan.updates.state().then((update) => ($('update').textContent = JSON.stringify(update)));
  $('updateState').onclick = () => pallan.updates.state().then((update) => ($('update').textContent = JSON.stringify(update)));
  $('updateInstall').onclick = () => pallan.updates.install();
  $('updateDownload').onclick = () => pallan.updates.download();
  $('inCall').onchange = () => pallan.setInCall($('inCall').checked);

  const showActive = () => pallan.appAudio.active().then((on) => ($('active').textContent = String(on)));
  pallan.appAudio.available().then((yes) => ($('available').textContent = String(yes)));
  showActive();
  const start = (target) => pallan.appAudio.start(target).then((ok) => {
    log('·', `appAudio.start resolved ${ok}`);
    showActive();
  });
  $('startAll').onclick = () => start();
  $('startWindow').onclick = () => start({ windowId: $('windowId').value });
  $('stop').onclick = () => {
    pallan.appAudio.stop();
    showActive();
  };
  // Stereo float frames: the meter shows the loudest sample of the last chunk.
  pallan.appAudio.onData((bytes) => {
    const samples = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength >> 2);
    let peak = 0;
    for (const s of samples) peak = Math.max(peak, Math.abs(s));
    state.pcm.chunks += 1;
    state.pcm.bytes += bytes.byteLength;
    state.pcm.peak = peak;
    $('meter').firstElementChild.style.width = `${Math.min(peak, 1) * 100}%`;
    $('pcm').textContent = `${state.pcm.chunks} chunks, ${state.pcm.bytes} bytes, peak ${peak.toFixed(3)}`;
    showActive();
  });
}

window.devPage = state;
