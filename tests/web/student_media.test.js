// The students' page with sound and video, inside the media tests' network namespace: real Janus,
// real lectern-server, the pages in Chromium, and the class held by the real teacher's client
// (offscreen, with a test camera, tone and speaker).
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { LIVE, Server, enterClass, launchBrowser, signIn, text } from './lib/harness.js';
import { Janus, MEDIA_FLAGS, mediaStats, openInstrumented, waitStats } from './lib/media.js';
import { TeacherClient } from './lib/teacher-client.js';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function enterStudent(browser, server, loginId) {
  const page = await openInstrumented(browser, server.pageUrl);
  await enterLive(page, loginId);
  return page;
}

async function enterLive(page, loginId) {
  await signIn(page, loginId);
  await enterClass(page);
}

const hasRow = (page, pattern) => page.waitForFunction((source) => [...document.querySelectorAll('#chatList .chat-row')]
  .some((r) => new RegExp(source).test([...r.querySelectorAll('.chat-name, .chat-time, .chat-text')]
    .map((e) => e.textContent).join('|'))), { timeout: 15000 }, pattern.source);

const sent = async (page, line) => {
  await page.type('#chatInput', line);
  await page.keyboard.press('Enter');
};

// Energy heard over a while: flat while the source is quiet, rising while it sounds.
async function energyRise(pages, ms) {
  const before = await Promise.all(pages.map((p) => mediaStats(p)));
  await sleep(ms);
  const after = await Promise.all(pages.map((p) => mediaStats(p)));
  return after.map((s, i) => s.audioEnergy - before[i].audioEnergy);
}

test('two students with the real teacher\'s client: see and hear, chat, speak, decline, refused devices, the server restarts, the class ends', { timeout: 240000 }, async (t) => {
  const janus = await new Janus().start();
  t.after(() => janus.stop());
  const server = await new Server().start(janus.serverArgs);
  t.after(() => server.stop());
  const teacher = await new TeacherClient().start(server);
  t.after(() => teacher.stop());
  await teacher.enter(LIVE);
  const browser = await launchBrowser(MEDIA_FLAGS);
  t.after(() => browser.close());

  // One student mistypes the password first; both enter the live.
  const a = await openInstrumented(browser, server.pageUrl);
  await signIn(a, 'student01', 'wrong-password');
  await a.waitForSelector('#loginError', { visible: true });
  assert.match(await text(a, '#loginError'), /账号或密码错误/);
  await enterLive(a, 'student01');
  // B's browser asks before giving a device, as a real student's does; the DevTools protocol answers.
  const browserB = await launchBrowser(MEDIA_FLAGS, { fakeUi: false });
  t.after(() => browserB.close());
  const b = await enterStudent(browserB, server, 'student02');
  const session = await browserB.target().createCDPSession();
  const permitB = (name, setting) => session.send('Browser.setPermission', {
    permission: { name }, setting, origin: new URL(server.pageUrl).origin, browserContextId: b.browserContext().id,
  });
  const { members } = await teacher.waitFor((s) => ['张小明', '李华'].every((n) => s.members.some((m) => m.nickname === n))
    && ['张小明', '李华'].every((n) => s.discussion.includes(`${n}|进入直播间|`)) && s, 'members and their arrival');
  const idOf = (nickname) => members.find((m) => m.nickname === nickname).userId;
  const aId = idOf('张小明');
  const bId = idOf('李华');

  // The teacher's camera and share, decoded; the share is the larger picture.
  for (const page of [a, b]) {
    await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
    await page.waitForSelector('#teacherScreen', { visible: true, timeout: 15000 });
    await waitStats(page, (s) => s.framesDecoded > 20, 'decoded teacher frames');
    await page.waitForFunction(() => document.getElementById('teacherScreen').videoWidth > 0, { timeout: 10000 });
    const sizes = await page.evaluate(() => ['teacherScreen', 'teacherCamera']
      .map((id) => document.getElementById(id).getBoundingClientRect().width));
    assert.ok(sizes[0] > 2 * sizes[1], `the share is not the larger picture: ${sizes}`);
  }
  // The share follows the teacher's button.
  await teacher.share(false);
  await a.waitForSelector('#teacherScreen', { hidden: true, timeout: 10000 });
  await teacher.share(true);
  await a.waitForFunction(() => !document.getElementById('teacherScreen').hidden
    && document.getElementById('teacherScreen').videoWidth > 0, { timeout: 15000 });

  // A device chosen in the ▲ menu is answered as its own request: the device once went as "id"
  // and replaced the request's, so the answer matched nothing and the teacher's side waited for ever.
  await t.test('a device argument does not replace the request id', async () => {
    const menu = await teacher.deviceMenu('mic');
    assert.deepEqual(menu.lines, ['* Test microphone']);
    await Promise.race([teacher.chooseDevice('test-microphone'),
      sleep(10000).then(() => { throw new Error('the device chosen in the ▲ menu got no answer'); })]);
    assert.equal((await teacher.state()).micId, 'test-microphone');
  });

  // The teacher's camera off: the sound goes on below (a feed without video), and no black box
  // stands where the picture was.
  await teacher.camera(false);
  await a.waitForSelector('#teacherCamera', { hidden: true, timeout: 15000 });

  // What the pages hear follows the teacher's tone: flat while silent, rising with it.
  await teacher.tone(false);
  await sleep(1500);
  const quiet = await energyRise([a, b], 1500);
  await teacher.tone(true);
  await sleep(1000);
  const loud = await energyRise([a, b], 1500);
  quiet.forEach((e, i) => assert.ok(e < 0.001, `energy rose at page ${i} while the teacher was silent: ${e}`));
  loud.forEach((e, i) => assert.ok(e > 0.01, `no energy at page ${i} with the teacher's tone: ${e}`));
  for (const page of [a, b]) {
    const inset = await page.$eval('#teacherCamera', (e) => ({ hidden: e.hidden, tracks: e.srcObject
      && e.srcObject.getTracks().map((t) => t.kind).join() }));
    assert.deepEqual(inset, { hidden: true, tracks: 'audio' }, 'the camera inset while only sound arrives');
  }
  await teacher.camera(true);
  for (const page of [a, b]) {
    await page.waitForFunction(() => !document.getElementById('teacherCamera').hidden
      && document.getElementById('teacherCamera').videoWidth > 0, { timeout: 15000 });
  }

  // Chat both ways: the teacher's discussion shows the students' rows, each page the others'.
  await teacher.say('同学们好');
  await sent(a, '老师好');
  await sent(b, '我也在');
  for (const page of [a, b]) await hasRow(page, /^王老师\|\d\d:\d\d:\d\d\|同学们好$/);
  await hasRow(b, /^张小明\|\d\d:\d\d:\d\d\|老师好$/);
  await hasRow(a, /^李华\|\d\d:\d\d:\d\d\|我也在$/);
  await teacher.waitFor((s) => [/^我\|\d\d:\d\d:\d\d\|同学们好$/, /^张小明\|\d\d:\d\d:\d\d\|老师好$/,
    /^李华\|\d\d:\d\d:\d\d\|我也在$/].every((row) => s.discussion.some((r) => row.test(r))), 'the discussion with both students');

  // Invited by the switch in the member list, A accepts: the teacher hears A's beeps and so does B,
  // with the teacher's own tone off so that what B hears is A.
  await teacher.tone(false);
  await teacher.mic(aId, true);
  await a.waitForSelector('#inviteDialog', { visible: true });
  assert.equal(await text(a, '#inviteTitle'), '老师邀请你发言');
  await a.click('#inviteAccept');
  await a.waitForSelector('#speakingBadge', { visible: true });
  await teacher.waitFor((s) => s.notices.includes('用户已同意互动')
    && s.members.some((m) => m.userId === aId && m.micOn), 'the acceptance');
  await teacher.waitFor((s) => s.peaks[aId] > -40, 'A\'s sound');
  await b.waitForFunction(() => {
    const v = document.getElementById('classmateVideo');
    return v.srcObject && v.srcObject.getAudioTracks().length > 0;
  }, { timeout: 15000 });
  let heardAtB = 0;
  for (const started = Date.now(); heardAtB <= 0.001 && Date.now() - started < 15000;) {
    [heardAtB] = await energyRise([b], 1000);
  }
  assert.ok(heardAtB > 0.001, `B does not hear A: ${heardAtB}`);

  // The teacher's switch ends it: A stops speaking, B's page lets A's feed go.
  await teacher.mic(aId, false);
  await a.waitForSelector('#speakingBadge', { hidden: true });
  await b.waitForFunction(() => !document.getElementById('classmateVideo').srcObject, { timeout: 15000 });
  await teacher.waitFor((s) => s.levels[aId] <= -70, 'silence from A');

  // Invited again with the camera: B sees A; A stops by themself, and the teacher is told.
  await teacher.mic(aId, true);
  await a.waitForSelector('#inviteDialog', { visible: true });
  await a.click('#inviteCamera');
  await a.click('#inviteAccept');
  await b.waitForFunction(() => document.getElementById('classmateVideo').videoWidth > 0, { timeout: 15000 });
  await teacher.waitFor((s) => s.frames[aId] > 10 && s.remotePicture, 'A\'s picture in the room window');
  await a.click('#stopSpeaking');
  const offA = await teacher.waitFor((s) => s.notices.includes('张小明已下麦')
    && s.members.some((m) => m.userId === aId && !m.micOn) && s, 'A going off');
  // Told once: the page did not echo the teacher's switch earlier (it would have come first).
  assert.equal(offA.notices.filter((n) => n === '张小明已下麦').length, 1);
  await b.waitForFunction(() => document.getElementById('classmateVideo').hidden, { timeout: 15000 });

  // B declines with a reason: the teacher's window says so and B's switch goes back off.
  await teacher.mic(bId, true);
  await b.waitForSelector('#inviteDecline', { visible: true });
  await b.click('#inviteDecline');
  await b.click('#declineReasons [data-reason="0"]');
  await b.waitForSelector('#inviteDialog', { hidden: true });
  await teacher.waitFor((s) => s.notices.includes('用户拒绝互动')
    && s.members.some((m) => m.userId === bId && !m.micOn), 'the decline');

  // The camera refused but the microphone allowed: B speaks without the picture and is heard.
  await permitB('microphone', 'granted');
  await permitB('camera', 'denied');
  await teacher.mic(bId, true);
  await b.waitForSelector('#inviteDialog', { visible: true });
  await b.click('#inviteCamera');
  await b.click('#inviteAccept');
  await b.waitForFunction(() => /摄像头无法使用/.test(document.getElementById('mediaStatus').textContent));
  await teacher.waitFor((s) => s.peaks[bId] > -40, 'B\'s sound');
  await b.click('#stopSpeaking');
  await teacher.waitFor((s) => s.notices.includes('李华已下麦')
    && s.members.some((m) => m.userId === bId && !m.micOn), 'B going off');

  // The microphone refused: the page says so and declines for B; the teacher is told B cannot speak.
  await permitB('microphone', 'denied');
  await teacher.mic(bId, true);
  await b.waitForSelector('#inviteDialog', { visible: true });
  await b.click('#inviteAccept');
  await b.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-text')]
    .some((e) => /浏览器拒绝了麦克风权限/.test(e.textContent)));
  const unable = await teacher.waitFor((s) => s.notices.includes('用户没有上麦条件')
    && s.members.some((m) => m.userId === bId && !m.micOn) && s, 'B unable to speak');
  assert.equal(await b.$eval('#speakingBadge', (e) => e.hidden), true);
  assert.equal(unable.notices.filter((n) => n === '用户已同意互动').length, 3); // A twice, B once
  await teacher.tone(true);

  // The media server dies: both pages say they are reconnecting. Then lectern-server restarts, and
  // its relay with it: the pages and the teacher's client come back by themselves, the teacher
  // with a new media room, in which the pages see the teacher again; chat works again.
  await janus.restart();
  for (const page of [a, b]) {
    await page.waitForFunction(() => /正在重新连接/.test(document.getElementById('mediaStatus').textContent)
      && !document.getElementById('mediaStatus').hidden, { timeout: 10000 });
  }
  const framesBefore = await Promise.all([a, b].map(async (page) => (await mediaStats(page)).framesDecoded));
  await server.restart();
  await a.waitForSelector('#reconnecting', { visible: true });
  for (const page of [a, b]) await page.waitForSelector('#reconnecting', { hidden: true, timeout: 20000 });
  await sent(a, '回来了');
  await teacher.waitFor((s) => s.discussion.some((r) => /^张小明\|\d\d:\d\d:\d\d\|回来了$/.test(r)), 'chat after the restart', 20000);
  await teacher.say('欢迎回来');
  for (const [i, page] of [a, b].entries()) {
    await hasRow(page, /^王老师\|\d\d:\d\d:\d\d\|欢迎回来$/);
    await waitStats(page, (st) => st.framesDecoded > framesBefore[i] + 20, 'the teacher\'s picture after the restarts', 20000);
    await page.waitForSelector('#mediaStatus', { hidden: true });
  }

  // The class ends: both pages say so.
  await teacher.end();
  for (const page of [a, b]) {
    await page.waitForSelector('#endedView', { visible: true, timeout: 15000 });
    assert.equal(await text(page, '#endedTitle'), '本节课已结束');
  }
  assert.deepEqual([...a.errors, ...b.errors], []);
});
