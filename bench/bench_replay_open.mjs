// The replay page in Debian's Chromium: the time from opening a replay (the page's address, as the
// list's "观看" opens it) to its first decoded frame, and from a click on a chat line to the frame
// there. Plays the replay bench_replay left in build/bench/replay-sample/, or a synthetic one made
// here with the replay maker's encoder settings when that is missing.
import { execFileSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { Server, launchBrowser, openStudent, signIn } from '../tests/web/lib/harness.js';

const BIN = process.env.LECTERN_BIN_DIR;
const SAMPLE = path.join(BIN, '..', 'bench', 'replay-sample');
const RUNS = 5;
const TARGET_MS = 1000;

function median(values) {
  const v = [...values].sort((a, b) => a - b);
  return v[Math.floor(v.length / 2)];
}

const recordings = mkdtempSync(path.join(tmpdir(), 'lectern-bench-open-'));
const server = await new Server().start(['--recordings', recordings]);
const browser = await launchBrowser();
try {
  const lives = execFileSync(path.join(BIN, 'lectern-server'), ['--db', path.join(server.dir, 'lectern.db'), 'live', 'list'])
    .toString().trim().split('\n').map((l) => l.split('\t'));
  const liveId = lives.find((f) => f[2] === 'e')[0];
  const dir = path.join(recordings, liveId);
  mkdirSync(dir, { recursive: true });
  let durationMs = 600000;
  let source = 'synthetic 10 min, 1280x720 VP8 realtime 15 fps + Opus';
  if (existsSync(path.join(SAMPLE, 'replay.webm'))) {
    copyFileSync(path.join(SAMPLE, 'replay.webm'), path.join(dir, 'replay.webm'));
    durationMs = Math.round(Number(execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'format=duration',
      '-of', 'csv=p=0', path.join(dir, 'replay.webm')]).toString()) * 1000);
    source = `bench_replay's class of ${Math.round(durationMs / 1000)} s`;
  } else {
    execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', `testsrc2=s=1280x720:r=15:d=${durationMs / 1000}`,
      '-f', 'lavfi', '-i', `sine=f=440:d=${durationMs / 1000}`, '-c:v', 'libvpx', '-deadline', 'realtime',
      '-cpu-used', '16', '-threads', '1', '-b:v', '200k', '-g', '75', '-c:a', 'libopus', '-b:a', '32k',
      path.join(dir, 'replay.webm')]);
  }
  writeFileSync(path.join(dir, 'class.json'), JSON.stringify({ liveId, teacherId: '10001', beganMs: 1, endedMs: 1 + durationMs, feeds: {} }));
  const middle = Math.floor(durationMs / 2);
  writeFileSync(path.join(dir, 'replay.json'), JSON.stringify({ liveId, durationMs, beganMs: 1, madeMs: Date.now(),
    chat: [{ t: 1000, userId: '10001', name: '王老师', text: '开始' }, { t: middle, userId: '10001', name: '王老师', text: '中间' }] }));

  const page = await openStudent(browser, server.pageUrl);
  await signIn(page, 'student01');
  await page.waitForSelector('#replayList a.enter', { visible: true });
  const pageUrl = new URL(await page.$eval('#replayList a.enter', (a) => a.getAttribute('href')), server.pageUrl).href;
  const open = [];
  const seek = [];
  for (let i = 0; i < RUNS; ++i) {
    const tab = await openStudent(browser, 'about:blank');
    const started = Date.now();
    await tab.goto(pageUrl);
    await tab.waitForFunction(() => document.querySelector('#replayVideo')?.readyState >= 2, { polling: 'raf', timeout: 20000 });
    open.push(Date.now() - started);
    await tab.waitForSelector('#replayChat .chat-row[data-index="1"]');
    const clicked = Date.now();
    await tab.click('#replayChat .chat-row[data-index="1"]');
    await tab.waitForFunction((t) => {
      const v = document.querySelector('#replayVideo');
      return !v.seeking && v.readyState >= 2 && Math.abs(v.currentTime - t) < 1;
    }, { polling: 'raf', timeout: 20000 }, middle / 1000);
    seek.push(Date.now() - clicked);
    await tab.browserContext().close();
  }
  console.log(`replay page (${source}): opening to the first frame ${median(open)} ms median of ${RUNS} `
    + `(${open.join(', ')}; target <= ${TARGET_MS} ms); a chat line to the frame there ${median(seek)} ms median (${seek.join(', ')})`);
} finally {
  await browser.close();
  await server.stop();
  rmSync(recordings, { recursive: true, force: true });
}
