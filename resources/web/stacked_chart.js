// A stacked area chart on a canvas: several series of numbers over the same
// evenly spaced steps, drawn one on top of the other, with a value axis, time
// marks and a hover read-out of the step under the pointer. Colours of the
// axes come from the canvas's CSS custom properties, so it follows the theme.
(function (root) {
  'use strict';

  const F = root.VtFormat;

  // Distinct hues for up to ten series, and grey for the rest ("(other)").
  const COLORS = ['#2563eb', '#16a34a', '#f59e0b', '#dc2626', '#7c3aed', '#0891b2', '#db2777', '#65a30d', '#ea580c', '#4f46e5'];
  const OTHER = '#94a3b8';

  function StackedChart(canvas) {
    this.canvas = canvas;
    this.series = [];
    this.start = 0;
    this.step = 60000;
    this.hoverX = null;
    canvas.addEventListener('mousemove', (e) => {
      this.hoverX = e.clientX - canvas.getBoundingClientRect().left;
      this.draw();
    });
    canvas.addEventListener('mouseleave', () => {
      this.hoverX = null;
      this.draw();
    });
    if (root.ResizeObserver) new ResizeObserver(() => this.draw()).observe(canvas);
  }

  StackedChart.colorOf = (index, key) => (key === '(other)' ? OTHER : COLORS[index % COLORS.length]);

  // `series`: [{key, bytes: [..]}], all of one length; step i covers
  // [start + i * step, start + (i + 1) * step).
  StackedChart.prototype.setData = function (series, start, step) {
    this.series = series;
    this.start = start;
    this.step = step;
    this.draw();
  };

  StackedChart.prototype.draw = function () {
    const c = this.canvas;
    const area = root.VtPrepareCanvas(c);
    if (!area) return;
    const { g, w, h } = area;
    const css = getComputedStyle(c);
    const grid = css.getPropertyValue('--chart-grid').trim() || '#e5e7eb';
    const text = css.getPropertyValue('--chart-text').trim() || '#6b7280';
    g.font = '11px ' + css.fontFamily;

    const n = this.series.length ? this.series[0].bytes.length : 0;
    const totals = new Array(n).fill(0);
    for (const s of this.series) for (let i = 0; i < n; i++) totals[i] += s.bytes[i];
    const ticks = F.niceTicks(Math.max(0, ...totals), 4);
    const max = ticks[ticks.length - 1] || 1;
    const left = 64, right = 10, top = 8, bottom = 22;
    const pw = Math.max(1, w - left - right), ph = Math.max(1, h - top - bottom);
    const x = (i) => left + (n ? (i / n) * pw : 0);
    const y = (v) => top + ph - (v / max) * ph;

    g.strokeStyle = grid;
    g.fillStyle = text;
    g.textAlign = 'right';
    g.textBaseline = 'middle';
    for (const t of ticks) {
      g.beginPath();
      g.moveTo(left, Math.round(y(t)) + 0.5);
      g.lineTo(w - right, Math.round(y(t)) + 0.5);
      g.stroke();
      g.fillText(F.fmtBytesShort(t), left - 6, y(t));
    }
    // About six time marks.
    g.textAlign = 'center';
    g.textBaseline = 'top';
    const span = n * this.step;
    const labelDays = span > 86400000;
    for (let k = 0; k <= 5 && n; k++) {
      const i = Math.round((k / 5) * n);
      const t = F.fmtTime(this.start + i * this.step);
      g.fillText(labelDays ? t.slice(5, 16) : t.slice(11, 16), Math.min(w - 24, Math.max(left + 16, x(i))), top + ph + 6);
    }

    // Areas from the bottom series up; each step is a flat block.
    const base = new Array(n).fill(0);
    this.series.forEach((s, index) => {
      g.fillStyle = StackedChart.colorOf(index, s.key);
      g.beginPath();
      g.moveTo(x(0), y(base[0] || 0));
      for (let i = 0; i < n; i++) {
        g.lineTo(x(i), y(base[i] + s.bytes[i]));
        g.lineTo(x(i + 1), y(base[i] + s.bytes[i]));
      }
      for (let i = n - 1; i >= 0; i--) {
        g.lineTo(x(i + 1), y(base[i]));
        g.lineTo(x(i), y(base[i]));
      }
      g.closePath();
      g.fill();
      for (let i = 0; i < n; i++) base[i] += s.bytes[i];
    });

    if (this.hoverX !== null && n && this.hoverX >= left && this.hoverX <= w - right) {
      const i = Math.min(n - 1, Math.floor(((this.hoverX - left) / pw) * n));
      g.strokeStyle = text;
      g.beginPath();
      g.moveTo(Math.round(x(i + 0.5)) + 0.5, top);
      g.lineTo(Math.round(x(i + 0.5)) + 0.5, top + ph);
      g.stroke();
      const label = F.fmtTime(this.start + i * this.step).slice(5, 16) + '  ' + F.fmtBytes(totals[i]);
      g.fillStyle = css.getPropertyValue('--chart-tip-bg').trim() || '#0f172a';
      const tw = g.measureText(label).width + 12;
      const tx = Math.min(w - right - tw, Math.max(left, x(i + 0.5) - tw / 2));
      g.fillRect(tx, top, tw, 18);
      g.fillStyle = css.getPropertyValue('--chart-tip-fg').trim() || '#fff';
      g.textAlign = 'left';
      g.fillText(label, tx + 6, top + 4);
    }
  };

  root.VtStackedChart = StackedChart;
})(typeof self !== 'undefined' ? self : this);
