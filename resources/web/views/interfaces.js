// Interfaces: one card per discovered adapter with its addresses, the one
// capture listens on marked.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { $, esc, S } = Vt;

  function render() {
    const l = Vt.settings().listenerIP;
    const list = Vt.interfaceList(S.doc);
    let lead;
    if (l === '0.0.0.0') lead = 'Capture is off (listener 0.0.0.0).';
    else if (!l) lead = 'Capture picks the first usable address automatically at its next run.';
    else lead = 'Capture listens on <b class="mono">' + esc(l) + '</b>' + (list.some((i) => i.ips.includes(l)) ? '.' : ', which no discovered interface has.');
    $('i-lead').innerHTML = lead + ' <a href="#settings" class="link">Change…</a>';
    if (!list.length) {
      $('i-grid').innerHTML = '<p class="empty-inline">Interface discovery has not recorded any adapter yet.</p>';
      return;
    }
    $('i-grid').innerHTML = list.map((i) => cardHtml(i, l)).join('');
  }

  function cardHtml(i, listener) {
    const active = i.ips.includes(listener);
    const capture6 = Vt.settings().captureIPv6 !== false;
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
                (ip === listener ? '<span class="badge badge-accent" title="The address capture uses">capture address</span>' : '') +
                (!Vt.usableAddress(ip) ? '<span class="badge" title="0.0.0.0 and 127.0.0.1 are never chosen for capture">not used for capture</span>' : '') +
                '</li>'
            )
            .join('')
        : '<li class="muted">no IPv4 address</li>') +
      '</ul>' +
      (i.ips6.length
        ? '<ul class="ips ips6" aria-label="IPv6 addresses">' +
          i.ips6
            .map(
              (ip) =>
                '<li><span class="mono">' + esc(ip) + '</span>' +
                (/^fe[89ab]/i.test(ip) ? '<span class="badge" title="fe80::/10: reachable on this link only">link-local</span>' : '') +
                (active && capture6 ? '<span class="badge badge-accent" title="Capture reads this interface\'s IPv6 packets too">captured</span>' : '') +
                '</li>'
            )
            .join('') +
          '</ul>'
        : '') +
      '</article>'
    );
  }

  Vt.views.interfaces = {
    init() {},
    render,
    subtitle: () => 'Adapters and their IPv4 and IPv6 addresses found by interface discovery',
  };
})();
