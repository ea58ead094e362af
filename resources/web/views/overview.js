// Overview: the counters, the state of capture, export and the web interface,
// the packet and byte rate charts, and the five busiest processes and services.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, S, setText, setState } = Vt;

  let chartPps = null;
  let chartBps = null;
  let owners = null; // the busiest owners, as the monitor totals them
  let peers = null; // the busiest named peers
  const OWNERS_READ = 100; // owners read to total the services from

  async function fetchOwners() {
    owners = (await Vt.getDoc({ requestedData: 'ownerTotals', ownerLimit: String(OWNERS_READ) })).ownerTotals || [];
    peers = (await Vt.getDoc({ requestedData: 'peerTotals', ownerLimit: '5' })).peerTotals || [];
  }

  // The five services with the most bytes among the owners read.
  function busiestServices(list) {
    const byName = new Map();
    for (const t of list) {
      if (!t.service) continue;
      const sum = byName.get(t.service) || { name: t.service, bytes: 0, flows: 0 };
      sum.bytes += t.bytes;
      sum.flows += t.flows;
      byName.set(t.service, sum);
    }
    return [...byName.values()].sort((a, b) => b.bytes - a.bytes || b.flows - a.flows).slice(0, 5);
  }

  function render() {
    const doc = S.doc;
    const st = Vt.settings();
    setText('k-packets', F.fmtInt(doc.snifferPacketCount));
    // Loss shows where the count is read, not only in the capture card.
    const dropped = Number(doc.snifferPacketsDropped) || 0;
    setText('k-dropped', F.fmtInt(dropped) + ' dropped by the kernel');
    $('k-dropped').hidden = dropped === 0;
    setText('s-dropped', dropped ? F.fmtInt(dropped) + (dropped === 1 ? ' packet' : ' packets') + ' since start' : 'none');
    $('s-dropped').classList.toggle('warn-text', dropped > 0);
    const skipped = Number(doc.exportsSkippedIPv6) || 0;
    setText('s-skipped6', skipped ? F.fmtInt(skipped) + ' since start (the native format carries IPv4 only; IPFIX carries them)' : 'none');
    setText('s-names', doc.nameTableNames === undefined ? '–'
      : F.fmtInt(doc.nameTableNames) + ' held · ' + F.fmtInt(doc.nameTableAnswers) + ' answers matched · ' +
        F.fmtInt(doc.nameTableUnsolicited) + ' unmatched · ' + F.fmtInt(doc.nameTableMalformed) + ' malformed · ' +
        F.fmtInt(doc.nameTableEvicted) + ' pushed out');
    setText('k-flows', F.fmtInt(doc.totalFlows));
    setText('k-flows-sub', F.fmtInt(F.u32(doc.totalPkts)) + ' packets · ' + F.fmtBytes(F.u32(doc.totalBytes)));
    setText('k-toexport', F.fmtInt(doc.toExport));
    setText('k-sent', F.fmtInt(doc.exportsSent));
    setState($('s-capture'), Vt.captureState(doc));
    setState($('s-export'), Vt.exportState(doc));
    setText('s-listener', Vt.listenerText(st.listenerIP));
    setFlags('s-capture-flags', { keepSniffing: doc.keepSniffing, snifferRunning: doc.snifferRunning });
    setText('s-capture-error', doc.captureError || 'none');
    setText('s-owners', F.fmtInt(doc.totalTCPProcesses) + ' TCP ports · ' + F.fmtInt(doc.totalUDPProcesses) + ' UDP ports');
    setText('s-owner-source', doc.ownerSource || '–');
    setText('s-collector', st.receiverIP === '0.0.0.0' ? 'off (0.0.0.0)'
      : st.receiverIP + ':' + st.receiverPort + (Vt.exportFormat(st) === 'ipfix' ? ' · IPFIX' : ''));
    setFlags('s-export-flags', { keepSendingExports: doc.keepSendingExports, exporterRunning: doc.exporterRunning });
    setText('s-web', 'port ' + st.httpPort + ' · user ' + st.user);
    renderCharts();
    if (owners) {
      Vt.renderBars($('o-top'), owners.slice(0, 5).map((t) => ({ name: t.processname, bytes: t.bytes, flows: t.flows })), 'No open flows yet.');
      Vt.renderBars($('o-services'), busiestServices(owners), 'No open flow of a known service yet.');
    }
    if (peers) Vt.renderBars($('o-peers'), peers.map((t) => ({ name: t.peername, bytes: t.bytes, flows: t.flows })), 'No named peers yet.');
  }

  function renderCharts() {
    if (!chartPps) {
      chartPps = new window.LiveChart($('chart-pps'), { format: F.fmtCompact, unit: 'pkt/s', colorVar: '--c-pkts' });
      chartBps = new window.LiveChart($('chart-bps'), { format: F.fmtBytesShort, unit: '/s', colorVar: '--c-bytes' });
    }
    const now = Date.now();
    chartPps.setData(S.samples.map((s) => ({ t: s.t, v: s.pps })), now, Vt.WINDOW_MS);
    chartBps.setData(S.samples.map((s) => ({ t: s.t, v: s.bps })), now, Vt.WINDOW_MS);
    const last = S.samples[S.samples.length - 1];
    setText('c-pps', last && last.pps !== null ? F.fmtCompact(last.pps) + ' pkt/s' : '–');
    setText('c-bps', last && last.bps !== null ? F.fmtBytes(last.bps) + '/s' : '–');
    $('chart-pps').setAttribute('aria-label', 'Packets per second over the last 15 minutes; now ' + $('c-pps').textContent);
    $('chart-bps').setAttribute('aria-label', 'Bytes per second over the last 15 minutes; now ' + $('c-bps').textContent);
  }

  // The run-state flags as chips: struck through when false.
  function setFlags(id, flags) {
    const html = Object.keys(flags)
      .map((k) => '<span class="flag ' + (flags[k] ? 'on' : 'off') + '" title="' + k + ' is ' + !!flags[k] + '">' + k + '</span>')
      .join('');
    const el = $(id);
    if (el.innerHTML !== html) el.innerHTML = html;
  }

  function init() {
    Vt.barsShowFlows($('o-top'));
    Vt.barsShowFlows($('o-services'));
    Vt.barsShowFlows($('o-peers'));
    window.addEventListener('resize', () => S.view === 'overview' && S.doc && render());
  }

  Vt.views.overview = {
    init,
    render,
    fetch: fetchOwners,
    subtitle: () => 'Listening on ' + Vt.listenerText(Vt.settings().listenerIP) + ' · updates every 2 s',
  };
})();
