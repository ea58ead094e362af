'use strict';
// The dashboard's pure helpers: rate arithmetic across counter restarts and
// wraps, input checks, and the protocol words the flow table shows.
const test = require('node:test');
const assert = require('node:assert/strict');
const F = require('../../resources/web/format.js');

const table = (name, fn, rows) =>
  test(name, () => {
    for (const [input, want] of rows) assert.deepEqual(fn(...input), want, name + ' of ' + JSON.stringify(input));
  });

table('packetDelta allows for a capture restart', F.packetDelta, [
  [[null, 5], null],
  [[10, 15], 5],
  [[5, 5], 0],
  [[100, 20], 20], // counter went back to 0 and counted 20 since
  [[100, 0], 0],
]);

test('flowByteDelta counts growth per flow, new flows whole, and wraps at 2^32', () => {
  const flow = (bytes, firstseen, srcport = 1000) => ({ proto: 6, srcip: '10.0.0.1', srcport, dstip: '10.0.0.2', dstport: 80, tos: 0, firstseen, bytes });
  const first = F.flowByteDelta(null, [flow(500, 1), flow(40, 1, 1001)]);
  assert.equal(first.bytes, 540);
  const second = F.flowByteDelta(first.seen, [flow(800, 1), flow(40, 1, 1001), flow(60, 1, 1002)]);
  assert.equal(second.bytes, 300 + 0 + 60);
  // The same key with a new first packet is a new record: counted whole.
  assert.equal(F.flowByteDelta(second.seen, [flow(100, 2)]).bytes, 100);
  // A signed 32-bit counter that passed 2^31 reads negative; growth is still 148.
  const before = F.flowByteDelta(null, [flow(2147483600, 1)]);
  assert.equal(F.flowByteDelta(before.seen, [flow(-2147483548, 1)]).bytes, 148);
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

test('processTotals adds up bytes and flows per process, largest first', () => {
  const flows = [
    { processname: '/usr/bin/a', bytes: 100, pkts: 1 },
    { processname: '/usr/bin/b', bytes: 300, pkts: 1 },
    { processname: '/usr/bin/a', bytes: 250, pkts: 2 },
    { processname: '', bytes: -2147483648, pkts: 1 }, // 2^31 bytes, read as unsigned
  ];
  assert.deepEqual(
    F.processTotals(flows, 2).map((t) => [t.name, t.bytes, t.flows]),
    [['', 2147483648, 1], ['/usr/bin/a', 350, 2]]
  );
});

table('niceTicks covers the maximum in round steps', F.niceTicks, [
  [[0, 3], [0, 1]],
  [[95, 3], [0, 50, 100]],
  [[1, 3], [0, 0.5, 1]],
  [[1200, 4], [0, 500, 1000, 1500]],
]);
