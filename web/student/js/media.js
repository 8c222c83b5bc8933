// Sound and video through the media server (janus.js, a classic script on window.Janus): the
// teacher's camera and screen share in, and the student's microphone (and camera) out while speaking.
const RETRY_MS = 1000;
const PLUGIN = 'janus.plugin.videoroom';

let initialised = null;
function initJanus() {
  if (!window.Janus) return Promise.reject(new Error('媒体库未加载'));
  if (!initialised) {
    initialised = new Promise((resolve, reject) => {
      window.Janus.init({
        debug: false,
        dependencies: window.Janus.useDefaultDependencies({ adapter: window.adapter }),
        callback: () => (window.Janus.isWebrtcSupported() ? resolve() : reject(new Error('浏览器不支持音视频通话'))),
      });
    });
  }
  return initialised;
}

// Why getUserMedia failed, as the invitation's decline reasons put it (1 no microphone, 2 unusable).
export function deviceProblem(error) {
  const name = error && error.name;
  if (name === 'NotAllowedError' || name === 'SecurityError') {
    return { reason: 2, text: '浏览器拒绝了麦克风权限，请在地址栏旁的权限设置中允许后再试' };
  }
  if (name === 'NotFoundError' || name === 'OverconstrainedError') return { reason: 1, text: '没有找到麦克风' };
  return { reason: 2, text: `麦克风无法使用：${(error && error.message) || error}` };
}

// Events: 'video' (detail: {kind: 'camera'|'screen'|'classmate', stream|null}), 'status' (detail: text or '').
export class Media extends EventTarget {
  // claim(session, handle, feed): tells the relay which media handle our feed joins on; a promise.
  constructor(userId, teacherId, claim) {
    super();
    this.userId = userId;
    this.teacherId = teacherId;
    this.claim = claim || (() => Promise.resolve());
    this.config = null; // {url, room, pin, token}
    this.feeds = new Map(); // userId -> {camera, screen}
    this.janus = null;
    this.control = null; // joined as a publisher: the list of feeds, and our own publication
    this.joined = false;
    this.published = new Set(); // feed ids Janus lists as published
    this.live = new Set(); // feed ids the relay vouches for: published by their owners
    this.subscriptions = new Map(); // feed id -> {handle, kind, stream}
    this.local = null; // MediaStream while speaking
    this.closed = false;
    this.republishOnJoin = false;
    this.retryTimer = 0;
  }

  // media: the relay's "media" object. A changed room or server starts over.
  setMedia(media) {
    if (!media || typeof media !== 'object' || typeof media.url !== 'string') return;
    const before = this.mine();
    this.addFeeds(media.feeds);
    const after = this.mine();
    const token = typeof media.token === 'string' ? media.token : '';
    const same = this.config && this.config.url === media.url && this.config.room === Number(media.room)
      && this.config.pin === String(media.pin || '') && this.config.token === token && before && after
      && before.camera === after.camera;
    if (same) return;
    this.config = { url: media.url, room: Number(media.room), pin: String(media.pin || ''), token };
    this.restart();
  }

  addFeeds(feeds) {
    if (!feeds || typeof feeds !== 'object') return;
    for (const [userId, f] of Object.entries(feeds)) {
      if (f && Number.isSafeInteger(f.camera) && Number.isSafeInteger(f.screen)) {
        this.feeds.set(String(userId), { camera: f.camera, screen: f.screen });
      }
    }
    this.subscribeWanted();
  }

  // The relay's list of live feeds. Janus tells everyone of a new publisher at once, an impostor
  // under the teacher's id too: only what the relay also vouches for is received.
  setLive(live) {
    this.live = new Set(Array.isArray(live) ? live.filter((id) => Number.isSafeInteger(id)) : []);
    for (const feedId of [...this.subscriptions.keys()]) {
      if (!this.isLive(feedId)) this.unsubscribe(feedId);
    }
    this.subscribeWanted();
  }

  // A relay that hands out no media token (an older one) vouches for nothing.
  isLive(feedId) {
    return !this.config || !this.config.token || this.live.has(feedId);
  }

  mine() {
    return this.feeds.get(this.userId) || null;
  }

  // Only feeds under the ids the relay named: the teacher's, and a classmate's camera feed, which
  // the media server carries only while the teacher lets that classmate speak.
  kindOf(feedId) {
    const teacher = this.feeds.get(this.teacherId);
    if (teacher && feedId === teacher.camera) return 'camera';
    if (teacher && feedId === teacher.screen) return 'screen';
    for (const [userId, f] of this.feeds) {
      if (userId !== this.userId && userId !== this.teacherId && feedId === f.camera) return 'classmate';
    }
    return '';
  }

  status(text) {
    this.statusText = text;
    this.dispatchEvent(new CustomEvent('status', { detail: text }));
  }

  async restart(keepLocal = false) {
    this.teardown(keepLocal);
    if (this.closed || !this.config || !this.mine()) return;
    try {
      await initJanus();
    } catch (error) {
      this.status(error.message);
      return;
    }
    const janus = new window.Janus({
      server: this.config.url,
      token: this.config.token || undefined,
      iceServers: [], // the media server is reached directly; no third-party STUN
      success: () => {
        if (janus === this.janus) this.attachControl();
      },
      error: () => {
        if (janus === this.janus) this.lost();
      },
      destroyed: () => {},
    });
    this.janus = janus;
  }

  // The media server went away or refused: try again until the class is over.
  lost() {
    if (this.closed) return;
    this.status('正在重新连接…');
    const wasSpeaking = !!this.local;
    this.teardown(true);
    clearTimeout(this.retryTimer);
    this.republishOnJoin = wasSpeaking;
    this.retryTimer = setTimeout(() => this.restart(true), RETRY_MS);
  }

  attachControl() {
    const janus = this.janus;
    janus.attach({
      plugin: PLUGIN,
      success: (handle) => {
        if (janus !== this.janus) return;
        this.control = handle;
        const join = () => {
          if (janus !== this.janus || this.control !== handle) return;
          handle.send({
            message: { request: 'join', room: this.config.room, ptype: 'publisher', id: this.mine().camera,
              pin: this.config.pin, display: this.userId },
          });
        };
        // Whatever the relay answers, the join goes ahead: without its word the feed is only not
        // received by the others.
        if (this.config.token) {
          Promise.resolve()
            .then(() => this.claim(janus.getSessionId(), handle.getId(), this.mine().camera))
            .catch(() => {})
            .then(join);
        } else {
          join();
        }
      },
      error: () => this.lost(),
      onmessage: (msg, jsep) => this.onControl(msg, jsep),
      iceState: (state) => {
        if (state === 'failed' && this.local) this.lost();
      },
    });
  }

  onControl(msg, jsep) {
    if (jsep && this.control) this.control.handleRemoteJsep({ jsep });
    if (msg.videoroom === 'joined') {
      this.joined = true;
      this.status('');
      if (this.republishOnJoin && this.local) this.publishLocal();
      this.republishOnJoin = false;
    }
    if (msg.error_code) {
      // Not in yet: the media server may have just come back without the room; try again.
      if (!this.joined) this.lost();
      else this.status(`音视频服务拒绝了请求：${msg.error || msg.error_code}`);
      return;
    }
    // Put out of the room (the relay removes a publication it no longer allows, e.g. after the
    // teacher's CmdMicOff): join again, or the feed list and the next invitation are lost with it.
    if (msg.leaving === 'ok' || msg.kicked === this.mine().camera) {
      this.rejoin();
      return;
    }
    for (const p of Array.isArray(msg.publishers) ? msg.publishers : []) {
      if (p && Number.isSafeInteger(p.id)) this.published.add(p.id);
    }
    for (const gone of [msg.unpublished, msg.leaving, msg.kicked]) {
      if (Number.isSafeInteger(gone)) {
        this.published.delete(gone);
        this.unsubscribe(gone);
      }
    }
    this.subscribeWanted();
  }

  rejoin() {
    this.joined = false;
    this.stopLocal();
    this.republishOnJoin = false;
    const old = this.control;
    this.control = null;
    if (old) old.detach();
    if (this.janus) this.attachControl();
  }

  subscribeWanted() {
    if (!this.janus || !this.joined) return;
    for (const feedId of this.published) {
      if (this.kindOf(feedId) && this.isLive(feedId) && !this.subscriptions.has(feedId)) this.subscribe(feedId);
    }
  }

  subscribe(feedId) {
    const kind = this.kindOf(feedId);
    const janus = this.janus;
    const sub = { handle: null, kind, stream: new MediaStream() };
    this.subscriptions.set(feedId, sub);
    janus.attach({
      plugin: PLUGIN,
      success: (handle) => {
        if (this.subscriptions.get(feedId) !== sub) {
          handle.detach();
          return;
        }
        sub.handle = handle;
        handle.send({
          message: { request: 'join', room: this.config.room, ptype: 'subscriber', streams: [{ feed: feedId }],
            pin: this.config.pin },
        });
      },
      error: () => this.unsubscribe(feedId),
      onmessage: (msg, jsep) => {
        if (msg.error_code) {
          this.unsubscribe(feedId);
          return;
        }
        if (!jsep || !sub.handle) return;
        sub.handle.createAnswer({
          jsep,
          tracks: [],
          success: (answer) => sub.handle.send({ message: { request: 'start', room: this.config.room }, jsep: answer }),
          error: () => this.unsubscribe(feedId),
        });
      },
      onremotetrack: (track, mid, on) => {
        for (const t of sub.stream.getTracks()) {
          if (t.id === track.id || (!on && t.kind === track.kind)) sub.stream.removeTrack(t);
        }
        if (on) sub.stream.addTrack(track);
        this.showFeed(sub);
      },
      iceState: (state) => {
        if (state === 'failed') this.lost();
      },
    });
  }

  showFeed(sub) {
    const stream = sub.stream.getTracks().length ? sub.stream : null;
    this.dispatchEvent(new CustomEvent('video', { detail: { kind: sub.kind, stream } }));
  }

  unsubscribe(feedId) {
    const sub = this.subscriptions.get(feedId);
    if (!sub) return;
    this.subscriptions.delete(feedId);
    if (sub.handle) sub.handle.detach();
    this.dispatchEvent(new CustomEvent('video', { detail: { kind: sub.kind, stream: null } }));
  }

  // ---- speaking ----------------------------------------------------------------------------

  // Asks the browser for the microphone (and camera); throws the getUserMedia error.
  // A camera refused or missing still leaves the student their voice.
  async capture(withCamera) {
    this.stopLocal();
    try {
      this.local = await navigator.mediaDevices.getUserMedia({ audio: true, video: withCamera });
    } catch (error) {
      if (!withCamera) throw error;
      this.local = await navigator.mediaDevices.getUserMedia({ audio: true, video: false });
      const text = '摄像头无法使用，只打开了麦克风';
      this.status(text);
      setTimeout(() => {
        if (this.statusText === text) this.status('');
      }, 4000);
    }
    return this.local;
  }

  // Publishes what capture() took under our own camera feed id.
  publishLocal() {
    const handle = this.control;
    const local = this.local;
    if (!handle || !local || !this.joined) {
      this.republishOnJoin = !!local;
      return Promise.resolve(false);
    }
    const tracks = local.getTracks().map((t) => ({ type: t.kind, capture: t, recv: false }));
    return new Promise((resolve) => {
      handle.createOffer({
        tracks,
        success: (jsep) => {
          handle.send({ message: { request: 'configure', audio: true, video: tracks.length > 1 }, jsep });
          resolve(true);
        },
        error: (why) => {
          this.status(`无法发布麦克风：${why && why.message ? why.message : why}`);
          resolve(false);
        },
      });
    });
  }

  stopLocal() {
    if (!this.local) return;
    for (const t of this.local.getTracks()) t.stop();
    this.local = null;
  }

  unpublish() {
    this.republishOnJoin = false;
    this.stopLocal();
    if (this.control && this.joined) {
      this.control.send({ message: { request: 'unpublish' } });
      this.control.hangup(true);
    }
  }

  // ---- the end ---------------------------------------------------------------------------

  teardown(keepLocal = false) {
    for (const feedId of [...this.subscriptions.keys()]) this.unsubscribe(feedId);
    this.published.clear();
    this.joined = false;
    this.control = null;
    if (!keepLocal) this.stopLocal();
    if (this.janus) {
      const janus = this.janus;
      this.janus = null;
      janus.destroy({ cleanupHandles: true, notifyDestroyed: false });
    }
  }

  close() {
    this.closed = true;
    clearTimeout(this.retryTimer);
    this.teardown();
  }
}
