// The console's one WebSocket to the gateway (/api/ws): subscriptions to
// node changes and push streams, shared by the views that want them.
//
// Many listeners of one node make one subscription; the last one leaving
// unsubscribes. The socket reconnects by itself (500 ms, doubling to 5 s)
// and then repeats every subscription and stream still wanted; the gateway
// restores its own side when a registry comes back. Listeners are called on
// the page's thread, from the socket's message event.

const c_retryFirstMs = 500;
const c_retryMaxMs = 5000;

function key(registry, path) {
  return `${registry ?? ''}\n${path}`;
}

export class Live {
  // parse: the JSON reader of the messages (format.parseJson).
  constructor(parse) {
    this.m_parse = parse;
    this.m_subs = new Map();     // key -> {registry, path, listeners: Set}
    this.m_streams = new Map();  // key -> {registry, path, maxPoints, handlers}
    this.m_stateListeners = new Set();
    this.m_linkListeners = new Set();
    this.m_errorListeners = new Set();
    this.m_ws = null;
    this.m_retryMs = c_retryFirstMs;
    this.m_open = false;
    this.Connect();
  }

  get open() {
    return this.m_open;
  }

  Connect() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const ws = new WebSocket(`${scheme}://${location.host}/api/ws`);
    this.m_ws = ws;
    ws.onopen = () => {
      this.m_retryMs = c_retryFirstMs;
      this.SetOpen(true);
      for (const s of this.m_subs.values()) this.Send({ op: 'subscribe', registry: s.registry, path: s.path });
      for (const s of this.m_streams.values()) this.SendStream(s);
    };
    ws.onmessage = (event) => this.Receive(event.data);
    ws.onclose = () => {
      if (this.m_ws !== ws) return;
      this.m_ws = null;
      this.SetOpen(false);
      setTimeout(() => this.Connect(), this.m_retryMs);
      this.m_retryMs = Math.min(this.m_retryMs * 2, c_retryMaxMs);
    };
  }

  SetOpen(open) {
    this.m_open = open;
    for (const listener of this.m_linkListeners) listener(open);
  }

  Send(message) {
    if (this.m_ws && this.m_ws.readyState === WebSocket.OPEN) this.m_ws.send(JSON.stringify(message));
  }

  SendStream(s) {
    this.Send({ op: 'stream', registry: s.registry, path: s.path, max_points: s.maxPoints });
  }

  // listener(open: boolean) on every connect and disconnect of the socket.
  OnLink(listener) {
    this.m_linkListeners.add(listener);
    listener(this.m_open);
  }

  // listener(registry, state) on the gateway's state messages.
  OnState(listener) {
    this.m_stateListeners.add(listener);
  }

  // listener(message) on the gateway's error messages.
  OnError(listener) {
    this.m_errorListeners.add(listener);
  }

  // listener(change message) for every change of the node; returns the
  // function that ends this listener's interest.
  Subscribe(registry, path, listener) {
    const k = key(registry, path);
    let s = this.m_subs.get(k);
    if (!s) {
      s = { registry, path, listeners: new Set() };
      this.m_subs.set(k, s);
      this.Send({ op: 'subscribe', registry, path });
    }
    s.listeners.add(listener);
    return () => {
      s.listeners.delete(listener);
      if (s.listeners.size === 0 && this.m_subs.get(k) === s) {
        this.m_subs.delete(k);
        this.Send({ op: 'unsubscribe', registry, path });
      }
    };
  }

  // Starts the push stream of a signal. handlers: onBlock(message),
  // onDropped(message), onError(message), each optional. One stream per
  // node: a second call for the same node replaces the handlers. Returns
  // the function that stops the stream.
  Stream(registry, path, maxPoints, handlers) {
    const k = key(registry, path);
    const s = { registry, path, maxPoints, handlers };
    const had = this.m_streams.has(k);
    this.m_streams.set(k, s);
    if (!had) this.SendStream(s);
    return () => {
      if (this.m_streams.get(k) !== s) return;
      this.m_streams.delete(k);
      this.Send({ op: 'stop_stream', registry, path });
    };
  }

  // The subscription or stream a message is for: by registry and path, or
  // by path alone when the message names no registry.
  Find(map, message) {
    const exact = map.get(key(message.registry, message.path));
    if (exact || message.registry !== undefined) return exact;
    for (const s of map.values()) if (s.path === message.path) return s;
    return undefined;
  }

  Receive(text) {
    let message;
    try {
      message = this.m_parse(text);
    } catch {
      return;
    }
    if (!message || typeof message !== 'object') return;
    switch (message.op) {
      case 'change': {
        const s = this.Find(this.m_subs, message);
        if (s) for (const listener of [...s.listeners]) listener(message);
        break;
      }
      case 'block': {
        const s = this.Find(this.m_streams, message);
        if (s && s.handlers.onBlock) s.handlers.onBlock(message);
        break;
      }
      case 'dropped': {
        const s = this.Find(this.m_streams, message);
        if (s && s.handlers.onDropped) s.handlers.onDropped(message);
        break;
      }
      case 'state':
        for (const listener of this.m_stateListeners) listener(message.registry, message.state);
        break;
      case 'error': {
        const s = message.path !== undefined ? this.Find(this.m_streams, message) : undefined;
        if (s && s.handlers.onError) s.handlers.onError(message);
        for (const listener of this.m_errorListeners) listener(message);
        break;
      }
      default:
        break;
    }
  }
}
