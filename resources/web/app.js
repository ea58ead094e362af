// The dashboard: polls the status document at /data/ every 2 s, keeps a few
// minutes of rates for the traffic chart, and renders the view picked in the
// address's #fragment. Settings go back as query arguments of a GET to /data/.
(function () {
  'use strict';

  const F = window.VtFormat;
  const $ = (id) => document.getElementById(id);
  const esc = F.escapeHtml;

  const POLL_MS = 2000;
  const WINDOW_MS = 5 * 60 * 1000;
  const ROW_CAP = 500; // rows drawn before "Show all"
  const CHART_FLOW_LIMIT = 20000; // above this many open flows the overview stops fetching them
  const VIEWS = ['overview', 'flows', 'processes', 'interfaces', 'settings'];

  const S = {
    view: 'overview',
    doc: null,
    docAt: 0,
    flows: [],
    flowsAt: 0,
    rows: null, // derived flow rows, rebuilt when `flows` changes
    tcp: [],
    udp: [],
    samples: [], // {t, pps, bps}
    prev: null, // {t, pkts, totalBytes, flowBytes}
    failing: null, // {kind, status, since}
    failCount: 0,
    lastOk: 0,
    passwordChanged: false,
    flowSort: { key: 'bytes', dir: -1 },
    flowFilter: '',
    flowDir: '',
    flowProto: '',
    paused: false,
    showAll: false,
    shownIds: null,
    procFilter: '',
    procSort: { tcp: { key: 'port', dir: 1 }, udp: { key: 'port', dir: 1 } },
    dirty: new Set(),
    busy: false,
  };

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
  async function getDoc(params, timeoutMs) {
    try {
      return await getDocOnce(params, timeoutMs);
    } catch (e) {
      if (e.kind !== 'auth' || S.passwordChanged) throw e;
      await new Promise((r) => setTimeout(r, 400));
      return getDocOnce(params, timeoutMs);
    }
  }

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
    try {
      return JSON.parse(text);
    } catch (e) {
      throw new RequestError('bad', res.status);
    }
  }

  let pollTimer = null;
  let polling = false;
  let pollAgain = false;

  function pollSoon() {
    clearTimeout(pollTimer);
    if (polling) pollAgain = true;
    else poll();
  }

  async function poll() {
    if (S.busy) {
      // A settings request is under way: one request at a time.
      pollTimer = setTimeout(poll, 250);
      return;
    }
    polling = true;
    const started = Date.now();
    try {
      const lastFlows = S.doc ? S.doc.totalFlows : 0;
      const wantFlows = S.view === 'flows' || lastFlows <= CHART_FLOW_LIMIT;
      const doc = await getDoc(wantFlows ? { requestedData: 'flows' } : null);
      takeDoc(doc, wantFlows, Date.now());
      if (S.view === 'processes') {
        // One request at a time, so the Digest nonce counts reach the server in order.
        S.tcp = (await getDoc({ requestedData: 'tcpProcessIDs' })).tcpProcessIDs || [];
        S.udp = (await getDoc({ requestedData: 'udpProcessIDs' })).udpProcessIDs || [];
      }
      S.failing = null;
      S.failCount = 0;
      S.lastOk = Date.now();
    } catch (e) {
      fail(e);
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
  async function pollIdle() {
    while (polling) await new Promise((r) => setTimeout(r, 25));
  }

  function fail(e) {
    const kind = e instanceof RequestError ? e.kind : 'bad';
    if (!S.failing || S.failing.kind !== kind) S.failing = { kind, status: e.status || 0, since: Date.now() };
    S.failCount++;
    if (kind !== 'auth') pushSample(Date.now(), null, null); // a gap in the chart
  }

  // ---- Rates for the chart -----------------------------------------------------------------

  function takeDoc(doc, askedFlows, t) {
    S.doc = doc;
    S.docAt = t;
    const flows = askedFlows ? doc.flows || [] : null; // an empty table sends no "flows" member
    if (flows) {
      S.flows = flows;
      S.flowsAt = t;
      S.rows = null;
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
  }

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

  function settings() {
    return (S.doc && S.doc.settings) || {};
  }

  function captureState(doc) {
    const l = doc.settings && doc.settings.listenerIP;
    if (l === '0.0.0.0') return 'off';
    return doc.snifferRunning ? 'running' : 'stopped';
  }

  function exportState(doc) {
    const r = doc.settings && doc.settings.receiverIP;
    if (r === '0.0.0.0') return 'off';
    return doc.exporterRunning ? 'running' : 'stopped';
  }

  const STATE_TEXT = { running: 'Running', stopped: 'Stopped', off: 'Off' };

  function listenerText(l) {
    if (l === '0.0.0.0') return 'off (0.0.0.0)';
    if (l === '' || l === undefined) return 'automatic (not chosen yet)';
    return String(l);
  }

  function interfaceList(doc) {
    const ifs = (doc && doc.interfacesDiscovered) || {};
    return Object.keys(ifs)
      .map((k) => ({ key: k, index: Number(k.replace(/^if_/, '')), ips: (ifs[k] && ifs[k].ips) || [], mac: ifs[k] && ifs[k].mac }))
      .sort((a, b) => a.index - b.index);
  }

  function usableAddress(ip) {
    return ip && ip !== '0.0.0.0' && ip !== '127.0.0.1';
  }

  // One display row per flow, built once per document.
  function flowRows() {
    if (S.rows) return S.rows;
    S.rows = S.flows.map((f) => {
      const proto = F.protoName(f.proto);
      const icmp = f.proto === 1 ? F.icmpName(f.srcport, f.dstport) : '';
      const ports = f.proto === 6 || f.proto === 17;
      const src = f.srcip + (ports ? ':' + f.srcport : '');
      const dst = f.dstip + (ports ? ':' + f.dstport : '');
      const process = F.baseName(f.processname);
      const flags = f.proto === 6 ? F.tcpFlags(f.flags) : '';
      return {
        f,
        id: F.flowId(f),
        dir: f.inif ? 'in' : 'out',
        proto,
        icmp,
        src,
        dst,
        process,
        flags,
        pkts: F.u32(f.pkts),
        bytes: F.u32(f.bytes),
        text: [proto, icmp, src, dst, f.processname, f.user, f.domain, F.dscpName(f.tos), flags.replace(/\./g, '')]
          .join(' ')
          .toLowerCase(),
      };
    });
    return S.rows;
  }

  function filterTokens(s) {
    return s.toLowerCase().split(/\s+/).filter(Boolean);
  }

  function matches(text, tokens) {
    for (const t of tokens) if (text.indexOf(t) < 0) return false;
    return true;
  }

  function filteredFlowRows() {
    const tokens = filterTokens(S.flowFilter);
    return flowRows().filter(
      (r) => (!S.flowDir || r.dir === S.flowDir) && (!S.flowProto || String(r.f.proto) === S.flowProto) && matches(r.text, tokens)
    );
  }

  const cmpText = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

  const FLOW_KEYS = {
    dir: (r) => r.f.inif,
    proto: (r) => r.proto + ' ' + r.icmp,
    src: (r) => F.ipToNumber(r.f.srcip) * 65536 + r.f.srcport,
    dst: (r) => F.ipToNumber(r.f.dstip) * 65536 + r.f.dstport,
    tos: (r) => r.f.tos,
    pkts: (r) => r.pkts,
    bytes: (r) => r.bytes,
    flags: (r) => r.f.flags,
    age: (r) => r.f.age,
    process: (r) => r.process.toLowerCase(),
    user: (r) => String(r.f.user).toLowerCase(),
    domain: (r) => String(r.f.domain).toLowerCase(),
  };

  function sortRows(rows, keyFn, dir, tie) {
    return rows
      .map((r) => ({ r, k: keyFn(r) }))
      .sort((a, b) => (typeof a.k === 'number' ? a.k - b.k : cmpText(a.k, b.k)) * dir || tie(a.r, b.r))
      .map((x) => x.r);
  }

  // ---- Rendering -----------------------------------------------------------------------------

  function render() {
    renderChrome();
    if (!S.doc) return;
    if (S.view === 'overview') renderOverview();
    else if (S.view === 'flows') renderFlows();
    else if (S.view === 'processes') renderProcesses();
    else if (S.view === 'interfaces') renderInterfaces();
    else if (S.view === 'settings') renderSettings();
  }

  function setText(id, text) {
    const el = $(id);
    if (el && el.textContent !== text) el.textContent = text;
  }

  function setState(el, state, label) {
    el.className = el.className.replace(/\bst-\w+/g, '').trim() + ' st-' + state;
    el.innerHTML = '<span class="dot"></span>' + esc(label || STATE_TEXT[state]);
  }

  function renderChrome() {
    const doc = S.doc;
    const live = $('live');
    const banner = $('banner');
    const f = S.failing;
    if (!f) {
      live.className = 'live ok';
      setText('live-text', doc ? 'Live · updated ' + clock(S.lastOk) : 'Connecting…');
      banner.hidden = true;
    } else {
      live.className = 'live bad';
      banner.hidden = false;
      const action = $('banner-action');
      action.hidden = f.kind !== 'auth';
      if (f.kind === 'auth') {
        setText('live-text', 'Signed out');
        setText('banner-title', S.passwordChanged ? 'Password changed.' : 'Sign-in refused.');
        setText(
          'banner-text',
          S.passwordChanged
            ? 'The monitor now expects the new password. Sign in again to go on.'
            : 'The monitor did not accept the user name and password (they may have been changed, or the sign-in was cancelled). Updates have stopped.'
        );
      } else {
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
    }
    setText('brand-host', location.host);
    $('main').classList.toggle('stale', !!f);
    if (!doc) return;
    if (f) {
      // The last known states may no longer hold.
      setState($('pill-capture'), 'unknown', 'Capture unknown');
      setState($('pill-export'), 'unknown', 'Export unknown');
    } else {
      const cs = captureState(doc);
      const es = exportState(doc);
      setState($('pill-capture'), cs, 'Capture ' + STATE_TEXT[cs].toLowerCase());
      setState($('pill-export'), es, 'Export ' + STATE_TEXT[es].toLowerCase());
    }
    setText('nav-flows', F.fmtInt(doc.totalFlows));
    const sub = {
      overview: 'Listening on ' + listenerText(settings().listenerIP) + ' · updates every 2 s',
      flows: F.fmtInt(doc.totalFlows) + ' open flows · ' + F.fmtBytes(F.u32(doc.totalBytes)) + ' · ' + F.fmtInt(F.u32(doc.totalPkts)) + ' packets',
      processes: F.fmtInt(doc.totalTCPProcesses) + ' TCP and ' + F.fmtInt(doc.totalUDPProcesses) + ' UDP ports with a known owner',
      interfaces: 'Adapters and IPv4 addresses found by interface discovery',
      settings: 'Saved to vantrelsettings.json in the monitor’s working folder',
    }[S.view];
    setText('view-sub', sub);
  }

  function clock(ms) {
    return F.fmtTime(ms).slice(11);
  }

  // Overview

  let chartPps = null;
  let chartBps = null;

  function renderOverview() {
    const doc = S.doc;
    const st = settings();
    setText('k-packets', F.fmtInt(doc.snifferPacketCount));
    setText('k-flows', F.fmtInt(doc.totalFlows));
    setText('k-flows-sub', F.fmtInt(F.u32(doc.totalPkts)) + ' packets · ' + F.fmtBytes(F.u32(doc.totalBytes)));
    setText('k-toexport', F.fmtInt(doc.toExport));
    setText('k-sent', F.fmtInt(doc.exportsSent));
    const cs = captureState(doc);
    const es = exportState(doc);
    setState($('s-capture'), cs);
    setState($('s-export'), es);
    setText('s-listener', listenerText(st.listenerIP));
    setFlags('s-capture-flags', { keepSniffing: doc.keepSniffing, snifferRunning: doc.snifferRunning });
    setText('s-owners', F.fmtInt(doc.totalTCPProcesses) + ' TCP ports · ' + F.fmtInt(doc.totalUDPProcesses) + ' UDP ports');
    setText('s-collector', st.receiverIP === '0.0.0.0' ? 'off (0.0.0.0)'
      : st.receiverIP + ':' + st.receiverPort + (exportFormat(st) === 'ipfix' ? ' · IPFIX' : ''));
    setFlags('s-export-flags', { keepSendingExports: doc.keepSendingExports, exporterRunning: doc.exporterRunning });
    setText('s-web', 'port ' + st.httpPort + ' · user ' + st.user);

    if (!chartPps) {
      chartPps = new window.LiveChart($('chart-pps'), { format: F.fmtCompact, unit: 'pkt/s', colorVar: '--c-pkts' });
      chartBps = new window.LiveChart($('chart-bps'), { format: F.fmtBytesShort, unit: '/s', colorVar: '--c-bytes' });
    }
    const now = Date.now();
    chartPps.setData(S.samples.map((s) => ({ t: s.t, v: s.pps })), now, WINDOW_MS);
    chartBps.setData(S.samples.map((s) => ({ t: s.t, v: s.bps })), now, WINDOW_MS);
    const last = S.samples[S.samples.length - 1];
    setText('c-pps', last && last.pps !== null ? F.fmtCompact(last.pps) + ' pkt/s' : '–');
    setText('c-bps', last && last.bps !== null ? F.fmtBytes(last.bps) + '/s' : '–');
    $('chart-pps').setAttribute('aria-label', 'Packets per second over the last 5 minutes; now ' + $('c-pps').textContent);
    $('chart-bps').setAttribute('aria-label', 'Bytes per second over the last 5 minutes; now ' + $('c-bps').textContent);

    const fresh = S.docAt - S.flowsAt < POLL_MS * 2;
    renderBars($('o-top'), fresh ? F.processTotals(S.flows, 5) : null, 'No open flows yet.');
  }

  // The run-state flags as chips: struck through when false.
  function setFlags(id, flags) {
    const html = Object.keys(flags)
      .map((k) => '<span class="flag ' + (flags[k] ? 'on' : 'off') + '" title="' + k + ' is ' + !!flags[k] + '">' + k + '</span>')
      .join('');
    const el = $(id);
    if (el.innerHTML !== html) el.innerHTML = html;
  }

  // Horizontal bars of bytes per process; a click filters the flow table by it.
  function renderBars(el, totals, emptyText) {
    if (!totals) {
      el.innerHTML = '<p class="empty-inline">Too many open flows to total them here; see Flows.</p>';
      return;
    }
    if (!totals.length) {
      el.innerHTML = '<p class="empty-inline">' + esc(emptyText) + '</p>';
      return;
    }
    const max = totals[0].bytes || 1;
    el.style.gridTemplateRows = 'repeat(' + Math.ceil(totals.length / 2) + ', auto)'; // two columns, ranked top to bottom
    el.innerHTML = totals
      .map((t) => {
        const name = t.name ? F.baseName(t.name) : '';
        const label = name ? esc(name) : '<span class="muted">no owner (ICMP or unknown)</span>';
        const pct = Math.max(1, Math.round((t.bytes / max) * 100));
        return (
          '<button type="button" class="bar" data-process="' + esc(name) + '" title="' + esc(t.name || 'flows without a known owner') +
          (name ? ' — click to show only its flows' : '') + '">' +
          '<span class="bar-name">' + label + '</span>' +
          '<span class="bar-track"><span class="bar-fill" style="width:' + pct + '%"></span></span>' +
          '<span class="bar-val">' + F.fmtBytes(t.bytes) + '</span>' +
          '<span class="bar-sub">' + F.fmtInt(t.flows) + (t.flows === 1 ? ' flow' : ' flows') + '</span></button>'
        );
      })
      .join('');
  }

  // Flows

  function flowRowHtml(r, fresh) {
    const f = r.f;
    const dirTitle = f.inif ? 'Inbound: from another host to this one' : 'Outbound: sent by this host';
    const dscp = F.dscpName(f.tos);
    let proto = '<span class="proto p-' + r.proto.toLowerCase().replace(/\W/g, '') + '">' + esc(r.proto) + '</span>';
    if (r.icmp) proto += ' <span class="icmp" title="ICMP type ' + f.srcport + ', code ' + f.dstport + '">' + esc(r.icmp) + '</span>';
    const addr = (ip, port) =>
      esc(ip) + (f.proto === 6 || f.proto === 17 ? '<span class="port">:' + port + '</span>' : '');
    const flags = r.flags
      ? '<span class="flags" title="' + esc(F.tcpFlagNames(f.flags) || 'none') + '">' +
        r.flags.replace(/[A-Z]/g, '<b>$&</b>').replace(/\./g, '<i>·</i>') + '</span>'
      : '<span class="muted">–</span>';
    const proc = f.processname
      ? '<span class="proc" title="' + esc(f.processname) + '">' + esc(r.process) + '</span>'
      : '<span class="muted">–</span>';
    return (
      '<tr' + (fresh ? ' class="fresh"' : '') + '>' +
      '<td class="c-dir"><span class="dir dir-' + r.dir + '" title="' + dirTitle + '"><svg class="icon"><use href="#i-' + r.dir + '"/></svg>' + r.dir + '</span></td>' +
      '<td class="nowrap">' + proto + '</td>' +
      '<td class="mono">' + addr(f.srcip, f.srcport) + '</td>' +
      '<td class="mono">' + addr(f.dstip, f.dstport) + '</td>' +
      '<td class="num"' + (dscp ? ' title="' + dscp + '"' : '') + '>' + f.tos + (dscp && f.tos ? ' <span class="muted">' + dscp + '</span>' : '') + '</td>' +
      '<td class="num">' + F.fmtInt(r.pkts) + '</td>' +
      '<td class="num" title="' + F.fmtInt(r.bytes) + ' bytes">' + F.fmtBytes(r.bytes) + '</td>' +
      '<td class="mono">' + flags + '</td>' +
      '<td class="num">' + F.fmtAge(f.age) + '</td>' +
      '<td>' + proc + '</td>' +
      '<td>' + (f.user ? esc(f.user) : '<span class="muted">–</span>') + '</td>' +
      '<td>' + (f.domain ? esc(f.domain) : '<span class="muted">–</span>') + '</td>' +
      '</tr>'
    );
  }

  function renderFlows(force) {
    if (S.paused && !force) {
      setText('f-count', 'Paused · showing ' + clock(S.flowsShownAt || S.flowsAt));
      return;
    }
    S.flowsShownAt = S.flowsAt;
    const all = flowRows();
    const rows = filteredFlowRows();
    renderBars($('f-top'), F.processTotals(rows.map((r) => r.f), 10), all.length ? 'No flow matches the filter.' : 'No open flows yet.');

    const sorted = sortRows(rows, FLOW_KEYS[S.flowSort.key], S.flowSort.dir, (a, b) => b.bytes - a.bytes || cmpText(a.id, b.id));
    const shown = S.showAll ? sorted : sorted.slice(0, ROW_CAP);
    const wrap = $('f-wrap');
    const top = wrap.scrollTop;
    const left = wrap.scrollLeft;
    const known = S.shownIds;
    $('f-body').innerHTML = shown.map((r) => flowRowHtml(r, known && !known.has(r.id))).join('');
    S.shownIds = new Set(all.map((r) => r.id));
    wrap.scrollTop = top;
    wrap.scrollLeft = left;

    const empty = $('f-empty');
    empty.hidden = rows.length > 0;
    empty.textContent = all.length ? 'No flow matches the filter.' : 'No open flows. Flows appear here with their first packet and leave after 15 s without traffic.';
    const more = $('f-more');
    more.hidden = sorted.length <= ROW_CAP;
    more.textContent = S.showAll ? 'Show the first ' + ROW_CAP + ' only' : 'Show all ' + F.fmtInt(sorted.length) + ' flows';
    setText('f-count', (rows.length === all.length ? F.fmtInt(all.length) + ' flows' : F.fmtInt(rows.length) + ' of ' + F.fmtInt(all.length) + ' flows') +
      (shown.length < rows.length ? ' · first ' + shown.length + ' shown' : ''));
    markSort($('f-table'), S.flowSort);
  }

  function markSort(table, sort) {
    for (const th of table.querySelectorAll('th[data-key]')) {
      const on = th.dataset.key === sort.key;
      th.setAttribute('aria-sort', on ? (sort.dir > 0 ? 'ascending' : 'descending') : 'none');
    }
  }

  // Processes

  const PROC_KEYS = {
    port: (e) => e.port,
    pid: (e) => e.pid,
    name: (e) => F.baseName(e.name).toLowerCase(),
    user: (e) => String(e.user).toLowerCase(),
    domain: (e) => String(e.domain).toLowerCase(),
    firstseen: (e) => e.firstseen,
    age: (e) => e.age,
  };

  function renderProcTable(which, list) {
    const table = $('p-' + which);
    const sort = S.procSort[which];
    const tokens = filterTokens(S.procFilter);
    const rows = list.filter((e) => matches([e.port, e.pid, e.name, e.user, e.domain].join(' ').toLowerCase(), tokens));
    const sorted = sortRows(rows, PROC_KEYS[sort.key], sort.dir, (a, b) => a.port - b.port);
    const wrap = table.parentElement;
    const top = wrap.scrollTop;
    table.tBodies[0].innerHTML = sorted
      .map(
        (e) =>
          '<tr><td class="num">' + e.port + '</td><td class="num">' + e.pid + '</td>' +
          '<td><span class="proc" title="' + esc(e.name) + '">' + esc(F.baseName(e.name)) + '</span></td>' +
          '<td>' + (e.user ? esc(e.user) : '<span class="muted">–</span>') + '</td>' +
          '<td>' + (e.domain ? esc(e.domain) : '<span class="muted">–</span>') + '</td>' +
          '<td class="nowrap" title="last seen ' + esc(F.fmtTime(e.lastseen)) + '">' + esc(F.fmtTime(e.firstseen)) + '</td>' +
          '<td class="num">' + F.fmtAge(e.age) + '</td></tr>'
      )
      .join('');
    wrap.scrollTop = top;
    const empty = wrap.querySelector('.empty');
    empty.hidden = sorted.length > 0;
    empty.textContent = list.length ? 'No port matches the filter.' : 'No ' + which.toUpperCase() + ' port has been looked up yet.';
    setText('p-' + which + '-count', rows.length === list.length ? F.fmtInt(list.length) : F.fmtInt(rows.length) + ' of ' + F.fmtInt(list.length));
    markSort(table, sort);
  }

  function renderProcesses() {
    renderProcTable('tcp', S.tcp);
    renderProcTable('udp', S.udp);
  }

  // Interfaces

  function renderInterfaces() {
    const st = settings();
    const l = st.listenerIP;
    const list = interfaceList(S.doc);
    let lead;
    if (l === '0.0.0.0') lead = 'Capture is off (listener 0.0.0.0).';
    else if (!l) lead = 'Capture picks the first usable address automatically at its next run.';
    else lead = 'Capture listens on <b class="mono">' + esc(l) + '</b>' + (list.some((i) => i.ips.includes(l)) ? '.' : ', which no discovered interface has.');
    $('i-lead').innerHTML = lead + ' <a href="#settings" class="link">Change…</a>';
    if (!list.length) {
      $('i-grid').innerHTML = '<p class="empty-inline">Interface discovery has not recorded any adapter yet.</p>';
      return;
    }
    $('i-grid').innerHTML = list
      .map((i) => {
        const active = i.ips.includes(l);
        return (
          '<article class="card if-card' + (active ? ' active' : '') + '">' +
          '<div class="card-head"><h2><svg class="icon"><use href="#i-iface"/></svg>Interface ' + esc(i.index) + '</h2>' +
          (active ? '<span class="badge badge-accent">capture</span>' : '') + '</div>' +
          '<dl class="facts"><dt>Key</dt><dd class="mono">' + esc(i.key) + '</dd>' +
          '<dt>MAC</dt><dd class="mono">' + (i.mac ? esc(i.mac) : '<span class="muted">none reported</span>') + '</dd></dl>' +
          '<ul class="ips">' +
          (i.ips.length
            ? i.ips
                .map(
                  (ip) =>
                    '<li><span class="mono">' + esc(ip) + '</span>' +
                    (ip === l ? '<span class="badge badge-accent" title="The address capture uses">capture address</span>' : '') +
                    (!usableAddress(ip) ? '<span class="badge" title="0.0.0.0 and 127.0.0.1 are never chosen for capture">not used for capture</span>' : '') +
                    '</li>'
                )
                .join('')
            : '<li class="muted">no IPv4 address</li>') +
          '</ul></article>'
        );
      })
      .join('');
  }

  // Settings

  function listenerOptions(current) {
    const opts = [{ v: '', t: 'Automatic — first usable address' }];
    const seen = new Set();
    for (const i of interfaceList(S.doc)) {
      for (const ip of i.ips) {
        if (!usableAddress(ip) || seen.has(ip)) continue;
        seen.add(ip);
        opts.push({ v: ip, t: ip + ' — interface ' + i.index });
      }
    }
    if (current && current !== '0.0.0.0' && !seen.has(current)) opts.push({ v: current, t: current + ' — current, not on any discovered interface' });
    opts.push({ v: '0.0.0.0', t: 'Off — 0.0.0.0, capture stopped' });
    return opts;
  }

  function renderSettings() {
    const st = settings();
    const sel = $('set-listener');
    const opts = listenerOptions(st.listenerIP);
    const sig = opts.map((o) => o.v).join(',');
    if (sel.dataset.sig !== sig) {
      const keep = S.dirty.has('set-listener') ? sel.value : st.listenerIP;
      sel.innerHTML = opts.map((o) => '<option value="' + esc(o.v) + '">' + esc(o.t) + '</option>').join('');
      sel.dataset.sig = sig;
      sel.value = keep;
    }
    fill('set-listener', st.listenerIP);
    fill('set-rip', st.receiverIP);
    fill('set-rport', st.receiverPort);
    fill('set-hport', st.httpPort);
    fill('set-format', exportFormat(st));
    setText('set-user', st.user === undefined ? '–' : String(st.user));
  }

  // The export format in use: native unless the setting names ipfix.
  function exportFormat(st) {
    return st.exportFormat === 'ipfix' ? 'ipfix' : 'native';
  }

  // Puts the monitor's value in a field the person is not editing.
  function fill(id, value) {
    const el = $(id);
    if (S.dirty.has(id) || document.activeElement === el) return;
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
    const st = settings();
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
    if (format !== exportFormat(st)) out.exportFormat = format;
    return out;
  }

  const SETTING_OF_ARG = { listenerIP: 'listenerIP', receiverIP: 'receiverIP', receiverPort: 'receiverPort', httpPort: 'httpPort', exportFormat: 'exportFormat' };
  const ARG_LABEL = { listenerIP: 'listener', receiverIP: 'collector address', receiverPort: 'collector port', httpPort: 'web port', exportFormat: 'export format' };
  const FIELD_OF_ARG = { listenerIP: 'set-listener', receiverIP: 'set-rip', receiverPort: 'set-rport', httpPort: 'set-hport', exportFormat: 'set-format' };

  function showResult(id, kind, html) {
    const el = $(id);
    el.hidden = false;
    el.className = 'result result-' + kind;
    el.innerHTML = html;
  }

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
    await pollIdle();
    const t0 = Date.now();
    try {
      await getDoc(args, restart ? 180000 : 15000);
      // The answer still carries the settings as they were before the change; read them anew.
      const doc = await getDoc(null);
      takeDoc(doc, false, Date.now());
      S.lastOk = Date.now();
      S.failing = null;
      const st = doc.settings || {};
      const refused = names.filter((n) => String(st[SETTING_OF_ARG[n]]) !== String(changes[n]));
      for (const n of names) S.dirty.delete(FIELD_OF_ARG[n]);
      const took = ((Date.now() - t0) / 1000).toFixed(1);
      let msg;
      if (refused.length) {
        showResult('set-result', 'error', '<b>Not taken:</b> ' + refused.map((n) => esc(ARG_LABEL[n])).join(', ') +
          '. The monitor kept ' + refused.map((n) => esc(String(st[SETTING_OF_ARG[n]]))).join(', ') + '.');
      } else {
        msg = names.length ? 'Saved ' + names.map((n) => esc(ARG_LABEL[n])).join(', ') + ' at ' + clock(Date.now()) + '.' : 'No value changed.';
        if (restart) msg += ' Capture and export restarted (' + took + ' s): capture ' + STATE_TEXT[captureState(doc)].toLowerCase() + ', export ' + STATE_TEXT[exportState(doc)].toLowerCase() + '.';
        else if (names.some((n) => n !== 'httpPort')) msg += ' New addresses, ports and formats apply at the next capture or export run; use “Save and restart” to apply them now.';
        if (names.includes('httpPort')) msg += ' The web port changes at the next start of the program.';
        showResult('set-result', 'ok', '<svg class="icon"><use href="#i-check"/></svg>' + msg);
      }
    } catch (e) {
      fail(e);
      showResult('set-result', 'error', failText(e));
    }
    S.busy = false;
    setFormBusy(false);
    render();
    pollSoon();
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
    await pollIdle();
    try {
      await getDoc({ userPass: a });
      S.passwordChanged = true;
      $('pw-1').value = '';
      $('pw-2').value = '';
      showResult('pw-result', 'ok', '<svg class="icon"><use href="#i-check"/></svg>Password changed. Your browser will ask for the new password at the next update.');
    } catch (e) {
      fail(e);
      showResult('pw-result', 'error', failText(e));
    }
    S.busy = false;
    setFormBusy(false);
    pollSoon();
  }

  // ---- Views, sorting and input ---------------------------------------------------------------

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
    setText('view-title', title);
    document.title = title + ' · Vantrel';
    if (focus) $('main').focus({ preventScroll: true });
    render();
    if (changed && (name === 'processes' || name === 'flows')) pollSoon();
  }

  // Turns each column head into a button that sorts by it.
  function makeSortable(table, getSort, setSort) {
    for (const th of table.querySelectorAll('th[data-key]')) {
      const label = th.textContent;
      th.innerHTML = '';
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'sort';
      b.innerHTML = esc(label) + '<span class="sort-ind" aria-hidden="true"></span>';
      b.addEventListener('click', () => {
        const s = getSort();
        const key = th.dataset.key;
        const numeric = th.classList.contains('num') || key === 'dir' || key === 'firstseen';
        setSort(s.key === key ? { key, dir: -s.dir } : { key, dir: numeric ? -1 : 1 });
      });
      th.appendChild(b);
    }
  }

  function segmented(id, onChange) {
    const g = $(id);
    g.addEventListener('click', (e) => {
      const b = e.target.closest('button');
      if (!b) return;
      for (const x of g.querySelectorAll('button')) x.setAttribute('aria-pressed', String(x === b));
      onChange(b.dataset.v);
    });
  }

  function init() {
    makeSortable($('f-table'), () => S.flowSort, (s) => {
      S.flowSort = s;
      renderFlows(true);
    });
    for (const which of ['tcp', 'udp']) {
      makeSortable($('p-' + which), () => S.procSort[which], (s) => {
        S.procSort[which] = s;
        renderProcesses();
      });
    }
    $('f-filter').addEventListener('input', (e) => {
      S.flowFilter = e.target.value;
      renderFlows(true);
    });
    segmented('f-dir', (v) => {
      S.flowDir = v;
      renderFlows(true);
    });
    segmented('f-proto', (v) => {
      S.flowProto = v;
      renderFlows(true);
    });
    $('f-pause').addEventListener('click', () => {
      S.paused = !S.paused;
      const b = $('f-pause');
      b.setAttribute('aria-pressed', String(S.paused));
      b.querySelector('use').setAttribute('href', S.paused ? '#i-play' : '#i-pause');
      b.querySelector('span').textContent = S.paused ? 'Resume' : 'Pause';
      renderFlows(true);
    });
    $('f-more').addEventListener('click', () => {
      S.showAll = !S.showAll;
      renderFlows(true);
    });
    const barClick = (e) => {
      const b = e.target.closest('.bar');
      if (!b || !b.dataset.process) return;
      $('f-filter').value = b.dataset.process;
      S.flowFilter = b.dataset.process;
      if (S.view !== 'flows') location.hash = '#flows';
      else renderFlows(true);
    };
    $('f-top').addEventListener('click', barClick);
    $('o-top').addEventListener('click', barClick);
    $('p-filter').addEventListener('input', (e) => {
      S.procFilter = e.target.value;
      renderProcesses();
    });

    for (const id of ['set-listener', 'set-rip', 'set-rport', 'set-hport', 'set-format']) {
      $(id).addEventListener('input', () => {
        S.dirty.add(id);
        if ($(id).getAttribute('aria-invalid')) settingsChanges();
      });
    }
    $('settings-form').addEventListener('submit', (e) => {
      e.preventDefault();
      sendSettings(true);
    });
    $('set-save').addEventListener('click', () => sendSettings(false));
    $('set-reset').addEventListener('click', () => {
      S.dirty.clear();
      for (const id of ['set-rip', 'set-rport', 'set-hport']) showFieldError(id, '');
      $('set-result').hidden = true;
      $('set-listener').dataset.sig = '';
      renderSettings();
    });
    $('password-form').addEventListener('submit', (e) => {
      e.preventDefault();
      changePassword();
    });
    $('banner-action').addEventListener('click', () => location.reload());

    window.addEventListener('hashchange', () => showView(location.hash.slice(1), true));
    window.addEventListener('resize', () => S.view === 'overview' && renderOverview && S.doc && renderOverview());
    restoreSamples();
    showView(location.hash.slice(1), false);
    poll();
  }

  init();
})();
