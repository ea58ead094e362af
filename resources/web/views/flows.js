// Flows: one page of the open flows as a table, sorted, filtered (text,
// direction, protocol) and cut into pages by the monitor, with the busiest
// processes above it and downloads of every matching flow.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc, S, setText } = Vt;

  const PAGE_SIZE = 200; // rows a page: more would take a slow phone longer to lay out than a poll lasts

  const V = {
    sort: { key: 'bytes', dir: -1 },
    filter: '',
    dir: '', // '' | 'in' | 'out'
    proto: '', // '' or a protocol number
    page: 1,
    paused: false,
    doc: null, // the last page read: its flows and flowsMatched
    owners: null, // the last totals per owner read
    readAt: 0, // when the page was read
    drawn: false,
    asked: '', // the query of the page shown, to tell a new question from a refresh
  };

  // The monitor's flow member behind each column.
  const COLUMN = {
    dir: 'inif', proto: 'proto', src: 'srcip', dst: 'dstip', tos: 'tos', pkts: 'pkts', bytes: 'bytes', flags: 'flags',
    age: 'age', process: 'processname', user: 'user', domain: 'domain', service: 'service', container: 'container',
  };

  // The selection arguments of what the table shows; without a page for a download.
  function selection(paged) {
    const words = [V.filter.trim()];
    if (V.dir) words.push(V.dir === 'in' ? 'inif=1' : 'inif=0');
    if (V.proto) words.push('proto=' + V.proto);
    const q = { requestedData: 'flows', sortBy: COLUMN[V.sort.key], sortOrder: V.sort.dir > 0 ? 'asc' : 'desc', filter: words.join(' ').trim() };
    if (paged) Object.assign(q, { pageSize: String(PAGE_SIZE), page: String(V.page) });
    return q;
  }

  // The page shown; while paused, only a question the person changed is asked.
  async function readPage() {
    const q = selection(true);
    const key = JSON.stringify(q);
    if (V.paused && V.doc && key === V.asked) return;
    const doc = await Vt.getDoc(q);
    V.doc = doc;
    V.asked = key;
    V.readAt = Date.now();
  }

  // A poll's share: the page and the busiest processes.
  async function fetchPage() {
    await readPage();
    V.owners = (await Vt.getDoc({ requestedData: 'ownerTotals', ownerLimit: '10' })).ownerTotals || [];
  }

  // What a table row shows of one flow.
  function displayRow(f) {
    const proto = F.protoName(f.proto);
    const ports = f.proto === 6 || f.proto === 17;
    return {
      f,
      dir: f.inif ? 'in' : 'out',
      proto,
      icmp: f.proto === 1 || f.proto === 58 ? F.icmpName(f.srcport, f.dstport, f.proto) : '',
      process: F.baseName(f.processname),
      flags: f.proto === 6 ? F.tcpFlags(f.flags) : '',
      pkts: F.u32(f.pkts),
      bytes: F.u32(f.bytes),
      src: F.endpoint(f.srcip, ports ? f.srcport : null),
      dst: F.endpoint(f.dstip, ports ? f.dstport : null),
    };
  }

  // An address cell. An IPv6 address may wrap after a colon, never inside a
  // group, so a long one takes two lines of a narrow column instead of
  // widening the table; its whole text is in the title too.
  function addrHtml(ip, port, endpoint) {
    const portHtml = port === null ? '' : '<span class="port">:' + port + '</span>';
    if (!F.isIPv6Text(ip)) return esc(ip) + portHtml;
    const groups = esc(ip).replace(/:/g, ':<wbr>');
    return '<span class="addr6" title="' + esc(endpoint) + '">' + (port === null ? groups : '[' + groups + ']' + portHtml) + '</span>';
  }

  // The remote end's name, above its address, with where it came from.
  function peerHtml(f) {
    if (!f.peername) return '';
    const from = { dns: 'the name this host looked up', tls: 'the TLS server name', quic: 'the QUIC server name' }[f.namesource] || f.namesource;
    return '<span class="peername" title="' + esc(f.peername) + ' (' + esc(from) + ')">' + esc(f.peername) + '</span>';
  }

  function rowHtml(r, fresh) {
    const f = r.f;
    const dirTitle = f.inif ? 'Inbound: from another host to this one' : 'Outbound: sent by this host';
    const dscp = F.dscpName(f.tos);
    let proto = '<span class="proto p-' + r.proto.toLowerCase().replace(/\W/g, '') + '">' + esc(r.proto) + '</span>';
    if (r.icmp) proto += ' <span class="icmp" title="' + esc(r.icmp) + ': ' + r.proto + ' type ' + f.srcport + ', code ' + f.dstport + '">' + esc(r.icmp) + '</span>';
    const ports = f.proto === 6 || f.proto === 17;
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
      '<td class="mono">' + (f.inif ? peerHtml(f) : '') + addrHtml(f.srcip, ports ? f.srcport : null, r.src) + '</td>' +
      '<td class="mono">' + (f.inif ? '' : peerHtml(f)) + addrHtml(f.dstip, ports ? f.dstport : null, r.dst) + '</td>' +
      '<td class="num"' + (dscp ? ' title="' + dscp + '"' : '') + '>' + f.tos + (dscp && f.tos ? ' <span class="muted">' + dscp + '</span>' : '') + '</td>' +
      '<td class="num">' + F.fmtInt(r.pkts) + '</td>' +
      '<td class="num" title="' + F.fmtInt(r.bytes) + ' bytes">' + F.fmtBytes(r.bytes) + '</td>' +
      '<td class="mono">' + flags + '</td>' +
      '<td class="num">' + F.fmtAge(f.age) + '</td>' +
      '<td>' + proc + '</td>' +
      '<td>' + (f.user ? esc(f.user) : '<span class="muted">–</span>') + '</td>' +
      '<td>' + (f.domain ? esc(f.domain) : '<span class="muted">–</span>') + '</td>' +
      '<td>' + (f.service ? '<span class="proc" title="' + esc(f.service) + '">' + esc(f.service) + '</span>' : '<span class="muted">–</span>') + '</td>' +
      '<td class="mono">' + (f.container ? esc(f.container) : '<span class="muted">–</span>') + '</td>' +
      '</tr>'
    );
  }

  // Draws the page last read.
  function render() {
    const doc = V.doc;
    if (!doc) {
      setText('f-count', 'Reading the flows…');
      return;
    }
    const total = S.doc ? S.doc.totalFlows : 0;
    const matched = doc.flowsMatched || 0;
    const flows = doc.flows || [];
    const owners = (V.owners || []).map((t) => ({ name: t.processname, bytes: t.bytes, flows: t.flows }));
    Vt.renderBars($('f-top'), owners, 'No open flows yet.');

    const wrap = $('f-wrap');
    const top = wrap.scrollTop;
    const left = wrap.scrollLeft;
    // Marked as new: flows whose first packet came since the previous read.
    const drawnBefore = V.drawn;
    $('f-body').innerHTML = flows
      .map((f) => rowHtml(displayRow(f), drawnBefore && f.lastseen + f.age - f.firstseen < Vt.POLL_MS))
      .join('');
    V.drawn = true;
    wrap.scrollTop = top;
    wrap.scrollLeft = left;

    const empty = $('f-empty');
    empty.hidden = flows.length > 0;
    empty.textContent = !total
      ? 'No open flows. Flows appear here with their first packet and leave after 15 s without traffic.'
      : matched
        ? 'No flow on this page: go back a page.'
        : 'No flow matches the filter.';
    const pages = Math.max(1, Math.ceil(matched / PAGE_SIZE));
    $('f-prev').disabled = V.page <= 1;
    $('f-next').disabled = V.page >= pages;
    $('f-pager').hidden = pages <= 1 && V.page <= 1;
    setText('f-page', 'Page ' + F.fmtInt(V.page) + ' of ' + F.fmtInt(pages));
    const first = (V.page - 1) * PAGE_SIZE;
    setText('f-count', (matched === total ? F.fmtInt(total) + ' flows' : F.fmtInt(matched) + ' of ' + F.fmtInt(total) + ' flows') +
      (flows.length && flows.length < matched ? ' · ' + F.fmtInt(first + 1) + '–' + F.fmtInt(first + flows.length) + ' shown' : '') +
      (V.paused ? ' · paused at ' + Vt.clock(V.readAt) : ''));
    Vt.markSort($('f-table'), V.sort);
  }

  // The person changed the question: the first page of the new answer, drawn
  // as soon as it comes. Typing waits for a pause, so each key does not ask.
  let askTimer = null;
  function ask(delayMs, keepPage) {
    if (!keepPage) V.page = 1;
    clearTimeout(askTimer);
    askTimer = setTimeout(async () => {
      try {
        await readPage();
      } catch (e) {
        return; // the next poll tells
      }
      if (S.view === 'flows') render();
    }, delayMs || 0);
  }

  // Shows the flows whose text holds `process`, switching to this view.
  function showProcess(process) {
    $('f-filter').value = process;
    V.filter = process;
    if (S.view !== 'flows') location.hash = '#flows';
    else ask();
  }

  // Every matching flow, in the table's order, as a file: the one request
  // that lists them all.
  async function download(format) {
    const button = $('f-' + format);
    button.disabled = true;
    try {
      const flows = JSON.parse(await Vt.getText(selection(false))).flows || [];
      let text;
      if (format === 'json') {
        text = JSON.stringify(flows, null, 1);
      } else {
        const cols = ['inif', 'outif', 'family', 'proto', 'srcip', 'srcport', 'dstip', 'dstport', 'tos', 'pkts', 'bytes', 'flags', 'firstseen', 'lastseen', 'age', 'processname', 'user', 'domain', 'service', 'container', 'peername', 'namesource'];
        const cell = (v) => (typeof v === 'string' ? '"' + v.replace(/"/g, '""') + '"' : String(v));
        text = cols.join(',') + '\n' + flows.map((f) => cols.map((c) => cell(f[c])).join(',')).join('\n') + '\n';
      }
      const a = document.createElement('a');
      a.href = URL.createObjectURL(new Blob([text], { type: format === 'json' ? 'application/json' : 'text/csv' }));
      a.download = 'flows-' + new Date().toISOString().slice(0, 19).replace(/[T:]/g, '-') + '.' + format;
      a.click();
      setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    } catch (e) {
      setText('f-count', e.status === 503 ? 'The monitor is writing another full list; try again in a moment.' : 'The download failed.');
    }
    button.disabled = false;
  }

  function init() {
    Vt.makeSortable($('f-table'), () => V.sort, (s) => {
      V.sort = s;
      Vt.markSort($('f-table'), V.sort); // at once; the rows follow when the monitor answers
      ask();
    });
    $('f-filter').addEventListener('input', (e) => {
      V.filter = e.target.value;
      ask(250);
    });
    Vt.segmented('f-dir', (v) => {
      V.dir = v;
      ask();
    });
    Vt.segmented('f-proto', (v) => {
      V.proto = v;
      ask();
    });
    $('f-pause').addEventListener('click', () => {
      V.paused = !V.paused;
      const b = $('f-pause');
      b.setAttribute('aria-pressed', String(V.paused));
      b.querySelector('use').setAttribute('href', V.paused ? '#i-play' : '#i-pause');
      b.querySelector('span').textContent = V.paused ? 'Resume' : 'Pause';
      render();
    });
    for (const [id, step] of [['f-prev', -1], ['f-next', 1]]) {
      $(id).addEventListener('click', () => {
        V.page = Math.max(1, V.page + step);
        $('f-wrap').scrollTop = 0;
        ask(0, true);
      });
    }
    $('f-csv').addEventListener('click', () => download('csv'));
    $('f-json').addEventListener('click', () => download('json'));
    Vt.barsShowFlows($('f-top'));
  }

  Vt.views.flows = {
    init,
    render,
    fetch: fetchPage,
    subtitle: (doc) => F.fmtInt(doc.totalFlows) + ' open flows · ' + F.fmtBytes(F.u32(doc.totalBytes)) + ' · ' + F.fmtInt(F.u32(doc.totalPkts)) + ' packets',
    showProcess,
  };
})();
