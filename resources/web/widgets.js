// Pieces more than one view draws with: text filters, sortable tables,
// segmented buttons and the bars of bytes per process.
(function () {
  'use strict';

  const Vt = window.Vt;
  const { F, $, esc } = Vt;

  // The lower-case words of a filter box.
  Vt.filterTokens = (s) => s.toLowerCase().split(/\s+/).filter(Boolean);

  // Whether `text` (lower case) holds every token.
  Vt.matches = function matches(text, tokens) {
    for (const t of tokens) if (text.indexOf(t) < 0) return false;
    return true;
  };

  Vt.cmpText = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

  // `rows` ordered by keyFn (numbers or text) in `dir` (1 or -1), ties by `tie`.
  Vt.sortRows = function sortRows(rows, keyFn, dir, tie) {
    return rows
      .map((r) => ({ r, k: keyFn(r) }))
      .sort((a, b) => (typeof a.k === 'number' ? a.k - b.k : Vt.cmpText(a.k, b.k)) * dir || tie(a.r, b.r))
      .map((x) => x.r);
  };

  // Turns each column head into a button that sorts by it.
  Vt.makeSortable = function makeSortable(table, getSort, setSort) {
    for (const th of table.querySelectorAll('th[data-key]')) {
      const label = th.textContent;
      th.innerHTML = '';
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'sort';
      b.innerHTML = esc(label) + '<span class="sort-ind" aria-hidden="true"></span>';
      b.addEventListener('click', () => {
        const s = getSort();
        const key = th.dataset.key;
        const numeric = th.classList.contains('num') || key === 'dir' || key === 'firstseen';
        setSort(s.key === key ? { key, dir: -s.dir } : { key, dir: numeric ? -1 : 1 });
      });
      th.appendChild(b);
    }
  };

  // Marks the sorted column for the arrow and for screen readers.
  Vt.markSort = function markSort(table, sort) {
    for (const th of table.querySelectorAll('th[data-key]')) {
      const on = th.dataset.key === sort.key;
      th.setAttribute('aria-sort', on ? (sort.dir > 0 ? 'ascending' : 'descending') : 'none');
    }
  };

  // A group of toggle buttons where one is pressed; onChange gets its data-v.
  Vt.segmented = function segmented(id, onChange) {
    const g = $(id);
    g.addEventListener('click', (e) => {
      const b = e.target.closest('button');
      if (!b) return;
      for (const x of g.querySelectorAll('button')) x.setAttribute('aria-pressed', String(x === b));
      onChange(b.dataset.v);
    });
  };

  // Horizontal bars of bytes per process (null: too many flows to total).
  Vt.renderBars = function renderBars(el, totals, emptyText) {
    if (!totals) {
      el.innerHTML = '<p class="empty-inline">Too many open flows to total them here; see Flows.</p>';
      return;
    }
    if (!totals.length) {
      el.innerHTML = '<p class="empty-inline">' + esc(emptyText) + '</p>';
      return;
    }
    const max = totals[0].bytes || 1;
    el.style.gridTemplateRows = 'repeat(' + Math.ceil(totals.length / 2) + ', auto)'; // two columns, ranked top to bottom
    el.innerHTML = totals
      .map((t) => {
        const name = t.name ? F.baseName(t.name) : '';
        const label = name ? esc(name) : '<span class="muted">no owner (ICMP or unknown)</span>';
        const pct = Math.max(1, Math.round((t.bytes / max) * 100));
        return (
          '<button type="button" class="bar" data-process="' + esc(name) + '" title="' + esc(t.name || 'flows without a known owner') +
          (name ? ' — click to show only its flows' : '') + '">' +
          '<span class="bar-name">' + label + '</span>' +
          '<span class="bar-track"><span class="bar-fill" style="width:' + pct + '%"></span></span>' +
          '<span class="bar-val">' + F.fmtBytes(t.bytes) + '</span>' +
          '<span class="bar-sub">' + F.fmtInt(t.flows) + (t.flows === 1 ? ' flow' : ' flows') + '</span></button>'
        );
      })
      .join('');
  };

  // A click on a bar of `el` that names a process shows the flow table filtered by it.
  Vt.barsShowFlows = function barsShowFlows(el) {
    el.addEventListener('click', (e) => {
      const b = e.target.closest('.bar');
      if (b && b.dataset.process) Vt.views.flows.showProcess(b.dataset.process);
    });
  };
})();
