'use strict';
// The collector's History view in Debian's headless Chromium, driven by
// playwright-core: a store holding the flows of two exporters (127.0.0.2
// and 127.0.0.3) served by build/vantrel-collect --web on 127.0.0.1; the
// page signs in with Digest, lists both hosts, paints the chart and narrows
// the view to one host.
//
//   node collector.e2e.js        (VANTREL_COLLECT overrides ../../build/vantrel-collect)

process.env.PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD = '1';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { chromium } = require('playwright-core');

const ROOT = path.resolve(__dirname, '../..');
const COLLECT = process.env.VANTREL_COLLECT || path.join(ROOT, 'build/vantrel-collect');
const USER = 'admin';
const PASS = 's3cret';

let dir, collector, browser, url;

// Starts the collector and resolves with the line that names `marker`.
function startCollector(args) {
  const child = spawn(COLLECT, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  let text = '';
  const ready = new Promise((resolve, reject) => {
    child.stderr.on('data', (d) => {
      text += d;
      const m = /web view on (http:\/\/[0-9.:]+\/)/.exec(text);
      if (m && /listening on/.test(text)) resolve(m[1]);
    });
    child.on('exit', (code) => reject(new Error('collector ended (' + code + '): ' + text)));
  });
  return { child, ready };
}

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-collector-e2e-'));
  const file = path.join(dir, 'flows.sqlite');
  // The collector makes the store; the flows of the two exporters go in
  // beside it, last seen over the last half hour.
  const made = spawnSync(COLLECT, ['--listen', '127.0.0.1:0', '--store', file], { timeout: 3000, encoding: 'utf8' });
  assert.ok(fs.existsSync(file), made.stderr);
  const now = Date.now();
  const rows = [];
  for (let i = 0; i < 60; ++i) {
    const exporter = i % 2 ? '7F000003' : '7F000002';
    const processname = i % 2 ? '/usr/bin/backup' : (i % 4 ? '/usr/bin/curl' : '/usr/sbin/ntpd');
    const t = now - i * 30000;
    rows.push(`(X'${exporter}', 0, ${t - 1000}, ${t}, X'0A000001', X'C0000207', ${40000 + i}, 443, 6, 0, 10, ${1000 * (i + 1)}, 27, 0, 0, 1, '${processname}', 'u', 'HOST', '', '', '', '')`);
  }
  const sql = 'INSERT INTO flows VALUES ' + rows.join(',') + ';';
  const r = spawnSync('sqlite3', [file, sql], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const started = startCollector(['--listen', '127.0.0.1:0', '--store', file, '--keep', '0', '--web', '127.0.0.1:0',
    '--web-user', USER, '--web-pass', PASS, '--web-root', path.join(ROOT, 'resources/web')]);
  collector = started.child;
  url = await started.ready;
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
});

after(async () => {
  if (browser) await browser.close();
  if (collector) collector.kill('SIGTERM');
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

test('the page lists both hosts, paints the chart and narrows to one host, without script errors', { timeout: 60000 }, async () => {
  const ctx = await browser.newContext({ viewport: { width: 1366, height: 768 }, httpCredentials: { username: USER, password: PASS } });
  const page = await ctx.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  const started = Date.now();
  assert.equal((await page.goto(url)).status(), 200);
  await page.waitForFunction(() => document.querySelectorAll('#f-host option').length === 3);
  const hosts = await page.$$eval('#f-host option', (o) => o.map((x) => x.value));
  assert.deepEqual(hosts, ['', '127.0.0.2', '127.0.0.3']);
  await page.waitForFunction(() => document.querySelectorAll('#h-body tr').length === 3).catch(async (e) => {
    throw new Error(e.message + ': ' + (await page.textContent('#h-empty')) + ' ' + errors.join('; '));
  });
  console.log('first chart and list in ' + (Date.now() - started) + ' ms');
  // The chart has painted: some pixel of the canvas is not blank.
  const painted = await page.$eval('#h-chart', (c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) return true;
    return false;
  });
  assert.ok(painted);
  await page.selectOption('#f-host', '127.0.0.3');
  await page.waitForFunction(() => document.querySelectorAll('#h-body tr').length === 1);
  assert.match(await page.textContent('#h-body'), /backup/);
  assert.match(page.url(), /host=127\.0\.0\.3/);
  // A click on the program narrows to its peers.
  await page.click('#h-body tr');
  await page.waitForFunction(() => /192\.0\.2\.7/.test(document.getElementById('h-body').textContent));
  assert.match(page.url(), /by=peer/);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a bookmarked From–to address restores that range, host and grouping', { timeout: 60000 }, async () => {
  const ctx = await browser.newContext({ viewport: { width: 390, height: 844 }, httpCredentials: { username: USER, password: PASS } });
  const page = await ctx.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // The last ten minutes hold the flows of i = 0..19: curl's and ntpd's of
  // the first exporter (i even), backup's of the second.
  const until = Date.now() + 60000;
  const since = until - 11 * 60000;
  await page.goto(url + '#host=127.0.0.2&range=custom&since=' + since + '&until=' + until + '&by=process');
  await page.waitForFunction(() => document.querySelectorAll('#h-body tr').length === 2);
  const text = await page.textContent('#h-body');
  assert.match(text, /curl/);
  assert.match(text, /ntpd/);
  assert.doesNotMatch(text, /backup/);
  assert.equal(await page.getAttribute('#h-range button[data-v="custom"]', 'aria-pressed'), 'true');
  assert.equal(await page.isVisible('#h-from'), true);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('without the password there is no page', async () => {
  const ctx = await browser.newContext({ httpCredentials: { username: USER, password: 'wrong' } });
  const res = await ctx.request.get(url + 'data/?requestedData=hosts');
  assert.equal(res.status(), 401);
  await ctx.close();
});
