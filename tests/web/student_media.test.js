// The students' page with sound and video, inside the media tests' network namespace: real Janus,
// real lectern-server, the page in Chromium; the teacher is a relay client beside a browser tab that
// publishes its camera and microphone.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';
import { Cmd, RelayPeer, Server, launchBrowser, signIn, text, waitFor } from './lib/harness.js';
import { Janus, MEDIA_FLAGS, mediaStats, recordPeerConnections } from './lib/media.js';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const LIVE = '高一数学：集合与常用逻辑用语（直播中）';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitStats(page, check, what, timeoutMs = 15000) {
  const started = Date.now();
  for (;;) {
    const stats = await mediaStats(page);
    if (check(stats)) return stats;
    if (Date.now() - started > timeoutMs) throw new Error(`timed out waiting for ${what}: ${JSON.stringify(stats)}`);
    await sleep(200);
  }
}

async function setUp(t) {
  const janus = await new Janus().start();
  t.after(() => janus.stop());
  const server = await new Server().start(janus.serverArgs);
  t.after(() => server.stop());
  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  await teacher.host();
  assert.ok(teacher.media && teacher.media.url === janus.url, `the relay gave the teacher no media room:\n${server.output}`);
  const teacherFeeds = teacher.media.feeds[teacher.userId];
  return { janus, server, teacher, teacherFeeds };
}

// The teacher's camera and microphone from a tab of its own.
async function publishTeacher(t, server, teacher, teacherFeeds) {
  const browser = await launchBrowser(MEDIA_FLAGS);
  t.after(() => browser.close());
  const page = await openInstrumented(browser, server.pageUrl);
  // Evaluated, not a script tag: the page's content security policy forbids inline scripts.
  await page.evaluate(readFileSync(path.join(HERE, 'lib/teacher-media.js'), 'utf8'));
  const { url, room, pin } = teacher.media;
  await page.evaluate((u, r, p, f) => window.teacherMedia.publish(u, r, p, f), url, room, pin, teacherFeeds.camera);
  return page;
}

async function openInstrumented(browser, url) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await recordPeerConnections(page);
  await page.goto(url);
  return page;
}

async function enterStudent(browser, server, loginId) {
  const page = await openInstrumented(browser, server.pageUrl);
  await signIn(page, loginId);
  await page.waitForSelector('#listView', { visible: true });
  const row = await page.waitForSelector(`xpath/.//li[contains(@class,"live-row")][.//div[contains(text(),"${LIVE}")]]`);
  await (await row.$('button.enter')).click();
  await page.waitForSelector('#roomView', { visible: true });
  return page;
}

test('the page sees and hears the teacher, speaks when invited, and stops on the teacher\'s word', { timeout: 180000 }, async (t) => {
  const { janus, server, teacher, teacherFeeds } = await setUp(t);
  const teacherTab = await publishTeacher(t, server, teacher, teacherFeeds);
  const browser = await launchBrowser(MEDIA_FLAGS);
  t.after(() => browser.close());
  const page = await enterStudent(browser, server, 'student01');

  // The teacher's camera comes up large, its frames decoded.
  await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
  await waitStats(page, (s) => s.framesDecoded > 10, 'decoded teacher frames');

  // The energy of what the page hears follows the teacher's tone: flat while muted, rising with it.
  await teacherTab.evaluate(() => window.teacherMedia.setTone(false));
  await sleep(1500);
  const quiet0 = (await mediaStats(page)).audioEnergy;
  await sleep(1500);
  const quiet1 = (await mediaStats(page)).audioEnergy;
  await teacherTab.evaluate(() => window.teacherMedia.setTone(true));
  await sleep(2500);
  const loud = (await mediaStats(page)).audioEnergy;
  assert.ok(quiet1 - quiet0 < 0.001, `energy rose while the teacher was silent: ${quiet0} → ${quiet1}`);
  assert.ok(loud - quiet1 > 0.01, `no energy with the teacher's tone: ${quiet1} → ${loud}`);

  // The screen share takes the stage with the camera in its corner, and follows unpublish and republish.
  await teacherTab.evaluate((f) => window.teacherMedia.shareScreen(f), teacherFeeds.screen);
  await page.waitForSelector('#teacherScreen', { visible: true, timeout: 15000 });
  const sizes = await page.evaluate(() => ['teacherScreen', 'teacherCamera']
    .map((id) => document.getElementById(id).getBoundingClientRect().width));
  assert.ok(sizes[0] > 2 * sizes[1], `the share is not the larger picture: ${sizes}`);
  await teacherTab.evaluate((f) => window.teacherMedia.stopScreen(f), teacherFeeds.screen);
  await page.waitForSelector('#teacherScreen', { hidden: true, timeout: 10000 });
  await teacherTab.evaluate((f) => window.teacherMedia.shareScreen(f), teacherFeeds.screen);
  await page.waitForSelector('#teacherScreen', { visible: true, timeout: 15000 });
  await page.waitForFunction(() => document.getElementById('teacherScreen').videoWidth > 0, { timeout: 10000 });

  // Invited, the page accepts: the teacher hears the page's microphone under the student's feed.
  const hello = await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ENTER_ROOM), 'the hello');
  const student = hello.sender;
  const studentFeeds = await waitFor(() => teacher.received.find((p) => p.op === 'memberEvent' && p.feeds && p.feeds[student]), 'the student\'s feeds');
  await teacher.command(Cmd.INVITE_INTERACT, '', student);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.click('#inviteAccept');
  await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ACCEPT_INTERACT), 'the acceptance');
  await page.waitForSelector('#speakingBadge', { visible: true });
  await waitStats(page, (s) => s.audioBytesSent > 2000, 'the page sending audio');
  await teacherTab.evaluate((f) => window.teacherMedia.subscribe(f), studentFeeds.feeds[student].camera);
  const before = await waitStats(teacherTab, (s) => s.audioEnergy > 0, 'the student\'s sound at the teacher');
  await sleep(2000);
  assert.ok((await mediaStats(teacherTab)).audioEnergy > before.audioEnergy, 'the student\'s sound stopped rising at the teacher');

  // The teacher's CmdMicOff ends the publication.
  await teacher.command(Cmd.MIC_OFF, '', student);
  await page.waitForSelector('#speakingBadge', { hidden: true });
  await teacherTab.waitForFunction((f) => window.teacherMedia.gone.includes(f), { timeout: 10000 },
    studentFeeds.feeds[student].camera);

  // Invited again, with the camera this time; the student stops by themselves.
  await teacher.command(Cmd.INVITE_INTERACT, '', student);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.click('#inviteCamera');
  await page.click('#inviteAccept');
  await page.waitForSelector('#speakingBadge', { visible: true });
  await page.waitForFunction(() => window.peerConnections.some((pc) => pc.connectionState === 'connected'
    && pc.getSenders().some((s) => s.track && s.track.kind === 'video')), { timeout: 15000 });
  const offs = teacher.commands().filter((c) => c.userAction === Cmd.MIC_OFF).length;
  const goneBefore = await teacherTab.evaluate(() => window.teacherMedia.gone.length);
  await page.click('#stopSpeaking');
  await waitFor(() => teacher.commands().filter((c) => c.userAction === Cmd.MIC_OFF).length > offs, 'the student\'s own CmdMicOff');
  await teacherTab.waitForFunction((f, n) => window.teacherMedia.gone.slice(n).includes(f),
    { timeout: 10000 }, studentFeeds.feeds[student].camera, goneBefore);

  // The media server dies: the page says it is reconnecting; back, with the room made again by the
  // teacher's return, the page sees the teacher again by itself.
  await janus.restart();
  await page.waitForFunction(() => /正在重新连接/.test(document.getElementById('mediaStatus').textContent)
    && !document.getElementById('mediaStatus').hidden, { timeout: 10000 });
  // lectern-server takes the media server back once its probe reaches it: the teacher enters again
  // until the room has media again.
  let again = {};
  for (const started = Date.now(); !again.media && Date.now() - started < 30000;) {
    await teacher.send({ op: 'quitRoom' });
    again = await teacher.send({ op: 'createRoom', roomId: teacher.roomId, role: 'LiveMaster' });
    if (!again.media) await sleep(1000);
  }
  assert.ok(again.media, `no media room after Janus came back: ${JSON.stringify(again)}`);
  await teacherTab.evaluate((u, r, p, f) => window.teacherMedia.publish(u, r, p, f),
    again.media.url, again.media.room, again.media.pin, again.media.feeds[teacher.userId].camera);
  const frames = (await mediaStats(page)).framesDecoded;
  await waitStats(page, (st) => st.framesDecoded > frames + 10, 'frames after the media server came back', 20000);
  await page.waitForSelector('#mediaStatus', { hidden: true });
  assert.deepEqual(page.errors, []);
});

test('a refused camera leaves the voice; a refused microphone: the page says so and the teacher is told it cannot be used', { timeout: 120000 }, async (t) => {
  const { server, teacher, teacherFeeds } = await setUp(t);
  await publishTeacher(t, server, teacher, teacherFeeds);
  // Without the fake-UI flag the browser asks; the DevTools protocol answers "denied".
  const browser = await launchBrowser(MEDIA_FLAGS, { fakeUi: false });
  t.after(() => browser.close());
  const page = await enterStudent(browser, server, 'student02');
  const session = await browser.target().createCDPSession();
  const permit = (name, setting) => session.send('Browser.setPermission', {
    permission: { name }, setting, origin: new URL(server.pageUrl).origin, browserContextId: page.browserContext().id,
  });
  await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
  const hello = await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ENTER_ROOM), 'the hello');

  // The camera refused but the microphone allowed: the student speaks without the picture.
  await permit('microphone', 'granted');
  await permit('camera', 'denied');
  await teacher.command(Cmd.INVITE_INTERACT, '', hello.sender);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.click('#inviteCamera');
  await page.click('#inviteAccept');
  await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ACCEPT_INTERACT), 'the acceptance');
  await page.waitForFunction(() => /摄像头无法使用/.test(document.getElementById('mediaStatus').textContent));
  await page.waitForFunction(() => window.peerConnections.some((pc) => pc.connectionState === 'connected'
    && pc.getSenders().some((s) => s.track && s.track.kind === 'audio')), { timeout: 15000 });
  await page.click('#stopSpeaking');
  await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.MIC_OFF), 'the student\'s CmdMicOff');

  await permit('microphone', 'denied');
  const accepted = teacher.commands().filter((c) => c.userAction === Cmd.ACCEPT_INTERACT).length;
  await teacher.command(Cmd.INVITE_INTERACT, '', hello.sender);
  await page.waitForSelector('#inviteDialog', { visible: true });
  await page.click('#inviteAccept');
  const declined = await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.REJECT_INTERACT), 'the decline');
  assert.equal(declined.actionParam, '2');
  await page.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-text')].some((e) => /浏览器拒绝了麦克风权限/.test(e.textContent)));
  assert.equal(await page.$eval('#speakingBadge', (e) => e.hidden), true);
  assert.equal(teacher.commands().filter((c) => c.userAction === Cmd.ACCEPT_INTERACT).length, accepted);
  assert.match(await text(page, '#roomTitle'), /高一数学/);
});
