// Flows: the open flows as a table, sorted by any column and filtered by text,
// direction and protocol, with the busiest processes of the filtered flows above it.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc, S, setText } = Vt;

  const ROW_CAP = 500; // rows drawn before "Show all"

  const V = {
    sort: { key: 'bytes', dir: -1 },
    filter: '',
    dir: '', // '' | 'in' | 'out'
    proto: '', // '' or a protocol number
    paused: false,
    showAll: false,
    shownIds: null, // the flows drawn last time, to mark new ones
    shownAt: 0, // when the flows drawn were read
    rows: null, // display rows of `rowsOf`
    rowsOf: null,
  };

  // One display row per flow, built once per flow list.
  function flowRows() {
    if (V.rowsOf === S.flows) return V.rows;
    V.rowsOf = S.flows;
    V.rows = S.flows.map((f) => {
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
    return V.rows;
  }

  function filteredRows() {
    const tokens = Vt.filterTokens(V.filter);
    return flowRows().filter(
      (r) => (!V.dir || r.dir === V.dir) && (!V.proto || String(r.f.proto) === V.proto) && Vt.matches(r.text, tokens)
    );
  }

  const KEYS = {
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

  function rowHtml(r, fresh) {
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

  // Draws the table; while paused only a change the person made (`force`) redraws it.
  function render(force) {
    if (V.paused && !force) {
      setText('f-count', 'Paused · showing ' + Vt.clock(V.shownAt || S.flowsAt));
      return;
    }
    V.shownAt = S.flowsAt;
    const all = flowRows();
    const rows = filteredRows();
    Vt.renderBars($('f-top'), F.processTotals(rows.map((r) => r.f), 10), all.length ? 'No flow matches the filter.' : 'No open flows yet.');

    const sorted = Vt.sortRows(rows, KEYS[V.sort.key], V.sort.dir, (a, b) => b.bytes - a.bytes || Vt.cmpText(a.id, b.id));
    const shown = V.showAll ? sorted : sorted.slice(0, ROW_CAP);
    const wrap = $('f-wrap');
    const top = wrap.scrollTop;
    const left = wrap.scrollLeft;
    const known = V.shownIds;
    $('f-body').innerHTML = shown.map((r) => rowHtml(r, known && !known.has(r.id))).join('');
    V.shownIds = new Set(all.map((r) => r.id));
    wrap.scrollTop = top;
    wrap.scrollLeft = left;

    const empty = $('f-empty');
    empty.hidden = rows.length > 0;
    empty.textContent = all.length ? 'No flow matches the filter.' : 'No open flows. Flows appear here with their first packet and leave after 15 s without traffic.';
    const more = $('f-more');
    more.hidden = sorted.length <= ROW_CAP;
    more.textContent = V.showAll ? 'Show the first ' + ROW_CAP + ' only' : 'Show all ' + F.fmtInt(sorted.length) + ' flows';
    setText('f-count', (rows.length === all.length ? F.fmtInt(all.length) + ' flows' : F.fmtInt(rows.length) + ' of ' + F.fmtInt(all.length) + ' flows') +
      (shown.length < rows.length ? ' · first ' + shown.length + ' shown' : ''));
    Vt.markSort($('f-table'), V.sort);
  }

  // Shows the flows whose text holds `process`, switching to this view.
  function showProcess(process) {
    $('f-filter').value = process;
    V.filter = process;
    if (S.view !== 'flows') location.hash = '#flows';
    else render(true);
  }

  function init() {
    Vt.makeSortable($('f-table'), () => V.sort, (s) => {
      V.sort = s;
      render(true);
    });
    $('f-filter').addEventListener('input', (e) => {
      V.filter = e.target.value;
      render(true);
    });
    Vt.segmented('f-dir', (v) => {
      V.dir = v;
      render(true);
    });
    Vt.segmented('f-proto', (v) => {
      V.proto = v;
      render(true);
    });
    $('f-pause').addEventListener('click', () => {
      V.paused = !V.paused;
      const b = $('f-pause');
      b.setAttribute('aria-pressed', String(V.paused));
      b.querySelector('use').setAttribute('href', V.paused ? '#i-play' : '#i-pause');
      b.querySelector('span').textContent = V.paused ? 'Resume' : 'Pause';
      render(true);
    });
    $('f-more').addEventListener('click', () => {
      V.showAll = !V.showAll;
      render(true);
    });
    Vt.barsShowFlows($('f-top'));
  }

  Vt.views.flows = {
    init,
    render: () => render(false),
    subtitle: (doc) => F.fmtInt(doc.totalFlows) + ' open flows · ' + F.fmtBytes(F.u32(doc.totalBytes)) + ' · ' + F.fmtInt(F.u32(doc.totalPkts)) + ' packets',
    needsFlows: true, // fetched however many there are
    showProcess,
  };
})();
