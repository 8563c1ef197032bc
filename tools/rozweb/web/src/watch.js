// The watch list: nodes pinned by the user, each kept current through a
// subscription, with the time of its last change and, for numbers, a
// sparkline of the last values. The list survives a reload (localStorage).
// Runs on the page's thread; owns its container's content and the
// subscriptions of its rows.
import { api, statusText } from './api.js';
import { h, replace, flash } from './dom.js';
import { formatTime, formatValue, isNumericType, mergeChange } from './format.js';

const c_storageKey = 'rozweb.watch';
const c_history = 120;  // values a sparkline shows

// Draws values (numbers) as a line across the canvas.
export function drawSparkline(canvas, values) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth || 100;
  const height = canvas.clientHeight || 24;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const ctx = canvas.getContext('2d');
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, width, height);
  if (values.length < 2) return;
  let min = Math.min(...values);
  let max = Math.max(...values);
  if (min === max) { min -= 1; max += 1; }
  ctx.strokeStyle = getComputedStyle(canvas).color || '#2a7';
  ctx.lineWidth = 1.2;
  ctx.beginPath();
  values.forEach((v, i) => {
    const x = (i / (values.length - 1)) * (width - 2) + 1;
    const y = height - 2 - ((v - min) / (max - min)) * (height - 4);
    if (i === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
  });
  ctx.stroke();
}

export class Watch {
  // onSelect(node) when a row's path is clicked.
  constructor(container, live, onSelect) {
    this.m_list = h('ul', { class: 'watch-list' });
    this.m_empty = h('p', { class: 'hint' }, 'Pin nodes from the detail pane to watch them here.');
    replace(container, this.m_empty, this.m_list);
    this.m_live = live;
    this.m_onSelect = onSelect;
    this.m_rows = new Map();  // registry\npath -> row
    let saved = [];
    try {
      saved = JSON.parse(localStorage.getItem(c_storageKey) || '[]');
    } catch {
      saved = [];
    }
    for (const s of Array.isArray(saved) ? saved : []) {
      if (s && typeof s.path === 'string') this.Add({ registry: s.registry, path: s.path, type: s.type, flags: s.flags || [] });
    }
  }

  Save() {
    const list = [...this.m_rows.values()].map((r) => ({
      registry: r.node.registry, path: r.node.path, type: r.node.type, flags: r.node.flags,
    }));
    localStorage.setItem(c_storageKey, JSON.stringify(list));
  }

  // Pins a node ({registry, path, type, flags}); a node pinned already is
  // only highlighted.
  Add(node) {
    const k = `${node.registry}\n${node.path}`;
    const existing = this.m_rows.get(k);
    if (existing) {
      flash(existing.li);
      return;
    }
    const numeric = isNumericType(node.type) && !(node.flags || []).includes('array');
    const row = { node, history: [], value: undefined };
    row.valueEl = h('span', { class: 'value' }, '…');
    row.timeEl = h('span', { class: 'time' });
    row.spark = numeric ? h('canvas', { class: 'sparkline', width: 100, height: 24 }) : null;
    row.li = h('li', { dataset: { registry: node.registry, path: node.path } },
      h('button', { type: 'button', class: 'link path', title: node.registry, onclick: () => this.m_onSelect(node) }, node.path),
      row.valueEl, row.spark, row.timeEl,
      h('button', { type: 'button', class: 'unpin', title: 'unpin', 'aria-label': `unpin ${node.path}`,
        onclick: () => this.Remove(k) }, '×'));
    this.m_rows.set(k, row);
    this.m_list.append(row.li);
    this.m_empty.hidden = true;
    this.Save();

    const show = (value) => {
      row.value = value;
      row.valueEl.textContent = formatValue(value, 8);
      row.valueEl.classList.remove('error');
      if (row.spark) {
        const n = Number(value);
        if (Number.isFinite(n)) {
          row.history.push(n);
          if (row.history.length > c_history) row.history.shift();
          drawSparkline(row.spark, row.history);
        }
      }
    };
    api.value(node.registry, node.path).then((answer) => {
      if (row.value === undefined && answer) show(answer.value);
    }, (e) => {
      row.valueEl.textContent = `${statusText(e.status)}: ${e.message}`;
      row.valueEl.classList.add('error');
    });
    row.unsubscribe = this.m_live.Subscribe(node.registry, node.path, (change) => {
      show(mergeChange(row.value, change));
      row.timeEl.textContent = formatTime(change.time);
      flash(row.valueEl);
    });
  }

  Remove(k) {
    const row = this.m_rows.get(k);
    if (!row) return;
    row.unsubscribe();
    row.li.remove();
    this.m_rows.delete(k);
    this.m_empty.hidden = this.m_rows.size > 0;
    this.Save();
  }
}
