'use strict';
// End-to-end test of the dashboard in Debian's headless Chromium, driven by
// playwright-core. The outer run (as root) builds two network namespaces
// joined by a veth pair, starts build/vantrel in one of them with traffic of
// its own (TCP, UDP and ICMP between the two, from processes with distinctive
// names), then runs this same file with --inner inside the monitor's
// namespace, where the browser and the node:test cases live. Everything the
// run started is killed and the namespaces are deleted, also on failure.
// Beside it runs the test-only build/vantrel-filled with 100,000 made-up open
// flows and fifteen minutes of history, for the dashboard of a busy host.
//
//   node dashboard.e2e.js            (VANTREL_BIN overrides ../../build/vantrel,
//                                     VANTREL_FILLED ../../build/vantrel-filled)
//   VT_UI_ONLY=busy node dashboard.e2e.js    only the busy host, its figures printed
//   VT_UI_DOCSHOT=docs/dashboard.jpg node dashboard.e2e.js   also writes the README picture

process.env.PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD = '1';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const HERE = __dirname;
const ROOT = path.resolve(HERE, '../..');
const OUTPUT = path.join(HERE, 'output');
const MON_IP = '10.203.7.1';
const PEER_IP = '10.203.7.2';
const WEB_PORT = 7909;
const BUSY_PORT = 7910;
const BUSY_FLOWS = 100000;
const USER = 'admin';
const PASS = 'qolpe';

if (process.argv[2] === '--inner') inner();
else outer();

// ---- Outside the namespaces: set-up, run, clean-up -------------------------------------------

function run(cmd, args) {
  const r = spawnSync(cmd, args, { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(cmd + ' ' + args.join(' ') + ' failed: ' + (r.stderr || r.error));
  return r.stdout;
}

async function outer() {
  if (process.getuid() !== 0) {
    console.log('SKIP: the dashboard test needs root (network namespaces, packet capture)');
    return;
  }
  const bin = path.resolve(process.env.VANTREL_BIN || path.join(ROOT, 'build/vantrel'));
  const filled = path.resolve(process.env.VANTREL_FILLED || path.join(ROOT, 'build/vantrel-filled'));
  for (const b of [bin, filled]) {
    if (!fs.existsSync(b)) {
      console.error('no monitor binary at ' + b + ' (build it with the tests first)');
      process.exit(1);
    }
  }
  const tag = 'vt-ui-' + process.pid;
  const mon = tag + '-mon';
  const peer = tag + '-peer';
  const vethMon = 'vtui' + (process.pid % 1000000) + 'm';
  const vethPeer = 'vtui' + (process.pid % 1000000) + 'p';
  const work = fs.mkdtempSync('/tmp/vt-ui-');
  const children = [];
  let cleaned = false;

  const cleanup = () => {
    if (cleaned) return;
    cleaned = true;
    for (const c of children.reverse()) {
      try {
        process.kill(-c.pid, 'SIGKILL');
      } catch (e) {
        /* already gone */
      }
    }
    for (const ns of [mon, peer]) spawnSync('ip', ['netns', 'del', ns]);
    for (const g of [...groups].reverse()) {
      for (let i = 0; i < 100 && fs.existsSync(g); i++) {
        try {
          fs.rmdirSync(g);
        } catch (e) {
          spawnSync('sleep', ['0.05']); // its processes are still ending
        }
      }
    }
    if (process.env.VT_UI_KEEP) console.error('kept the working folder ' + work);
    else fs.rmSync(work, { recursive: true, force: true });
  };
  process.on('exit', cleanup);
  for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(sig, () => {
      cleanup();
      process.exit(1);
    });
  }

  // Starts `argv` inside namespace `ns`, in a process group of its own.
  // The local server runs in a cgroup of the test's own, named like a
  // systemd service, so the page has a service to show.
  const cgroupRoot = (() => {
    for (const line of fs.readFileSync('/proc/self/mountinfo', 'utf8').split('\n')) {
      const f = line.split(' ');
      const dash = f.indexOf('-');
      if (dash > 0 && f[dash + 1] === 'cgroup2' && f[3] === '/') return f[4];
    }
    return '';
  })();
  const groups = cgroupRoot ? [cgroupRoot + '/' + tag, cgroupRoot + '/' + tag + '/vtui.slice', cgroupRoot + '/' + tag + '/vtui.slice/vtui-web.service'] : [];
  const start = (ns, argv, log, env, group) => {
    const out = fs.openSync(path.join(work, log), 'a');
    const args = ['netns', 'exec', ns, ...argv];
    const [cmd, cmdArgs] = group ? ['sh', ['-c', 'echo $$ > "$0/cgroup.procs" && exec ip "$@"', group, ...args]] : ['ip', args];
    const c = spawn(cmd, cmdArgs, { cwd: work, detached: true, stdio: ['ignore', out, out], env: { ...process.env, ...env } });
    fs.closeSync(out);
    children.push(c);
    return c;
  };

  let code = 1;
  let monitor = null;
  try {
    run('ip', ['netns', 'add', mon]);
    run('ip', ['netns', 'add', peer]);
    run('ip', ['link', 'add', vethMon, 'type', 'veth', 'peer', 'name', vethPeer]);
    run('ip', ['link', 'set', vethMon, 'netns', mon]);
    run('ip', ['link', 'set', vethPeer, 'netns', peer]);
    for (const [ns, dev, addr] of [[mon, vethMon, MON_IP], [peer, vethPeer, PEER_IP]]) {
      run('ip', ['-n', ns, 'link', 'set', 'lo', 'up']);
      run('ip', ['-n', ns, 'addr', 'add', addr + '/24', 'dev', dev]);
      run('ip', ['-n', ns, 'link', 'set', dev, 'up']);
    }

    // The monitor's working folder: its pages and settings, and the two
    // programs whose names the page must show (copies of the interpreter).
    fs.mkdirSync(path.join(work, 'resources'));
    fs.cpSync(path.join(ROOT, 'resources/web'), path.join(work, 'resources/web'), { recursive: true });
    const settings = { httpPort: WEB_PORT, listenerIP: MON_IP, pass: PASS, receiverIP: '127.0.0.1', receiverPort: 2056, user: USER };
    fs.writeFileSync(path.join(work, 'vantrelsettings.json'), JSON.stringify(settings, null, 3) + '\n');
    fs.mkdirSync(path.join(work, 'bin'));
    // The interpreter itself, not a wrapper script that would run under its own name.
    const python = fs.realpathSync(fs.existsSync('/usr/bin/python3') ? '/usr/bin/python3' : run('python3', ['-c', 'import sys; print(sys.executable)']).trim());
    for (const name of ['vtui-talker', 'vtui-server']) fs.copyFileSync(python, path.join(work, 'bin', name), fs.constants.COPYFILE_FICLONE);
    for (const name of ['vtui-talker', 'vtui-server']) fs.chmodSync(path.join(work, 'bin', name), 0o755);
    const traffic = path.join(HERE, 'traffic.py');
    const limit = process.env.VT_UI_DOCSHOT ? 900 : 300; // seconds the traffic programs live at most
    process.env.LIMIT = String(limit);

    start(mon, [python, traffic, 'sink', '127.0.0.1', '2056'], 'sink.log');
    start(mon, [python, traffic, 'sink', '127.0.0.1', '2057'], 'sink.log');
    monitor = start(mon, [bin], 'vantrel.log');
    // The busy host: its own folder, capture and export off.
    const busy = path.join(work, 'busy');
    fs.mkdirSync(path.join(busy, 'resources'), { recursive: true });
    fs.cpSync(path.join(ROOT, 'resources/web'), path.join(busy, 'resources/web'), { recursive: true });
    fs.writeFileSync(path.join(busy, 'vantrelsettings.json'), JSON.stringify({ ...settings, httpPort: BUSY_PORT, listenerIP: '0.0.0.0', receiverIP: '0.0.0.0' }));
    const busyOut = fs.openSync(path.join(work, 'filled.log'), 'a');
    children.push(spawn('ip', ['netns', 'exec', mon, filled, String(BUSY_FLOWS)], { cwd: busy, detached: true, stdio: ['ignore', busyOut, busyOut] }));
    fs.closeSync(busyOut);
    start(peer, [python, traffic, 'serve', PEER_IP], 'peer-serve.log');
    for (const g of groups) fs.mkdirSync(g);
    start(mon, [path.join(work, 'bin/vtui-server'), traffic, 'serve', MON_IP], 'mon-serve.log', {}, groups[2]);
    await waitForWeb(mon, WEB_PORT);
    await waitForWeb(mon, BUSY_PORT);
    start(mon, [path.join(work, 'bin/vtui-talker'), traffic, 'talk', PEER_IP], 'mon-talk.log');
    start(peer, [python, traffic, 'talk', MON_IP], 'peer-talk.log');
    start(peer, ['ping', '-q', '-i', '0.5', '-c', String(2 * limit), MON_IP], 'ping.log');

    fs.mkdirSync(OUTPUT, { recursive: true });
    const only = process.env.VT_UI_ONLY === 'busy' ? ['--test-name-pattern=^busy host'] : [];
    const inner = spawn('ip', ['netns', 'exec', mon, process.execPath, ...only, __filename, '--inner'], {
      stdio: 'inherit',
      env: { ...process.env, VT_UI_SERVICE: groups.length ? 'vtui-web.service' : '', VT_UI_URL: 'http://127.0.0.1:' + WEB_PORT + '/', VT_UI_BUSY_URL: 'http://127.0.0.1:' + BUSY_PORT + '/', VT_UI_WORK: work, VT_UI_MONITOR_PID: String(monitor.pid) },
    });
    children.push(inner);
    code = await new Promise((resolve) => inner.on('exit', (c, sig) => resolve(sig ? 1 : c)));
  } catch (e) {
    console.error(e);
    code = 1;
  }
  if (code !== 0) {
    for (const log of fs.existsSync(work) ? fs.readdirSync(work).filter((f) => f.endsWith('.log')) : []) {
      const lines = fs.readFileSync(path.join(work, log), 'utf8').split('\n');
      console.error('--- last lines of ' + log + '\n' + lines.slice(log === 'vantrel.log' ? -40 : -8).join('\n'));
    }
  }
  cleanup();
  process.exit(code);
}

// Waits until the web interface answers (401 without credentials).
async function waitForWeb(ns, port) {
  const until = Date.now() + 20000;
  while (Date.now() < until) {
    const r = spawnSync('ip', ['netns', 'exec', ns, 'curl', '-s', '-o', '/dev/null', '-w', '%{http_code}', '--max-time', '2', 'http://127.0.0.1:' + port + '/'], { encoding: 'utf8' });
    if (r.stdout === '401') return;
    await new Promise((r) => setTimeout(r, 200));
  }
  throw new Error('the web interface did not answer on port ' + port);
}

// ---- Inside the monitor's namespace: the browser ---------------------------------------------

function inner() {
  const { test, before, after } = require('node:test');
  const assert = require('node:assert/strict');
  const { chromium } = require('playwright-core');

  const url = process.env.VT_UI_URL;
  const work = process.env.VT_UI_WORK;
  const settingsFile = path.join(work, 'vantrelsettings.json');
  const readSettings = () => JSON.parse(fs.readFileSync(settingsFile, 'utf8'));
  const shot = (page, name) => page.screenshot({ path: path.join(OUTPUT, name + '.png') });
  let browser;
  let ctx;
  let page;
  let newPass = null;

  const COL = { dir: 0, proto: 1, src: 2, dst: 3, tos: 4, pkts: 5, bytes: 6, flags: 7, age: 8, process: 9, user: 10, domain: 11, service: 12, container: 13 };
  const SERVICE = process.env.VT_UI_SERVICE; // the local server's service ('' without a cgroup v2 hierarchy)

  // Every row of the flow table: cell texts, and the exact byte count from the cell's title.
  const flowRows = (p) =>
    (p || page).$$eval('#f-body tr', (trs) =>
      trs.map((tr) => {
        // An address cell's text without the peer name shown above it.
        const cells = [...tr.cells].map((c) => c.textContent.slice(c.querySelector('.peername')?.textContent.length || 0).trim());
        return { cells, bytes: Number(tr.cells[6].title.replace(/\D/g, '')) };
      })
    );

  const waitRows = async (predicate, what, timeout = 20000) => {
    const until = Date.now() + timeout;
    let rows = [];
    while (Date.now() < until) {
      rows = await flowRows();
      if (predicate(rows)) return rows;
      await page.waitForTimeout(250);
    }
    assert.fail('flow table never showed ' + what + '; last rows:\n' + rows.slice(0, 15).map((r) => r.cells.join(' | ')).join('\n'));
  };

  // The requests to /data/ that `action` makes: method, URL and body.
  const dataRequests = async (action) => {
    const seen = [];
    const note = (r) => /\/data\//.test(r.url()) && seen.push({ method: r.method(), url: r.url(), body: r.postData() || '' });
    page.on('request', note);
    try {
      await action();
    } finally {
      page.off('request', note);
    }
    return seen;
  };

  const go = async (view) => {
    await page.click('a[data-nav="' + view + '"]');
    await page.waitForSelector('#view-' + view + ':not([hidden])');
  };

  before(async () => {
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync'],
    });
    ctx = await browser.newContext({ viewport: { width: 1280, height: 860 }, httpCredentials: { username: USER, password: PASS } });
    page = await ctx.newPage();
    page.on('pageerror', (e) => console.error('page error: ' + e.message));
    if (process.env.VT_UI_DEBUG) {
      ctx.on('response', (r) => r.status() !== 200 && console.error(new Date().toISOString() + ' ' + r.status() + ' ' + r.url() + ' ' + (r.headers()['www-authenticate'] || '')));
    }
  });

  after(async () => {
    if (browser) await browser.close();
  });

  test('a browser without credentials gets the Digest challenge, not the page', async () => {
    const anon = await browser.newContext();
    const p = await anon.newPage();
    // Headless Chromium has no one to ask for a password and gives up on the page.
    await assert.rejects(p.goto(url), /ERR_INVALID_AUTH_CREDENTIALS/);
    const res = await anon.request.get(url + 'data/');
    assert.equal(res.status(), 401);
    assert.match(res.headers()['www-authenticate'] || '', /^Digest /);
    assert.match(await res.text(), /Access denied/);
    await anon.close();
  });

  test('signs in with Digest credentials and shows live counters and states', { timeout: 60000 }, async () => {
    const res = await page.goto(url + '#overview');
    assert.equal(res.status(), 200);
    await page.waitForSelector('#live.ok');
    await page.waitForFunction(() => Number(document.getElementById('k-packets').textContent.replace(/,/g, '')) > 0);
    await page.waitForFunction(() => !/^–$|^0 pkt/.test(document.getElementById('c-pps').textContent));
    assert.equal(await page.textContent('#pill-capture'), 'Capture running');
    assert.equal(await page.textContent('#pill-export'), 'Export running');
    assert.equal(await page.textContent('#s-capture-error'), 'none');
    assert.match(await page.textContent('#s-dropped'), /^(none|[\d,]+ packets? since start)$/);
    assert.equal(await page.textContent('#s-skipped6'), 'none', 'no IPv6 flow left out by native export');
    assert.equal(await page.textContent('#s-listener'), MON_IP);
    assert.equal(await page.textContent('#s-collector'), '127.0.0.1:2056');
    assert.match(await page.textContent('#s-owner-source'), /^(kernel events|socket tables)$/);
    await page.waitForTimeout(4000); // a few more chart samples
    await shot(page, 'overview');
  });

  test('while the published password is in use, a banner leads to Settings', async () => {
    await page.waitForSelector('#default-pass:not([hidden])');
    await page.click('#default-pass a');
    await page.waitForSelector('#view-settings:not([hidden])');
    await go('overview');
  });

  test('shows the flows of the test traffic with their process names', { timeout: 60000 }, async () => {
    await go('flows');
    const has = (rows, dir, proto, dst, proc) =>
      rows.some((r) => r.cells[COL.dir] === dir && r.cells[COL.proto].startsWith(proto) && r.cells[COL.dst] === dst && r.cells[COL.process] === proc);
    const rows = await waitRows(
      (rows) =>
        has(rows, 'out', 'TCP', PEER_IP + ':6001', 'vtui-talker') &&
        has(rows, 'out', 'UDP', PEER_IP + ':6002', 'vtui-talker') &&
        has(rows, 'in', 'TCP', MON_IP + ':6001', 'vtui-server') &&
        has(rows, 'in', 'UDP', MON_IP + ':6002', 'vtui-server') &&
        // Every echo request counts into one record.
        rows.some((r) => r.cells[COL.proto] === 'ICMP Echo request' && r.cells[COL.dir] === 'in' && Number(r.cells[COL.pkts].replace(/\D/g, '')) > 1),
      'the talker, the server and the pings, counted'
    );
    const talker = rows.find((r) => r.cells[COL.process] === 'vtui-talker' && r.cells[COL.proto] === 'TCP');
    assert.match(talker.cells[COL.src], new RegExp('^' + MON_IP.replace(/\./g, '\\.') + ':\\d+$'));
    assert.match(talker.cells[COL.flags], /S/, 'an outbound TCP flow shows its SYN');
    assert.ok(talker.bytes > 0);
    assert.equal(talker.cells[COL.user], 'root');
    if (SERVICE) {
      const served = rows.filter((r) => r.cells[COL.process] === 'vtui-server');
      assert.ok(served.every((r) => r.cells[COL.service] === SERVICE && r.cells[COL.container] === '–'), 'the server\'s flows name its service');
    }
    await shot(page, 'flows');
  });

  test('filters by text, direction and protocol, and from the process totals', { timeout: 30000 }, async () => {
    const total = (await flowRows()).length;
    await page.fill('#f-filter', 'vtui-server');
    let rows = await waitRows((rs) => rs.length > 0 && rs.every((r) => r.cells[COL.process] === 'vtui-server'), 'only vtui-server');
    assert.ok(rows.length < total, 'the filter hides other flows');
    assert.match(await page.textContent('#f-count'), /^\d+ of \d+ flows/);

    await page.fill('#f-filter', PEER_IP + ':6002');
    rows = await waitRows((rs) => rs.length > 0 && rs.every((r) => r.cells[COL.proto] === 'UDP' && [r.cells[COL.src], r.cells[COL.dst]].includes(PEER_IP + ':6002')), 'only UDP with 6002 of the peer');

    await page.fill('#f-filter', '');
    await page.click('#f-dir button[data-v="in"]');
    await page.click('#f-proto button[data-v="1"]');
    rows = await waitRows((rs) => rs.length > 0 && rs.every((r) => r.cells[COL.dir] === 'in' && r.cells[COL.proto].startsWith('ICMP')), 'only inbound ICMP');
    await page.click('#f-dir button[data-v=""]');
    await page.click('#f-proto button[data-v=""]');

    await page.click('#f-top .bar[data-process="vtui-talker"]');
    assert.equal(await page.inputValue('#f-filter'), 'vtui-talker');
    await waitRows((rs) => rs.length > 0 && rs.every((r) => r.cells[COL.process] === 'vtui-talker'), 'only vtui-talker after a click on its bar');
    await page.fill('#f-filter', '');
  });

  test('sorts by any column, both ways', { timeout: 90000 }, async () => {
    // The monitor's order: IPv4 before IPv6, then the address, then the port.
    const hex = (n, width) => Number(n).toString(16).padStart(width, '0');
    const ipPort = (s) => {
      const v6 = /^\[?([0-9a-f:]*:[0-9a-f:]*)\]?(?::(\d+))?$/.exec(s);
      if (v6 && s.split(':').length > 2) {
        const [head, tail] = v6[1].split('::');
        const groups = (x) => (x ? x.split(':') : []);
        const h = groups(head), t = tail === undefined ? [] : groups(tail);
        const all = [...h, ...Array(8 - h.length - t.length).fill('0'), ...t];
        return '6' + all.map((g) => hex(parseInt(g, 16), 4)).join('') + hex(v6[2] || 0, 4);
      }
      const [ip, port] = s.split(':');
      return '4' + hex(ip.split('.').reduce((a, b) => a * 256 + Number(b), 0), 8) + hex(port || 0, 4);
    };
    const protoNumber = { ICMP: 1, IGMP: 2, TCP: 6, UDP: 17, ICMPv6: 58 };
    const num = (s) => Number(s.replace(/[^\d.]/g, ''));
    const age = (s) => (/ m /.test(s) ? 60 * num(s.split(' m ')[0]) + num(s.split(' m ')[1]) : num(s));
    const columns = [
      ['bytes', (r) => r.bytes],
      ['pkts', (r) => num(r.cells[COL.pkts])],
      ['age', (r) => age(r.cells[COL.age])],
      ['src', (r) => ipPort(r.cells[COL.src])],
      ['dst', (r) => ipPort(r.cells[COL.dst])],
      ['process', (r) => r.cells[COL.process].replace(/^–$/, '').toLowerCase()],
      ['proto', (r) => protoNumber[r.cells[COL.proto].split(' ')[0]] ?? -1],
      ['dir', (r) => (r.cells[COL.dir] === 'in' ? 1 : 0)],
      ['tos', (r) => num(r.cells[COL.tos])],
      ['flags', null],
      ['user', (r) => r.cells[COL.user].replace(/^–$/, '').toLowerCase()],
      ['domain', (r) => r.cells[COL.domain].replace(/^–$/, '').toLowerCase()],
      ['service', (r) => r.cells[COL.service].replace(/^–$/, '').toLowerCase()],
    ];
    for (const [key, value] of columns) {
      for (let click = 0; click < 2; click++) {
        await page.click('th[data-key="' + key + '"] button');
        const dir = await page.getAttribute('th[data-key="' + key + '"]', 'aria-sort');
        assert.ok(dir === 'ascending' || dir === 'descending', key + ' is marked sorted');
        if (!value) continue;
        // The monitor sorts: the rows follow its answer.
        const inOrder = (vals) => vals.findIndex((v, i) => i > 0 && !(dir === 'ascending' ? vals[i - 1] <= v : vals[i - 1] >= v));
        let vals = [];
        for (const until = Date.now() + 10000; Date.now() < until; await page.waitForTimeout(100)) {
          vals = (await flowRows()).map(value);
          if (inOrder(vals) < 0) break;
        }
        const i = inOrder(vals);
        assert.ok(i < 0, 'column ' + key + ' ' + dir + ': row ' + i + ' has ' + vals[i] + ' after ' + vals[i - 1]);
      }
    }
  });

  test('keeps filter, sort and scroll position across refreshes', { timeout: 30000 }, async () => {
    await page.setViewportSize({ width: 1280, height: 640 });
    await page.fill('#f-filter', 'tcp');
    await page.click('th[data-key="dst"] button');
    if ((await page.getAttribute('th[data-key="dst"]', 'aria-sort')) !== 'ascending') await page.click('th[data-key="dst"] button');
    const scrollable = await page.$eval('#f-wrap', (w) => w.scrollHeight > w.clientHeight + 60);
    assert.ok(scrollable, 'enough flows to scroll');
    await page.$eval('#f-wrap', (w) => (w.scrollTop = 60));
    const stamp = await page.textContent('#live-text');
    await page.waitForFunction((s) => document.getElementById('live-text').textContent !== s, stamp);
    await page.waitForTimeout(2500); // and one more refresh
    assert.equal(await page.$eval('#f-wrap', (w) => w.scrollTop), 60);
    assert.equal(await page.inputValue('#f-filter'), 'tcp');
    assert.equal(await page.getAttribute('th[data-key="dst"]', 'aria-sort'), 'ascending');
    const rows = await flowRows();
    assert.ok(rows.every((r) => r.cells[COL.proto] === 'TCP'));
    await page.fill('#f-filter', '');
    await page.setViewportSize({ width: 1280, height: 860 });
  });

  test('lists the port owners', { timeout: 30000 }, async () => {
    await go('processes');
    const find = (table, port) =>
      page.$$eval('#p-' + table + ' tbody tr', (trs, port) => {
        const tr = trs.find((t) => t.cells[0].textContent.trim() === String(port));
        return tr ? [...tr.cells].map((c) => c.textContent.trim()) : null;
      }, port);
    await page.waitForFunction(() => document.querySelectorAll('#p-tcp tbody tr').length > 0);
    let tcp = null;
    let udp = null;
    for (let i = 0; i < 40 && !(tcp && udp); i++) {
      tcp = await find('tcp', 6001);
      udp = await find('udp', 6002);
      if (!(tcp && udp)) await page.waitForTimeout(250);
    }
    assert.ok(tcp, 'TCP port 6001 is listed');
    assert.ok(udp, 'UDP port 6002 is listed');
    assert.equal(tcp[2], 'vtui-server');
    assert.equal(udp[2], 'vtui-server');
    assert.match(tcp[1], /^\d+$/);
    assert.match(tcp[7], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
    if (SERVICE) assert.equal(tcp[5], SERVICE, 'the port owner names its service');
    await shot(page, 'processes');
  });

  test('marks the capture address among the interfaces', async () => {
    await go('interfaces');
    await page.waitForSelector('.if-card.active');
    const active = await page.textContent('.if-card.active');
    assert.match(active, new RegExp(MON_IP.replace(/\./g, '\\.') + '\\s*capture address'));
    await shot(page, 'interfaces');
  });

  test('changes the collector port and format, refuses a bad port, and sees the change saved', { timeout: 90000 }, async () => {
    await go('settings');
    await page.waitForFunction(() => document.getElementById('set-rport').value === '2056');
    await page.fill('#set-rport', '70000');
    await page.click('#set-restart');
    assert.match(await page.textContent('#set-rport-err'), /1 to 65535/);
    assert.equal(await page.getAttribute('#set-rport', 'aria-invalid'), 'true');
    assert.equal(readSettings().receiverPort, 2056, 'nothing was sent');

    await page.fill('#set-rport', '2057');
    assert.equal(await page.inputValue('#set-format'), 'native', 'no exportFormat in the file means native');
    await page.selectOption('#set-format', 'ipfix');
    await page.click('#set-restart');
    await page.waitForSelector('#set-result.result-ok', { timeout: 60000 });
    assert.match(await page.textContent('#set-result'), /Saved collector port, export format.*Capture and export restarted/);
    assert.equal(readSettings().receiverPort, 2057);
    assert.equal(readSettings().exportFormat, 'ipfix');
    await page.waitForTimeout(2500);
    assert.equal(await page.inputValue('#set-rport'), '2057');
    assert.equal(await page.inputValue('#set-format'), 'ipfix');
    await shot(page, 'settings');
    await go('overview');
    await page.waitForFunction(() => document.getElementById('s-collector').textContent === '127.0.0.1:2057 · IPFIX');
    await page.waitForFunction(() => /running/.test(document.getElementById('pill-capture').textContent));
  });

  // ---- History -------------------------------------------------------------------------------

  // The top list of the History view: key text, exact key and bytes text per row.
  const historyRows = (p) =>
    (p || page).$$eval('#h-body tr', (trs) =>
      trs.map((tr) => ({ text: tr.cells[0].textContent.trim(), key: tr.dataset.key || '', bytes: tr.cells[1].textContent.trim(), color: tr.querySelector('.swatch').style.background }))
    );

  const waitHistory = async (p, predicate, what) => {
    const until = Date.now() + 30000;
    let rows = [];
    while (Date.now() < until) {
      rows = await historyRows(p);
      if (predicate(rows)) return rows;
      await p.waitForTimeout(300);
    }
    assert.fail('the History view never showed ' + what + '; last rows: ' + rows.map((r) => r.text).join(', '));
  };

  // Whether the chart's canvas holds a pixel of each colour (rgb(...) texts).
  const chartHasColors = (p, colors) =>
    p.$eval('#h-chart', (c, colors) => {
      const want = colors.map((t) => t.match(/\d+/g).map(Number));
      const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      const found = want.map(() => false);
      for (let i = 0; i < data.length; i += 4) {
        want.forEach((w, k) => {
          if (Math.abs(data[i] - w[0]) < 3 && Math.abs(data[i + 1] - w[1]) < 3 && Math.abs(data[i + 2] - w[2]) < 3) found[k] = true;
        });
      }
      return found.every(Boolean);
    }, colors);

  test('History: the chart and the top list show both programs; a row drills down to its peers; Back undoes it', { timeout: 90000 }, async () => {
    const errors = [];
    const p = await ctx.newPage();
    p.on('pageerror', (e) => errors.push(e.message));
    await p.setViewportSize({ width: 1366, height: 768 });
    await p.goto(url + '#history');
    await p.waitForSelector('#view-history:not([hidden])');
    const rows = await waitHistory(p, (rs) => ['vtui-talker', 'vtui-server'].every((n) => rs.some((r) => r.text === n)), 'vtui-talker and vtui-server');
    const mine = rows.filter((r) => r.text === 'vtui-talker' || r.text === 'vtui-server');
    assert.ok(mine.every((r) => !/^0 B/.test(r.bytes)), 'both have bytes: ' + mine.map((r) => r.bytes).join(', '));
    assert.ok(await chartHasColors(p, mine.map((r) => r.color)), 'the chart draws both programs');
    const overflow = await p.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 0, 'the page is ' + overflow + ' px wider than 1366');
    await p.screenshot({ path: path.join(OUTPUT, 'history.png') });

    // Drill down: the talker's peers.
    await p.click('#h-body tr[data-key$="vtui-talker"]');
    await p.waitForFunction(() => /by=peer/.test(location.hash) && /process=/.test(location.hash));
    await waitHistory(p, (rs) => rs.some((r) => r.text === PEER_IP), 'the peer ' + PEER_IP);
    assert.match(await p.textContent('#h-crumbs'), /process: vtui-talker/);
    assert.equal(await p.getAttribute('#h-by button[data-v="peer"]', 'aria-pressed'), 'true');
    const bookmark = p.url();

    // A bookmarked address restores the same view in a new page.
    const q = await ctx.newPage();
    q.on('pageerror', (e) => errors.push(e.message));
    await q.goto(bookmark);
    await waitHistory(q, (rs) => rs.some((r) => r.text === PEER_IP), 'the peer from the bookmark');
    assert.match(await q.textContent('#h-crumbs'), /process: vtui-talker/);
    await q.setViewportSize({ width: 390, height: 844 });
    await q.waitForTimeout(300);
    const phoneOverflow = await q.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(phoneOverflow <= 0, 'at phone width the page is ' + phoneOverflow + ' px too wide');
    await q.screenshot({ path: path.join(OUTPUT, 'phone-history.png'), fullPage: true });
    await q.close();

    // Back undoes the step; "Open flows" shows the Flows view filtered by the process.
    await p.click('#h-back');
    await p.waitForFunction(() => !/process=/.test(location.hash));
    assert.equal(await p.getAttribute('#h-by button[data-v="process"]', 'aria-pressed'), 'true');
    await waitHistory(p, (rs) => rs.some((r) => r.text === 'vtui-server'), 'the processes again');
    await p.click('#h-body tr[data-key$="vtui-server"] [data-open]');
    await p.waitForSelector('#view-flows:not([hidden])');
    assert.equal(await p.inputValue('#f-filter'), 'vtui-server');
    await p.close();
    assert.deepEqual(errors, [], 'no script errors');
  });

  test('sends the collector address by POST, never in the URL', { timeout: 30000 }, async () => {
    await go('settings');
    for (const address of ['127.0.0.3', '127.0.0.1']) {
      await page.fill('#set-rip', address);
      const sent = await dataRequests(async () => {
        await page.click('#set-save');
        await page.waitForSelector('#set-result.result-ok');
      });
      assert.equal(readSettings().receiverIP, address);
      const posts = sent.filter((r) => r.method === 'POST');
      assert.ok(posts.some((r) => new URLSearchParams(r.body).get('receiverIP') === address), JSON.stringify(sent));
      for (const r of sent) assert.doesNotMatch(r.url, /receiverIP/, r.url);
      await page.waitForFunction(() => !document.getElementById('set-result').classList.contains('result-pending'));
    }
  });

  test('a form on another site\'s page that posts settings is ignored', { timeout: 30000 }, async () => {
    const before = readSettings();
    const log = () => fs.readFileSync(path.join(work, 'vantrel.log'), 'utf8');
    const ignored = (log().match(/Settings arguments ignored: the request comes from another site/g) || []).length;
    const other = await ctx.newPage();
    await other.route('http://other.example/**', (r) => r.fulfill({
      contentType: 'text/html',
      body: '<form method="post" action="' + url + 'data/"><input name="receiverPort" value="9"><input name="userPass" value="evil"></form>' +
        '<script>document.forms[0].submit()</script>',
    }));
    const answer = other.waitForResponse((r) => r.url() === url + 'data/' && r.status() === 200);
    await other.goto('http://other.example/');
    await answer;
    await other.close();
    assert.deepEqual(readSettings(), before);
    assert.equal((log().match(/Settings arguments ignored: the request comes from another site/g) || []).length, ignored + 1);
  });

  test('fits a phone-width screen', { timeout: 30000 }, async () => {
    const phone = await ctx.newPage();
    await phone.setViewportSize({ width: 390, height: 844 });
    await phone.goto(url + '#flows');
    await phone.waitForSelector('#live.ok');
    await phone.waitForFunction(() => document.querySelectorAll('#f-body tr').length > 0);
    const overflow = await phone.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 0, 'the page is ' + overflow + ' px wider than the screen');
    await phone.screenshot({ path: path.join(OUTPUT, 'phone-flows.png') });
    await phone.evaluate(() => (location.hash = '#overview'));
    await phone.waitForTimeout(1500);
    await phone.screenshot({ path: path.join(OUTPUT, 'phone-overview.png'), fullPage: true });
    await phone.close();
  });

  test('README picture', { skip: !process.env.VT_UI_DOCSHOT, timeout: 300000 }, async () => {
    await go('overview');
    await page.waitForTimeout(Number(process.env.VT_UI_DOCWAIT || 150) * 1000); // a chart with a few minutes in it
    await page.screenshot({ path: path.resolve(ROOT, process.env.VT_UI_DOCSHOT), type: 'jpeg', quality: 82 });
  });

  // ---- The busy host: 100,000 open flows -----------------------------------------------------

  const busyUrl = process.env.VT_UI_BUSY_URL;
  let busy;
  const busyPage = async (view) => {
    if (!busy) busy = await browser.newContext({ viewport: { width: 1280, height: 860 }, httpCredentials: { username: USER, password: PASS } });
    const p = await busy.newPage();
    const sizes = []; // [url, bytes] of every /data/ answer
    p.on('response', async (r) => {
      if (r.url().includes('/data/')) sizes.push([r.url(), (await r.body().catch(() => Buffer.alloc(0))).length]);
    });
    await p.goto(busyUrl + '#' + view);
    await p.waitForFunction(() => /updated/.test(document.getElementById('live-text').textContent));
    return { p, sizes };
  };

  test('busy host: the busiest processes and the chart have data at first paint', { timeout: 60000 }, async () => {
    const { p } = await busyPage('overview');
    // The first draw with data: the same one that says "updated".
    const first = await p.evaluate(() => ({
      bars: document.querySelectorAll('#o-top .bar').length,
      services: [...document.querySelectorAll('#o-services .bar-name')].map((b) => b.textContent),
      seconds: window.Vt.S.samples.length,
      pps: document.getElementById('c-pps').textContent,
      flows: document.getElementById('k-flows').textContent,
    }));
    assert.equal(first.flows, '100,000');
    assert.equal(first.bars, 5);
    assert.equal(first.services.length, 5, 'the busiest services: ' + first.services.join(', '));
    assert.ok(first.seconds >= 890, 'the chart starts with the monitor\'s 15 minutes, not ' + first.seconds + ' s');
    assert.match(first.pps, /pkt\/s$/);
    await shot(p, 'busy-overview');
    await p.close();
  });

  test('busy host: a flow shows its peer name above its address, the overview the busiest peers', { timeout: 60000 }, async () => {
    const { p } = await busyPage('flows');
    await p.waitForSelector('#f-body .peername');
    const named = await p.$eval('#f-body .peername', (el) => ({ name: el.textContent, cell: el.parentElement.textContent }));
    assert.match(named.name, /^[a-z]+\.example\.net$/);
    assert.match(named.cell.slice(named.name.length), /^198\.1[89]\.\d+\.\d+:\d+$/, 'the address is still shown: ' + named.cell);
    await p.close();
    const { p: o } = await busyPage('overview');
    await o.waitForFunction(() => document.querySelectorAll('#o-peers .bar').length === 4);  // the four names it has
    assert.match(await o.textContent('#o-peers'), /example\.net/);
    await o.close();
  });

  test('busy host: the overview shows the packets the kernel dropped and the IPv6 flows not sent', async () => {
    const { p } = await busyPage('overview');
    assert.equal(await p.textContent('#k-dropped'), '1,234 dropped by the kernel');
    assert.ok(await p.isVisible('#k-dropped'));
    assert.equal(await p.textContent('#s-dropped'), '1,234 packets since start');
    assert.match(await p.textContent('#s-skipped6'), /^56 since start/);
    await p.close();
  });

  test('busy host: the Interfaces view lists each adapter\'s IPv6 addresses, within its card at any width', { timeout: 30000 }, async () => {
    const { p } = await busyPage('interfaces');
    await p.waitForSelector('.if-card');
    const cards = () =>
      p.$$eval('.if-card', (cs) =>
        cs.map((c) => ({
          head: c.querySelector('h2').textContent.trim(),
          v4: [...c.querySelectorAll('.ips:not(.ips6) li .mono')].map((e) => e.textContent),
          v6: [...c.querySelectorAll('.ips6 li')].map((li) => li.textContent),
          // Anything drawn past the card's right edge.
          spill: Math.max(0, ...[...c.querySelectorAll('*')].map((e) => e.getBoundingClientRect().right - c.getBoundingClientRect().right)),
        }))
      );
    for (const width of [1280, 390]) {
      await p.setViewportSize({ width, height: 844 });
      await p.waitForTimeout(100);
      const got = await cards();
      assert.deepEqual(got.map((c) => [c.head, c.v4, c.v6]), [
        ['Interface 1', ['127.0.0.1'], ['::1']],
        ['Interface 2', ['192.0.2.1'], ['2001:db8:85a3:1234:5678:8a2e:370:7334', '2001:db8::1', 'fe80::216:3eff:fe5e:1a2blink-local']],
      ]);
      for (const c of got) assert.ok(c.spill <= 0.5, c.head + ' spills ' + c.spill + ' px out of its card at ' + width + ' px');
      const overflow = await p.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
      assert.ok(overflow <= 0, 'the page is ' + overflow + ' px wider than a ' + width + ' px screen');
    }
    await shot(p, 'busy-interfaces-phone');
    await p.close();
  });

  test('busy host: the Flows view pages, sorts and filters on the monitor', { timeout: 120000 }, async () => {
    const { p, sizes } = await busyPage('flows');
    const rows = () => flowRows(p);
    const until = async (what, predicate) => {
      const end = Date.now() + 20000;
      let rs = [];
      while (Date.now() < end) {
        rs = await rows();
        if (await predicate(rs)) return rs;
        await p.waitForTimeout(100);
      }
      assert.fail('never ' + what + '; first rows: ' + rs.slice(0, 3).map((r) => r.cells.join(' | ')).join(' / '));
    };
    const count = () => p.textContent('#f-count');
    const monotone = (vals, dir) => vals.every((v, i) => !i || (dir > 0 ? vals[i - 1] <= v : vals[i - 1] >= v));
    const page1 = await until('a page by bytes', (rs) => rs.length === 200 && monotone(rs.map((r) => r.bytes), -1));
    assert.match(await count(), /^100,000 flows · 1–200 shown/);

    await p.click('#f-next');
    await p.waitForFunction(() => document.getElementById('f-page').textContent === 'Page 2 of 500');
    const page2 = await until('page 2', (rs) => rs.length === 200 && rs[0].bytes <= page1[199].bytes && monotone(rs.map((r) => r.bytes), -1));
    assert.ok(page2[0].cells.join() !== page1[0].cells.join());

    // A redraw as the person sees it: the click, the monitor's page, the new rows drawn.
    const redrawMs = await p.evaluate(async () => {
      const body = document.getElementById('f-body');
      const t0 = performance.now();
      const drawn = new Promise((resolve) => new MutationObserver((m, o) => (o.disconnect(), resolve())).observe(body, { childList: true }));
      document.querySelector('th[data-key="pkts"] button').click();
      await drawn;
      await new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
      return performance.now() - t0;
    });
    // The table drawn again from the page in hand, layout included.
    const renderMs = await p.evaluate(() => {
      const t0 = performance.now();
      window.Vt.views.flows.render();
      document.getElementById('f-wrap').getBoundingClientRect();
      return performance.now() - t0;
    });
    const pkts = (r) => Number(r.cells[COL.pkts].replace(/\D/g, ''));
    await until('sorted by packets, page 1', async (rs) => (await p.textContent('#f-page')) === 'Page 1 of 500' && monotone(rs.map(pkts), -1));
    await p.click('th[data-key="pkts"] button');
    await until('packets ascending', (rs) => rs.length === 200 && monotone(rs.map(pkts), 1));

    await p.fill('#f-filter', 'worker-3');
    const filtered = await until('only worker-3*', (rs) => rs.length > 0 && rs.every((r) => r.cells[COL.process].startsWith('worker-3')));
    assert.match(await count(), /^[\d,]+ of 100,000 flows/);
    assert.ok(monotone(filtered.map(pkts), 1), 'still sorted');
    await p.fill('#f-filter', 'no-such-flow-anywhere');
    await p.waitForSelector('#f-empty:not([hidden])');
    assert.equal(await p.textContent('#f-empty'), 'No flow matches the filter.');
    await p.fill('#f-filter', '');
    await p.click('#f-proto button[data-v="17"]');
    await until('only UDP', (rs) => rs.length === 200 && rs.every((r) => r.cells[COL.proto] === 'UDP'));
    await p.click('#f-proto button[data-v=""]');
    await p.waitForTimeout(1000);
    const asked = sizes.splice(0); // what the person's clicks asked; then polls alone
    await p.waitForTimeout(6100);

    const polls = sizes.filter(([u]) => u.includes('requestedData=history')).length;
    const total = sizes.reduce((n, [, b]) => n + b, 0);
    const fullList = sizes.concat(asked).filter(([u]) => /requestedData=flows/.test(u) && !/pageSize=/.test(u));
    assert.deepEqual(fullList, [], 'the whole list was never asked for');
    const perPoll = total / polls;
    console.log('busy host figures: ' + polls + ' polls, ' + Math.round(perPoll / 1024) + ' KB per poll on average, largest answer ' +
      Math.round(Math.max(...sizes.concat(asked).map(([, b]) => b)) / 1024) + ' KB; sort click to rows drawn ' + Math.round(redrawMs) +
      ' ms, of which drawing ' + Math.round(renderMs) + ' ms');
    assert.ok(perPoll < 300 * 1024, Math.round(perPoll / 1024) + ' KB per poll');
    await shot(p, 'busy-flows');
    await p.close();
  });

  test('a password change makes the page ask for the new one', { timeout: 60000 }, async () => {
    await go('settings');
    await page.fill('#pw-1', 'n3w secret');
    await page.fill('#pw-2', 'n3w secreT');
    await page.click('#pw-save');
    assert.match(await page.textContent('#pw-err'), /differ/);
    await page.fill('#pw-2', 'n3w secret');
    const sent = await dataRequests(async () => {
      await page.click('#pw-save');
      await page.waitForSelector('#pw-result.result-ok');
    });
    assert.equal(readSettings().pass, 'n3w secret');
    assert.ok(sent.some((r) => r.method === 'POST' && new URLSearchParams(r.body).get('userPass') === 'n3w secret'), JSON.stringify(sent));
    for (const r of sent) assert.doesNotMatch(r.url, /n3w|userPass/, 'the password in a request line: ' + r.url);
    await page.waitForSelector('#banner:not([hidden])', { timeout: 15000 });
    assert.match(await page.textContent('#banner'), /Password changed\..*Sign in again/);
    await shot(page, 'signed-out');
    newPass = 'n3w secret';

    const again = await browser.newContext({ viewport: { width: 1280, height: 860 }, httpCredentials: { username: USER, password: newPass } });
    page = await again.newPage();
    await page.goto(url + '#overview');
    await page.waitForSelector('#live.ok');
    assert.equal(await page.isHidden('#default-pass'), true, 'no banner with a password of its own');
  });

  test('says so when the monitor cannot be reached', { timeout: 30000 }, async () => {
    process.kill(Number(process.env.VT_UI_MONITOR_PID), 'SIGKILL');
    await page.waitForSelector('#banner:not([hidden])', { timeout: 15000 });
    assert.match(await page.textContent('#banner-title'), /Cannot reach the monitor/);
    assert.equal(await page.textContent('#live-text'), 'No connection');
    await shot(page, 'unreachable');
  });
}
