// Processes: the TCP and UDP port-owner tables, read while this view is shown,
// filtered by one text box and each sorted on its own.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc } = Vt;

  const V = {
    tcp: [],
    udp: [],
    filter: '',
    sort: { tcp: { key: 'port', dir: 1 }, udp: { key: 'port', dir: 1 } },
  };

  const KEYS = {
    port: (e) => e.port,
    pid: (e) => e.pid,
    name: (e) => F.baseName(e.name).toLowerCase(),
    user: (e) => String(e.user).toLowerCase(),
    domain: (e) => String(e.domain).toLowerCase(),
    service: (e) => String(e.service || '').toLowerCase(),
    container: (e) => String(e.container || ''),
    firstseen: (e) => e.firstseen,
    age: (e) => e.age,
  };

  // Reads both tables after each status document, one request at a time.
  async function readTables() {
    V.tcp = (await Vt.getDoc({ requestedData: 'tcpProcessIDs' })).tcpProcessIDs || [];
    V.udp = (await Vt.getDoc({ requestedData: 'udpProcessIDs' })).udpProcessIDs || [];
  }

  function renderTable(which, list) {
    const table = $('p-' + which);
    const sort = V.sort[which];
    const tokens = Vt.filterTokens(V.filter);
    const rows = list.filter((e) => Vt.matches([e.port, e.pid, e.name, e.user, e.domain, e.service, e.container].join(' ').toLowerCase(), tokens));
    const sorted = Vt.sortRows(rows, KEYS[sort.key], sort.dir, (a, b) => a.port - b.port);
    const wrap = table.parentElement;
    const top = wrap.scrollTop;
    table.tBodies[0].innerHTML = sorted
      .map(
        (e) =>
          '<tr><td class="num">' + e.port + '</td><td class="num">' + e.pid + '</td>' +
          '<td><span class="proc" title="' + esc(e.name) + '">' + esc(F.baseName(e.name)) + '</span></td>' +
          '<td>' + (e.user ? esc(e.user) : '<span class="muted">–</span>') + '</td>' +
          '<td>' + (e.domain ? esc(e.domain) : '<span class="muted">–</span>') + '</td>' +
          '<td>' + (e.service ? '<span class="proc" title="' + esc(e.service) + '">' + esc(e.service) + '</span>' : '<span class="muted">–</span>') + '</td>' +
          '<td class="mono">' + (e.container ? esc(e.container) : '<span class="muted">–</span>') + '</td>' +
          '<td class="nowrap" title="last seen ' + esc(F.fmtTime(e.lastseen)) + '">' + esc(F.fmtTime(e.firstseen)) + '</td>' +
          '<td class="num">' + F.fmtAge(e.age) + '</td></tr>'
      )
      .join('');
    wrap.scrollTop = top;
    const empty = wrap.querySelector('.empty');
    empty.hidden = sorted.length > 0;
    empty.textContent = list.length ? 'No port matches the filter.' : 'No ' + which.toUpperCase() + ' port has been looked up yet.';
    Vt.setText('p-' + which + '-count', rows.length === list.length ? F.fmtInt(list.length) : F.fmtInt(rows.length) + ' of ' + F.fmtInt(list.length));
    Vt.markSort(table, sort);
  }

  function render() {
    renderTable('tcp', V.tcp);
    renderTable('udp', V.udp);
  }

  function init() {
    for (const which of ['tcp', 'udp']) {
      Vt.makeSortable($('p-' + which), () => V.sort[which], (s) => {
        V.sort[which] = s;
        render();
      });
    }
    $('p-filter').addEventListener('input', (e) => {
      V.filter = e.target.value;
      render();
    });
  }

  Vt.views.processes = {
    init,
    render,
    subtitle: (doc) => F.fmtInt(doc.totalTCPProcesses) + ' TCP and ' + F.fmtInt(doc.totalUDPProcesses) + ' UDP ports with a known owner',
    fetch: readTables,
  };
})();
