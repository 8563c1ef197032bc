// The gateway's HTTP interface as promises. Every call resolves with the
// parsed JSON answer or rejects with an ApiError that carries the HTTP
// status (0: the gateway did not answer) and the gateway's error text.
// Runs on the page's thread; keeps no state.
import { parseJson } from './format.js';

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// What a failure status means to the user.
export function statusText(status) {
  switch (status) {
    case 0: return 'gateway unreachable';
    case 400: return 'bad request';
    case 403: return 'read-only gateway';
    case 404: return 'not found';
    case 409: return 'refused';
    case 502: return 'registry unreachable';
    default: return `HTTP ${status}`;
  }
}

async function request(method, url, body) {
  let response;
  try {
    response = await fetch(url, {
      method,
      headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
      body,
      cache: 'no-store',
    });
  } catch (e) {
    throw new ApiError(0, 'the gateway does not answer (' + e.message + ')');
  }
  const text = await response.text();
  let data = null;
  try {
    data = text ? parseJson(text) : null;
  } catch {
    data = null;
  }
  if (!response.ok) {
    const message = data && typeof data.error === 'string' ? data.error : text || response.statusText;
    throw new ApiError(response.status, message);
  }
  return data;
}

function url(path, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params)) {
    if (value !== undefined && value !== null) query.set(key, String(value));
  }
  return `/api/${path}?${query}`;
}

export const api = {
  registries: () => request('GET', '/api/registries'),
  // Children of `path` (depth 1): [{path, name, type, flags, size, leaf}].
  tree: (registry, path, depth = 1) => request('GET', url('tree', { registry, path, depth })),
  info: (registry, path) => request('GET', url('info', { registry, path })),
  value: (registry, path, pos = 0, count = 0) => request('GET', url('value', { registry, path, pos, count })),
  // valueJson: the value as JSON text (see format.parseInput).
  write: (registry, path, valueJson, pos = 0) =>
    request('PUT', '/api/value',
      `{"registry":${JSON.stringify(registry)},"path":${JSON.stringify(path)},"value":${valueJson},"pos":${pos}}`),
  exec: (registry, path) => request('POST', '/api/exec', JSON.stringify({ registry, path })),
  // A range of a data-on-demand signal, decimated to at most maxPoints per
  // component: {path, pos, components: [names], data: [[...], ...]}.
  signal: (registry, path, pos, count, maxPoints) =>
    request('GET', url('signal', { registry, path, pos, count, max_points: maxPoints })),
};
