// DOM helpers of the console. Every text that comes from a registry or the
// gateway reaches the page through these as a text node or a property,
// never as HTML: no module of the console assigns innerHTML.
// Runs on the page's only thread; owns nothing.

// h(tag, props, ...children): an element. props: "class", "dataset" (an
// object), "on<event>" (a listener), "style" (an object), a boolean true
// (an empty attribute), or any other attribute set as a string; null,
// undefined and false leave a prop out. Children: nodes, strings (as text),
// numbers, arrays of those, null/undefined/false (skipped).
export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key === 'dataset') Object.assign(el.dataset, value);
    else if (key === 'style') Object.assign(el.style, value);
    else if (key.startsWith('on') && typeof value === 'function') el.addEventListener(key.slice(2), value);
    else if (key === 'value' || key === 'checked' || key === 'disabled' || key === 'selected') el[key] = value;
    else el.setAttribute(key, value === true ? '' : String(value));
  }
  append(el, children);
  return el;
}

// Appends children (see h) to el.
export function append(el, children) {
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    el.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return el;
}

// Replaces the content of el with children (see h).
export function replace(el, ...children) {
  el.replaceChildren();
  return append(el, children);
}

// Restarts a short highlight animation on el (a value that just changed).
export function flash(el) {
  el.classList.remove('flash');
  void el.offsetWidth;  // restarts the CSS animation
  el.classList.add('flash');
}
