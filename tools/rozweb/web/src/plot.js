// A uPlot chart that fills its box and follows its size, shared by the
// scope and the range view. Runs on the page's thread; owns the chart.
import uPlot from 'uplot';

export const c_traceColors = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];

export class Plot {
  // box: the element the chart fills; scales: uPlot scale options.
  constructor(box, scales, xLabel) {
    this.m_box = box;
    this.m_scales = scales;
    this.m_xLabel = xLabel;
    this.m_chart = null;
    this.m_components = null;
    new ResizeObserver(() => {
      if (this.m_chart) this.m_chart.setSize(this.Size());
    }).observe(box);
  }

  Size() {
    return { width: Math.max(200, this.m_box.clientWidth), height: Math.max(160, this.m_box.clientHeight - 40) };
  }

  // Draws data ([xs, ys of each component]); a new set of component names
  // makes a new chart.
  SetData(components, data) {
    if (!this.m_chart || this.m_components !== components.join('\n')) {
      if (this.m_chart) this.m_chart.destroy();
      this.m_components = components.join('\n');
      this.m_chart = new uPlot({
        ...this.Size(),
        scales: this.m_scales,
        legend: { show: true, live: false },
        cursor: { drag: { x: false, y: false } },
        axes: [{ label: this.m_xLabel }, {}],
        series: [{ label: this.m_xLabel },
          ...components.map((name, i) => ({
            label: name, stroke: c_traceColors[i % c_traceColors.length], width: 1, points: { show: false },
          }))],
      }, data, this.m_box);
    } else {
      this.m_chart.setData(data);
    }
  }

  Clear() {
    if (this.m_chart) this.m_chart.destroy();
    this.m_chart = null;
    this.m_components = null;
  }
}
