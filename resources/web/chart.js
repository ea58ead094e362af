// A small live line chart on a canvas: one series of {t, v} samples over a
// sliding time window, with a value axis, minute marks and a hover read-out.
// Colours come from the canvas's CSS custom properties, so it follows the theme.
(function (root) {
  'use strict';

  const F = root.VtFormat;

  function LiveChart(canvas, opts) {
    this.canvas = canvas;
    this.opts = opts; // {format(v) -> text, unit, colorVar}
    this.points = [];
    this.windowMs = 900000;
    this.now = Date.now();
    this.hoverX = null;
    canvas.addEventListener('mousemove', (e) => {
      const r = canvas.getBoundingClientRect();
      this.hoverX = e.clientX - r.left;
      this.draw();
    });
    canvas.addEventListener('mouseleave', () => {
      this.hoverX = null;
      this.draw();
    });
    if (root.ResizeObserver) new ResizeObserver(() => this.draw()).observe(canvas);
  }

  // `points` oldest first; a sample with v === null breaks the line.
  LiveChart.prototype.setData = function (points, now, windowMs) {
    this.points = points;
    this.now = now;
    if (windowMs) this.windowMs = windowMs;
    this.draw();
  };

  // Sizes `c` to its box at the screen's pixel ratio and clears it: its 2D
  // context in CSS pixels with the box's width and height, or null while the
  // canvas has no size (hidden).
  function prepareCanvas(c) {
    const w = c.clientWidth;
    const h = c.clientHeight;
    if (!w || !h) return null;
    const dpr = root.devicePixelRatio || 1;
    if (c.width !== Math.round(w * dpr) || c.height !== Math.round(h * dpr)) {
      c.width = Math.round(w * dpr);
      c.height = Math.round(h * dpr);
    }
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    return { g, w, h };
  }

  LiveChart.prototype.draw = function () {
    const c = this.canvas;
    const area = prepareCanvas(c);
    if (!area) return;
    const { g, w, h } = area;

    const css = getComputedStyle(c);
    const color = css.getPropertyValue(this.opts.colorVar).trim() || '#2563eb';
    const grid = css.getPropertyValue('--chart-grid').trim() || '#e5e7eb';
    const text = css.getPropertyValue('--chart-text').trim() || '#6b7280';
    const font = '11px ' + css.fontFamily;

    const t1 = this.now;
    const t0 = t1 - this.windowMs;
    const pts = this.points.filter((p) => p.t >= t0 - 5000);
    let max = 0;
    for (const p of pts) if (p.v !== null && p.v > max) max = p.v;
    const ticks = F.niceTicks(max, 3);
    const top = ticks[ticks.length - 1];

    g.font = font;
    let axisW = 0;
    for (const v of ticks) axisW = Math.max(axisW, g.measureText(this.opts.format(v)).width);
    const L = Math.ceil(axisW) + 10;
    const R = 8;
    const T = 8;
    const B = 20;
    const pw = w - L - R;
    const ph = h - T - B;
    const xOf = (t) => L + ((t - t0) / this.windowMs) * pw;
    const yOf = (v) => T + ph - (v / top) * ph;

    // Grid and value axis.
    g.strokeStyle = grid;
    g.fillStyle = text;
    g.lineWidth = 1;
    g.textBaseline = 'middle';
    g.textAlign = 'right';
    for (const v of ticks) {
      const y = Math.round(yOf(v)) + 0.5;
      g.beginPath();
      g.moveTo(L, y);
      g.lineTo(w - R, y);
      g.stroke();
      g.fillText(this.opts.format(v), L - 6, y);
    }
    // Minute marks, counted back from now.
    g.textBaseline = 'top';
    g.textAlign = 'center';
    const minutes = Math.round(this.windowMs / 60000);
    const every = Math.max(1, Math.ceil(58 / (pw / minutes))); // label spacing in minutes, so labels never touch
    for (let m = 0; m <= minutes; m++) {
      const x = Math.round(xOf(t1 - m * 60000)) + 0.5;
      g.beginPath();
      g.moveTo(x, T + ph);
      g.lineTo(x, T + ph + 4);
      g.stroke();
      if (m % every) continue;
      const label = m === 0 ? 'now' : '−' + m + ' min';
      g.textAlign = m === 0 ? 'right' : m === minutes ? 'left' : 'center';
      g.fillText(label, x, T + ph + 6);
    }

    // The series: runs of consecutive samples, each filled down to zero.
    g.save();
    g.beginPath();
    g.rect(L, T - 2, pw, ph + 4);
    g.clip();
    const runs = [];
    let run = [];
    for (const p of pts) {
      if (p.v === null) {
        if (run.length) runs.push(run);
        run = [];
      } else run.push(p);
    }
    if (run.length) runs.push(run);
    for (const r of runs) {
      g.beginPath();
      r.forEach((p, i) => (i ? g.lineTo(xOf(p.t), yOf(p.v)) : g.moveTo(xOf(p.t), yOf(p.v))));
      g.strokeStyle = color;
      g.lineWidth = 1.75;
      g.lineJoin = 'round';
      g.stroke();
      g.lineTo(xOf(r[r.length - 1].t), yOf(0));
      g.lineTo(xOf(r[0].t), yOf(0));
      g.closePath();
      const grad = g.createLinearGradient(0, T, 0, T + ph);
      grad.addColorStop(0, withAlpha(color, 0.28));
      grad.addColorStop(1, withAlpha(color, 0.02));
      g.fillStyle = grad;
      g.fill();
    }
    g.restore();

    // Until a minute of samples is there, say why the chart is mostly empty.
    const drawn = pts.filter((p) => p.v !== null);
    if (!drawn.length || drawn[drawn.length - 1].t - drawn[0].t < 60000) {
      g.fillStyle = text;
      g.textAlign = 'center';
      g.textBaseline = 'middle';
      g.font = font;
      g.fillText(drawn.length ? 'Collecting: the chart fills in over ' + Math.round(this.windowMs / 60000) + ' minutes' : 'Waiting for the first second of traffic…', L + pw / 2, T + ph / 2);
    }

    // Hover read-out: the sample nearest to the pointer.
    if (this.hoverX !== null && pts.length) {
      let best = null;
      for (const p of pts) {
        if (p.v === null) continue;
        const d = Math.abs(xOf(p.t) - this.hoverX);
        if (!best || d < best.d) best = { p, d };
      }
      if (best && best.d < 40) {
        const x = xOf(best.p.t);
        const y = yOf(best.p.v);
        g.strokeStyle = text;
        g.setLineDash([3, 3]);
        g.beginPath();
        g.moveTo(x, T);
        g.lineTo(x, T + ph);
        g.stroke();
        g.setLineDash([]);
        g.fillStyle = color;
        g.beginPath();
        g.arc(x, y, 3.5, 0, Math.PI * 2);
        g.fill();
        const ago = Math.max(0, Math.round((t1 - best.p.t) / 1000));
        const label = this.opts.format(best.p.v) + ' ' + this.opts.unit + (ago ? '  ·  ' + ago + ' s ago' : '  ·  now');
        g.font = '600 ' + font;
        const tw = g.measureText(label).width + 12;
        let bx = x + 8;
        if (bx + tw > w - R) bx = x - 8 - tw;
        g.fillStyle = css.getPropertyValue('--chart-tip-bg').trim() || '#111827';
        roundRect(g, bx, T + 2, tw, 20, 4);
        g.fill();
        g.fillStyle = css.getPropertyValue('--chart-tip-fg').trim() || '#fff';
        g.textAlign = 'left';
        g.textBaseline = 'middle';
        g.fillText(label, bx + 6, T + 12);
      }
    }
  };

  function roundRect(g, x, y, w, h, r) {
    g.beginPath();
    g.moveTo(x + r, y);
    g.arcTo(x + w, y, x + w, y + h, r);
    g.arcTo(x + w, y + h, x, y + h, r);
    g.arcTo(x, y + h, x, y, r);
    g.arcTo(x, y, x + w, y, r);
    g.closePath();
  }

  // "#2563eb" or "rgb(...)" with an alpha.
  function withAlpha(color, a) {
    const m = /^#([0-9a-f]{6})$/i.exec(color);
    if (m) {
      const n = parseInt(m[1], 16);
      return 'rgba(' + (n >> 16) + ',' + ((n >> 8) & 255) + ',' + (n & 255) + ',' + a + ')';
    }
    const r = /^rgb\((\d+),\s*(\d+),\s*(\d+)\)$/.exec(color);
    return r ? 'rgba(' + r[1] + ',' + r[2] + ',' + r[3] + ',' + a + ')' : color;
  }

  root.LiveChart = LiveChart;
  root.VtPrepareCanvas = prepareCanvas;
})(self);
