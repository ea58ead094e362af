// Pure helpers of the dashboard: number, time and protocol formatting, input
// checks and chart axis ticks. No DOM access, so
// the same file runs in the page (as window.VtFormat) and under node's tests.
(function (root) {
  'use strict';

  const U32 = 4294967296;

  // Counters of the status document are signed 32-bit and wrap; shown and
  // summed as the unsigned numbers they stand for.
  function u32(n) {
    n = Number(n) || 0;
    return n < 0 ? n + U32 : n;
  }

  function escapeHtml(s) {
    return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
  }

  function fmtInt(n) {
    return Math.round(Number(n) || 0).toLocaleString('en-US');
  }

  // 1234 -> "1.23k"; used where space is short (chart axes, rates).
  function fmtCompact(n) {
    n = Number(n) || 0;
    const a = Math.abs(n);
    const units = [[1e12, 'T'], [1e9, 'G'], [1e6, 'M'], [1e3, 'k']];
    for (const [v, u] of units) {
      if (a >= v) return trim(n / v) + u;
    }
    return a >= 10 || n === Math.round(n) ? String(Math.round(n)) : n.toFixed(1);
  }

  function trim(x) {
    const a = Math.abs(x);
    return (a >= 100 ? x.toFixed(0) : a >= 10 ? x.toFixed(1) : x.toFixed(2)).replace(/\.?0+$/, '');
  }

  // Decimal units, as network tools count: 1 kB = 1000 B.
  function fmtBytes(n) {
    n = Number(n) || 0;
    const units = ['B', 'kB', 'MB', 'GB', 'TB'];
    let i = 0;
    while (Math.abs(n) >= 1000 && i < units.length - 1) {
      n /= 1000;
      i++;
    }
    if (i === 0) return Math.round(n) + ' B';
    return (Math.abs(n) >= 100 ? n.toFixed(0) : Math.abs(n) >= 10 ? n.toFixed(1) : n.toFixed(2)) + ' ' + units[i];
  }

  // The same without trailing zeros, for chart axes: "1.5 MB", "500 kB".
  function fmtBytesShort(n) {
    return fmtBytes(n).replace(/\.0+ /, ' ').replace(/(\.\d*?)0+ /, '$1 ');
  }

  // Milliseconds as a short duration: "0.4 s", "12 s", "4 m 05 s", "2 h 03 m", "3 d 4 h".
  function fmtAge(ms) {
    ms = Number(ms);
    if (!isFinite(ms) || ms < 0) return '–';
    if (ms < 10000) return (ms / 1000).toFixed(1) + ' s';
    const s = Math.floor(ms / 1000);
    if (s < 60) return s + ' s';
    const m = Math.floor(s / 60);
    if (m < 60) return m + ' m ' + String(s % 60).padStart(2, '0') + ' s';
    const h = Math.floor(m / 60);
    if (h < 24) return h + ' h ' + String(m % 60).padStart(2, '0') + ' m';
    return Math.floor(h / 24) + ' d ' + (h % 24) + ' h';
  }

  function pad2(n) {
    return String(n).padStart(2, '0');
  }

  // A timestamp (ms since 1970) as local "YYYY-MM-DD HH:MM:SS".
  function fmtTime(ms) {
    const d = new Date(Number(ms));
    if (isNaN(d.getTime())) return '–';
    return d.getFullYear() + '-' + pad2(d.getMonth() + 1) + '-' + pad2(d.getDate()) + ' ' +
      pad2(d.getHours()) + ':' + pad2(d.getMinutes()) + ':' + pad2(d.getSeconds());
  }

  const PROTOCOLS = {
    1: 'ICMP', 2: 'IGMP', 6: 'TCP', 17: 'UDP', 41: 'IPv6-in-IPv4', 47: 'GRE', 50: 'ESP', 51: 'AH', 58: 'ICMPv6', 89: 'OSPF',
    103: 'PIM', 112: 'VRRP', 132: 'SCTP',
  };

  function protoName(p) {
    return PROTOCOLS[p] || 'IP ' + p;
  }

  // ICMP types and the codes worth naming (IANA registry, IPv4).
  const ICMP = {
    0: ['Echo reply'],
    3: ['Destination unreachable', {
      0: 'Net unreachable', 1: 'Host unreachable', 2: 'Protocol unreachable', 3: 'Port unreachable',
      4: 'Fragmentation needed', 5: 'Source route failed', 6: 'Destination network unknown',
      7: 'Destination host unknown', 9: 'Network administratively prohibited',
      10: 'Host administratively prohibited', 13: 'Communication administratively prohibited',
    }],
    4: ['Source quench'],
    5: ['Redirect', { 0: 'Redirect for network', 1: 'Redirect for host', 2: 'Redirect for TOS and network', 3: 'Redirect for TOS and host' }],
    8: ['Echo request'],
    9: ['Router advertisement'],
    10: ['Router solicitation'],
    11: ['Time exceeded', { 0: 'TTL exceeded in transit', 1: 'Fragment reassembly time exceeded' }],
    12: ['Parameter problem'],
    13: ['Timestamp'],
    14: ['Timestamp reply'],
  };

  // ICMPv6 types and the codes worth naming (IANA registry).
  const ICMP6 = {
    1: ['Destination unreachable', {
      0: 'No route to destination', 1: 'Administratively prohibited', 2: 'Beyond scope of source address',
      3: 'Address unreachable', 4: 'Port unreachable', 5: 'Source address failed policy', 6: 'Reject route',
    }],
    2: ['Packet too big'],
    3: ['Time exceeded', { 0: 'Hop limit exceeded in transit', 1: 'Fragment reassembly time exceeded' }],
    4: ['Parameter problem', { 0: 'Erroneous header field', 1: 'Unrecognized next header', 2: 'Unrecognized IPv6 option' }],
    128: ['Echo request'],
    129: ['Echo reply'],
    130: ['Multicast listener query'],
    131: ['Multicast listener report'],
    132: ['Multicast listener done'],
    133: ['Router solicitation'],
    134: ['Router advertisement'],
    135: ['Neighbor solicitation'],
    136: ['Neighbor advertisement'],
    137: ['Redirect'],
    143: ['Multicast listener report v2'],
  };

  // ICMP (or, with proto 58, ICMPv6) type and code as words: the code's own
  // name when it has one.
  function icmpName(type, code, proto) {
    const t = (proto === 58 ? ICMP6 : ICMP)[type];
    if (!t) return 'Type ' + type + ' code ' + code;
    if (t[1] && t[1][code]) return t[1][code];
    return code ? t[0] + ' (code ' + code + ')' : t[0];
  }

  const DSCP = {
    0: 'BE', 8: 'CS1', 10: 'AF11', 12: 'AF12', 14: 'AF13', 16: 'CS2', 18: 'AF21', 20: 'AF22', 22: 'AF23',
    24: 'CS3', 26: 'AF31', 28: 'AF32', 30: 'AF33', 32: 'CS4', 34: 'AF41', 36: 'AF42', 38: 'AF43',
    40: 'CS5', 44: 'VA', 46: 'EF', 48: 'CS6', 56: 'CS7',
  };

  function dscpName(tos) {
    return DSCP[tos] || '';
  }

  // TCP flag bits from the most significant: CWR ECE URG ACK PSH RST SYN FIN.
  const FLAG_LETTERS = 'CEUAPRSF';
  const FLAG_NAMES = ['CWR', 'ECE', 'URG', 'ACK', 'PSH', 'RST', 'SYN', 'FIN'];

  // Eight positions, a letter for each flag seen and '.' for the others.
  function tcpFlags(flags) {
    let s = '';
    for (let i = 0; i < 8; i++) s += flags & (0x80 >> i) ? FLAG_LETTERS[i] : '.';
    return s;
  }

  function tcpFlagNames(flags) {
    const names = [];
    for (let i = 0; i < 8; i++) if (flags & (0x80 >> i)) names.push(FLAG_NAMES[i]);
    return names.join(' ');
  }

  // Whether `ip` is IPv6 text (it holds a colon; dotted IPv4 never does).
  function isIPv6Text(ip) {
    return String(ip).indexOf(':') >= 0;
  }

  // An address with its port as people write it: "10.0.0.1:80", "[2001:db8::1]:80";
  // the address alone when `port` is null.
  function endpoint(ip, port) {
    if (port === null || port === undefined) return String(ip);
    return (isIPv6Text(ip) ? '[' + ip + ']' : ip) + ':' + port;
  }

  function ipToNumber(ip) {
    const p = String(ip).split('.');
    if (p.length !== 4) return 0;
    return ((+p[0] * 256 + +p[1]) * 256 + +p[2]) * 256 + +p[3];
  }

  // Dotted decimal, four numbers 0-255 without leading zeros.
  function isIPv4(s) {
    return /^(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}$/.test(String(s));
  }

  // A port typed by a person: digits only, 1-65535. Returns the number or null.
  function parsePort(s) {
    s = String(s).trim();
    if (!/^\d{1,5}$/.test(s)) return null;
    const n = Number(s);
    return n >= 1 && n <= 65535 ? n : null;
  }

  // The last path segment of a process name ("/usr/bin/python3.11" -> "python3.11").
  function baseName(path) {
    const s = String(path || '');
    const i = s.lastIndexOf('/');
    return i >= 0 && i < s.length - 1 ? s.slice(i + 1) : s;
  }

  // Ticks for a chart axis from 0 to at least `max`: about `count` round steps.
  function niceTicks(max, count) {
    if (!(max > 0)) return [0, 1];
    const raw = max / count;
    const mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 2.5, 5, 10].map((m) => m * mag).find((s) => s >= raw);
    const ticks = [];
    for (let v = 0; v < max + step * 0.999; v += step) ticks.push(Number(v.toPrecision(12)));
    return ticks;
  }

  const api = {
    u32, escapeHtml, fmtInt, fmtCompact, fmtBytes, fmtBytesShort, fmtAge, fmtTime, protoName, icmpName, dscpName,
    tcpFlags, tcpFlagNames, isIPv6Text, endpoint, ipToNumber, isIPv4, parsePort, baseName, niceTicks,
  };
  if (typeof module !== 'undefined' && module.exports) module.exports = api;
  else root.VtFormat = api;
})(typeof self !== 'undefined' ? self : this);
