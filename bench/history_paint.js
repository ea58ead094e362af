'use strict';
// How long the History view takes to paint its first chart for 7 days, in
// Debian's headless Chromium (playwright-core from tests/browser). The
// test-only build/vantrel-filled serves the dashboard and answers usage
// questions from the synthetic week that build/history_bench writes; it
// runs with the browser in a network namespace of this script's own, on its
// loopback only. Run as root, after build/history_bench has made the week:
//
//   (cd tests/browser && npm ci) && node bench/history_paint.js [RUNS]
//
// VANTREL_FILLED overrides build/vantrel-filled, VT_PAINT_WEEK the week's
// file. Each run is a fresh browser context (nothing cached); the figure is
// from the navigation's start to the frame after the chart and its top list
// were drawn, with the usage request's own time beside it.

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..');
const PORT = 7931;
const USER = 'admin';
const PASS = 'paint';
// The end of the bench's week (history_bench.cc, kWeekEnd) and its length.
const WEEK_END = Math.floor(1765000000000 / 60000) * 60000;
const WEEK = 7 * 86400000;

if (process.argv[2] === '--inner') inner().catch((e) => {
  console.error(e);
  process.exit(1);
});
else outer();

function outer() {
  if (process.getuid() !== 0) {
    console.log('SKIP: needs root (a network namespace of its own)');
    return;
  }
  const r = spawnSync('unshare', ['--net', process.execPath, __filename, '--inner', ...process.argv.slice(2)], { stdio: 'inherit' });
  process.exit(r.status === null ? 1 : r.status);
}

async function inner() {
  const runs = Number(process.argv[3]) || 5;
  const filled = path.resolve(process.env.VANTREL_FILLED || path.join(ROOT, 'build/vantrel-filled'));
  const week = path.resolve(process.env.VT_PAINT_WEEK || '/tmp/vantrel-history-bench-week-v2.sqlite');
  for (const f of [filled, week]) {
    if (!fs.existsSync(f)) throw new Error('missing ' + f + ' (build vantrel-filled; run build/history_bench)');
  }
  spawnSync('ip', ['link', 'set', 'lo', 'up']);
  const work = fs.mkdtempSync('/tmp/vt-paint-');
  fs.mkdirSync(path.join(work, 'resources'));
  fs.cpSync(path.join(ROOT, 'resources/web'), path.join(work, 'resources/web'), { recursive: true });
  fs.writeFileSync(path.join(work, 'vantrelsettings.json'),
    JSON.stringify({ httpPort: PORT, listenerIP: '127.0.0.1', receiverIP: '127.0.0.1', receiverPort: 2056, user: USER, pass: PASS }));
  const log = fs.openSync(path.join(work, 'filled.log'), 'a');
  const server = spawn(filled, ['1000'], { cwd: work, stdio: ['ignore', log, log], env: { ...process.env, VANTREL_FILLED_HISTORY: week } });
  let browser;
  try {
    const { chromium } = require(path.join(ROOT, 'tests/browser/node_modules/playwright-core'));
    for (let i = 0; i < 100 && !/web interface on port/.test(fs.readFileSync(path.join(work, 'filled.log'), 'utf8')); i++) {
      await new Promise((res) => setTimeout(res, 100));
    }
    browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
    const address = 'http://127.0.0.1:' + PORT + '/#history?range=custom&since=' + (WEEK_END - WEEK) + '&until=' + WEEK_END + '&by=process';
    const figures = [];
    for (let run = 0; run < runs; run++) {
      const ctx = await browser.newContext({ viewport: { width: 1366, height: 768 }, httpCredentials: { username: USER, password: PASS } });
      const page = await ctx.newPage();
      const errors = [];
      page.on('pageerror', (e) => errors.push(e.message));
      // Each frame until the top list has rows: the chart is drawn in the
      // same task, so the next frame shows it.
      await page.addInitScript(() => {
        const look = () => {
          if (document.querySelector('#h-body tr .swatch')) {
            requestAnimationFrame(() => { window.vtPainted = performance.now(); });
          } else {
            requestAnimationFrame(look);
          }
        };
        requestAnimationFrame(look);
      });
      await page.goto(address);
      await page.waitForFunction(() => window.vtPainted > 0, null, { timeout: 30000 });
      const f = await page.evaluate(() => {
        const usage = performance.getEntriesByType('resource').filter((e) => e.name.includes('requestedData=usage'));
        const last = usage[usage.length - 1];
        const requests = performance.getEntriesByType('resource').map((e) => e.name.replace(/^.*\//, '').slice(0, 60) + ' ' + e.startTime.toFixed(0) + '+' + e.duration.toFixed(0));
        return { painted: window.vtPainted, usage: last ? last.duration : -1, rows: document.querySelectorAll('#h-body tr').length, requests };
      });
      if (errors.length) throw new Error('script errors: ' + errors.join('; '));
      figures.push(f);
      if (process.env.VT_PAINT_DEBUG) console.log(f.requests.join('\n'));
      console.log('run ' + (run + 1) + ': first chart painted at ' + f.painted.toFixed(0) + ' ms (usage request ' + f.usage.toFixed(0) + ' ms, ' + f.rows + ' rows)');
      await ctx.close();
    }
    const sorted = figures.map((f) => f.painted).sort((a, b) => a - b);
    console.log('median ' + sorted[Math.floor(sorted.length / 2)].toFixed(0) + ' ms, worst ' + sorted[sorted.length - 1].toFixed(0) + ' ms over ' + runs + ' runs');
  } finally {
    if (browser) await browser.close();
    server.kill('SIGKILL');
    fs.rmSync(work, { recursive: true, force: true });
  }
}
