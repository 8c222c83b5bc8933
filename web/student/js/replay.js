// The replay of an ended class: the video, and its chat beside it with the line being said
// highlighted as it plays; clicking a line seeks there. The address carries the signed access
// live.replay.list handed out, so no sign-in is needed here.
import { lineAt, replayUrls } from './replaychat.js';

const $ = (id) => document.getElementById(id);

function banner(text) {
  $('banner').textContent = text;
  $('banner').hidden = !text;
}

function clock(ms) {
  const s = Math.floor(ms / 1000);
  const two = (n) => String(n).padStart(2, '0');
  return `${two(Math.floor(s / 3600))}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}`;
}

function chatRow(line, index, video) {
  const row = document.createElement('li');
  row.className = 'chat-row seekable';
  row.dataset.index = String(index);
  row.dataset.t = String(line.t);
  const head = document.createElement('div');
  head.className = 'chat-head';
  const who = document.createElement('span');
  who.className = 'chat-name';
  who.textContent = line.name || line.userId;
  const when = document.createElement('span');
  when.className = 'chat-time';
  when.textContent = clock(line.t);
  head.append(who, when);
  const text = document.createElement('div');
  text.className = 'chat-text';
  text.textContent = line.text;
  row.append(head, text);
  row.title = '跳到这里';
  row.addEventListener('click', () => {
    video.currentTime = line.t / 1000;
    video.play().catch(() => {});
  });
  return row;
}

async function main() {
  const urls = replayUrls(location.search);
  if (!urls) {
    banner('回放地址不完整，请从课程列表重新打开');
    return;
  }
  const video = $('replayVideo');
  const refused = '回放无法播放：地址已过期或没有观看权限，请从课程列表重新打开';
  video.addEventListener('error', () => banner(refused));
  video.src = urls.video;
  let chat = [];
  try {
    const reply = await fetch(urls.chat);
    if (reply.status === 403) {
      banner(refused);
      return;
    }
    if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
    const description = await reply.json();
    chat = Array.isArray(description.chat) ? description.chat.filter((l) => Number.isFinite(l.t)) : [];
  } catch {
    banner('讨论记录无法读取');
  }
  $('replayChat').replaceChildren(...chat.map((line, i) => chatRow(line, i, video)));
  $('chatEmpty').hidden = chat.length > 0;
  let current = -1;
  const follow = () => {
    const at = lineAt(chat, video.currentTime * 1000);
    if (at === current) return;
    $('replayChat').querySelector('.current')?.classList.remove('current');
    current = at;
    const row = at >= 0 ? $('replayChat').children[at] : null;
    if (row) {
      row.classList.add('current');
      row.scrollIntoView({ block: 'nearest' });
    }
  };
  video.addEventListener('timeupdate', follow);
  video.addEventListener('seeked', follow);
}

main();
