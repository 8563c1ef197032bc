// The range view: a stretch of a data-on-demand signal read at a position
// the user chooses (first sample, number of samples), drawn by sample
// position; earlier and later move by one stretch. Runs on the page's
// thread; owns its container's content.
import { api, statusText } from './api.js';
import { h, replace } from './dom.js';
import { Plot } from './plot.js';

const c_maxPoints = 2000;

export class RangeView {
  constructor(container) {
    this.m_node = null;
    this.m_serial = 0;
    this.m_title = h('span', { class: 'scope-path' }, 'no signal');
    this.m_pos = h('input', { type: 'number', id: 'range-pos', min: 0, value: '0', title: 'first sample' });
    this.m_count = h('input', { type: 'number', id: 'range-count', min: 1, value: '1000', title: 'samples' });
    this.m_status = h('span', { id: 'range-status', class: 'status', role: 'status' });
    const step = (direction) => {
      const count = Math.max(1, Number(this.m_count.value) || 1);
      this.m_pos.value = String(Math.max(0, (Number(this.m_pos.value) || 0) + direction * count));
      this.Read();
    };
    this.m_buttons = [
      h('button', { type: 'button', id: 'range-earlier', onclick: () => step(-1) }, '◀ earlier'),
      h('button', { type: 'button', id: 'range-read', onclick: () => this.Read() }, 'Read'),
      h('button', { type: 'button', id: 'range-later', onclick: () => step(1) }, 'later ▶'),
    ];
    for (const b of this.m_buttons) b.disabled = true;
    this.m_box = h('div', { class: 'plot', id: 'range-plot' });
    replace(container,
      h('div', { class: 'toolbar' }, this.m_title, h('label', {}, 'from ', this.m_pos),
        h('label', {}, 'samples ', this.m_count), this.m_buttons, this.m_status),
      this.m_box);
    this.m_plot = new Plot(this.m_box, { x: { time: false } }, 'sample');
  }

  // Shows a data-on-demand signal node ({registry, path}) from its start.
  Open(node) {
    this.m_node = node;
    this.m_title.textContent = node.path;
    for (const b of this.m_buttons) b.disabled = false;
    this.m_plot.Clear();
    this.Read();
  }

  async Read() {
    if (!this.m_node) return;
    const serial = ++this.m_serial;
    const pos = Math.max(0, Math.floor(Number(this.m_pos.value) || 0));
    const count = Math.max(1, Math.floor(Number(this.m_count.value) || 1));
    this.m_status.className = 'status';
    this.m_status.textContent = 'reading…';
    let answer;
    try {
      answer = await api.signal(this.m_node.registry, this.m_node.path, pos, count, c_maxPoints);
    } catch (e) {
      if (serial !== this.m_serial) return;
      this.m_status.classList.add('error');
      this.m_status.textContent = `${statusText(e.status)}: ${e.message}`;
      return;
    }
    if (serial !== this.m_serial) return;
    const data = Array.isArray(answer?.data) ? answer.data : [];
    const components = Array.isArray(answer?.components) && answer.components.length === data.length
      ? answer.components.map(String) : data.map((_, i) => `#${i}`);
    const n = Math.max(0, ...data.map((d) => d.length));
    const first = Number(answer?.pos ?? pos);
    // Decimated points stand for equal shares of the atoms read.
    const read = Number(answer?.atoms ?? count);
    if (read === 0) {
      this.m_plot.Clear();
      this.m_status.textContent = `nothing at ${first}: past the end of the signal`;
      return;
    }
    const xs = Array.from({ length: n }, (_, i) => first + (n > 1 ? (i * (read - 1)) / (n - 1) : 0));
    this.m_plot.SetData(components, [xs, ...data.map((d) => Array.from({ length: n }, (_, i) => Number(d[i] ?? NaN)))]);
    this.m_status.textContent = `samples ${first} to ${first + read - 1}` +
      (n < read ? `, ${n} points drawn` : '');
  }
}
