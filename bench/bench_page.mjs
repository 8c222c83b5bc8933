// The students' page with media on this machine, inside the media tests' network namespace (run by
// scripts/bench.sh through tests/media/netns-run.sh): its weight, the time from "进入" to the first
// decoded teacher frame, and how many student tabs keep the teacher's full frame rate beside Janus,
// lectern-server and a tab publishing the teacher's camera and microphone.
import { readFileSync, readdirSync, statSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { RelayPeer, Server, launchBrowser, liveRow, signIn } from '../tests/web/lib/harness.js';
import { Janus, MEDIA_FLAGS, recordPeerConnections } from '../tests/web/lib/media.js';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const ENTER_TARGET_MS = 1500;
const WEIGHT_TARGET = 300 * 1024;
const MAX_TABS = Math.min(12, Number(process.env.LECTERN_BENCH_MAX_TABS || 8)); // the demo has 12 students
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function weight(dir) {
  let bytes = 0;
  for (const name of readdirSync(dir)) {
    const file = path.join(dir, name);
    bytes += statSync(file).isDirectory() ? weight(file) : statSync(file).size;
  }
  return bytes;
}

async function openPage(browser, url) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  await recordPeerConnections(page);
  await page.goto(url);
  return page;
}

// Milliseconds from the click on "进入" to the first teacher frame the page decoded.
async function enterTimed(page) {
  const row = await liveRow(page);
  const button = await row.$('button.enter');
  await page.evaluate(() => {
    window.enteredAt = 0;
    document.addEventListener('click', (e) => {
      if (e.target.closest('button.enter')) window.enteredAt = performance.now();
    }, { capture: true, once: true });
  });
  await button.click();
  await page.waitForFunction(() => document.getElementById('teacherCamera').videoWidth > 0,
    { polling: 'raf', timeout: 20000 });
  return page.evaluate(() => performance.now() - window.enteredAt);
}

// Frames per second the page decodes of the teacher's camera, over ms.
async function decodeRate(page, ms) {
  const frames = () => page.evaluate(async () => {
    let n = 0;
    for (const pc of window.peerConnections) {
      if (pc.connectionState === 'closed') continue;
      for (const s of (await pc.getStats()).values()) if (s.type === 'inbound-rtp' && s.kind === 'video') n += s.framesDecoded || 0;
    }
    return n;
  });
  const a = await frames();
  await sleep(ms);
  return ((await frames()) - a) * 1000 / ms;
}

async function main() {
  const own = path.join(ROOT, 'web/student');
  const pageBytes = weight(own);
  const libBytes = ['janus-gateway/janus.js', 'webrtc-adapter/adapter.js']
    .reduce((n, f) => n + readFileSync(path.join('/usr/share/javascript', f)).length, 0);

  const janus = await new Janus().start();
  const server = await new Server().start(janus.serverArgs);
  const browsers = [];
  let failed = false;
  try {
    const teacher = await new RelayPeer(server, 'teacher01').open();
    await teacher.host();
    if (!teacher.media) throw new Error('the relay gave the teacher no media room');
    const teacherBrowser = await launchBrowser(MEDIA_FLAGS);
    browsers.push(teacherBrowser);
    const teacherTab = await openPage(teacherBrowser, server.pageUrl);
    await teacherTab.evaluate(readFileSync(path.join(ROOT, 'tests/web/lib/teacher-media.js'), 'utf8'));
    await teacherTab.exposeFunction('claimFeed', (session, handle, feed) => teacher.send({ op: 'publish', session, handle, feed }));
    const { url, room, pin, token, feeds } = teacher.media;
    await teacherTab.evaluate((u, r, p, k, f) => window.teacherMedia.publish(u, r, p, k, f), url, room, pin, token,
      feeds[teacher.userId].camera);
    const sent = await teacherTab.evaluate(async () => {
      await new Promise((r) => setTimeout(r, 3000));
      for (const pc of window.peerConnections) {
        for (const s of (await pc.getStats()).values()) if (s.type === 'outbound-rtp' && s.kind === 'video') return s.framesPerSecond || 0;
      }
      return 0;
    });

    // Time to the first frame: one tab entering five times (leaving in between).
    const browser = await launchBrowser(MEDIA_FLAGS);
    browsers.push(browser);
    const times = [];
    const timing = await openPage(browser, server.pageUrl);
    await signIn(timing, 'student01');
    for (let i = 0; i < 5; i += 1) {
      times.push(await enterTimed(timing));
      await timing.click('#leaveRoom');
      await timing.waitForSelector('#endedView', { visible: true });
      await timing.click('#backToList');
    }
    await timing.browserContext().close();
    times.sort((a, b) => a - b);

    // Tabs at full frame rate: add students one by one until one falls below 90 % of what is sent.
    const tabs = [];
    let held = 0;
    let rates = [];
    for (let n = 1; n <= MAX_TABS; n += 1) {
      const page = await openPage(browser, server.pageUrl);
      await signIn(page, `student${String(n).padStart(2, '0')}`);
      await enterTimed(page);
      tabs.push(page);
      await sleep(2000);
      rates = await Promise.all(tabs.map((p) => decodeRate(p, 4000)));
      console.log(`  ${n} tab(s): ${rates.map((r) => r.toFixed(1)).join(' ')} fps`);
      if (Math.min(...rates) < 0.9 * sent) break;
      held = n;
    }

    const median = times[Math.floor(times.length / 2)];
    console.log(`page weight (our HTML, CSS, JS): ${(pageBytes / 1024).toFixed(1)} KB (target <= 300 KB); libraries aside: ${(libBytes / 1024).toFixed(1)} KB`);
    console.log(`"进入" to first decoded teacher frame: median ${median.toFixed(0)} ms, max ${times[times.length - 1].toFixed(0)} ms over ${times.length} entries (target <= ${ENTER_TARGET_MS} ms)`);
    console.log(`teacher sends ${sent.toFixed(1)} fps; tabs holding >= 90 % of it: ${held} (tried up to ${tabs.length}, last rates ${rates.map((r) => r.toFixed(1)).join(' ')} fps)`);
    failed = median > ENTER_TARGET_MS || pageBytes > WEIGHT_TARGET;
    teacher.close();
  } finally {
    for (const b of browsers) await b.close().catch(() => {});
    await server.stop();
    await janus.stop();
  }
  process.exit(failed ? 1 : 0);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
