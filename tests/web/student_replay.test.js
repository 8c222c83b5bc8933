// The replay of an ended class in Debian's Chromium: listed on the students' page to a student the
// roster admits, played with its chat beside it, the line being said marked, and a click on a line
// seeking there. The replay's files are made here as lectern-server's replay maker leaves them.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { Server, launchBrowser, openStudent, signIn, text } from './lib/harness.js';

const BIN = process.env.LECTERN_BIN_DIR;

// An ended live of the demo school: its id and title, from "live list".
function endedLive(server) {
  const lines = execFileSync(path.join(BIN, 'lectern-server'), ['--db', path.join(server.dir, 'lectern.db'), 'live', 'list'])
    .toString().trim().split('\n');
  const ended = lines.map((l) => l.split('\t')).find((f) => f[2] === 'e');
  assert.ok(ended, `no ended live in:\n${lines.join('\n')}`);
  return { id: ended[0], title: ended[5] };
}

function makeReplay(recordings, live) {
  const dir = path.join(recordings, live.id);
  mkdirSync(dir, { recursive: true });
  writeFileSync(path.join(dir, 'class.json'), JSON.stringify({
    liveId: live.id, teacherId: '10001', beganMs: 1000, endedMs: 13000, feeds: {},
  }));
  // Twelve seconds: white for six, then black; a tone throughout.
  execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', 'color=white:s=320x240:r=15:d=6',
    '-f', 'lavfi', '-i', 'color=black:s=320x240:r=15:d=6', '-f', 'lavfi', '-i', 'sine=f=440:d=12',
    '-filter_complex', '[0:v][1:v]concat=n=2:v=1[v]', '-map', '[v]', '-map', '2:a', '-c:v', 'libvpx',
    '-deadline', 'realtime', '-cpu-used', '16', '-g', '75', '-c:a', 'libopus', path.join(dir, 'replay.webm')]);
  const chat = [
    { t: 1000, userId: '10001', name: '王老师', text: '先看第一题' },
    { t: 4000, userId: '10003', name: '张小明', text: '<b>不是粗体</b>' },
    { t: 8500, userId: '10001', name: '王老师', text: '看黑板' },
  ];
  writeFileSync(path.join(dir, 'replay.json'), JSON.stringify({
    liveId: live.id, durationMs: 12000, beganMs: 1000, madeMs: Date.now(), chat,
  }));
  return chat;
}

test('a replay is listed, plays with its chat, marks the line being said and seeks on a click', { timeout: 120000 }, async (t) => {
  const recordings = mkdtempSync(path.join(tmpdir(), 'lectern-recordings-'));
  t.after(() => rmSync(recordings, { recursive: true, force: true }));
  const server = await new Server().start(['--recordings', recordings]);
  t.after(() => server.stop());
  const live = endedLive(server);
  execFileSync(path.join(BIN, 'lectern-server'), ['--db', path.join(server.dir, 'lectern.db'), 'live', 'enrol', live.id, 'student01']);
  const chat = makeReplay(recordings, live);
  const browser = await launchBrowser();
  t.after(() => browser.close());

  // Not on the roster: no replays section at all.
  const other = await openStudent(browser, server.pageUrl);
  await signIn(other, 'student02');
  await other.waitForSelector('#listView', { visible: true });
  await other.waitForFunction(() => document.querySelector('#replaySection').hidden);

  const page = await openStudent(browser, server.pageUrl);
  await signIn(page, 'student01');
  await page.waitForSelector('#replaySection', { visible: true });
  assert.match(await text(page, '#replayList .live-title'), new RegExp(`回放${live.title.replace(/[()（）]/g, '.')}`));
  await Promise.all([page.waitForNavigation(), page.click('#replayList a.enter')]);
  assert.match(page.url(), /\/student\/replay\.html\?live=\d+&u=\d+&e=\d+&s=[0-9a-f]{64}$/);

  await page.waitForFunction(() => document.querySelector('#replayVideo').readyState >= 2, { timeout: 20000 });
  const rows = await page.$$eval('#replayChat .chat-row', (r) => r.map((row) => row.textContent));
  assert.deepEqual(rows, chat.map((l, i) => `${l.name}00:00:0${[1, 4, 8][i]}${l.text}`));

  // Playing: the line being said is marked as the video passes it.
  await page.$eval('#replayVideo', (v) => { v.muted = true; return v.play(); });
  await page.waitForFunction(() => document.querySelector('#replayVideo').currentTime > 1.2, { timeout: 20000 });
  await page.waitForFunction(() => document.querySelector('#replayChat .current')?.dataset.index === '0');

  // A click on a line seeks there and marks it.
  await page.click('#replayChat .chat-row[data-index="2"]');
  await page.waitForFunction(() => {
    const v = document.querySelector('#replayVideo');
    return !v.seeking && v.currentTime >= 8.5 && v.currentTime < 10;
  }, { timeout: 20000 });
  await page.waitForFunction(() => document.querySelector('#replayChat .current')?.dataset.index === '2');
  // The picture there is the black half.
  const brightness = await page.$eval('#replayVideo', (v) => {
    const c = document.createElement('canvas');
    c.width = 8;
    c.height = 8;
    const g = c.getContext('2d');
    g.drawImage(v, 0, 0, 8, 8);
    return g.getImageData(4, 4, 1, 1).data[0];
  });
  assert.ok(brightness < 60, `brightness ${brightness}`);
  assert.deepEqual(page.errors ?? [], []);

  // The same address for someone the roster leaves out is refused: the page says so.
  const stolen = page.url().replace(/u=\d+/, 'u=10004');
  await other.goto(stolen);
  await other.waitForSelector('#banner', { visible: true, timeout: 20000 });
  assert.match(await text(other, '#banner'), /没有观看权限/);
});
