// The detail pane of the selected node: value (kept current through a
// subscription), type, flags, size, domain, validator and what else the
// gateway tells about it; a write form (a drop-down of the domain for
// enumerations) that shows the old and the new value or the registry's
// refusal in place; the command button of executable nodes; buttons that
// pin the node to the watch list or open a signal in the scope or range
// view. Runs on the page's thread; owns its container's content and the
// subscription of the node shown.
import { api, statusText } from './api.js';
import { h, replace, flash } from './dom.js';
import { formatTime, formatValue, inputText, mergeChange, parseInput } from './format.js';
import { flagBadges, typeBadge } from './tree.js';

const c_otherValue = '\u0000other';
// Info fields shown in their own rows (or not at all).
const c_knownInfo = new Set(['path', 'name', 'type', 'flags', 'size', 'domain', 'validator', 'children', 'leaf']);

function failureText(error) {
  return `${statusText(error.status)} (${error.status || 'no answer'}): ${error.message}`;
}

export class Detail {
  // actions: onPin(node), onScope(node), onRange(node); live: the Live socket.
  constructor(container, live, actions) {
    this.m_container = container;
    this.m_live = live;
    this.m_actions = actions;
    this.m_unsubscribe = null;
    this.m_serial = 0;
    this.ShowEmpty();
  }

  ShowEmpty() {
    replace(this.m_container, h('p', { class: 'hint' }, 'Choose a node in the tree.'));
  }

  // Shows a node ({registry, path, name, flags, ...} of the tree).
  async Show(node) {
    const serial = ++this.m_serial;
    if (this.m_unsubscribe) this.m_unsubscribe();
    this.m_unsubscribe = null;
    replace(this.m_container, h('h2', { class: 'detail-path' }, node.path || '(root)'),
      h('p', { class: 'hint' }, 'loading…'));
    if (node.isRegistry && node.path === '') {
      this.ShowRegistry(node);
      return;
    }
    let info;
    try {
      info = await api.info(node.registry, node.path);
    } catch (e) {
      if (serial !== this.m_serial) return;
      replace(this.m_container, h('h2', { class: 'detail-path' }, node.path),
        h('p', { class: 'error', role: 'alert' }, failureText(e)));
      return;
    }
    if (serial !== this.m_serial) return;
    this.Render(node, info || {}, serial);
  }

  ShowRegistry(node) {
    replace(this.m_container, h('h2', { class: 'detail-path' }, `registry ${node.registry}`),
      h('p', { class: 'hint' }, 'Expand the registry to browse its nodes.'));
  }

  Render(node, info, serial) {
    this.m_fillInput = null;
    this.m_value = undefined;
    const flags = info.flags || node.flags || [];
    const type = info.type || node.type;
    const has = (flag) => flags.includes(flag);
    const full = { ...node, type, flags };
    const rows = [
      ['Registry', node.registry],
      ['Type', typeBadge(type) || '—'],
      ['Flags', flags.length ? flagBadges(flags).map((b) => [b, h('span', { class: 'flag-name' }, b.title)]) : '—'],
      ['Size', info.size ?? node.size ?? '—'],
    ];
    if (Array.isArray(info.domain) && info.domain.length) rows.push(['Domain', info.domain.join(', ')]);
    if (info.validator) rows.push(['Validator', String(info.validator)]);
    if (info.children !== undefined) {
      rows.push(['Children', Array.isArray(info.children) ? (info.children.join(', ') || '—') : String(info.children)]);
    }
    for (const [key, value] of Object.entries(info)) {
      if (c_knownInfo.has(key) || value === null || value === undefined) continue;
      rows.push([key, typeof value === 'object' ? formatValue(value) : String(value)]);
    }

    const valueEl = h('output', { id: 'detail-value', class: 'value' }, '…');
    const timeEl = h('span', { class: 'time' });
    const readable = has('read') && !has('signal') && type && type !== 'Undefined';
    const actions = h('div', { class: 'actions' });
    if (readable) {
      actions.append(h('button', { type: 'button', id: 'pin-button', onclick: () => this.m_actions.onPin(full) },
        'Pin to watch list'));
    }
    if (has('signal')) {
      const scope = h('button', { type: 'button', id: 'scope-button', onclick: () => this.m_actions.onScope(full) },
        'Open in scope');
      const range = h('button', { type: 'button', id: 'range-button', onclick: () => this.m_actions.onRange(full) },
        'Open in range view');
      actions.append(scope, range);
      // The signal's child access_type tells a push stream (1) from data on
      // demand (2); unknown: both buttons stay.
      api.value(node.registry, `${node.path}.access_type`).then((answer) => {
        const access = Number(answer && answer.value);
        if (access === 1) range.hidden = true;
        if (access === 2) scope.hidden = true;
      }, () => {});
    }
    if (has('executable')) actions.append(this.ExecButton(node));

    replace(this.m_container,
      h('h2', { class: 'detail-path' }, node.path),
      readable ? h('div', { class: 'value-line' }, valueEl, timeEl) : null,
      h('table', { class: 'info' }, rows.map(([k, v]) => h('tr', {}, h('th', {}, k), h('td', {}, v)))),
      actions,
      has('write') && !has('executable') && !has('constant') && type && type !== 'Undefined'
        ? this.WriteForm(node, type, has('array'), info.domain, valueEl) : null);

    if (readable) {
      // The first read and the subscription race: a change that arrives
      // before the read's answer is newer than it, and the answer must not
      // put the older value back.
      let changed = false;
      api.value(node.registry, node.path).then((answer) => {
        if (serial !== this.m_serial) return;
        if (!changed) {
          this.m_value = answer ? answer.value : undefined;
          valueEl.textContent = formatValue(this.m_value);
        }
        this.m_fillInput?.(this.m_value);
      }, (e) => {
        if (serial !== this.m_serial || changed) return;
        valueEl.textContent = failureText(e);
        valueEl.classList.add('error');
      });
      this.m_unsubscribe = this.m_live.Subscribe(node.registry, node.path, (change) => {
        changed = true;
        this.m_value = mergeChange(this.m_value, change);
        valueEl.textContent = formatValue(this.m_value);
        valueEl.classList.remove('error');
        timeEl.textContent = formatTime(change.time);
        flash(valueEl);
      });
    }
  }

  ExecButton(node) {
    const result = h('span', { id: 'exec-result', class: 'result', role: 'status' });
    const button = h('button', {
      type: 'button', id: 'exec-button', class: 'command',
      onclick: async () => {
        button.disabled = true;
        result.className = 'result';
        result.textContent = 'running…';
        try {
          await api.exec(node.registry, node.path);
          result.textContent = 'done';
        } catch (e) {
          result.classList.add('error');
          result.textContent = failureText(e);
        } finally {
          button.disabled = false;
        }
      },
    }, `Execute ${node.name || node.path}`);
    return h('span', {}, button, result);
  }

  WriteForm(node, type, isArray, domain, valueEl) {
    const enumeration = type === 'Enumeration' && !isArray && Array.isArray(domain) && domain.length > 0;
    const input = h('input', { id: 'write-input', type: 'text', spellcheck: 'false', autocomplete: 'off',
      placeholder: isArray ? 'JSON array or values separated by commas' : `new ${type} value` });
    let select = null;
    if (enumeration) {
      select = h('select', { id: 'write-select' },
        domain.map((d) => h('option', { value: d }, d)),
        h('option', { value: c_otherValue }, 'other value…'));
      input.hidden = true;
      select.addEventListener('change', () => {
        input.hidden = select.value !== c_otherValue;
        if (!input.hidden) input.focus();
      });
    }
    const pos = isArray ? h('input', { id: 'write-pos', type: 'number', min: 0, value: '0', title: 'first element written' }) : null;
    const result = h('div', { id: 'write-result', class: 'result', role: 'status' });
    // The value read when the pane opens fills the form, unless the user has
    // begun to write meanwhile (a late answer must not undo a choice).
    let touched = false;
    for (const control of [select, input]) control?.addEventListener('input', () => { touched = true; });
    this.m_fillInput = (value) => {
      if (touched) return;
      if (select) {
        if (domain.includes(value)) select.value = value;
      } else if (document.activeElement !== input) {
        input.value = inputText(value);
      }
    };
    const submit = async (event) => {
      event.preventDefault();
      result.className = 'result';
      let json;
      try {
        const text = select && select.value !== c_otherValue ? select.value : input.value;
        json = parseInput(text, type, isArray);
      } catch (e) {
        result.classList.add('error');
        result.textContent = `Not written: ${e.message}`;
        return;
      }
      result.textContent = 'writing…';
      try {
        const answer = await api.write(node.registry, node.path, json, pos ? Number(pos.value) || 0 : 0);
        replace(result, h('span', { class: 'old' }, formatValue(answer.old)), ' → ',
          h('span', { class: 'new' }, formatValue(answer.new)));
        if (!isArray) {
          valueEl.textContent = formatValue(answer.new);
          flash(valueEl);
        }
      } catch (e) {
        result.classList.add('error');
        result.setAttribute('role', 'alert');
        result.textContent = failureText(e);
      }
    };
    return h('form', { class: 'write', onsubmit: submit },
      h('label', {}, 'Write ', select, input),
      pos ? h('label', {}, ' at ', pos) : null,
      h('button', { type: 'submit', id: 'write-button' }, 'Write'),
      result);
  }
}
