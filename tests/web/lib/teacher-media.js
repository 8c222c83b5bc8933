// Injected into a tab of the served page (which loads janus.js and adapter.js): the teacher's
// camera and microphone published under the feed id the relay gave, and subscriptions to
// students' feeds. Chromium's fake devices supply a moving picture and a beep.
/* global Janus, adapter */
window.teacherMedia = {
  async publish(url, room, pin, feedId) {
    await new Promise((resolve) => Janus.init({ debug: false, dependencies: Janus.useDefaultDependencies({ adapter }), callback: resolve }));
    this.url = url;
    this.room = room;
    this.pin = pin;
    this.unpublished = [];
    this.stream = await navigator.mediaDevices.getUserMedia({ audio: true, video: true });
    this.janus = await new Promise((resolve, reject) => {
      const janus = new Janus({ server: url, iceServers: [], success: () => resolve(janus), error: reject });
    });
    return new Promise((resolve, reject) => {
      this.janus.attach({
        plugin: 'janus.plugin.videoroom',
        success: (handle) => {
          this.handle = handle;
          handle.send({ message: { request: 'join', room, ptype: 'publisher', id: feedId, pin } });
        },
        error: reject,
        onmessage: (msg, jsep) => {
          if (jsep) this.handle.handleRemoteJsep({ jsep });
          if (msg.error_code) reject(new Error(msg.error));
          if (msg.unpublished) this.unpublished.push(msg.unpublished);
          if (msg.videoroom !== 'joined') return;
          this.handle.createOffer({
            tracks: this.stream.getTracks().map((t) => ({ type: t.kind, capture: t, recv: false })),
            success: (offer) => this.handle.send({ message: { request: 'configure', audio: true, video: true }, jsep: offer }),
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
