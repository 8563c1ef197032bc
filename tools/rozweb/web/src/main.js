// The console's start: the registries and their connection indicators,
// the tree, the detail pane, the watch list, and the scope and range views
// in tabs below the detail pane. Runs on the page's thread.
import 'uplot/dist/uPlot.min.css';
import './style.css';
import { api, statusText } from './api.js';
import { h, replace } from './dom.js';
import { parseJson } from './format.js';
import { Live } from './live.js';
import { Tree } from './tree.js';
import { Detail } from './detail.js';
import { Watch } from './watch.js';
import { Scope } from './scope.js';
import { RangeView } from './range.js';

const $ = (id) => document.getElementById(id);

const live = new Live(parseJson);
const indicators = new Map();  // registry -> element

function showTab(name) {
  for (const tab of document.querySelectorAll('[role=tab]')) {
    const selected = tab.dataset.tab === name;
    tab.setAttribute('aria-selected', String(selected));
    $(tab.getAttribute('aria-controls')).hidden = !selected;
  }
}

function setRegistryState(registry, state) {
  const el = indicators.get(registry);
  if (el) {
    el.dataset.state = state;
    el.querySelector('.state-text').textContent = state === 'connected' ? 'connected' : 'not connected';
  }
  tree.SetRegistryState(registry, state);
}

const tree = new Tree($('tree'), $('filter'), (node) => detail.Show(node));
const scope = new Scope($('scope'), live);
const range = new RangeView($('range'));
const detail = new Detail($('detail'), live, {
  onPin: (node) => watch.Add(node),
  onScope: (node) => { showTab('scope'); scope.Open(node); },
  onRange: (node) => { showTab('range'); range.Open(node); },
});
const watch = new Watch($('watch'), live, (node) => detail.Show(node));

for (const tab of document.querySelectorAll('[role=tab]')) {
  tab.addEventListener('click', () => showTab(tab.dataset.tab));
}

live.OnLink((open) => {
  const el = $('link');
  el.dataset.state = open ? 'connected' : 'not_connected';
  el.title = open ? 'live updates connected' : 'live updates disconnected; reconnecting';
  // After a reconnect the registries' states may have changed meanwhile.
  if (open && indicators.size) refreshStates();
});
live.OnState(setRegistryState);
live.OnError((m) => { $('message').textContent = `gateway: ${m.error ?? m.message ?? 'error'}`; });

async function refreshStates() {
  try {
    for (const r of await api.registries()) setRegistryState(r.name, r.state);
  } catch {
    // the link indicator tells already
  }
}

async function start() {
  let registries;
  try {
    registries = await api.registries();
  } catch (e) {
    replace($('tree'), h('p', { class: 'error', role: 'alert' }, `${statusText(e.status)}: ${e.message}`));
    setTimeout(start, 2000);
    return;
  }
  const bar = $('registries');
  bar.replaceChildren();
  indicators.clear();
  for (const r of registries) {
    const el = h('span', { class: 'indicator', dataset: { registry: r.name, state: r.state },
      title: `${r.host}:${r.port}/${r.root}` }, h('span', { class: 'dot' }), r.name, ' ',
    h('span', { class: 'state-text' }));
    indicators.set(r.name, el);
    bar.append(el);
  }
  tree.SetRegistries(registries);
  for (const r of registries) setRegistryState(r.name, r.state);
}

showTab('scope');
start();
