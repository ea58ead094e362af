'use strict';
// The dashboard's pure helpers: counters read as unsigned, input checks, and
// the protocol words the flow table shows.
const test = require('node:test');
const assert = require('node:assert/strict');
const F = require('../../resources/web/format.js');

const table = (name, fn, rows) =>
  test(name, () => {
    for (const [input, want] of rows) assert.deepEqual(fn(...input), want, name + ' of ' + JSON.stringify(input));
  });

table('tcpFlags shows one letter per flag seen', F.tcpFlags, [
  [[0], '........'],
  [[0x02], '......S.'],
  [[0x12], '...A..S.'],
  [[0x19], '...AP..F'],
  [[0x14], '...A.R..'],
  [[0xff], 'CEUAPRSF'],
]);

table('icmpName names type and code', F.icmpName, [
  [[8, 0], 'Echo request'],
  [[0, 0], 'Echo reply'],
  [[3, 3], 'Port unreachable'],
  [[3, 15], 'Destination unreachable (code 15)'],
  [[11, 0], 'TTL exceeded in transit'],
  [[42, 1], 'Type 42 code 1'],
  [[128, 0, 58], 'Echo request'],
  [[1, 4, 58], 'Port unreachable'],
  [[135, 0, 58], 'Neighbor solicitation'],
  [[8, 0, 58], 'Type 8 code 0'],
  [[3, 0, 58], 'Hop limit exceeded in transit'],
]);

table('endpoint brackets IPv6 addresses that carry a port', F.endpoint, [
  [['10.0.0.1', 443], '10.0.0.1:443'],
  [['2001:db8::1', 443], '[2001:db8::1]:443'],
  [['::ffff:10.0.0.1', 0], '[::ffff:10.0.0.1]:0'],
  [['fe80::1', null], 'fe80::1'],
  [['10.0.0.1', undefined], '10.0.0.1'],
]);

table('isIPv4 takes dotted decimal only', F.isIPv4, [
  [['0.0.0.0'], true],
  [['255.255.255.255'], true],
  [['10.203.7.1'], true],
  [['256.1.1.1'], false],
  [['1.2.3'], false],
  [['1.2.3.4.5'], false],
  [['01.2.3.4'], false],
  [['1.2.3.4 '], false],
  [[''], false],
  [['a.b.c.d'], false],
]);

table('parsePort takes 1 to 65535 as digits', F.parsePort, [
  [['1'], 1],
  [['2056'], 2056],
  [[' 80 '], 80],
  [['65535'], 65535],
  [['0'], null],
  [['65536'], null],
  [['80a'], null],
  [['-1'], null],
  [['+80'], null],
  [[''], null],
]);

table('fmtBytes uses decimal units', F.fmtBytes, [
  [[0], '0 B'],
  [[999], '999 B'],
  [[1000], '1.00 kB'],
  [[123456], '123 kB'],
  [[1.5e9], '1.50 GB'],
]);

table('fmtAge reads as a short duration', F.fmtAge, [
  [[400], '0.4 s'],
  [[12000], '12 s'],
  [[65000], '1 m 05 s'],
  [[7380000], '2 h 03 m'],
  [[-1], '–'],
]);

table('niceTicks covers the maximum in round steps', F.niceTicks, [
  [[0, 3], [0, 1]],
  [[95, 3], [0, 50, 100]],
  [[1, 3], [0, 0.5, 1]],
  [[1200, 4], [0, 500, 1000, 1500]],
]);
