// The live relay over WebSocket: sign-in, requests with replies, pushes, and a reconnect that
// resumes the session (the relay keeps a dropped member's place for a grace period).
const PING_MS = 2000;
const SILENT_LIMIT_MS = 3 * PING_MS;
const ATTEMPT_MS = 3000;
const RETRY_MS = 500;
const REQUEST_MS = 10000;

export const RelayCode = Object.freeze({
  SIG_EXPIRED: 70001,
  KICKED: 70030,
});

// Events: 'msg', 'memberEvent', 'feeds' (detail: the pushed object), 'reconnecting', 'resumed'
// (detail: {resumed, roomId}), 'kicked', 'lost' (detail: reason).
export class Relay extends EventTarget {
  // signature: async () => userSig, asked again when the one in hand has expired.
  constructor(url, userId, signature) {
    super();
    this.url = url;
    this.userId = userId;
    this.signature = signature;
    this.sig = '';
    this.ws = null;
    this.nextId = 1;
    this.pending = new Map();
    this.resumeToken = '';
    this.signedIn = false;
    this.closing = false;
    this.reconnecting = false;
    this.lastHeard = 0;
    this.pingTimer = 0;
  }

  async open() {
    this.sig = await this.signature();
    await this.connectOnce();
  }

  // One connection and its sign-in; rejects with {code, desc} or a network reason.
  connectOnce() {
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(this.url);
      this.ws = ws;
      const timer = setTimeout(() => {
        ws.close();
        reject({ code: 0, desc: '连接超时' });
      }, ATTEMPT_MS);
      ws.onopen = () => {
        this.lastHeard = Date.now();
        const request = { op: 'login', userId: this.userId, userSig: this.sig };
        if (this.resumeToken) request.resume = this.resumeToken;
        this.send(request, ATTEMPT_MS).then((reply) => {
          clearTimeout(timer);
          if (reply.code !== 0) {
            ws.close();
            reject(reply);
            return;
          }
          this.signedIn = true;
          this.resumeToken = reply.resume || this.resumeToken;
          this.startPing();
          resolve(reply);
        }, (why) => {
          clearTimeout(timer);
          reject(why);
        });
      };
      ws.onmessage = (event) => {
        if (ws === this.ws) this.onText(event.data);
      };
      ws.onclose = () => {
        clearTimeout(timer);
        if (ws !== this.ws) return;
        this.failPending();
        if (!this.signedIn) {
          reject({ code: 0, desc: '无法连接直播服务' });
          return;
        }
        this.dropped();
      };
    });
  }

  send(request, timeoutMs = REQUEST_MS) {
    const ws = this.ws;
    if (!ws || ws.readyState !== WebSocket.OPEN) {
      return Promise.reject({ code: 0, desc: '与直播服务的连接已断开' });
    }
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject({ code: 6012, desc: '直播服务没有回应' });
      }, timeoutMs);
      this.pending.set(id, { resolve, reject, timer });
      ws.send(JSON.stringify({ ...request, id }));
    });
  }

  failPending() {
    for (const { reject, timer } of this.pending.values()) {
      clearTimeout(timer);
      reject({ code: 0, desc: '与直播服务的连接已断开' });
    }
    this.pending.clear();
  }

  onText(text) {
    this.lastHeard = Date.now();
    let push;
    try {
      push = JSON.parse(text);
    } catch {
      return;
    }
    if (!push || typeof push !== 'object') return;
    if (push.op === 'reply' || push.op === 'pong') {
      const waiting = this.pending.get(push.id);
      if (waiting) {
        this.pending.delete(push.id);
        clearTimeout(waiting.timer);
        waiting.resolve(push);
      }
    } else if (push.op === 'msg' || push.op === 'memberEvent' || push.op === 'roomClosed' || push.op === 'feeds') {
      this.dispatchEvent(new CustomEvent(push.op, { detail: push }));
    } else if (push.op === 'kicked') {
      this.closing = true;
      this.dispatchEvent(new CustomEvent('kicked', { detail: push }));
    }
  }

  startPing() {
    clearInterval(this.pingTimer);
    this.pingTimer = setInterval(() => {
      const ws = this.ws;
      if (!ws || ws.readyState !== WebSocket.OPEN) return;
      // A frozen relay or a pulled cable closes nothing: silence is the only sign.
      if (Date.now() - this.lastHeard > SILENT_LIMIT_MS) {
        ws.onclose = null;
        ws.close();
        this.failPending();
        this.dropped();
        return;
      }
      // Browsers cannot send WebSocket pings: the relay's pong (or anything else it sends) proves
      // it is there.
      this.send({ op: 'ping' }, SILENT_LIMIT_MS).catch(() => {});
    }, PING_MS);
  }

  dropped() {
    clearInterval(this.pingTimer);
    this.signedIn = false;
    if (this.closing || this.reconnecting) return;
    this.reconnecting = true;
    this.dispatchEvent(new Event('reconnecting'));
    this.retry();
  }

  async retry() {
    while (!this.closing) {
      try {
        const reply = await this.connectOnce();
        this.reconnecting = false;
        this.dispatchEvent(new CustomEvent('resumed', { detail: { resumed: !!reply.resumed, roomId: reply.roomId || 0 } }));
        return;
      } catch (why) {
        if (why && why.code === RelayCode.SIG_EXPIRED) {
          try {
            this.sig = await this.signature();
          } catch (error) {
            this.reconnecting = false;
            this.dispatchEvent(new CustomEvent('lost', { detail: error.message || String(error) }));
            return;
          }
        } else if (why && why.code) {
          this.reconnecting = false;
          this.dispatchEvent(new CustomEvent('lost', { detail: `${why.desc} (${why.code})` }));
          return;
        }
      }
      await new Promise((resolve) => setTimeout(resolve, RETRY_MS));
    }
  }

  close() {
    this.closing = true;
    clearInterval(this.pingTimer);
    this.failPending();
    if (this.ws) this.ws.close();
  }
}
