// Pictures of the students' page as a student sees it, beside the teacher's client window at the same
// moments, for looking at (not a test): run inside the media namespace, e.g.
//   LECTERN_BIN_DIR=build/bin LECTERN_TEACHER_DRIVER=build/tests/teacher_driver/teacher_driver \
//     tests/media/netns-run.sh node tests/web/screenshots.mjs OUT_DIR
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { LIVE, Server, enterClass, launchBrowser, liveRow, signIn } from './lib/harness.js';
import { Janus, MEDIA_FLAGS } from './lib/media.js';
import { TeacherClient } from './lib/teacher-client.js';

const out = path.resolve(process.argv[2] || 'screenshots');
mkdirSync(out, { recursive: true });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const janus = await new Janus().start();
const server = await new Server().start(janus.serverArgs);
const teacher = await new TeacherClient().start(server);
const browsers = [];
try {
  await teacher.enter(LIVE);
  const browser = await launchBrowser(MEDIA_FLAGS);
  browsers.push(browser);
  const open = async () => {
    const page = await (await browser.createBrowserContext()).newPage();
    await page.setViewport({ width: 1280, height: 760 });
    await page.goto(server.pageUrl);
    return page;
  };
  const enter = async (page, login) => {
    await signIn(page, login);
    await enterClass(page);
  };
  const page = await open();
  await page.waitForSelector('#loginForm', { visible: true });
  await page.type('#loginId', 'student01');
  await page.screenshot({ path: path.join(out, '1-sign-in.png') });
  await signIn(page, 'student01');
  const row = await liveRow(page);
  await page.screenshot({ path: path.join(out, '2-classes.png') });
  await (await row.$('button.enter')).click();
  await page.waitForSelector('#teacherScreen', { visible: true, timeout: 15000 });
  const classmate = await open();
  await enter(classmate, 'student02');

  await teacher.say('同学们好，今天我们学习集合。');
  await page.type('#chatInput', '老师好！');
  await page.keyboard.press('Enter');
  await classmate.type('#chatInput', '老师，课件能发一下吗？');
  await classmate.keyboard.press('Enter');
  const { members } = await teacher.waitFor((s) => s.discussion.some((r) => r.endsWith('|老师，课件能发一下吗？')) && s, 'the chat');
  await sleep(1500);
  await page.screenshot({ path: path.join(out, '3-room.png') });
  await teacher.grab(path.join(out, '3-teacher-room.png'));

  const student = members.find((m) => m.nickname === '张小明').userId;
  await teacher.mic(student, true);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.screenshot({ path: path.join(out, '4-invitation.png') });
  await page.click('#inviteCamera');
  await page.click('#inviteAccept');
  await page.waitForSelector('#speakingBadge', { visible: true });
  await classmate.waitForFunction(() => document.getElementById('classmateVideo').videoWidth > 0, { timeout: 15000 });
  await teacher.waitFor((s) => s.members.some((m) => m.userId === student && m.micOn) && s.remotePicture,
    'the student speaking');
  await sleep(2000);
  await page.screenshot({ path: path.join(out, '5-speaking.png') });
  await classmate.screenshot({ path: path.join(out, '5-classmate-hears.png') });
  await teacher.grab(path.join(out, '5-teacher-speaking.png'));

  await teacher.end();
  await page.waitForSelector('#endedView', { visible: true });
  await page.screenshot({ path: path.join(out, '6-class-ended.png') });
} finally {
  for (const b of browsers) await b.close().catch(() => {});
  await teacher.stop();
  await server.stop();
  await janus.stop();
}
