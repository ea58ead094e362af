// History: what each program, peer, service, port or user sent and received
// over the last hour, day, week or a chosen range, from the monitor's history
// file. A stacked chart of the top ten (and the rest as "(other)") beside
// their totals; a click on a row narrows the view to it (a process to its
// peers, a peer, port or service to its processes). The whole state lives in
// the address after "#history?", so the browser's Back undoes a step and a
// view can be bookmarked.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc, S } = Vt;

  const RANGES = { '1h': 3600000, '24h': 86400000, '7d': 7 * 86400000 };
  const GROUPS = ['process', 'peer', 'service', 'port', 'user'];
  const FILTERS = ['process', 'peer', 'port', 'service'];
  const REFRESH_MS = 15000;
  // What a click on a row of each grouping narrows to, and the grouping shown then.
  const DRILL = { process: 'peer', peer: 'process', port: 'process', service: 'process' };

  const V = { usage: null, error: '', fetchedFor: '', fetchedAt: 0, chart: null };

  // The state the address holds, with defaults for what it leaves out.
  function readState() {
    const p = new URLSearchParams(location.hash.split('?')[1] || '');
    const st = { range: p.get('range') || '1h', by: p.get('by') || 'process' };
    if (!RANGES[st.range] && st.range !== 'custom') st.range = '1h';
    if (!GROUPS.includes(st.by)) st.by = 'process';
    st.since = Number(p.get('since')) || 0;
    st.until = Number(p.get('until')) || 0;
    if (st.range === 'custom' && !(st.since > 0 && st.until > st.since)) st.range = '1h';
    for (const f of FILTERS) if (p.get(f)) st[f] = p.get(f);
    return st;
  }

  function stateHash(st) {
    const p = new URLSearchParams();
    p.set('range', st.range);
    if (st.range === 'custom') {
      p.set('since', String(st.since));
      p.set('until', String(st.until));
    }
    p.set('by', st.by);
    for (const f of FILTERS) if (st[f] !== undefined && st[f] !== '') p.set(f, st[f]);
    return '#history?' + p.toString();
  }

  // A new state is a new address: one entry in the browser's history.
  function go(changes) {
    const st = Object.assign(readState(), changes);
    for (const f of FILTERS) if (st[f] === null) delete st[f];
    location.hash = stateHash(st);
  }

  function rangeOf(st) {
    if (st.range === 'custom') return [st.since, st.until];
    const until = Date.now();
    return [until - RANGES[st.range], until];
  }

  async function fetchUsage() {
    const st = readState();
    const key = stateHash(st);
    if (key === V.fetchedFor && Date.now() - V.fetchedAt < REFRESH_MS) return;
    const [since, until] = rangeOf(st);
    const params = { requestedData: 'usage', since, until, by: st.by, limit: 10 };
    for (const f of FILTERS) if (st[f] !== undefined) params[f] = st[f];
    const doc = await Vt.getDoc(params, 30000);
    V.usage = doc.usage || null;
    V.fetchedFor = key;
    V.fetchedAt = Date.now();
  }

  function keyText(by, key) {
    if (key === '(other)') return 'all others';
    if (key === '') return by === 'process' ? 'no owner (ICMP or unknown)' : by === 'peer' ? 'other peers (summed)' : 'unknown';
    return by === 'process' ? F.baseName(key) : key;
  }

  // "1 minute", "30 minutes", "2 hours", "1 day".
  function stepText(ms) {
    const [n, unit] = ms % 86400000 === 0 ? [ms / 86400000, 'day'] : ms % 3600000 === 0 ? [ms / 3600000, 'hour'] : [Math.round(ms / 60000), 'minute'];
    return n + ' ' + unit + (n === 1 ? '' : 's');
  }

  function pressed(id, value) {
    for (const b of $(id).querySelectorAll('button')) b.setAttribute('aria-pressed', String(b.dataset.v === value));
  }

  function localInput(ms) {
    const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
    return d.toISOString().slice(0, 16);
  }

  function render() {
    const st = readState();
    pressed('h-range', st.range);
    pressed('h-by', st.by);
    $('h-custom').hidden = st.range !== 'custom';
    if (st.range === 'custom' && document.activeElement !== $('h-from') && document.activeElement !== $('h-to')) {
      $('h-from').value = localInput(st.since);
      $('h-to').value = localInput(st.until);
    }
    const crumbs = FILTERS.filter((f) => st[f] !== undefined);
    $('h-crumbs').innerHTML = crumbs.length
      ? crumbs.map((f) => '<button type="button" class="chip" data-filter="' + f + '" title="Remove this filter">' + esc(f) + ': <b>' +
          esc(f === 'process' ? F.baseName(st[f]) : st[f]) + '</b> <span aria-hidden="true">×</span></button>').join('')
      : '<span class="muted">All traffic</span>';
    $('h-back').hidden = !crumbs.length;

    const u = V.usage;
    const fresh = u && V.fetchedFor === stateHash(st);
    const rows = fresh ? u.top : [];
    if (!V.chart) V.chart = new window.VtStackedChart($('h-chart'));
    V.chart.setData(fresh ? u.series : [], fresh ? u.since : 0, fresh ? u.step : 60000);
    Vt.setText('h-step', fresh ? 'one point per ' + stepText(u.step) : '');
    const drill = DRILL[st.by];
    $('h-body').innerHTML = rows
      .map((t, i) => {
        const canDrill = drill && t.key !== '(other)' && t.key !== '';
        return '<tr' + (canDrill ? ' class="clickable" data-key="' + esc(t.key) + '" title="Show ' + esc(drill === 'peer' ? 'its peers' : 'the processes behind it') + '"' : '') + '>' +
          '<td><span class="swatch" style="background:' + window.VtStackedChart.colorOf(i, t.key) + '"></span>' +
          '<span class="h-key" title="' + esc(t.key) + '">' + esc(keyText(st.by, t.key)) + '</span></td>' +
          '<td class="num">' + F.fmtBytes(t.bytes) + '</td><td class="num">' + F.fmtInt(t.pkts) + '</td><td class="num">' + F.fmtInt(t.flows) + '</td>' +
          '<td>' + (t.key !== '(other)' && t.key !== '' && st.by !== 'user' ? '<button type="button" class="btn btn-sm btn-ghost" data-open="' + esc(t.key) + '">Open flows</button>' : '') + '</td></tr>';
      })
      .join('');
    const empty = $('h-empty');
    empty.hidden = rows.length > 0;
    empty.textContent = !fresh ? 'Loading…' : u.error ? 'No history: ' + u.error + '.' : 'No traffic in this range.';
  }

  function init() {
    Vt.segmented('h-range', (v) => {
      if (v !== 'custom') return go({ range: v });
      const [since, until] = rangeOf(readState());
      go({ range: 'custom', since: Math.round(since), until: Math.round(until) });
    });
    Vt.segmented('h-by', (v) => go({ by: v }));
    $('h-apply').addEventListener('click', () => {
      const since = new Date($('h-from').value).getTime();
      const until = new Date($('h-to').value).getTime();
      if (since > 0 && until > since) go({ range: 'custom', since, until });
    });
    $('h-crumbs').addEventListener('click', (e) => {
      const b = e.target.closest('[data-filter]');
      if (b) go({ [b.dataset.filter]: null });
    });
    $('h-back').addEventListener('click', () => history.back());
    $('h-body').addEventListener('click', (e) => {
      const open = e.target.closest('[data-open]');
      if (open) {
        const key = open.dataset.open;
        Vt.views.flows.showProcess(readState().by === 'process' ? F.baseName(key) : key.replace(/\/(tcp|udp)$/, ''));
        return;
      }
      const row = e.target.closest('tr[data-key]');
      if (!row) return;
      const st = readState();
      const key = row.dataset.key;
      go({ [st.by]: st.by === 'port' ? key.replace(/\/.*$/, '') : key, by: DRILL[st.by] });
    });
    window.addEventListener('hashchange', () => {
      if (S.view === 'history') {
        render();
        Vt.pollSoon();
      }
    });
  }

  Vt.views.history = {
    init,
    render,
    fetch: fetchUsage,
    subtitle: () => 'Bytes sent and received, from the history the monitor keeps',
  };
})();
