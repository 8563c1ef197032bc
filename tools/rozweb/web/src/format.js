// Value forms of the console: reading the gateway's JSON without losing
// 64-bit integers, showing values as text, and turning what the user typed
// into the JSON value of a write for the node's type.
// Pure functions; no state.

const c_integerTypes = new Set(['Long', 'ULong', 'LongLong', 'ULongLong']);
const c_numberTypes = new Set([...c_integerTypes, 'Double', 'Float']);
const c_jsonNumber = /^-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?$/;
const c_integer = /^-?\d+$/;

export function isNumericType(type) {
  return c_numberTypes.has(type);
}

// JSON.parse, with integers beyond 2^53 kept exact as BigInt where the
// browser hands the reviver the source text. Throws SyntaxError.
export function parseJson(text) {
  return JSON.parse(text, (key, value, context) => {
    if (typeof value === 'number' && !Number.isSafeInteger(value) && context &&
        typeof context.source === 'string' && c_integer.test(context.source)) {
      return BigInt(context.source);
    }
    return value;
  });
}

// JSON text of a value that may hold BigInts (written as bare integers).
export function toJsonText(value) {
  if (typeof value === 'bigint') return value.toString();
  if (Array.isArray(value)) return '[' + value.map(toJsonText).join(',') + ']';
  if (value !== null && typeof value === 'object') {
    return '{' + Object.entries(value).map(([k, v]) => JSON.stringify(k) + ':' + toJsonText(v)).join(',') + '}';
  }
  return JSON.stringify(value === undefined ? null : value);
}

// A value as the console shows it: text as it is, arrays in brackets with
// their strings quoted, at most `limit` elements.
export function formatValue(value, limit = 64) {
  if (value === undefined || value === null) return '—';
  if (Array.isArray(value)) {
    const shown = value.slice(0, limit).map((v) => (typeof v === 'string' ? JSON.stringify(v) : formatValue(v)));
    if (value.length > limit) shown.push(`… ${value.length - limit} more`);
    return '[' + shown.join(', ') + ']';
  }
  if (typeof value === 'object') return toJsonText(value);
  return String(value);
}

// The text an input field starts with for a value (what parseInput reads back).
export function inputText(value) {
  if (value === undefined || value === null) return '';
  if (Array.isArray(value)) return toJsonText(value);
  return String(value);
}

// A change time as a clock time. Numbers are read by magnitude as
// nanoseconds, microseconds, milliseconds or seconds since the epoch; text
// is shown as it is.
export function formatTime(time) {
  if (typeof time === 'string') return time;
  if (typeof time === 'bigint') time = Number(time);
  if (typeof time !== 'number' || !Number.isFinite(time)) return '';
  let ms = time;
  if (time > 1e17) ms = time / 1e6;
  else if (time > 1e14) ms = time / 1e3;
  else if (time < 1e11) ms = time * 1e3;
  const d = new Date(ms);
  const pad = (n, w = 2) => String(n).padStart(w, '0');
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
}

// One element typed by the user as JSON text for `type`. Throws Error with
// a message for the user.
function scalarJson(text, type) {
  const t = text.trim();
  if (type === 'Bool') {
    if (/^(true|1|on|yes)$/i.test(t)) return 'true';
    if (/^(false|0|off|no)$/i.test(t)) return 'false';
    throw new Error(`"${t}" is not a Bool (true or false)`);
  }
  if (c_integerTypes.has(type)) {
    if (!c_integer.test(t)) throw new Error(`"${t}" is not an integer`);
    return t.replace(/^(-?)0+(?=\d)/, '$1');
  }
  if (type === 'Double' || type === 'Float') {
    if (!c_jsonNumber.test(t)) {
      const n = Number(t);
      if (t === '' || !Number.isFinite(n)) throw new Error(`"${t}" is not a number`);
      return JSON.stringify(n);
    }
    return t;
  }
  return JSON.stringify(text);  // String, Enumeration: the text as typed
}

// What the user typed as the JSON text of a write to a node of `type`
// (an array when `isArray`): a JSON array as it is, or elements separated
// by commas. Range and domain checks are the registry's. Throws Error with
// a message for the user.
export function parseInput(text, type, isArray) {
  if (!isArray) return scalarJson(text, type);
  const t = text.trim();
  if (t.startsWith('[')) {
    let items;
    try {
      items = parseJson(t);
    } catch (e) {
      throw new Error('not a JSON array: ' + e.message);
    }
    if (!Array.isArray(items)) throw new Error('not a JSON array');
    return '[' + items.map((v) => {
      if (v === null || typeof v === 'object') throw new Error('array elements must be single values');
      return scalarJson(typeof v === 'string' ? v : String(v), type);
    }).join(',') + ']';
  }
  if (t === '') return '[]';
  return '[' + t.split(',').map((v) => scalarJson(type === 'String' ? v : v.trim(), type)).join(',') + ']';
}

// The value after a change message: an array change at pos > 0 goes into
// the array known so far; anything else replaces the value.
export function mergeChange(current, change) {
  const pos = Number(change.pos) || 0;
  if (Array.isArray(change.value) && Array.isArray(current) && pos > 0) {
    const merged = current.slice();
    change.value.forEach((v, i) => { merged[pos + i] = v; });
    return merged;
  }
  return change.value;
}
