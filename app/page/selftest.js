// The page's own check, run when the address ends in #selftest: it decodes
// what the page carries, renders mixes offline through the same graph the
// player uses, and drives the controls as a user would. The verdict goes
// into #selftest (first line SELFTEST PASS or SELFTEST FAIL).

function maxAbs(f) { let m = 0; for (let i = 0; i < f.length; i++) m = Math.max(m, Math.abs(f[i])); return m; }

// Largest |a - b - scale * c| over every channel and sample.
function residual(a, b, c, scale) {
  if ((b && b.length !== a.length) || c.length !== a.length) return Infinity;
  let m = 0;
  for (let ch = 0; ch < a.numberOfChannels; ch++) {
    const x = a.getChannelData(ch), y = b ? b.getChannelData(ch) : null, z = c.getChannelData(ch);
    for (let i = 0; i < x.length; i++) m = Math.max(m, Math.abs(x[i] - (y ? y[i] : 0) - scale * z[i]));
  }
  return m;
}

// Sum of the decoded components, formed here sample by sample.
function sumOf(buffers, ch, n) {
  const out = new OfflineAudioContext(ch, n, D.sampleRate).createBuffer(ch, n, D.sampleRate);
  for (let c = 0; c < ch; c++) {
    const o = out.getChannelData(c);
    for (const b of buffers) {
      const x = b.getChannelData(c);
      for (let i = 0; i < n && i < x.length; i++) o[i] += x[i];
    }
  }
  return out;
}

// Component numbers named by the shown command: "--group 1,3-5" -> [1,3,4,5].
function groupShown() {
  const m = /--group (\S+)/.exec($('command').textContent);
  if (!m) return [];
  const out = [];
  for (const part of m[1].split(',')) {
    const [a, b] = part.split('-').map(Number);
    for (let i = a; i <= (b === undefined ? a : b); i++) out.push(i);
  }
  return out;
}

async function selftest() {
  const log = [], failed = [];
  const check = (ok, what) => { log.push((ok ? 'ok    ' : 'FAIL  ') + what); if (!ok) failed.push(what); };
  const el = $('selftest');
  el.hidden = false;
  el.textContent = 'SELFTEST RUNNING';
  try {
    const sr = D.sampleRate, ch = D.channels, n = D.frames;
    // decoding at the sound's own rate: no resampling between file and check
    const dc = new OfflineAudioContext(ch, 1, sr);
    // each stream holds the sound and D.pad frames of silence after it
    const decode = async (id, what, channels) => {
      const raw = await decodeRaw(dc, id), b = exactLength(raw);
      const cut = n + D.pad - raw.length;
      check(b.numberOfChannels === channels && b.sampleRate === sr && raw.length >= n && b.length === n,
            what + ' decodes: ' + b.numberOfChannels + ' ch, ' + b.sampleRate + ' Hz, ' + b.length + ' frames (expected ' +
            channels + ', ' + sr + ', ' + n + '); of the ' + D.pad + ' frames of silence after it, the browser ' +
            (cut ? 'cut ' + cut : 'kept all'));
      return b;
    };
    const bufs = [];
    for (let k = 0; k < K; k++) bufs.push(await decode(k + 1, 'component ' + D.components[k].number, ch));
    const orig = await decode(0, 'original', D.originalChannels);

    const renderMix = async () => {
      const oc = new OfflineAudioContext(ch, n, sr);
      buildGraph(oc, bufs, orig, 0, 0);
      return oc.startRendering();
    };
    allOn();
    setSource('mix');
    const peak = bufs.reduce((s, b) => s + maxAbs(b.getChannelData(0)), 0) || 1;
    // float32 sums in another order: a few units in the last place per term
    const tol = 4e-7 * (K + 1) * peak;
    const all = await renderMix();
    const eSum = residual(all, sumOf(bufs, ch, n), bufs[0], 0);
    check(eSum <= tol, 'offline mix of all components = their sum (max error ' + eSum.toExponential(2) + ', limit ' + tol.toExponential(2) + ')');

    const j = K > 1 ? 1 : 0, row = rows[j];
    row.mute.click();
    const without = await renderMix();
    const eMute = residual(all, without, bufs[j], 1);
    check(eMute <= tol, 'muting component ' + D.components[j].number + ' takes exactly it out (max error ' + eMute.toExponential(2) + ')');
    row.mute.click();
    row.gain.value = '0.5';
    row.gain.dispatchEvent(new Event('input'));
    const half = await renderMix();
    const eHalf = residual(all, half, bufs[j], 0.5);
    check(eHalf <= tol, 'gain 0.5 on component ' + D.components[j].number + ' takes out half of it (max error ' + eHalf.toExponential(2) + ')');
    row.gain.value = '1';
    row.gain.dispatchEvent(new Event('input'));
    setSource('orig');
    const heard = await renderMix();
    const eOrig = residual(heard, null, orig, 1);
    check(eOrig <= 1e-6, 'the A/B switch gives the original alone (max error ' + eOrig.toExponential(2) + ')');
    setSource('mix');

    // the command follows the controls
    const expect = [];
    D.components.forEach((c, k) => { if (k % 3 === 2) rows[k].mute.click(); else expect.push(c.number); });
    check(JSON.stringify(groupShown()) === JSON.stringify(expect), 'command after muting every third: ' + $('command').textContent);
    allOn();
    rows[K - 1].solo.click();
    check(JSON.stringify(groupShown()) === JSON.stringify([D.components[K - 1].number]), 'command with a solo: ' + $('command').textContent);
    allOn();
    D.components.forEach((c, k) => rows[k].mute.click());
    check(groupShown().length === 0 && !/korvane/.test($('command').textContent), 'command with all muted: ' + $('command').textContent);
    allOn();
    check(new RegExp('^korvane remix \\S.* --group ').test($('command').textContent), 'command with all on: ' + $('command').textContent);

    // given bases are marked, and only they
    const marked = rows.map(r => r.ctl.querySelector('.num').classList.contains('given'));
    check(marked.every((m, k) => m === Boolean(D.components[k].given)),
          'marked given: ' + (D.components.filter((c, k) => marked[k]).map(c => c.number).join(',') || 'none'));

    // keys and click-to-seek, through the events the page listens to
    const press = key => document.dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true }));
    press('1');
    check(state.muted[0] && !audible(0), 'key 1 mutes component 1');
    press('1');
    press('s');
    check(state.soloed[0] && (K === 1 || !audible(1)), 'key s solos the component last touched');
    press('s');
    press('a');
    check(state.source === 'orig', 'key a switches to the original');
    press('a');
    const r = $('sgram').getBoundingClientRect();
    $('sgram').dispatchEvent(new MouseEvent('click', { clientX: r.left + r.width / 4, clientY: r.top + 5, bubbles: true }));
    check(Math.abs(position() - duration / 4) <= (2 * duration) / r.width, 'a click a quarter into the spectrogram seeks to ' +
          fmtTime(position()) + ' of ' + fmtTime(duration));
    seek(0);
  } catch (e) {
    check(false, 'exception: ' + (e && e.stack ? e.stack : e));
  }
  check(consoleErrors.length === 0, 'no console error' + (consoleErrors.length ? ': ' + consoleErrors.join(' | ') : ''));
  const verdict = failed.length ? 'SELFTEST FAIL' : 'SELFTEST PASS';
  el.textContent = verdict + '\n' + log.join('\n');
  document.body.dataset.selftest = failed.length ? 'fail' : 'pass';
  return el.textContent;
}
