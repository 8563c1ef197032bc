// The lazy registry tree: one root per registry, each level fetched with
// GET /api/tree (depth 1) the first time it is expanded. Rows show the
// node's name, a type badge and flag badges; the filter box keeps the
// loaded nodes whose name or path contains its text, with their ancestors.
// Runs on the page's thread; owns its container's content.
import { api, statusText } from './api.js';
import { h, replace } from './dom.js';

// One letter per flag, as the command-line client prints them.
const c_flagLetters = {
  read: 'r', write: 'w', persistent: 'P', constant: 'c', hidden: 'H',
  executable: 'x', attribute: 'a', array: 'A', signal: 'S', unlocked_read: 'u',
};

export function flagBadges(flags) {
  return (flags || []).map((flag) =>
    h('span', { class: `badge flag flag-${String(flag).replace(/[^a-z_]/gi, '')}`, title: flag },
      c_flagLetters[flag] || flag));
}

export function typeBadge(type) {
  return type && type !== 'Undefined' ? h('span', { class: 'badge type', title: 'type' }, type) : null;
}

export class Tree {
  // onSelect(node) when a row is chosen; node: {registry, path, name, type,
  // flags, size, leaf}.
  constructor(container, filterInput, onSelect) {
    this.m_container = container;
    this.m_onSelect = onSelect;
    this.m_roots = [];
    this.m_selected = null;
    this.m_filter = '';
    filterInput.addEventListener('input', () => {
      this.m_filter = filterInput.value.trim().toLowerCase();
      filterInput.classList.remove('not-found');
      this.ApplyFilter();
    });
    // Enter opens the node whose path was typed, loading the levels on the way.
    filterInput.addEventListener('keydown', async (event) => {
      if (event.key !== 'Enter') return;
      const found = await this.OpenPath(filterInput.value.trim());
      filterInput.classList.toggle('not-found', !found);
    });
  }

  // Expands the tree along a dotted path (in the registry of the selected
  // node, else the first one) and selects its node; false when there is none.
  async OpenPath(path) {
    const root = (this.m_selected && this.m_roots.find((r) => r.registry === this.m_selected.registry)) ||
      this.m_roots[0];
    if (!root || !path) return false;
    const elements = path.split('.');
    let node = root;
    for (let i = 0; i < elements.length; i++) {
      if (!node.expanded) await this.Toggle(node);
      else if (node.children === null && !node.loading) await this.Load(node);
      const next = (node.children || []).find((c) => c.path === elements.slice(0, i + 1).join('.'));
      if (!next) return false;
      node = next;
    }
    this.Select(node);
    node.row.scrollIntoView({ block: 'nearest' });
    return true;
  }

  // Shows one root per registry ({name, state}); a single registry is
  // expanded at once.
  SetRegistries(registries) {
    this.m_roots = registries.map((r) =>
      this.MakeNode({ registry: r.name, path: '', name: r.name, leaf: false, isRegistry: true }));
    replace(this.m_container, h('ul', { class: 'tree', role: 'tree' }, this.m_roots.map((n) => n.li)));
    if (this.m_roots.length === 1) this.Toggle(this.m_roots[0]);
  }

  MakeNode(entry) {
    const node = { ...entry, children: null, expanded: false };
    const toggle = h('span', { class: 'toggle', 'aria-hidden': 'true' }, node.leaf ? '' : '▸');
    node.toggle = toggle;
    node.row = h('div', {
      class: node.isRegistry ? 'row registry-row' : 'row',
      tabindex: 0,
      role: 'treeitem',
      dataset: { registry: node.registry, path: node.path },
      onclick: (event) => {
        if (event.target === toggle) this.Toggle(node);
        else this.Select(node);
      },
      ondblclick: () => this.Toggle(node),
      onkeydown: (event) => {
        if (event.key === 'Enter') this.Select(node);
        else if (event.key === 'ArrowRight' && !node.expanded) this.Toggle(node);
        else if (event.key === 'ArrowLeft' && node.expanded) this.Toggle(node);
      },
    }, toggle, h('span', { class: 'name', title: node.path || node.name }, node.name), typeBadge(node.type), flagBadges(node.flags),
    node.isRegistry ? h('span', { class: 'state-dot', title: 'registry state' }) : null);
    node.childList = h('ul', { class: 'children', role: 'group', hidden: true });
    node.li = h('li', {}, node.row, node.childList);
    return node;
  }

  // Expands or collapses a node, fetching its children on the first
  // expansion.
  async Toggle(node) {
    if (node.leaf) return;
    if (node.expanded) {
      node.expanded = false;
      node.childList.hidden = true;
      node.toggle.textContent = '▸';
      this.ApplyFilter();
      return;
    }
    node.expanded = true;
    node.toggle.textContent = '▾';
    node.childList.hidden = false;
    if (node.children === null && !node.loading) await this.Load(node);
    this.ApplyFilter();
  }

  async Load(node) {
    node.loading = true;
    node.row.classList.add('loading');
    try {
      const entries = await api.tree(node.registry, node.path, 1);
      const prefix = node.path === '' ? '' : node.path + '.';
      node.children = (entries || [])
        // Direct children only, should the gateway answer with more.
        .filter((e) => e.path !== node.path && !(e.path.startsWith(prefix) && e.path.slice(prefix.length).includes('.')))
        .map((e) => this.MakeNode({
          registry: node.registry, path: e.path, name: e.name ?? e.path.slice(prefix.length),
          type: e.type, flags: e.flags || [], size: e.size, leaf: !!e.leaf,
        }));
      replace(node.childList, node.children.map((c) => c.li));
      if (node.children.length === 0) node.childList.append(h('li', { class: 'empty' }, '(no children)'));
    } catch (e) {
      node.children = null;
      replace(node.childList, h('li', { class: 'error', role: 'alert' }, `${statusText(e.status)}: ${e.message}`));
    } finally {
      node.loading = false;
      node.row.classList.remove('loading');
    }
  }

  Select(node) {
    if (this.m_selected) this.m_selected.row.classList.remove('selected');
    this.m_selected = node;
    node.row.classList.add('selected');
    this.m_onSelect(node);
  }

  // The row dot of a registry root shows its state.
  SetRegistryState(registry, state) {
    const root = this.m_roots.find((n) => n.registry === registry);
    if (root) root.row.dataset.state = state;
  }

  // Hides loaded nodes that neither match the filter nor lead to one.
  ApplyFilter() {
    const text = this.m_filter;
    const visit = (node) => {
      const selfMatch = !text || node.name.toLowerCase().includes(text) || node.path.toLowerCase().includes(text);
      let childMatch = false;
      for (const child of node.children || []) childMatch = visit(child) || childMatch;
      const shown = selfMatch || childMatch;
      node.li.hidden = !shown;
      // While filtering, a node that leads to a match shows its children.
      node.childList.hidden = !(node.expanded || (text && childMatch));
      return shown;
    };
    for (const root of this.m_roots) {
      visit(root);
      root.li.hidden = false;
    }
  }
}
