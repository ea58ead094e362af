// Settings: the listener, collector, export format and web port form, and the
// password form. Changes go to the monitor as query arguments of a GET to
// /data/; a field the person has touched keeps their value over updates.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc, S, setText } = Vt;

  const FIELDS = ['set-listener', 'set-rip', 'set-rport', 'set-hport', 'set-format', 'set-transport'];
  const dirty = new Set(); // ids of the fields edited since the last save or reset

  const SETTING_OF_ARG = { listenerIP: 'listenerIP', receiverIP: 'receiverIP', receiverPort: 'receiverPort', httpPort: 'httpPort', exportFormat: 'exportFormat', exportTransport: 'exportTransport' };
  const ARG_LABEL = { listenerIP: 'listener', receiverIP: 'collector address', receiverPort: 'collector port', httpPort: 'web port', exportFormat: 'export format', exportTransport: 'transport' };
  const FIELD_OF_ARG = { listenerIP: 'set-listener', receiverIP: 'set-rip', receiverPort: 'set-rport', httpPort: 'set-hport', exportFormat: 'set-format', exportTransport: 'set-transport' };

  function listenerOptions(current) {
    const opts = [{ v: '', t: 'Automatic — first usable address' }];
    const seen = new Set();
    for (const i of Vt.interfaceList(S.doc)) {
      for (const ip of i.ips) {
        if (!Vt.usableAddress(ip) || seen.has(ip)) continue;
        seen.add(ip);
        opts.push({ v: ip, t: ip + ' — interface ' + i.index });
      }
    }
    if (current && current !== '0.0.0.0' && !seen.has(current)) opts.push({ v: current, t: current + ' — current, not on any discovered interface' });
    opts.push({ v: '0.0.0.0', t: 'Off — 0.0.0.0, capture stopped' });
    return opts;
  }

  function render() {
    const st = Vt.settings();
    const sel = $('set-listener');
    const opts = listenerOptions(st.listenerIP);
    const sig = opts.map((o) => o.v).join(',');
    if (sel.dataset.sig !== sig) {
      const keep = dirty.has('set-listener') ? sel.value : st.listenerIP;
      sel.innerHTML = opts.map((o) => '<option value="' + esc(o.v) + '">' + esc(o.t) + '</option>').join('');
      sel.dataset.sig = sig;
      sel.value = keep;
    }
    fill('set-listener', st.listenerIP);
    fill('set-rip', st.receiverIP);
    fill('set-rport', st.receiverPort);
    fill('set-hport', st.httpPort);
    fill('set-format', Vt.exportFormat(st));
    fill('set-transport', Vt.exportTransport(st));
    setText('set-user', st.user === undefined ? '–' : String(st.user));
  }

  // Puts the monitor's value in a field the person is not editing.
  function fill(id, value) {
    const el = $(id);
    if (dirty.has(id) || document.activeElement === el) return;
    const v = value === undefined || value === null ? '' : String(value);
    if (el.value !== v) el.value = v;
  }

  function showFieldError(id, msg) {
    const el = $(id);
    const err = $(id + '-err');
    if (msg) el.setAttribute('aria-invalid', 'true');
    else el.removeAttribute('aria-invalid');
    if (err) err.textContent = msg || '';
  }

  // The query arguments for what changed, or null when a value is wrong.
  function settingsChanges() {
    const st = Vt.settings();
    const out = {};
    let ok = true;
    const rip = $('set-rip').value.trim();
    if (!F.isIPv4(rip)) {
      showFieldError('set-rip', 'Enter an IPv4 address such as 192.0.2.10 (0.0.0.0 turns export off).');
      ok = false;
    } else showFieldError('set-rip', '');
    const rport = F.parsePort($('set-rport').value);
    if (rport === null) {
      showFieldError('set-rport', 'A port is a whole number from 1 to 65535.');
      ok = false;
    } else showFieldError('set-rport', '');
    const hport = F.parsePort($('set-hport').value);
    if (hport === null) {
      showFieldError('set-hport', 'A port is a whole number from 1 to 65535.');
      ok = false;
    } else showFieldError('set-hport', '');
    if (!ok) return null;
    const l = $('set-listener').value;
    if (l !== st.listenerIP) out.listenerIP = l;
    if (rip !== st.receiverIP) out.receiverIP = rip;
    if (rport !== Number(st.receiverPort)) out.receiverPort = String(rport);
    if (hport !== Number(st.httpPort)) out.httpPort = String(hport);
    const format = $('set-format').value;
    if (format !== Vt.exportFormat(st)) out.exportFormat = format;
    const transport = $('set-transport').value;
    if (transport !== Vt.exportTransport(st)) out.exportTransport = transport;
    return out;
  }

  function showResult(id, kind, html) {
    const el = $(id);
    el.hidden = false;
    el.className = 'result result-' + kind;
    el.innerHTML = html;
  }

  // Sends the changed settings (and with `restart`, saves and restarts capture
  // and export), then reads the settings back to see which ones the monitor took.
  async function sendSettings(restart) {
    if (S.busy) return;
    const changes = settingsChanges();
    if (!changes) {
      showResult('set-result', 'error', 'Nothing was sent: correct the marked values first.');
      const bad = document.querySelector('#settings-form [aria-invalid="true"]');
      if (bad) bad.focus();
      return;
    }
    const names = Object.keys(changes);
    if (!names.length && !restart) {
      showResult('set-result', 'info', 'Nothing to save: these are the values in use.');
      return;
    }
    const args = Object.assign({}, changes);
    if (restart) args.savesettings = '1';
    S.busy = true;
    setFormBusy(true);
    showResult('set-result', 'pending', restart
      ? '<span class="spinner"></span>Saving and restarting capture and export… Capture stops at its next packet, so this can take a moment on a quiet interface.'
      : '<span class="spinner"></span>Saving…');
    await Vt.pollIdle();
    const t0 = Date.now();
    try {
      const answer = await Vt.postDoc(args, restart ? 180000 : 15000);
      // The answer still carries the settings as they were before the change; read them anew.
      const doc = await Vt.getDoc(null);
      Vt.takeDoc(doc, Date.now());
      S.lastOk = Date.now();
      S.failing = null;
      const st = doc.settings || {};
      const refused = names.filter((n) => String(st[SETTING_OF_ARG[n]]) !== String(changes[n]));
      for (const n of names) dirty.delete(FIELD_OF_ARG[n]);
      const took = ((Date.now() - t0) / 1000).toFixed(1);
      let msg;
      if (refused.length) {
        showResult('set-result', 'error', '<b>Not taken:</b> ' + refused.map((n) => esc(ARG_LABEL[n])).join(', ') +
          '. The monitor kept ' + refused.map((n) => esc(String(st[SETTING_OF_ARG[n]]))).join(', ') + '.');
      } else {
        msg = names.length ? 'Saved ' + names.map((n) => esc(ARG_LABEL[n])).join(', ') + ' at ' + Vt.clock(Date.now()) + '.' : 'No value changed.';
        if (restart) msg += ' Capture and export restarted (' + took + ' s): capture ' + Vt.STATE_TEXT[Vt.captureState(doc)].toLowerCase() + ', export ' + Vt.STATE_TEXT[Vt.exportState(doc)].toLowerCase() + '.';
        else if (names.some((n) => n !== 'httpPort')) msg += ' New addresses, ports and formats apply at the next capture or export run; use “Save and restart” to apply them now.';
        if (names.includes('httpPort')) msg += ' The web port changes at the next start of the program.';
        if (answer.settingsSaved === false) {
          showResult('set-result', 'error', '<b>Not saved:</b> the monitor uses the new values but could not write its settings file (see its console); they are lost when it stops.');
        } else {
          showResult('set-result', 'ok', '<svg class="icon"><use href="#i-check"/></svg>' + msg);
        }
      }
    } catch (e) {
      Vt.fail(e);
      showResult('set-result', 'error', failText(e));
    }
    S.busy = false;
    setFormBusy(false);
    Vt.render();
    Vt.pollSoon();
  }

  function failText(e) {
    if (e.kind === 'auth') return 'The monitor refused the credentials; nothing was changed.';
    if (e.kind === 'net') return 'The monitor could not be reached (' + esc(e.message) + '); the change may not have been made.';
    if (e.kind === 'http') return 'The monitor answered with HTTP status ' + e.status + '.';
    return 'The monitor’s answer could not be read.';
  }

  function setFormBusy(on) {
    for (const b of document.querySelectorAll('#settings-form button, #password-form button')) b.disabled = on;
  }

  async function changePassword() {
    if (S.busy) return;
    const a = $('pw-1').value;
    const b = $('pw-2').value;
    let err = '';
    if (!a) err = 'Type the new password.';
    else if (a !== b) err = 'The two entries differ.';
    $('pw-err').textContent = err;
    for (const id of ['pw-1', 'pw-2']) (err ? $(id).setAttribute('aria-invalid', 'true') : $(id).removeAttribute('aria-invalid'));
    if (err) {
      $(a ? 'pw-2' : 'pw-1').focus();
      return;
    }
    S.busy = true;
    setFormBusy(true);
    showResult('pw-result', 'pending', '<span class="spinner"></span>Changing the password…');
    await Vt.pollIdle();
    try {
      const answer = await Vt.postDoc({ userPass: a });
      S.passwordChanged = true;
      $('pw-1').value = '';
      $('pw-2').value = '';
      if (answer.settingsSaved === false) {
        showResult('pw-result', 'error', '<b>Not saved:</b> the new password applies now, but the monitor could not write its settings file (see its console): after a restart the old password applies again. Your browser will ask for the new password at the next update.');
      } else {
        showResult('pw-result', 'ok', '<svg class="icon"><use href="#i-check"/></svg>Password changed. Your browser will ask for the new password at the next update.');
      }
    } catch (e) {
      Vt.fail(e);
      showResult('pw-result', 'error', failText(e));
    }
    S.busy = false;
    setFormBusy(false);
    Vt.pollSoon();
  }

  function init() {
    for (const id of FIELDS) {
      $(id).addEventListener('input', () => {
        dirty.add(id);
        if ($(id).getAttribute('aria-invalid')) settingsChanges();
      });
    }
    $('settings-form').addEventListener('submit', (e) => {
      e.preventDefault();
      sendSettings(true);
    });
    $('set-save').addEventListener('click', () => sendSettings(false));
    $('set-reset').addEventListener('click', () => {
      dirty.clear();
      for (const id of ['set-rip', 'set-rport', 'set-hport']) showFieldError(id, '');
      $('set-result').hidden = true;
      $('set-listener').dataset.sig = '';
      render();
    });
    $('password-form').addEventListener('submit', (e) => {
      e.preventDefault();
      changePassword();
    });
  }

  Vt.views.settings = {
    init,
    render,
    subtitle: () => 'Saved to vantrelsettings.json in the monitor’s working folder',
  };
})();
