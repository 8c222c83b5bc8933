// The students' page: sign-in, the list of classes running now, and the room.
import { Code, RpcError, login, rpc } from './api.js';
import { Relay } from './relay.js';
import { Room } from './room.js';

const $ = (id) => document.getElementById(id);
const VIEWS = ['insecureView', 'loginView', 'listView', 'roomView', 'endedView'];
const SESSION_KEY = 'lectern.session';
const LIST_REFRESH_MS = 5000;

let session = null; // {ak, userId, nickname}
let relay = null;
let room = null;
let listTimer = 0;

function show(view) {
  $('booting').hidden = true;
  for (const id of VIEWS) $(id).hidden = id !== view;
  const signedIn = !!session && view !== 'loginView' && view !== 'insecureView';
  $('whoami').hidden = !signedIn;
  $('signOut').hidden = !signedIn || view === 'roomView';
  if (signedIn) $('whoami').textContent = session.nickname;
}

function banner(text) {
  $('banner').textContent = text;
  $('banner').hidden = !text;
}

function showError(id, text) {
  $(id).textContent = text;
  $(id).hidden = !text;
}

// ---- signing in ----------------------------------------------------------------------------

function loginMessage(error) {
  if (error instanceof RpcError) {
    if (error.code === Code.BAD_LOGIN) return '账号或密码错误，请重新输入';
    if (error.code === Code.NETWORK) return '无法连接服务器，请检查网络后重试';
    return error.message;
  }
  return `登录失败：${error.message || error.desc || error}`;
}

async function onLogin(event) {
  event.preventDefault();
  const loginId = $('loginId').value.trim();
  const password = $('password').value;
  if (!loginId || !password) {
    showError('loginError', '请输入账号和密码');
    return;
  }
  $('loginButton').disabled = true;
  showError('loginError', '');
  try {
    const result = await login(loginId, password);
    session = { ak: result.ak, userId: String(result.userId), nickname: result.nickname || loginId };
    sessionStorage.setItem(SESSION_KEY, JSON.stringify(session));
    $('password').value = '';
    await connectRelay();
    showList();
  } catch (error) {
    showError('loginError', loginMessage(error));
  } finally {
    $('loginButton').disabled = false;
  }
}

async function signature() {
  const result = await rpc('live.usersig.create', {}, session.ak);
  return result.userSig;
}

function relayUrl(livePort) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const host = location.hostname.includes(':') ? `[${location.hostname}]` : location.hostname;
  return `${scheme}//${host}:${livePort}/live`;
}

async function connectRelay() {
  if (relay) relay.close();
  let config;
  try {
    config = await (await fetch('config.json', { cache: 'no-store' })).json();
  } catch {
    throw new Error('无法连接服务器，请检查网络后重试');
  }
  relay = new Relay(relayUrl(config.livePort), session.userId, signature);
  relay.addEventListener('reconnecting', () => {
    $('reconnecting').hidden = false;
  });
  relay.addEventListener('resumed', () => {
    $('reconnecting').hidden = true;
  });
  relay.addEventListener('lost', (e) => {
    $('reconnecting').hidden = true;
    leaveRoomView();
    banner(`与直播服务的连接已断开：${e.detail}`);
    showList();
  });
  relay.addEventListener('kicked', () => {
    leaveRoomView();
    signOut('你的账号已在别处登录');
  });
  try {
    await relay.open();
  } catch (why) {
    relay.close();
    relay = null;
    if (why instanceof RpcError) throw why;
    throw new Error(why && why.code ? `${why.desc} (${why.code})` : '无法连接直播服务，请稍后再试');
  }
}

function expired(error) {
  return error instanceof RpcError && error.code === Code.NOT_SIGNED_IN;
}

function signOut(message = '') {
  clearInterval(listTimer);
  if (relay) relay.close();
  relay = null;
  session = null;
  sessionStorage.removeItem(SESSION_KEY);
  show('loginView');
  showError('loginError', message);
}

// ---- the list of classes -------------------------------------------------------------------

function timeRange(live) {
  const options = { month: '2-digit', day: '2-digit', hour: '2-digit', minute: '2-digit', hour12: false };
  const start = new Date(Number(live.startTime)).toLocaleString('zh-CN', options);
  const end = new Date(Number(live.endTime)).toLocaleTimeString('zh-CN', { hour: '2-digit', minute: '2-digit', hour12: false });
  return `${start} ~ ${end}`;
}

// A row of a class list: its badge and title over one line of facts; the caller adds the rest.
function listRow(liveId, titleText, badgeClass, badgeText, metaText) {
  const row = document.createElement('li');
  row.className = 'live-row';
  row.dataset.liveId = liveId;
  const info = document.createElement('div');
  info.className = 'live-info';
  const title = document.createElement('div');
  title.className = 'live-title';
  title.textContent = titleText;
  const badge = document.createElement('span');
  badge.className = `badge ${badgeClass}`;
  badge.textContent = badgeText;
  title.prepend(badge);
  const meta = document.createElement('div');
  meta.className = 'live-meta';
  meta.textContent = metaText;
  info.append(title, meta);
  return { row, info };
}

function liveRow(live) {
  const inProgress = live.state === 'i';
  const { row, info } = listRow(live.liveId, live.title, inProgress ? 'live' : 'waiting',
    inProgress ? '直播中' : '等待上课', `${live.teacherNickname} · ${timeRange(live)}`);
  if (live.remark) {
    const remark = document.createElement('div');
    remark.className = 'live-remark';
    remark.textContent = live.remark;
    info.append(remark);
  }
  const enter = document.createElement('button');
  enter.className = 'primary enter';
  enter.type = 'button';
  enter.textContent = '进入';
  enter.addEventListener('click', () => enterLive(live, enter));
  row.append(info, enter);
  return row;
}

async function refreshList() {
  try {
    const result = await rpc('live.list.open', {}, session.ak);
    const lives = Array.isArray(result.list) ? result.list : [];
    $('liveList').replaceChildren(...lives.map(liveRow));
    $('listEmpty').hidden = lives.length > 0;
    showError('listError', '');
  } catch (error) {
    if (expired(error)) {
      signOut('登录已过期，请重新登录');
      return;
    }
    showError('listError', error.message);
  }
}

function replayRow(replay) {
  const minutes = Math.max(1, Math.round((replay.durationMs || 0) / 60000));
  const { row, info } = listRow(replay.liveId, replay.title, 'waiting', '回放',
    `${new Date(replay.startTime).toLocaleDateString('zh-CN')} · ${minutes} 分钟`);
  const watch = document.createElement('a');
  watch.className = 'button primary enter';
  watch.href = replay.pageUrl;
  watch.textContent = '观看';
  row.append(info, watch);
  return row;
}

// Ended classes with a replay; a server without replays leaves the section hidden.
async function refreshReplays() {
  try {
    const result = await rpc('live.replay.list', {}, session.ak);
    const replays = Array.isArray(result.list) ? result.list.filter((r) => typeof r.pageUrl === 'string') : [];
    $('replayList').replaceChildren(...replays.map(replayRow));
    $('replaySection').hidden = replays.length === 0;
  } catch {
    $('replaySection').hidden = true;
  }
}

function showList() {
  show('listView');
  refreshList();
  refreshReplays();
  clearInterval(listTimer);
  listTimer = setInterval(() => {
    if (!$('listView').hidden) refreshList();
  }, LIST_REFRESH_MS);
}

// ---- the room ------------------------------------------------------------------------------

async function enterLive(live, button) {
  button.disabled = true;
  banner('');
  try {
    if (!relay) await connectRelay();
    room = new Room(session, relay, live, (title, text) => {
      room = null;
      $('endedTitle').textContent = title;
      $('endedText').textContent = text;
      show('endedView');
    });
    await room.enter();
    clearInterval(listTimer);
    show('roomView');
    $('chatInput').focus();
  } catch (error) {
    if (room) room.dispose();
    room = null;
    if (expired(error)) {
      signOut('登录已过期，请重新登录');
      return;
    }
    showError('listError', `无法进入教室：${error.message || error.desc || error}`);
  } finally {
    button.disabled = false;
  }
}

function leaveRoomView() {
  if (room) room.dispose();
  room = null;
}

// ---- start ---------------------------------------------------------------------------------

async function start() {
  $('loginForm').addEventListener('submit', onLogin);
  $('refreshList').addEventListener('click', refreshList);
  $('backToList').addEventListener('click', showList);
  $('signOut').addEventListener('click', () => signOut());
  // Browsers give Web Crypto (and the microphone) only to secure pages.
  if (!window.isSecureContext || !window.crypto?.subtle) {
    $('insecureUrl').textContent = location.href;
    show('insecureView');
    return;
  }
  const kept = sessionStorage.getItem(SESSION_KEY);
  if (kept) {
    try {
      session = JSON.parse(kept);
      await connectRelay();
      showList();
      return;
    } catch (error) {
      signOut(expired(error) ? '登录已过期，请重新登录' : loginMessage(error));
      return;
    }
  }
  show('loginView');
  $('loginId').focus();
}

window.addEventListener('error', (e) => banner(`页面出错：${e.message}，请刷新页面重试`));
window.addEventListener('unhandledrejection', (e) => banner(`页面出错：${e.reason?.message || e.reason}，请刷新页面重试`));
start();
