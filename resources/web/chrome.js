// The page chrome around the views: the live indicator, the connection banner,
// the capture and export pills, the flow count in the navigation and the view's
// subtitle. Also the small text helpers every view draws with.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc, S } = Vt;

  // Sets an element's text, leaving the DOM alone when it is already right.
  Vt.setText = function setText(id, text) {
    const el = $(id);
    if (el && el.textContent !== text) el.textContent = text;
  };

  // A state badge: a dot and a label, coloured by the st-<state> class.
  Vt.setState = function setState(el, state, label) {
    el.className = el.className.replace(/\bst-\w+/g, '').trim() + ' st-' + state;
    el.innerHTML = '<span class="dot"></span>' + esc(label || Vt.STATE_TEXT[state]);
  };

  // The time of day of `ms`, as HH:MM:SS.
  Vt.clock = (ms) => F.fmtTime(ms).slice(11);

  const { setText, setState, clock } = Vt;

  Vt.renderChrome = function renderChrome() {
    const doc = S.doc;
    const f = S.failing;
    if (!f) {
      $('live').className = 'live ok';
      setText('live-text', doc ? 'Live · updated ' + clock(S.lastOk) : 'Connecting…');
      $('banner').hidden = true;
    } else {
      $('live').className = 'live bad';
      $('banner').hidden = false;
      $('banner-action').hidden = f.kind !== 'auth';
      showFailure(f);
    }
    setText('brand-host', location.host);
    $('main').classList.toggle('stale', !!f);
    if (!doc) return;
    $('default-pass').hidden = doc.passIsDefault !== true;
    if (f) {
      // The last known states may no longer hold.
      setState($('pill-capture'), 'unknown', 'Capture unknown');
      setState($('pill-export'), 'unknown', 'Export unknown');
    } else {
      const cs = Vt.captureState(doc);
      const es = Vt.exportState(doc);
      setState($('pill-capture'), cs, 'Capture ' + Vt.STATE_TEXT[cs].toLowerCase());
      $('pill-capture').title = doc.captureError ? 'Capture: ' + doc.captureError : 'Capture';
      setState($('pill-export'), es, 'Export ' + Vt.STATE_TEXT[es].toLowerCase());
    }
    setText('nav-flows', F.fmtInt(doc.totalFlows));
    setText('view-sub', Vt.views[S.view].subtitle(doc));
  };

  // The live indicator and banner texts for a failure.
  function showFailure(f) {
    if (f.kind === 'auth') {
      setText('live-text', 'Signed out');
      setText('banner-title', S.passwordChanged ? 'Password changed.' : 'Sign-in refused.');
      setText(
        'banner-text',
        S.passwordChanged
          ? 'The monitor now expects the new password. Sign in again to go on.'
          : 'The monitor did not accept the user name and password (they may have been changed, or the sign-in was cancelled). Updates have stopped.'
      );
      return;
    }
    setText('live-text', 'No connection');
    const last = S.lastOk ? ' The figures shown are from ' + clock(S.lastOk) + '.' : '';
    if (f.kind === 'net') {
      setText('banner-title', 'Cannot reach the monitor.');
      setText('banner-text', 'No answer from ' + location.host + ' since ' + clock(f.since) + '; retrying every few seconds.' + last);
    } else if (f.kind === 'http') {
      setText('banner-title', 'The monitor answered with an error.');
      setText('banner-text', 'HTTP status ' + f.status + ' for /data/; retrying.' + last);
    } else {
      setText('banner-title', 'Unreadable answer.');
      setText('banner-text', 'The status document could not be read; retrying.' + last);
    }
  }
})();
