// Injected into a tab of the served page (which loads janus.js and adapter.js): the teacher's
// camera and microphone published under the feed id the relay gave, and subscriptions to
// students' feeds. Chromium's fake devices supply a moving picture and a beep.
/* global Janus, adapter */
window.teacherMedia = {
  // token: the teacher's media token; window.claimFeed(session, handle, feed), when the test gives
  // one, tells the relay which handle a feed joins on before it joins.
  async publish(url, room, pin, token, feedId) {
    await new Promise((resolve) => Janus.init({ debug: false, dependencies: Janus.useDefaultDependencies({ adapter }), callback: resolve }));
    this.url = url;
    this.room = room;
    this.pin = pin;
    this.gone = []; // feed ids the room said went (unpublished, left or put out)
    this.handles = new Map();
    this.stream = await navigator.mediaDevices.getUserMedia({ audio: true, video: true });
    this.janus = await new Promise((resolve, reject) => {
      const janus = new Janus({ server: url, token, iceServers: [], success: () => resolve(janus), error: reject });
    });
    this.cameraFeed = feedId;
    return this.publishFeed(feedId, this.stream);
  },

  // A second feed, as the teacher's screen share: a picture only.
  async shareScreen(feedId) {
    const screen = await navigator.mediaDevices.getUserMedia({ video: { width: 1280, height: 720 } });
    return this.publishFeed(feedId, screen);
  },

  stopScreen(feedId) {
    const handle = this.handles.get(feedId);
    this.handles.delete(feedId);
    handle.send({ message: { request: 'unpublish' } });
    handle.detach();
  },

  publishFeed(feedId, stream) {
    return new Promise((resolve, reject) => {
      let handle = null;
      this.janus.attach({
        plugin: 'janus.plugin.videoroom',
        success: (h) => {
          handle = h;
          this.handles.set(feedId, h);
          const claim = window.claimFeed ? window.claimFeed(this.janus.getSessionId(), h.getId(), feedId) : Promise.resolve();
          claim.catch(() => {}).then(() => h.send({
            message: { request: 'join', room: this.room, ptype: 'publisher', id: feedId, pin: this.pin },
          }));
        },
        error: reject,
        onmessage: (msg, jsep) => {
          if (jsep) handle.handleRemoteJsep({ jsep });
          if (msg.error_code) reject(new Error(msg.error));
          if (feedId === this.cameraFeed) {
            const gone = msg.unpublished || msg.leaving || msg.kicked;
            if (Number.isSafeInteger(gone)) this.gone.push(gone);
          }
          if (msg.videoroom !== 'joined') return;
          handle.createOffer({
            tracks: stream.getTracks().map((t) => ({ type: t.kind, capture: t, recv: false })),
            success: (offer) => handle.send({ message: { request: 'configure', audio: true, video: true }, jsep: offer }),
            error: reject,
          });
        },
        webrtcState: (up) => {
          if (up) resolve();
        },
      });
    });
  },

  setTone(on) {
    for (const t of this.stream.getAudioTracks()) t.enabled = on;
  },

  subscribe(feedId) {
    return new Promise((resolve, reject) => {
      this.janus.attach({
        plugin: 'janus.plugin.videoroom',
        success: (handle) => {
          this.sub = handle;
          handle.send({ message: { request: 'join', room: this.room, ptype: 'subscriber', streams: [{ feed: feedId }], pin: this.pin } });
        },
        error: reject,
        onmessage: (msg, jsep) => {
          if (msg.error_code) reject(new Error(msg.error));
          if (!jsep) return;
          this.sub.createAnswer({
            jsep,
            tracks: [],
            success: (answer) => this.sub.send({ message: { request: 'start', room: this.room }, jsep: answer }),
            error: reject,
          });
        },
        // Chromium measures received audio energy only for what is played out.
        onremotetrack: (track, mid, on) => {
          if (!on) return;
          this.heard = this.heard || new MediaStream();
          this.heard.addTrack(track);
          if (!this.player) {
            this.player = document.createElement('video');
            document.body.append(this.player);
          }
          this.player.srcObject = this.heard;
          this.player.play().catch(() => {});
        },
        webrtcState: (up) => {
          if (up) resolve();
        },
      });
    });
  },
};
