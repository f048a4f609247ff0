'use strict';
// The listening page of one decomposition: everything it needs is in this
// file. The components are Ogg Opus in the kv-audio-N elements (0 is the
// original); the rest of the data is the JSON in kv-data, where the bases
// (on the spectrogram's log-frequency rows) and the activations (on its
// columns) are in thousandths of each one's largest value.

const consoleErrors = [];
window.addEventListener('error', e => consoleErrors.push(String(e.message)));
window.addEventListener('unhandledrejection', e => consoleErrors.push(String(e.reason)));
{
  const orig = console.error.bind(console);
  console.error = (...a) => { consoleErrors.push(a.join(' ')); orig(...a); };
}

const D = JSON.parse(document.getElementById('kv-data').textContent);
const K = D.components.length;
const duration = D.frames / D.sampleRate;
const $ = id => document.getElementById(id);

// ---- the choice -------------------------------------------------------------
const state = {
  muted: new Array(K).fill(false),
  soloed: new Array(K).fill(false),
  gains: new Array(K).fill(1),
  source: 'mix',          // or 'orig'
  focus: 0,               // the component `s` solos
};
const anySolo = () => state.soloed.some(Boolean);
const audible = k => (anySolo() ? state.soloed[k] : !state.muted[k]);
const componentGain = k => (audible(k) ? state.gains[k] : 0);

// "1,3-5" from [1,3,4,5]
function rangeList(numbers) {
  const parts = [];
  for (let i = 0; i < numbers.length; ) {
    let j = i;
    while (j + 1 < numbers.length && numbers[j + 1] === numbers[j] + 1) j++;
    parts.push(j - i >= 2 ? numbers[i] + '-' + numbers[j] : numbers.slice(i, j + 1).join(','));
    i = j + 1;
  }
  return parts.join(',');
}
const shellWord = s => (/^[\w@%+=:,./-]+$/.test(s) ? s : "'" + s.replace(/'/g, "'\\''") + "'");
function chosenNumbers() {
  const out = [];
  for (let k = 0; k < K; k++) if (audible(k) && state.gains[k] > 0) out.push(D.components[k].number);
  return out;
}
function commandFor(numbers) {
  if (!numbers.length) return '';
  return 'korvane remix ' + shellWord(D.dir) + ' --group ' + rangeList(numbers);
}

// ---- audio --------------------------------------------------------------------
function bytesOf(k) {
  const bin = atob(document.getElementById('kv-audio-' + k).textContent.trim());
  const u = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) u[i] = bin.charCodeAt(i);
  return u.buffer;
}
// Decoded buffers by element number (0 the original, k + 1 component k).
const decoded = new Map();
// The stream as decoded, and the sound: its first D.frames frames (the
// writer adds silence after it, since a browser may cut a stream's end).
async function decodeRaw(ctx, n) { return ctx.decodeAudioData(bytesOf(n)); }
function exactLength(buf) {
  if (buf.length === D.frames) return buf;
  const out = new AudioBuffer({ length: D.frames, numberOfChannels: buf.numberOfChannels, sampleRate: buf.sampleRate });
  for (let c = 0; c < buf.numberOfChannels; c++) out.copyToChannel(buf.getChannelData(c).subarray(0, D.frames), c);
  return out;
}
async function decodeInto(ctx, n) {
  if (!decoded.has(n)) decoded.set(n, exactLength(await decodeRaw(ctx, n)));
  return decoded.get(n);
}

// Every component through its own gain into the mix bus, the original
// beside it; the A/B switch is the two buses' gains, so both stay in step.
function buildGraph(ctx, buffers, original, when, offset) {
  const mix = ctx.createGain(), orig = ctx.createGain();
  mix.connect(ctx.destination);
  orig.connect(ctx.destination);
  const gains = [], sources = [];
  const start = (buf, to) => {
    const s = ctx.createBufferSource();
    s.buffer = buf;
    s.connect(to);
    s.start(when, offset);
    sources.push(s);
  };
  buffers.forEach((buf, k) => {
    const g = ctx.createGain();
    g.connect(mix);
    gains[k] = g;
    if (buf) start(buf, g);
  });
  if (original) start(original, orig);
  const graph = { mix, orig, gains, sources };
  applyGains(graph, ctx, true);
  return graph;
}
function applyGains(graph, ctx, now) {
  const set = (param, v) => {
    if (now) param.value = v;
    else param.setTargetAtTime(v, ctx.currentTime, 0.004);
  };
  graph.gains.forEach((g, k) => set(g.gain, componentGain(k)));
  set(graph.mix.gain, state.source === 'mix' ? 1 : 0);
  set(graph.orig.gain, state.source === 'orig' ? 1 : 0);
}

const player = { ctx: null, graph: null, playing: false, when: 0, offset: 0, busy: false };
function position() {
  if (!player.playing) return player.offset;
  return Math.min(duration, player.offset + Math.max(0, player.ctx.currentTime - player.when));
}
function setStatus(text) { $('status').textContent = text; }
// Only what is heard is decoded, so a long page with many components stays light.
async function neededBuffers() {
  if (!player.ctx) player.ctx = new AudioContext({ sampleRate: D.sampleRate });
  const want = [];
  if (state.source === 'orig') want.push(0);
  else for (let k = 0; k < K; k++) if (componentGain(k) > 0) want.push(k + 1);
  const missing = want.filter(n => !decoded.has(n));
  let done = 0;
  const shown = () => setStatus(done < missing.length ? 'decoding: ' + done + ' of ' + missing.length + ' ready…' : '');
  shown();
  // side by side: the browser decodes on threads of its own
  await Promise.all(missing.map(n => decodeInto(player.ctx, n).then(() => { done++; shown(); })));
}
function stopSources() {
  if (player.graph) {
    player.graph.sources.forEach(s => { try { s.stop(); } catch (e) { /* not started */ } });
    player.graph.mix.disconnect();
    player.graph.orig.disconnect();
  }
  player.graph = null;
}
async function play() {
  if (player.busy) return;
  player.busy = true;
  try {
    await neededBuffers();
    await player.ctx.resume();
    if (player.offset >= duration) player.offset = 0;
    stopSources();
    const buffers = D.components.map((c, k) => decoded.get(k + 1) || null);
    // one start time for every source: they play sample for sample together
    player.when = player.ctx.currentTime + 0.05;
    player.graph = buildGraph(player.ctx, buffers, decoded.get(0) || null, player.when, player.offset);
    player.playing = true;
  } catch (e) {
    setStatus('cannot play: ' + e);
  } finally {
    player.busy = false;
  }
  render();
  tick();
}
function pause() {
  player.offset = position();
  player.playing = false;
  stopSources();
  render();
}
function togglePlay() { (player.playing ? pause : play)(); }
function seek(t) {
  player.offset = Math.max(0, Math.min(duration, t));
  if (player.playing) { player.playing = false; play(); } else drawPlayhead();
}
// A change of choice: the gains follow at once; a part not yet decoded
// restarts the sources at the same position once it is.
function choiceChanged() {
  render();
  if (!player.playing) return;
  const want = state.source === 'orig' ? [0] : D.components.map((c, k) => k + 1).filter(n => componentGain(n - 1) > 0);
  if (want.some(n => !decoded.has(n))) seek(position());
  else applyGains(player.graph, player.ctx, false);
}
function tick() {
  drawPlayhead();
  if (!player.playing) return;
  if (position() >= duration) { pause(); player.offset = 0; drawPlayhead(); return; }
  requestAnimationFrame(tick);
}

// ---- drawing --------------------------------------------------------------------
const hue = k => (k * 137.508 + 200) % 360;
const colour = (k, l = 60) => 'hsl(' + hue(k).toFixed(1) + ',70%,' + l + '%)';
function fitCanvas(c) {
  const r = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(c.clientWidth * r)), h = Math.max(1, Math.round(c.clientHeight * r));
  if (c.width !== w || c.height !== h) { c.width = w; c.height = h; }
  const g = c.getContext('2d');
  g.setTransform(r, 0, 0, r, 0, 0);
  return { g, w: c.clientWidth, h: c.clientHeight };
}
const fmtHz = f => (f >= 1000 ? (f / 1000).toFixed(f >= 10000 ? 0 : 1) + ' kHz' : Math.round(f) + ' Hz');
function fmtTime(t) {
  const m = Math.floor(t / 60), s = t - 60 * m;
  return m + ':' + (s < 10 ? '0' : '') + s.toFixed(1);
}
// A perceptual dark-to-bright ramp for the dB image.
const palette = (() => {
  const stops = [[0, 0, 4], [40, 11, 84], [101, 21, 110], [159, 42, 99], [212, 72, 66], [245, 125, 21], [250, 193, 39], [252, 255, 164]];
  const lut = new Uint8Array(256 * 3);
  for (let i = 0; i < 256; i++) {
    const x = (i / 255) * (stops.length - 1), j = Math.min(stops.length - 2, Math.floor(x)), f = x - j;
    for (let c = 0; c < 3; c++) lut[3 * i + c] = Math.round(stops[j][c] * (1 - f) + stops[j + 1][c] * f);
  }
  return lut;
})();
// Where the frames lie on a time canvas w wide: from the start of frame 0's
// hop to the end of the last one's, each frame at the time of its centre.
function frameSpan(w) {
  const half = D.hop / 2 / D.sampleRate, last = D.firstFrameSec + ((D.frameCount - 1) * D.hop) / D.sampleRate;
  return { x0: ((D.firstFrameSec - half) / duration) * w, x1: ((last + half) / duration) * w };
}
let specImage = null;
function spectrogramImage() {
  if (specImage) return specImage;
  const S = D.sgram, bin = atob(S.data);
  const c = document.createElement('canvas');
  c.width = S.cols;
  c.height = S.rows;
  const g = c.getContext('2d'), img = g.createImageData(S.cols, S.rows);
  for (let r = 0; r < S.rows; r++)
    for (let t = 0; t < S.cols; t++) {
      const v = bin.charCodeAt(r * S.cols + t), o = 4 * ((S.rows - 1 - r) * S.cols + t);
      img.data[o] = palette[3 * v];
      img.data[o + 1] = palette[3 * v + 1];
      img.data[o + 2] = palette[3 * v + 2];
      img.data[o + 3] = 255;
    }
  g.putImageData(img, 0, 0);
  return (specImage = c);
}
const logPos = f => Math.log(f / D.sgram.fLo) / Math.log(D.sgram.fHi / D.sgram.fLo);
function freqTicks() {
  const out = [];
  for (let d = 1; d <= 100000; d *= 10)
    for (const m of [1, 2, 5]) if (d * m >= D.sgram.fLo * 1.05 && d * m <= D.sgram.fHi) out.push(d * m);
  return out;
}
function drawSpectrogram() {
  const { g, w, h } = fitCanvas($('sgram'));
  g.imageSmoothingEnabled = true;
  g.fillStyle = '#000004';   // the palette's floor, where no frame reaches
  g.fillRect(0, 0, w, h);
  const s = frameSpan(w);
  g.drawImage(spectrogramImage(), s.x0, 0, s.x1 - s.x0, h);
  const a = fitCanvas($('faxis'));
  a.g.clearRect(0, 0, a.w, a.h);
  a.g.fillStyle = '#8a8f98';
  a.g.font = '11px system-ui, sans-serif';
  a.g.textAlign = 'right';
  a.g.textBaseline = 'middle';
  for (const f of freqTicks()) {
    const y = h * (1 - logPos(f));
    a.g.fillText(fmtHz(f), a.w - 8, Math.min(h - 6, Math.max(6, y)));
    a.g.fillRect(a.w - 5, y, 5, 1);
  }
  a.g.save();
  a.g.translate(10, h / 2);
  a.g.rotate(-Math.PI / 2);
  a.g.textAlign = 'center';
  a.g.fillText('frequency', 0, 0);
  a.g.restore();
}
function drawTimeAxis() {
  const { g, w, h } = fitCanvas($('taxis'));
  g.clearRect(0, 0, w, h);
  const steps = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300];
  const step = steps.find(s => (s / duration) * w >= 70) || 600;
  g.fillStyle = '#8a8f98';
  g.font = '11px system-ui, sans-serif';
  g.textBaseline = 'top';
  for (let t = 0; t <= duration + 1e-9; t += step) {
    const x = (t / duration) * w;
    g.fillRect(x, 0, 1, 5);
    g.textAlign = x < 20 ? 'left' : x > w - 20 ? 'right' : 'center';
    const label = step < 1 ? t.toFixed(step < 0.1 ? 2 : 1) + ' s' : t >= 60 ? fmtTime(t).replace(/\.0$/, '') : t + ' s';
    g.fillText(label, x, 7);
  }
}
function drawActivation(k, c) {
  const { g, w, h } = fitCanvas(c);
  const a = D.components[k].activation, n = a.length, s = frameSpan(w);
  g.clearRect(0, 0, w, h);
  g.beginPath();
  g.moveTo(s.x0, h);
  for (let i = 0; i < n; i++) g.lineTo(s.x0 + ((i + 0.5) / n) * (s.x1 - s.x0), h - 2 - (a[i] / 1000) * (h - 6));
  g.lineTo(s.x1, h);
  g.closePath();
  g.fillStyle = colour(k, 35);
  g.fill();
  g.strokeStyle = colour(k, 65);
  g.lineWidth = 1.2;
  g.stroke();
}
function drawBasis(k, c) {
  const { g, w, h } = fitCanvas(c);
  const comp = D.components[k], b = comp.basis, n = b.length;
  g.clearRect(0, 0, w, h);
  const top = Math.min(26, h * 0.45);
  g.fillStyle = '#262a33';
  for (const f of [100, 1000, 10000]) {
    const p = logPos(f);
    if (p > 0 && p < 1) g.fillRect(4 + p * (w - 8), top - 4, 1, h - top + 4);
  }
  const curve = (v) => {
    g.beginPath();
    for (let i = 0; i < n; i++) g.lineTo(4 + (i / (n - 1)) * (w - 8), h - 2 - (v[i] / 1000) * (h - top - 4));
  };
  // a convolutive basis: its spectra, first to last, fading
  (comp.span || []).forEach((v, l, all) => {
    curve(v);
    g.strokeStyle = 'rgba(230,230,230,' + (0.1 + 0.6 * (1 - l / all.length)).toFixed(2) + ')';
    g.lineWidth = 0.8;
    g.stroke();
  });
  curve(b);
  g.strokeStyle = colour(k, 65);
  g.lineWidth = 1.2;
  g.stroke();
  g.fillStyle = '#e6e6e6';
  g.font = '600 12px system-ui, sans-serif';
  g.textBaseline = 'top';
  g.textAlign = 'left';
  g.fillText(String(comp.number), 5, 2);
  if (h >= 22) {
    g.font = '10px system-ui, sans-serif';
    g.fillStyle = '#a0a5ae';
    const centroid = comp.centroidHz == null ? '–' : fmtHz(comp.centroidHz);
    g.fillText('peak ' + fmtHz(comp.peakHz) + ' · centroid ' + centroid, 24, 3);
  }
}

// ---- the lanes ----------------------------------------------------------------------
const rows = [];
function laneHeight() { return Math.max(24, Math.min(72, Math.floor(620 / K))); }
function makeLanes() {
  const lanes = $('lanes'), h = laneHeight() + 'px';
  D.components.forEach((comp, k) => {
    const ctl = document.createElement('div');
    ctl.className = 'ctl';
    ctl.style.height = h;
    ctl.innerHTML = '<span class="sw"></span><span class="num"></span>' +
      '<button class="mute" title="Mute">M</button><button class="solo" title="Solo">S</button>' +
      '<input type="range" min="0" max="2" step="0.01" value="1" title="Gain"><span class="gv">1.00</span>';
    ctl.querySelector('.sw').style.background = colour(k);
    const num = ctl.querySelector('.num');
    num.textContent = comp.number;
    if (comp.given) {   // its basis came from an earlier run
      num.classList.add('given');
      num.title = 'Given basis: ' + comp.given;
    }
    const lane = document.createElement('canvas');
    lane.className = 'lane time';
    lane.style.height = h;
    const basis = document.createElement('canvas');
    basis.className = 'basis';
    basis.style.height = h;
    lanes.append(ctl, lane, basis);
    const row = { ctl, lane, basis, mute: ctl.querySelector('.mute'), solo: ctl.querySelector('.solo'),
                  gain: ctl.querySelector('input'), gv: ctl.querySelector('.gv') };
    row.mute.onclick = () => toggleMute(k);
    row.solo.onclick = () => toggleSolo(k);
    row.gain.oninput = () => setGain(k, parseFloat(row.gain.value));
    lane.addEventListener('click', e => seekFromClick(e, lane));
    rows.push(row);
  });
}
function toggleMute(k) { state.muted[k] = !state.muted[k]; state.focus = k; choiceChanged(); }
function toggleSolo(k) { state.soloed[k] = !state.soloed[k]; state.focus = k; choiceChanged(); }
function setGain(k, v) { state.gains[k] = v; state.focus = k; choiceChanged(); }
function setSource(s) { state.source = s; choiceChanged(); }
function allOn() { state.muted.fill(false); state.soloed.fill(false); choiceChanged(); }
function seekFromClick(e, el) {
  const r = el.getBoundingClientRect();
  seek(((e.clientX - r.left) / r.width) * duration);
}

function drawPlayhead() {
  const sgram = $('sgram'), t = position();
  $('playhead').style.left = sgram.offsetLeft + (t / duration) * sgram.offsetWidth + 'px';
  $('clock').textContent = fmtTime(t) + ' / ' + fmtTime(duration);
}
function render() {
  rows.forEach((row, k) => {
    row.mute.classList.toggle('on', state.muted[k]);
    row.solo.classList.toggle('on', state.soloed[k]);
    row.ctl.classList.toggle('off', !audible(k));
    row.lane.classList.toggle('off', !audible(k));
    row.gain.value = state.gains[k];
    row.gv.textContent = state.gains[k].toFixed(2);
  });
  $('play').innerHTML = player.playing ? '&#10073;&#10073; Pause' : '&#9654; Play';
  $('ab-mix').classList.toggle('on', state.source === 'mix');
  $('ab-orig').classList.toggle('on', state.source === 'orig');
  const numbers = chosenNumbers();
  $('command').textContent = commandFor(numbers) || '(no component chosen)';
  const scaled = numbers.some(n => state.gains[n - 1] !== 1);
  $('note').textContent = scaled ? 'The command keeps the choice; the gains other than 1 are not part of it.' : '';
  drawPlayhead();
}
function drawAll() {
  drawSpectrogram();
  drawTimeAxis();
  rows.forEach((row, k) => { drawActivation(k, row.lane); drawBasis(k, row.basis); });
  drawPlayhead();
}

function onKey(e) {
  if (e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === ' ') {
    e.preventDefault();
    togglePlay();
  } else if (/^[0-9]$/.test(e.key)) {
    const k = e.key === '0' ? 9 : Number(e.key) - 1;
    if (k < K) toggleMute(k);
  } else if (e.key === 's' || e.key === 'S') {
    toggleSolo(state.focus);
  } else if (e.key === 'a' || e.key === 'A') {
    setSource(state.source === 'mix' ? 'orig' : 'mix');
  }
}

function copyCommand() {
  const text = $('command').textContent;
  const done = () => { $('copy').textContent = 'Copied'; setTimeout(() => ($('copy').textContent = 'Copy'), 1200); };
  if (navigator.clipboard && window.isSecureContext) {
    navigator.clipboard.writeText(text).then(done, () => copyBySelection(text) && done());
  } else if (copyBySelection(text)) done();
}
function copyBySelection(text) {
  const t = document.createElement('textarea');
  t.value = text;
  document.body.append(t);
  t.select();
  let ok = false;
  try { ok = document.execCommand('copy'); } catch (e) { ok = false; }
  t.remove();
  return ok;
}

function start() {
  document.title = D.title + ' · korvane';
  $('title').textContent = D.title;
  const given = D.components.filter(c => c.given).length;
  $('info').textContent = K + ' component' + (K === 1 ? '' : 's') + (given ? ' (' + given + ' given)' : '') + ' · ' +
    fmtTime(duration) + ' · ' +
    D.sampleRate + ' Hz · ' + (D.channels === 1 ? 'mono' : 'stereo') + ' · FFT ' + D.fftSize + ', hop ' + D.hop;
  makeLanes();
  $('play').onclick = togglePlay;
  $('ab-mix').onclick = () => setSource('mix');
  $('ab-orig').onclick = () => setSource('orig');
  $('all').onclick = allOn;
  $('copy').onclick = copyCommand;
  $('sgram').addEventListener('click', e => seekFromClick(e, $('sgram')));
  $('taxis').addEventListener('click', e => seekFromClick(e, $('taxis')));
  document.addEventListener('keydown', onKey);
  new ResizeObserver(drawAll).observe($('board'));
  render();
  drawAll();
  if (location.hash === '#selftest') window.kvSelftest = selftest();
}
