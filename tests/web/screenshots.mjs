// Pictures of the students' page as a student sees it, for looking at (not a test): run inside the
// media namespace, e.g. LECTERN_BIN_DIR=build/bin tests/media/netns-run.sh node tests/web/screenshots.mjs OUT_DIR
import { mkdirSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { Cmd, RelayPeer, Server, launchBrowser, signIn, waitFor } from './lib/harness.js';
import { Janus, MEDIA_FLAGS } from './lib/media.js';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const out = process.argv[2] || 'screenshots';
mkdirSync(out, { recursive: true });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const janus = await new Janus().start();
const server = await new Server().start(janus.serverArgs);
const browsers = [];
try {
  const teacher = await new RelayPeer(server, 'teacher01').open();
  await teacher.host();
  const tb = await launchBrowser(MEDIA_FLAGS);
  browsers.push(tb);
  const tab = await (await tb.createBrowserContext()).newPage();
  await tab.goto(server.pageUrl);
  await tab.evaluate(readFileSync(path.join(HERE, 'lib/teacher-media.js'), 'utf8'));
  const { url, room, pin, feeds } = teacher.media;
  await tab.evaluate((u, r, p, f) => window.teacherMedia.publish(u, r, p, f), url, room, pin, feeds[teacher.userId].camera);

  const browser = await launchBrowser(MEDIA_FLAGS);
  browsers.push(browser);
  const page = await (await browser.createBrowserContext()).newPage();
  await page.setViewport({ width: 1280, height: 760 });
  await page.goto(server.pageUrl);
  await page.waitForSelector('#loginForm', { visible: true });
  await page.type('#loginId', 'student01');
  await page.screenshot({ path: path.join(out, '1-sign-in.png') });
  await signIn(page, 'student01');
  await page.waitForSelector('#listView', { visible: true });
  await page.waitForSelector('li.live-row');
  await page.screenshot({ path: path.join(out, '2-classes.png') });
  await page.click('li.live-row button.enter');
  await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
  await tab.evaluate((f) => window.teacherMedia.shareScreen(f), feeds[teacher.userId].screen);
  await page.waitForSelector('#teacherScreen', { visible: true, timeout: 15000 });
  await teacher.command(Cmd.CLASS_TIME, '754');
  await teacher.chat('同学们好，今天我们学习集合。');
  await page.type('#chatInput', '老师好！');
  await page.keyboard.press('Enter');
  await sleep(1500);
  await page.screenshot({ path: path.join(out, '3-room.png') });
  const hello = await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ENTER_ROOM), 'hello');
  await teacher.command(Cmd.INVITE_INTERACT, '', hello.sender);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.screenshot({ path: path.join(out, '4-invitation.png') });
  await page.click('#inviteAccept');
  await page.waitForSelector('#speakingBadge', { visible: true });
  await sleep(1500);
  await page.screenshot({ path: path.join(out, '5-speaking.png') });
  await teacher.command(Cmd.LIVE_END);
  await page.waitForSelector('#endedView', { visible: true });
  await page.screenshot({ path: path.join(out, '6-class-ended.png') });
  teacher.close();
} finally {
  for (const b of browsers) await b.close().catch(() => {});
  await server.stop();
  await janus.stop();
}
