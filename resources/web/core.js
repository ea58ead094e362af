// The dashboard's core: polls the status document at /data/ every 2 s, keeps a
// few minutes of rates for the traffic chart, draws the page chrome and shows
// the view picked in the address's #fragment. Each view lives in a file of its
// own and registers itself as Vt.views.<name> = {init, render, subtitle, ...}
// before start-up; views/*.js load after this file and after widgets.js.
(function () {
  'use strict';

  const F = window.VtFormat;
  const $ = (id) => document.getElementById(id);
  const esc = F.escapeHtml;

  const POLL_MS = 2000;
  const WINDOW_MS = 5 * 60 * 1000;
  const CHART_FLOW_LIMIT = 20000; // above this many open flows only a view that needs them fetches them
  const VIEWS = ['overview', 'flows', 'processes', 'interfaces', 'settings'];

  // What every view reads; a view keeps its own input state to itself.
  const S = {
    view: 'overview',
    doc: null,
    docAt: 0,
    flows: [], // replaced, never changed in place: a view may cache what it derives by identity
    flowsAt: 0,
    samples: [], // {t, pps, bps}
    prev: null, // {t, pkts, totalBytes, flowBytes}
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

  // GET /data/ with `params` as query arguments; the parsed document. A
  // refusal is tried once more after a short pause before it counts: the
  // server can refuse a good request whose Digest nonce it no longer holds,
  // and the browser answers the fresh challenge with the same credentials.
  // A refused request changed nothing, so asking again is safe.
  Vt.getDoc = async function getDoc(params, timeoutMs) {
    try {
      return await getDocOnce(params, timeoutMs);
    } catch (e) {
      if (e.kind !== 'auth' || S.passwordChanged) throw e;
      await new Promise((r) => setTimeout(r, 400));
      return getDocOnce(params, timeoutMs);
    }
  };

  async function getDocOnce(params, timeoutMs) {
    const q = new URLSearchParams(params || {}).toString();
    const ctl = new AbortController();
    const timer = setTimeout(() => ctl.abort(), timeoutMs || 15000);
    let res;
    try {
      res = await fetch('/data/' + (q ? '?' + q : ''), { cache: 'no-store', credentials: 'same-origin', signal: ctl.signal });
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

  // One round: the status document (with the flows when they are wanted), then
  // whatever the shown view fetches for itself, one request at a time so the
  // Digest nonce counts reach the server in order.
  async function poll() {
    if (S.busy) {
      pollTimer = setTimeout(poll, 250);
      return;
    }
    polling = true;
    const started = Date.now();
    try {
      const lastFlows = S.doc ? S.doc.totalFlows : 0;
      const wantFlows = !!Vt.views[S.view].needsFlows || lastFlows <= CHART_FLOW_LIMIT;
      const doc = await Vt.getDoc(wantFlows ? { requestedData: 'flows' } : null);
      Vt.takeDoc(doc, wantFlows, Date.now());
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

  // Records a failed request for the banner and leaves a gap in the chart.
  Vt.fail = function fail(e) {
    const kind = e instanceof RequestError ? e.kind : 'bad';
    if (!S.failing || S.failing.kind !== kind) S.failing = { kind, status: e.status || 0, since: Date.now() };
    S.failCount++;
    if (kind !== 'auth') pushSample(Date.now(), null, null);
  };

  // ---- Rates for the chart -----------------------------------------------------------------

  // Takes a status document read at `t`; `askedFlows` says whether it was asked with its flows.
  Vt.takeDoc = function takeDoc(doc, askedFlows, t) {
    S.doc = doc;
    S.docAt = t;
    const flows = askedFlows ? doc.flows || [] : null; // an empty table sends no "flows" member
    if (flows) {
      S.flows = flows;
      S.flowsAt = t;
    }
    const flowBytes = flows ? F.flowByteDelta(S.prev && S.prev.flowBytes, flows) : null;
    const p = S.prev;
    if (p && t - p.t > 200) {
      const dt = (t - p.t) / 1000;
      if (t - p.t > 3 * POLL_MS + 1000) pushSample(p.t + POLL_MS, null, null);
      const dp = F.packetDelta(p.pkts, doc.snifferPacketCount);
      let bytes;
      if (flowBytes && p.flowBytes) bytes = flowBytes.bytes;
      else bytes = Math.max(0, F.u32(doc.totalBytes) - F.u32(p.totalBytes)); // estimate without the flow list
      pushSample(t, dp === null ? null : dp / dt, bytes / dt);
    }
    S.prev = { t, pkts: doc.snifferPacketCount, totalBytes: doc.totalBytes, flowBytes: flowBytes ? flowBytes.seen : null };
  };

  function pushSample(t, pps, bps) {
    const last = S.samples[S.samples.length - 1];
    if (pps === null && last && last.pps === null) return;
    S.samples.push({ t, pps, bps });
    while (S.samples.length && S.samples[0].t < t - WINDOW_MS - 10000) S.samples.shift();
    try {
      sessionStorage.setItem('vt-samples', JSON.stringify(S.samples));
    } catch (e) {
      /* storage full or off: the chart just starts afresh next time */
    }
  }

  // The chart survives a reload of the page: samples kept in this tab's session.
  function restoreSamples() {
    try {
      const saved = JSON.parse(sessionStorage.getItem('vt-samples') || '[]');
      const recent = saved.filter((s) => s && typeof s.t === 'number' && s.t > Date.now() - WINDOW_MS);
      if (recent.length) S.samples = recent.concat({ t: recent[recent.length - 1].t + 1, pps: null, bps: null });
    } catch (e) {
      S.samples = [];
    }
  }

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

  // The discovered adapters by interface index: {key, index, ips, mac}.
  Vt.interfaceList = function interfaceList(doc) {
    const ifs = (doc && doc.interfacesDiscovered) || {};
    return Object.keys(ifs)
      .map((k) => ({ key: k, index: Number(k.replace(/^if_/, '')), ips: (ifs[k] && ifs[k].ips) || [], mac: ifs[k] && ifs[k].mac }))
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
    if (changed && (view.needsFlows || view.fetch)) Vt.pollSoon(); // its own data, not a poll old
  }

  function start() {
    for (const v of VIEWS) Vt.views[v].init();
    $('banner-action').addEventListener('click', () => location.reload());
    window.addEventListener('hashchange', () => showView(location.hash.slice(1), true));
    restoreSamples();
    showView(location.hash.slice(1), false);
    poll();
  }

  // The view files load after this one; start once all of them have registered.
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else setTimeout(start, 0);
})();
