// The collector's History view: the stacked chart and top list of the
// monitor's History view over the flows of every exporter the collector
// keeps, or of the one picked in the host selector. The state lives in the
// address's #fragment (host, range, by and the drill-down filters), so Back
// undoes a step and a view can be bookmarked.
(function () {
  'use strict';

  const F = window.VtFormat;
  const $ = (id) => document.getElementById(id);
  const esc = F.escapeHtml;
  const RANGES = { '1h': 3600000, '24h': 86400000, '7d': 7 * 86400000 };
  const GROUPS = ['process', 'peer', 'service', 'port', 'user'];
  const FILTERS = ['process', 'peer', 'port', 'service'];
  const DRILL = { process: 'peer', peer: 'process', port: 'process', service: 'process' };
  const REFRESH_MS = 30000;
  let chart = null;
  let asked = 0; // the newest request; older answers are dropped

  function readState() {
    const p = new URLSearchParams(location.hash.replace(/^#/, ''));
    const st = { range: p.get('range') || '1h', by: p.get('by') || 'process', host: p.get('host') || '' };
    st.since = Number(p.get('since')) || 0;
    st.until = Number(p.get('until')) || 0;
    if (!RANGES[st.range] && st.range !== 'custom') st.range = '1h';
    if (st.range === 'custom' && !(st.since > 0 && st.until > st.since)) st.range = '1h';
    if (!GROUPS.includes(st.by)) st.by = 'process';
    for (const f of FILTERS) if (p.get(f)) st[f] = p.get(f);
    return st;
  }

  function go(changes) {
    const st = Object.assign(readState(), changes);
    const p = new URLSearchParams();
    if (st.range !== 'custom') st.since = st.until = null;
    for (const k of ['host', 'range', 'since', 'until', 'by'].concat(FILTERS)) if (st[k] !== undefined && st[k] !== null && st[k] !== '') p.set(k, st[k]);
    location.hash = p.toString();
  }

  // Requests go out one at a time, in the order asked, so that the Digest
  // nonce counts reach the collector in order.
  let queue = Promise.resolve();
  function getJson(params) {
    const answer = queue.then(async () => {
      const res = await fetch('/data/?' + new URLSearchParams(params).toString(), { cache: 'no-store', credentials: 'same-origin' });
      if (!res.ok) throw new Error('HTTP ' + res.status);
      return res.json();
    });
    queue = answer.catch(() => {});
    return answer;
  }

  async function loadHosts() {
    const doc = await getJson({ requestedData: 'hosts' });
    const sel = $('f-host');
    const current = readState().host;
    sel.innerHTML = '<option value="">All hosts</option>' + (doc.hosts || []).map((h) =>
      '<option value="' + esc(h.host) + '">' + esc(h.host) + ' — ' + F.fmtInt(h.records) + ' records, last ' +
      esc(new Date(h.lastSeen).toLocaleString()) + '</option>').join('');
    sel.value = current;
  }

  function keyText(by, key) {
    if (key === '(other)') return 'all others';
    if (key === '') return by === 'process' ? 'no owner (ICMP or unknown)' : 'unknown';
    return by === 'process' ? F.baseName(key) : key;
  }

  function stepText(ms) {
    const [n, unit] = ms % 86400000 === 0 ? [ms / 86400000, 'day'] : ms % 3600000 === 0 ? [ms / 3600000, 'hour'] : [Math.round(ms / 60000), 'minute'];
    return n + ' ' + unit + (n === 1 ? '' : 's');
  }

  // The range asked for: a fixed one ends now; From–to is kept as chosen.
  function rangeOf(st) {
    if (st.range === 'custom') return [st.since, st.until];
    const until = Date.now();
    return [until - RANGES[st.range], until];
  }

  // A time as a datetime-local input shows it (local time, to the minute).
  function localInput(ms) {
    const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
    return d.toISOString().slice(0, 16);
  }

  function pressed(id, value) {
    for (const b of $(id).querySelectorAll('button')) b.setAttribute('aria-pressed', String(b.dataset.v === value));
  }

  async function show() {
    const st = readState();
    pressed('h-range', st.range);
    pressed('h-by', st.by);
    $('f-host').value = st.host;
    const crumbs = FILTERS.filter((f) => st[f] !== undefined);
    $('h-crumbs').innerHTML = crumbs.length
      ? crumbs.map((f) => '<button type="button" class="chip" data-filter="' + f + '">' + esc(f) + ': <b>' + esc(st[f]) + '</b> ×</button>').join('')
      : '<span class="muted">' + (st.host ? 'All traffic of ' + esc(st.host) : 'All traffic of all hosts') + '</span>';
    $('h-back').hidden = !crumbs.length;
    $('h-custom').hidden = st.range !== 'custom';
    if (st.range === 'custom' && document.activeElement !== $('h-from') && document.activeElement !== $('h-to')) {
      $('h-from').value = localInput(st.since);
      $('h-to').value = localInput(st.until);
    }
    const [since, until] = rangeOf(st);
    const params = { requestedData: 'usage', since, until, by: st.by, limit: 10 };
    if (st.host) params.host = st.host;
    for (const f of FILTERS) if (st[f] !== undefined) params[f] = st[f];
    const mine = ++asked;
    let u;
    try {
      u = (await getJson(params)).usage;
    } catch (e) {
      if (mine === asked) $('h-empty').textContent = 'The collector did not answer: ' + e.message;
      return;
    }
    if (mine !== asked || !u) return;
    if (!chart) chart = new window.VtStackedChart($('h-chart'));
    chart.setData(u.series, u.since, u.step);
    $('h-step').textContent = 'one point per ' + stepText(u.step);
    const drill = DRILL[st.by];
    $('h-body').innerHTML = u.top.map((t, i) => {
      const canDrill = drill && t.key !== '(other)' && t.key !== '';
      return '<tr' + (canDrill ? ' class="clickable" data-key="' + esc(t.key) + '"' : '') + '>' +
        '<td><span class="swatch" style="background:' + window.VtStackedChart.colorOf(i, t.key) + '"></span>' +
        '<span class="h-key" title="' + esc(t.key) + '">' + esc(keyText(st.by, t.key)) + '</span></td>' +
        '<td class="num">' + F.fmtBytes(t.bytes) + '</td><td class="num">' + F.fmtInt(t.pkts) + '</td><td class="num">' + F.fmtInt(t.flows) + '</td></tr>';
    }).join('');
    $('h-empty').hidden = u.top.length > 0;
    $('h-empty').textContent = u.error ? 'No answer from the store: ' + u.error + '.' : 'No traffic in this range.';
  }

  function init() {
    $('h-range').addEventListener('click', (e) => {
      const b = e.target.closest('button[data-v]');
      if (!b) return;
      if (b.dataset.v !== 'custom') return go({ range: b.dataset.v });
      // From–to starts as the range shown, to be narrowed or moved.
      const [since, until] = rangeOf(readState());
      go({ range: 'custom', since: Math.round(since), until: Math.round(until) });
    });
    $('h-by').addEventListener('click', (e) => {
      const b = e.target.closest('button[data-v]');
      if (b) go({ by: b.dataset.v });
    });
    $('h-apply').addEventListener('click', () => {
      const since = new Date($('h-from').value).getTime();
      const until = new Date($('h-to').value).getTime();
      if (since > 0 && until > since) go({ range: 'custom', since, until });
    });
    $('f-host').addEventListener('change', (e) => go({ host: e.target.value }));
    $('h-crumbs').addEventListener('click', (e) => {
      const b = e.target.closest('[data-filter]');
      if (b) go({ [b.dataset.filter]: null });
    });
    $('h-back').addEventListener('click', () => history.back());
    $('h-body').addEventListener('click', (e) => {
      const row = e.target.closest('tr[data-key]');
      if (!row) return;
      const st = readState();
      const key = row.dataset.key;
      go({ [st.by]: st.by === 'port' ? key.replace(/\/.*$/, '') : key, by: DRILL[st.by] });
    });
    window.addEventListener('hashchange', show);
    loadHosts().catch(() => {});
    show();
    setInterval(show, REFRESH_MS);
  }

  init();
})();
