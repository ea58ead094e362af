// The dashboard's core: polls the status document at /data/ every 2 s with the
// monitor's traffic history since the last poll, draws the page chrome and
// shows the view picked in the address's #fragment; the view asks for its own
// data (a page of flows, the totals per owner, a port table). Each view lives
// in a file of its own and registers itself as Vt.views.<name> = {init,
// render, subtitle, fetch} before start-up; views/*.js load after this file
// and after widgets.js.
(function () {
  'use strict';

  const F = window.VtFormat;
  const $ = (id) => document.getElementById(id);
  const esc = F.escapeHtml;

  const POLL_MS = 2000;
  const WINDOW_MS = 15 * 60 * 1000; // the history the monitor keeps
  const VIEWS = ['overview', 'flows', 'history', 'processes', 'interfaces', 'settings'];

  // What every view reads; a view keeps its own input state to itself.
  const S = {
    view: 'overview',
    doc: null,
    docAt: 0,
    samples: [], // {t, pps, bps}: one per second, t at its end
    historyNext: 0, // ms since 1970 of the first second not yet fetched
    failing: null, // {kind, status, since}
    failCount: 0,
    lastOk: 0,
    passwordChanged: false,
    busy: false, // a settings request is under way
  };

  const Vt = (window.Vt = { F, $, esc, S, POLL_MS, WINDOW_MS, views: {} });

  // ---- Talking to the monitor --------------------------------------------------------------

  class RequestError extends Error {
    constructor(kind, status, message) {
      super(message || kind);
      this.kind = kind; // 'net' | 'auth' | 'http' | 'bad'
      this.status = status || 0;
    }
  }

  // GET /data/ with `params` as query arguments; the parsed document. Requests
  // go out one at a time, in the order asked, so the Digest nonce counts reach
  // the server in order.
  let queue = Promise.resolve();
  Vt.getDoc = function getDoc(params, timeoutMs) {
    return queued(() => getDocOnce(params, timeoutMs, null));
  };

  // The same as a POST of `form` (settings arguments) to /data/: nothing of
  // it appears in the request line.
  Vt.postDoc = function postDoc(form, timeoutMs) {
    return queued(() => getDocOnce(null, timeoutMs, new URLSearchParams(form)));
  };

  function queued(request) {
    const answer = queue.then(request);
    queue = answer.catch(() => {});
    return answer;
  }

  // The text of GET /data/ with `params`, for a download.
  Vt.getText = async function getText(params) {
    const res = await fetch('/data/?' + new URLSearchParams(params).toString(), { cache: 'no-store', credentials: 'same-origin' });
    if (res.status === 401) throw new RequestError('auth', 401);
    if (!res.ok) throw new RequestError('http', res.status);
    return res.text();
  };

  async function getDocOnce(params, timeoutMs, form) {
    const q = new URLSearchParams(params || {}).toString();
    const ctl = new AbortController();
    const timer = setTimeout(() => ctl.abort(), timeoutMs || 15000);
    let res;
    try {
      const how = { cache: 'no-store', credentials: 'same-origin', signal: ctl.signal };
      if (form) Object.assign(how, { method: 'POST', body: form });
      res = await fetch('/data/' + (q ? '?' + q : ''), how);
    } catch (e) {
      throw new RequestError('net', 0, e && e.name === 'AbortError' ? 'no answer in time' : 'connection failed');
    } finally {
      clearTimeout(timer);
    }
    if (res.status === 401) throw new RequestError('auth', 401);
    if (!res.ok) throw new RequestError('http', res.status);
    const text = await res.text();
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      throw new RequestError('bad', res.status);
    }
    // Whether the settings this request changed reached the settings file;
    // absent when it changed none.
    const saved = res.headers.get('X-Settings-Saved');
    if (saved) Object.defineProperty(doc, 'settingsSaved', { value: saved === 'true' });
    return doc;
  }

  let pollTimer = null;
  let polling = false;
  let pollAgain = false;

  // Polls now, or right after the poll under way.
  Vt.pollSoon = function pollSoon() {
    clearTimeout(pollTimer);
    if (polling) pollAgain = true;
    else poll();
  };

  // One round: the status document with the history since the last round, then
  // whatever the shown view fetches for itself.
  async function poll() {
    if (S.busy) {
      pollTimer = setTimeout(poll, 250);
      return;
    }
    polling = true;
    const started = Date.now();
    try {
      const doc = await Vt.getDoc({ requestedData: 'history', historySince: S.historyNext });
      Vt.takeDoc(doc, Date.now());
      const view = Vt.views[S.view]; // the person may have switched meanwhile
      if (view.fetch) await view.fetch();
      S.failing = null;
      S.failCount = 0;
      S.lastOk = Date.now();
    } catch (e) {
      Vt.fail(e);
    }
    polling = false;
    render();
    if (S.failing && S.failing.kind === 'auth') return; // wait for the person to sign in again
    if (pollAgain) {
      pollAgain = false;
      pollTimer = setTimeout(poll, 0);
      return;
    }
    const delay = S.failing ? Math.min(10000, POLL_MS * Math.pow(2, S.failCount - 1)) : POLL_MS;
    pollTimer = setTimeout(poll, Math.max(100, delay - (Date.now() - started)));
  }

  // Resolves once no status request is in flight.
  Vt.pollIdle = async function pollIdle() {
    while (polling) await new Promise((r) => setTimeout(r, 25));
  };

  // Records a failed request for the banner. The chart has no gap to show:
  // the next answer brings the seconds missed.
  Vt.fail = function fail(e) {
    const kind = e instanceof RequestError ? e.kind : 'bad';
    if (!S.failing || S.failing.kind !== kind) S.failing = { kind, status: e.status || 0, since: Date.now() };
    S.failCount++;
  };

  // ---- The traffic history for the chart -----------------------------------------------

  // Takes a status document read at `t`, with the history seconds it carries.
  Vt.takeDoc = function takeDoc(doc, t) {
    S.doc = doc;
    S.docAt = t;
    const h = doc.history;
    if (!h) return;
    if (h.start > S.historyNext && S.samples.length) S.samples.push({ t: S.historyNext + 1, pps: null, bps: null }); // a gap: the monitor restarted
    for (let i = 0; i < h.pkts.length; i++) S.samples.push({ t: h.start + (i + 1) * 1000, pps: h.pkts[i], bps: h.bytes[i] });
    S.historyNext = h.start + h.pkts.length * 1000;
    const keepFrom = S.historyNext - WINDOW_MS;
    let drop = 0;
    while (drop < S.samples.length && S.samples[drop].t <= keepFrom) drop++;
    if (drop) S.samples.splice(0, drop);
  };

  // ---- Derived state -------------------------------------------------------------------------

  Vt.settings = () => (S.doc && S.doc.settings) || {};

  Vt.captureState = function captureState(doc) {
    const l = doc.settings && doc.settings.listenerIP;
    if (l === '0.0.0.0') return 'off';
    if (doc.captureState === 'failing') return 'failing';
    return doc.snifferRunning ? 'running' : 'stopped';
  };

  Vt.exportState = function exportState(doc) {
    const r = doc.settings && doc.settings.receiverIP;
    if (r === '0.0.0.0') return 'off';
    return doc.exporterRunning ? 'running' : 'stopped';
  };

  Vt.STATE_TEXT = { running: 'Running', stopped: 'Stopped', off: 'Off', failing: 'Failing' };

  Vt.listenerText = function listenerText(l) {
    if (l === '0.0.0.0') return 'off (0.0.0.0)';
    if (l === '' || l === undefined) return 'automatic (not chosen yet)';
    return String(l);
  };

  // The export format in use: native unless the setting names ipfix.
  Vt.exportFormat = (st) => (st.exportFormat === 'ipfix' ? 'ipfix' : 'native');
  Vt.exportTransport = (st) => (st.exportTransport === 'tcp' ? 'tcp' : 'udp');

  // The discovered adapters by interface index: {key, index, ips, ips6, mac}.
  Vt.interfaceList = function interfaceList(doc) {
    const ifs = (doc && doc.interfacesDiscovered) || {};
    const list = (v) => (Array.isArray(v) ? v.map(String) : []);
    return Object.keys(ifs)
      .map((k) => ({ key: k, index: Number(k.replace(/^if_/, '')), ips: list(ifs[k] && ifs[k].ips), ips6: list(ifs[k] && ifs[k].ips6), mac: ifs[k] && ifs[k].mac }))
      .sort((a, b) => a.index - b.index);
  };

  // Whether capture may pick `ip` by itself.
  Vt.usableAddress = (ip) => ip && ip !== '0.0.0.0' && ip !== '127.0.0.1';

  // ---- Views and start-up ---------------------------------------------------------------------

  // Draws the chrome, then the shown view once there is a document.
  function render() {
    Vt.renderChrome();
    if (S.doc) Vt.views[S.view].render();
  }
  Vt.render = render;

  // The view an address names: its #fragment up to any "?" (a view's own state).
  const viewOf = (hash) => hash.slice(1).split('?')[0];

  function showView(name, focus) {
    if (!VIEWS.includes(name)) name = 'overview';
    const changed = S.view !== name;
    S.view = name;
    for (const v of VIEWS) $('view-' + v).hidden = v !== name;
    for (const a of document.querySelectorAll('[data-nav]')) {
      if (a.dataset.nav === name) a.setAttribute('aria-current', 'page');
      else a.removeAttribute('aria-current');
    }
    const title = $('view-' + name).dataset.title;
    Vt.setText('view-title', title);
    document.title = title + ' · Vantrel';
    if (focus) $('main').focus({ preventScroll: true });
    render();
    const view = Vt.views[name];
    if (changed && view.fetch) Vt.pollSoon(); // its own data, not a poll old
  }

  function start() {
    for (const v of VIEWS) Vt.views[v].init();
    $('banner-action').addEventListener('click', () => location.reload());
    window.addEventListener('hashchange', () => showView(viewOf(location.hash), true));
    showView(viewOf(location.hash), false);
    // A view with data of its own has started the first round already; a
    // second one would put its request behind another status document.
    if (!polling) poll();
  }

  // The view files load after this one; start once all of them have registered.
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else setTimeout(start, 0);
})();
