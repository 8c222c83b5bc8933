// One class from the student's seat: the discussion, the notices, the class clock and speaking.
import { rpc } from './api.js';
import { Cmd, commandElem, parseCommand, parseIdentity, textElem } from './commands.js';
import { Floor } from './floor.js';
import { Media, deviceProblem } from './media.js';

export const MAX_CHAT_CHARS = 500;
const $ = (id) => document.getElementById(id);

function clockText(totalSeconds) {
  const s = Math.max(0, Math.floor(totalSeconds));
  const pad = (n) => String(n).padStart(2, '0');
  return `${pad(Math.floor(s / 3600))}:${pad(Math.floor(s / 60) % 60)}:${pad(s % 60)}`;
}

function timeNow() {
  return new Date().toTimeString().slice(0, 8);
}

// Shows the element while the video track delivers frames, hides it otherwise.
function watchFrames(video, track) {
  if (video.stopWatching) video.stopWatching();
  video.watchedTrack = track;
  const update = () => {
    video.hidden = !track || track.readyState !== 'live' || track.muted || !video.videoWidth;
  };
  const events = ['loadeddata', 'resize', 'emptied'];
  const trackEvents = ['mute', 'unmute', 'ended'];
  events.forEach((e) => video.addEventListener(e, update));
  if (track) trackEvents.forEach((e) => track.addEventListener(e, update));
  video.stopWatching = () => {
    events.forEach((e) => video.removeEventListener(e, update));
    if (track) trackEvents.forEach((e) => track.removeEventListener(e, update));
    video.stopWatching = null;
  };
  update();
}

export class Room {
  // session: {ak, userId, nickname}; live: a row of "live.list.open"; onEnded(title, text) when the
  // page leaves the room for good.
  constructor(session, relay, live, onEnded) {
    this.session = session;
    this.relay = relay;
    this.live = live;
    this.roomId = Number(live.avRoomId);
    this.teacherId = String(live.teacherUserId);
    this.onEnded = onEnded;
    this.names = new Map([[this.teacherId, live.teacherNickname || '老师']]);
    // Whose names come from the school's records; what a member says of itself never overrides them.
    this.recorded = new Set(live.teacherNickname ? [this.teacherId] : []);
    this.namesLoading = false;
    this.inRoom = false;
    this.speaking = false;
    this.cameraOn = false;
    this.clockBase = null; // {seconds, at}
    this.clockTimer = 0;
    this.listeners = [];
    this.abort = new AbortController();
    // The relay hears which media handle is ours before it joins, so it can vouch for our feed.
    const claim = (session, handle, feed) => this.relay.send({ op: 'publish', session, handle, feed });
    this.media = new Media(String(session.userId), this.teacherId, claim);
    this.media.addEventListener('video', (e) => this.showVideo(e.detail));
    this.media.addEventListener('status', (e) => this.showMediaStatus(e.detail));
  }

  identity() {
    return JSON.stringify({ nickname: this.session.nickname, userId: this.session.userId });
  }

  async enter() {
    await rpc('live.enter.room', { liveRole: 0, avRoomId: this.roomId }, this.session.ak);
    const reply = await this.relay.send({ op: 'joinRoom', roomId: this.roomId });
    if (reply.code !== 0) throw new Error(`${reply.desc || '无法进入教室'} (${reply.code})`);
    this.inRoom = true;
    this.refreshNames();
    this.listen('msg', (e) => this.onMsg(e.detail));
    this.listen('memberEvent', (e) => this.onMemberEvent(e.detail));
    this.listen('feeds', (e) => this.media.setLive(e.detail.live));
    this.listen('resumed', (e) => this.onRelayBack(e.detail));
    // The class ended: the relay has taken everyone out of the room already.
    this.listen('roomClosed', () => this.leave('本节课已结束', '老师已结束本节课，感谢参加。'));
    this.bindUi();
    this.showRoom();
    this.floor = new Floor(this);
    this.addNotice(this.session.nickname, '进入直播间');
    await this.sendGroup([commandElem(Cmd.ENTER_ROOM, this.identity())]);
    this.media.setMedia(reply.media);
  }

  listen(type, handler) {
    this.relay.addEventListener(type, handler);
    this.listeners.push([type, handler]);
  }

  bindUi() {
    const signal = this.abort.signal;
    $('chatForm').addEventListener('submit', (e) => {
      e.preventDefault();
      this.sendChat();
    }, { signal });
    $('chatInput').addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
        e.preventDefault();
        this.sendChat();
      }
    }, { signal });
    $('chatInput').addEventListener('input', () => this.checkChatLength(), { signal });
    $('leaveRoom').addEventListener('click', () => this.leave('已退出教室', '你已离开本节课。'), { signal });
    $('stopSpeaking').addEventListener('click', () => this.stopSpeaking(), { signal });
    $('inviteAccept').addEventListener('click', () => this.acceptInvite(), { signal });
    $('inviteDecline').addEventListener('click', () => {
      $('inviteChoice').hidden = true;
      $('declineReasons').hidden = false;
    }, { signal });
    for (const button of document.querySelectorAll('#declineReasons [data-reason]')) {
      button.addEventListener('click', () => this.declineInvite(button.dataset.reason), { signal });
    }
  }

  showRoom() {
    $('roomTitle').textContent = this.live.title;
    $('chatList').replaceChildren();
    $('roomNotice').hidden = true;
    $('classClock').hidden = true;
    $('videoPlaceholder').textContent = '等待老师开始上课';
    this.showVideo({ kind: 'camera', stream: null });
    this.showVideo({ kind: 'screen', stream: null });
    this.showVideo({ kind: 'classmate', stream: null });
    this.showMediaStatus('');
    this.setSpeaking(false);
  }

  // ---- sound and video -----------------------------------------------------------------------

  onMemberEvent(push) {
    if (push.event !== 1) return;
    this.media.addFeeds(push.feeds);
    if (push.media) this.media.setMedia(push.media);
  }

  // The screen share takes the stage; the camera then sits in its corner. A speaking classmate is
  // heard, and seen in the other corner when they share their camera.
  // A picture shows only while frames arrive: a feed with sound only (no camera, or the camera
  // turned off) leaves no black box behind.
  showVideo({ kind, stream }) {
    const video = $({ screen: 'teacherScreen', classmate: 'classmateVideo' }[kind] || 'teacherCamera');
    if (video.srcObject !== stream) video.srcObject = stream;
    // The same stream may gain or lose its video track when the sender renegotiates.
    const track = stream ? stream.getVideoTracks()[0] || null : null;
    if (video.watchedTrack !== track || !video.stopWatching) watchFrames(video, track);
    if (stream) video.play().catch(() => {});
  }

  showMediaStatus(text) {
    $('mediaStatus').textContent = text;
    $('mediaStatus').hidden = !text;
  }

  // ---- the discussion ------------------------------------------------------------------------

  addRow(name, time, text, kind) {
    const list = $('chatList');
    const row = document.createElement('li');
    row.className = `chat-row ${kind}`;
    const head = document.createElement('div');
    head.className = 'chat-head';
    const who = document.createElement('span');
    who.className = 'chat-name';
    who.textContent = name;
    head.append(who);
    if (time) {
      const when = document.createElement('span');
      when.className = 'chat-time';
      when.textContent = time;
      head.append(when);
    }
    const body = document.createElement('div');
    body.className = 'chat-text';
    body.textContent = text;
    row.append(head, body);
    const atBottom = list.scrollHeight - list.scrollTop - list.clientHeight < 40;
    list.append(row);
    if (atBottom || kind === 'mine') list.scrollTop = list.scrollHeight;
    return row;
  }

  addChat(name, text, mine = false) {
    return this.addRow(name, timeNow(), text, mine ? 'mine' : 'chat');
  }

  // Rows from someone whose name is not on record yet show the id, or what they said of themselves,
  // until the member list tells the name.
  addChatFrom(sender, text) {
    const row = this.addChat(this.nameOf(sender), text);
    this.nameLater(row, sender);
  }

  nameLater(row, sender) {
    if (this.recorded.has(sender)) return;
    row.dataset.sender = sender;
    this.refreshNames();
  }

  async refreshNames() {
    if (this.namesLoading) return;
    this.namesLoading = true;
    try {
      const result = await rpc('live.room.member.list',
        { liveId: String(this.live.liveId), pageNum: 1, pageSize: 1000 }, this.session.ak);
      for (const m of Array.isArray(result.list) ? result.list : []) {
        if (!m || m.userId == null || !m.nickname) continue;
        const id = String(m.userId);
        if (this.names.has(id) && this.names.get(id) !== String(m.nickname)) {
          console.warn(`member ${id} called itself "${this.names.get(id)}"; its name is "${m.nickname}"`);
        }
        this.names.set(id, String(m.nickname));
        this.recorded.add(id);
      }
    } catch {
      return; // the ids stay; names come with the next hello
    } finally {
      this.namesLoading = false;
    }
    for (const row of document.querySelectorAll('#chatList [data-sender]')) {
      if (!this.recorded.has(row.dataset.sender)) continue;
      row.querySelector('.chat-name').textContent = this.names.get(row.dataset.sender);
      delete row.dataset.sender;
    }
  }

  addNotice(name, text) {
    const row = this.addRow(name, '', text, 'notice');
    return row;
  }

  checkChatLength() {
    const length = [...$('chatInput').value].length;
    const over = length > MAX_CHAT_CHARS;
    $('chatError').hidden = !over;
    $('chatError').textContent = over ? `消息过长（${length}字），最多${MAX_CHAT_CHARS}字` : '';
    return !over;
  }

  async sendChat() {
    const input = $('chatInput');
    const text = input.value.trim();
    if (!text || !this.checkChatLength()) return;
    input.value = '';
    const row = this.addChat('我', text, true);
    try {
      const reply = await this.relay.send({ op: 'groupMsg', elems: [textElem(text)] });
      if (reply.code !== 0) throw reply;
    } catch {
      const when = row.querySelector('.chat-time');
      when.textContent += ' 发送失败';
      row.classList.add('failed');
    }
  }

  sendGroup(elems) {
    return this.relay.send({ op: 'groupMsg', elems }).catch(() => {});
  }

  sendToTeacher(userAction, param) {
    return this.relay.send({ op: 'peerMsg', to: this.teacherId, elems: [commandElem(userAction, param)] });
  }

  nameOf(userId) {
    return this.names.get(userId) || userId;
  }

  onMsg(push) {
    const sender = String(push.sender || '');
    if (!Array.isArray(push.elems)) return;
    for (const elem of push.elems) {
      if (!elem || typeof elem !== 'object') continue;
      if (elem.type === 0 && typeof elem.text === 'string') {
        this.addChatFrom(sender, elem.text);
      } else if (elem.type === 1 && typeof elem.data === 'string') {
        const command = parseCommand(elem.data);
        if (command) this.onCommand(sender, command);
      }
    }
  }

  onCommand(sender, { userAction, actionParam }) {
    // An identity may name only whoever the relay says sent it, and a name on record stays.
    const identity = parseIdentity(actionParam);
    if (identity && (!identity.userId || identity.userId === sender)) this.takeClaimedName(sender, identity.nickname);
    const fromTeacher = sender === this.teacherId;
    switch (userAction) {
      case Cmd.ENTER_ROOM:
        this.nameLater(this.addNotice(this.nameOf(sender), '进入直播间'), sender);
        break;
      case Cmd.LEAVE_ROOM:
        this.nameLater(this.addNotice(this.nameOf(sender), '离开直播间'), sender);
        break;
      case Cmd.CLASS_TIME:
        if (fromTeacher) this.startClock(Number.parseInt(actionParam, 10));
        break;
      case Cmd.LIVE_PAUSE:
        if (fromTeacher) {
          this.addNotice(this.nameOf(sender), '暂停了直播');
          this.showRoomNotice('老师暂时离开了教室，请稍候');
          this.stopClock();
        }
        break;
      case Cmd.LIVE_END:
        if (fromTeacher) this.leave('本节课已结束', '老师已结束本节课，感谢参加。');
        break;
      case Cmd.INVITE_INTERACT:
        if (fromTeacher && !this.speaking) this.showInvite();
        break;
      case Cmd.MIC_OFF:
        if (fromTeacher && this.speaking) {
          this.media.unpublish();
          this.setSpeaking(false);
          this.addNotice('老师', '结束了你的发言');
        }
        break;
      default:
        break;
    }
  }

  takeClaimedName(sender, nickname) {
    if (!this.recorded.has(sender)) {
      this.names.set(sender, nickname);
    } else if (this.names.get(sender) !== nickname) {
      console.warn(`ignored the name "${nickname}" that member ${sender} gave itself; its name is "${this.names.get(sender)}"`);
    }
  }

  showRoomNotice(text) {
    $('roomNotice').textContent = text;
    $('roomNotice').hidden = !text;
  }

  // ---- the class clock -----------------------------------------------------------------------

  startClock(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0) return;
    this.showRoomNotice('');
    $('videoPlaceholder').textContent = '正在上课';
    this.clockBase = { seconds, at: performance.now() };
    const tick = () => {
      const elapsed = this.clockBase.seconds + (performance.now() - this.clockBase.at) / 1000;
      $('classClock').textContent = `上课时间 ${clockText(elapsed)}`;
    };
    tick();
    $('classClock').hidden = false;
    clearInterval(this.clockTimer);
    this.clockTimer = setInterval(tick, 1000);
  }

  stopClock() {
    clearInterval(this.clockTimer);
  }

  // ---- speaking ------------------------------------------------------------------------------

  showInvite() {
    $('inviteChoice').hidden = false;
    $('declineReasons').hidden = true;
    $('inviteDialog').hidden = false;
    $('inviteAccept').focus();
  }

  hideInvite() {
    $('inviteDialog').hidden = true;
  }

  // The microphone first: a refused one declines the invitation, as a student without one does.
  async acceptInvite() {
    this.hideInvite();
    const withCamera = $('inviteCamera').checked;
    const prompt = withCamera ? '请在浏览器的提示中允许使用麦克风和摄像头' : '请在浏览器的提示中允许使用麦克风';
    const clearPrompt = () => {
      if ($('mediaStatus').textContent === prompt) this.showMediaStatus('');
    };
    this.showMediaStatus(prompt);
    try {
      await this.media.capture(withCamera);
    } catch (error) {
      const problem = deviceProblem(error);
      clearPrompt();
      this.addNotice('我', `无法发言：${problem.text}`);
      await this.sendToTeacher(Cmd.REJECT_INTERACT, String(problem.reason)).catch(() => {});
      return;
    }
    clearPrompt();
    try {
      await this.sendToTeacher(Cmd.ACCEPT_INTERACT, this.identity());
    } catch {
      this.media.unpublish();
      this.addNotice('我', '接受邀请失败，请检查网络');
      return;
    }
    // The relay lets our feed publish once it has passed the acceptance on.
    this.setSpeaking(true);
    this.addNotice('我', '开始发言');
    const published = await this.media.publishLocal();
    // The teacher's client shows a member's picture once the room is told that camera is on.
    if (published && this.speaking && this.media.local && this.media.local.getVideoTracks().length) {
      this.cameraOn = true;
      await this.relay.send({ op: 'event', event: 3 }).catch(() => {});
    }
  }

  async declineInvite(reason) {
    this.hideInvite();
    await this.sendToTeacher(Cmd.REJECT_INTERACT, String(reason)).catch(() => {});
    this.addNotice('我', '拒绝了发言邀请');
  }

  async stopSpeaking() {
    if (!this.speaking) return;
    this.media.unpublish();
    this.setSpeaking(false);
    await this.sendToTeacher(Cmd.MIC_OFF, this.identity()).catch(() => {});
    this.addNotice('我', '结束了发言');
  }

  setSpeaking(on) {
    this.speaking = on;
    if (!on && this.cameraOn) {
      this.cameraOn = false;
      this.relay.send({ op: 'event', event: 4 }).catch(() => {});
    }
    $('speakingBadge').hidden = !on;
    $('stopSpeaking').hidden = !on;
  }

  // ---- coming back and leaving -------------------------------------------------------------

  async onRelayBack({ resumed, roomId }) {
    if (!this.inRoom || (resumed && roomId === this.roomId)) return;
    // The relay no longer holds our place (it restarted): take it again.
    const reply = await this.relay.send({ op: 'joinRoom', roomId: this.roomId }).catch((why) => why);
    if (reply.code === 0) this.media.setMedia(reply.media);
    if (reply.code !== 0) {
      this.finish('无法回到教室', `${reply.desc || '直播服务拒绝了进入'} (${reply.code})`);
      return;
    }
    await this.sendGroup([commandElem(Cmd.ENTER_ROOM, this.identity())]);
  }

  async leave(title, text) {
    if (!this.inRoom) return;
    if (this.speaking) await this.stopSpeaking();
    this.inRoom = false;
    await rpc('live.quit.room', { liveRole: 0, avRoomId: this.roomId }, this.session.ak).catch(() => {});
    await this.sendGroup([commandElem(Cmd.LEAVE_ROOM, this.identity())]);
    await this.relay.send({ op: 'quitRoom' }).catch(() => {});
    this.finish(title, text);
  }

  finish(title, text) {
    this.inRoom = false;
    this.dispose();
    this.onEnded(title, text);
  }

  dispose() {
    this.media.close();
    this.showVideo({ kind: 'camera', stream: null });
    this.showVideo({ kind: 'screen', stream: null });
    this.showVideo({ kind: 'classmate', stream: null });
    this.stopClock();
    this.hideInvite();
    if (this.floor) this.floor.dispose();
    this.abort.abort();
    for (const [type, handler] of this.listeners) this.relay.removeEventListener(type, handler);
    this.listeners = [];
  }
}
