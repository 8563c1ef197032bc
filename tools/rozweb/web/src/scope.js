// The scope: a push signal drawn live, one trace per component, over the
// last ten divisions of time. Blocks come decimated by the gateway (at most
// max_points per component, minimum and maximum kept); their points are
// spread over the time since the block before. Pause freezes the picture,
// autoscale fits the vertical range (off: the range in the two fields).
// Runs on the page's thread; owns its container's content and the stream.
import { h, replace } from './dom.js';
import { Plot } from './plot.js';

const c_divisions = 10;
const c_timePerDivision = [0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10];
const c_maxPoints = 512;
const c_firstSpanS = 0.05;  // span given to the first block
const c_maxKept = 100000;   // points kept per trace

function divisionText(s) {
  return s < 1 ? `${Math.round(s * 1000)} ms/div` : `${s} s/div`;
}

export class Scope {
  constructor(container, live) {
    this.m_live = live;
    this.m_stop = null;
    this.m_paused = false;
    this.m_autoscale = true;
    this.m_perDivision = 0.1;
    this.Reset();

    this.m_title = h('span', { class: 'scope-path' }, 'no signal');
    this.m_status = h('span', { id: 'scope-status', class: 'status', role: 'status' });
    this.m_pause = h('button', { type: 'button', id: 'scope-pause', onclick: () => this.SetPaused(!this.m_paused) }, 'Pause');
    const auto = h('input', { type: 'checkbox', id: 'scope-autoscale', checked: true });
    this.m_yMin = h('input', { type: 'number', id: 'scope-ymin', step: 'any', value: '-1', disabled: true, title: 'lower end' });
    this.m_yMax = h('input', { type: 'number', id: 'scope-ymax', step: 'any', value: '1', disabled: true, title: 'upper end' });
    auto.addEventListener('change', () => {
      this.m_autoscale = auto.checked;
      this.m_yMin.disabled = this.m_yMax.disabled = auto.checked;
      if (!auto.checked && this.m_plot.m_chart) {
        const y = this.m_plot.m_chart.scales.y;
        if (Number.isFinite(y.min)) this.m_yMin.value = String(+y.min.toPrecision(4));
        if (Number.isFinite(y.max)) this.m_yMax.value = String(+y.max.toPrecision(4));
      }
      this.Draw();
    });
    for (const input of [this.m_yMin, this.m_yMax]) input.addEventListener('input', () => this.Draw());
    const division = h('select', { id: 'scope-division', title: 'time per division' },
      c_timePerDivision.map((s) => h('option', { value: String(s), selected: s === this.m_perDivision }, divisionText(s))));
    division.addEventListener('change', () => {
      this.m_perDivision = Number(division.value);
      this.Draw();
    });
    this.m_stopButton = h('button', { type: 'button', id: 'scope-stop', disabled: true, onclick: () => this.Close() }, 'Stop');
    this.m_box = h('div', { class: 'plot', id: 'scope-plot' });
    replace(container,
      h('div', { class: 'toolbar' }, this.m_title, this.m_pause,
        h('label', {}, auto, ' autoscale'), this.m_yMin, this.m_yMax, division, this.m_stopButton, this.m_status),
      this.m_box);

    this.m_plot = new Plot(this.m_box, {
      x: { time: false, range: () => [-this.Window(), 0] },
      y: { range: (u, min, max) => this.YRange(min, max) },
    }, 's');
  }

  Window() {
    return this.m_perDivision * c_divisions;
  }

  YRange(min, max) {
    if (!this.m_autoscale) {
      const low = Number(this.m_yMin.value);
      const high = Number(this.m_yMax.value);
      if (Number.isFinite(low) && Number.isFinite(high) && low < high) return [low, high];
    }
    if (!Number.isFinite(min) || !Number.isFinite(max)) return [-1, 1];
    if (min === max) return [min - 1, max + 1];
    const pad = (max - min) * 0.05;
    return [min - pad, max + pad];
  }

  Reset() {
    this.m_times = [];
    this.m_series = [];
    this.m_components = [];
    this.m_lastArrival = null;
    this.m_blocks = 0;
    this.m_dropped = 0;
  }

  // Starts drawing the push stream of a signal node ({registry, path}).
  Open(node) {
    this.Close();
    this.Reset();
    this.m_node = node;
    this.m_title.textContent = node.path;
    this.m_stopButton.disabled = false;
    this.SetPaused(false);
    this.m_status.textContent = 'waiting for blocks…';
    this.m_stop = this.m_live.Stream(node.registry, node.path, c_maxPoints, {
      onBlock: (m) => this.OnBlock(m),
      onDropped: (m) => {
        this.m_dropped += Number(m.count ?? m.dropped ?? 1) || 1;
        this.ShowStatus();
      },
      onError: (m) => {
        this.m_status.textContent = `error: ${m.error ?? m.message ?? 'the stream failed'}`;
        this.m_status.classList.add('error');
      },
    });
  }

  Close() {
    if (this.m_stop) this.m_stop();
    this.m_stop = null;
    this.m_stopButton.disabled = true;
    this.m_status.classList.remove('error');
    if (this.m_node) this.m_status.textContent = `stopped after ${this.m_blocks} blocks`;
  }

  SetPaused(paused) {
    this.m_paused = paused;
    this.m_pause.textContent = paused ? 'Run' : 'Pause';
    this.m_pause.classList.toggle('active', paused);
    this.m_lastArrival = null;
  }

  ShowStatus() {
    this.m_status.classList.remove('error');
    this.m_status.textContent = `${this.m_blocks} blocks` + (this.m_dropped ? `, ${this.m_dropped} dropped` : '') +
      (this.m_paused ? ' (paused)' : '');
  }

  OnBlock(message) {
    this.m_blocks += 1;
    if (this.m_paused) {
      this.ShowStatus();
      return;
    }
    const data = Array.isArray(message.data) ? message.data : [];
    const components = Array.isArray(message.components) && message.components.length === data.length
      ? message.components.map(String) : data.map((_, i) => `#${i}`);
    if (components.join('\n') !== this.m_components.join('\n')) {
      this.m_components = components;
      this.m_times = [];
      this.m_series = components.map(() => []);
    }
    const n = Math.max(0, ...data.map((d) => (Array.isArray(d) ? d.length : 0)));
    const now = performance.now() / 1000;
    const span = this.m_lastArrival === null ? c_firstSpanS : Math.min(Math.max(now - this.m_lastArrival, 0), 1);
    this.m_lastArrival = now;
    for (let i = 0; i < n; i++) {
      this.m_times.push(now - span + (span * (i + 1)) / n);
      data.forEach((d, c) => this.m_series[c].push(Array.isArray(d) && i < d.length ? Number(d[i]) : null));
    }
    // Keeps the points of the window shown, at most c_maxKept.
    const oldest = now - this.Window();
    let cut = Math.max(0, this.m_times.length - c_maxKept);
    while (cut < this.m_times.length && this.m_times[cut] < oldest) cut++;
    if (cut > 0) {
      this.m_times.splice(0, cut);
      for (const s of this.m_series) s.splice(0, cut);
    }
    this.ShowStatus();
    this.ScheduleDraw();
  }

  ScheduleDraw() {
    if (this.m_drawPending) return;
    this.m_drawPending = true;
    requestAnimationFrame(() => {
      this.m_drawPending = false;
      this.Draw();
    });
  }

  // Draws the points of the current window, times relative to the newest.
  Draw() {
    if (this.m_times.length === 0) return;
    const newest = this.m_times[this.m_times.length - 1];
    const from = newest - this.Window();
    let first = 0;
    while (first < this.m_times.length && this.m_times[first] < from) first++;
    const xs = this.m_times.slice(first).map((t) => t - newest);
    this.m_plot.SetData(this.m_components, [xs, ...this.m_series.map((s) => s.slice(first))]);
  }
}
