// The class talking back, with the real teacher's client (offscreen), real lectern-server and Janus
// and two students' pages in Chromium: a raised hand on the teacher's member row lowered by the
// invitation and by the teacher, a quick question answered on the pages and counted by the server,
// its result shared, and the attendance with its CSV from the lobby afterwards.
// With LECTERN_SHOTS_DIR set, pictures of the moments are written there.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { mkdtemp } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { LIVE, RelayPeer, Server, enterClass, launchBrowser, signIn, waitFor } from './lib/harness.js';
import { Janus, MEDIA_FLAGS, openInstrumented } from './lib/media.js';
import { TeacherClient } from './lib/teacher-client.js';

const QUIZ_ANSWER = 0x80a;
const QUIZ_SHARE = 0x80c;
const QUIZ_TALLY = 0x80d;
const SHOTS = process.env.LECTERN_SHOTS_DIR || '';

async function shoot(teacher, pages, name) {
  if (!SHOTS) return;
  await teacher.grab(path.join(SHOTS, `${name}-teacher.png`));
  for (const [who, page] of Object.entries(pages)) {
    await page.screenshot({ path: path.join(SHOTS, `${name}-${who}.png`) });
  }
}

const handUp = (page) => page.$eval('#raiseHand', (b) => b.getAttribute('aria-pressed') === 'true');
const memberOf = (state, userId) => (state.members || []).find((m) => m.userId === userId) || {};

test('hands, a quick question and the attendance: two pages and the real teacher\'s client', { timeout: 300000 }, async (t) => {
  const janus = await new Janus().start();
  t.after(() => janus.stop());
  const server = await new Server().start(janus.serverArgs);
  t.after(() => server.stop());
  const teacher = await new TeacherClient().start(server);
  t.after(() => teacher.stop());
  await teacher.enter(LIVE);
  const browser = await launchBrowser(MEDIA_FLAGS);
  t.after(() => browser.close());
  const a = await openInstrumented(browser, server.pageUrl);
  const b = await openInstrumented(browser, server.pageUrl);
  for (const page of [a, b]) await page.setViewport({ width: 1100, height: 700 });
  await signIn(a, 'student01');
  await enterClass(a);
  await signIn(b, 'student02');
  await enterClass(b);
  const ids = await teacher.waitFor((s) => {
    const byName = Object.fromEntries((s.members || []).map((m) => [m.nickname, m.userId]));
    return byName['张小明'] && byName['李华'] ? byName : null;
  }, 'member rows for both students');
  const [idA, idB] = [ids['张小明'], ids['李华']];

  // Raised on the page: the row shows it, the tab counts it, a notice says so. The list keeps its order.
  const orderBefore = (await teacher.state()).members.map((m) => m.userId);
  await a.click('#raiseHand');
  await a.waitForFunction(() => document.querySelector('#raiseHand').textContent === '放下手');
  let state = await teacher.waitFor((s) => memberOf(s, idA).hand && s, 'A\'s hand on its row');
  assert.match(state.memberTab, /举手1$/);
  assert.match(state.floorNotice, /张小明 举手了/);
  assert.deepEqual(state.members.map((m) => m.userId), orderBefore);
  await b.click('#raiseHand');
  state = await teacher.waitFor((s) => memberOf(s, idB).hand && s, 'B\'s hand on its row');
  assert.match(state.memberTab, /举手2$/);
  await teacher.showMembers();
  await shoot(teacher, { a, b }, '1-hands');

  // The teacher lowers B's hand by its row: B's page sees it. The invitation to A lowers A's.
  await teacher.lowerHand(idB);
  await b.waitForFunction(() => document.querySelector('#raiseHand').getAttribute('aria-pressed') === 'false');
  await teacher.mic(idA, true);
  await a.waitForSelector('#inviteDialog', { visible: true });
  assert.equal(await handUp(a), false);
  state = await teacher.waitFor((s) => !memberOf(s, idA).hand && s, 'A\'s hand lowered by the invitation');
  assert.doesNotMatch(state.memberTab, /举手/);
  // A speaks for a while: the attendance counts that time.
  await a.click('#inviteAccept');
  await a.waitForSelector('#speakingBadge', { visible: true });
  await teacher.waitFor((s) => memberOf(s, idA).micOn, 'A on the microphone');
  await new Promise((r) => setTimeout(r, 2500));
  await teacher.mic(idA, false);
  await a.waitForSelector('#speakingBadge', { hidden: true });

  // All hands down reaches every page.
  await a.click('#raiseHand');
  await b.click('#raiseHand');
  await teacher.waitFor((s) => memberOf(s, idA).hand && memberOf(s, idB).hand, 'both hands up again');
  await teacher.lowerAll();
  for (const page of [a, b]) {
    await page.waitForFunction(() => document.querySelector('#raiseHand').getAttribute('aria-pressed') === 'false');
  }
  await teacher.waitFor((s) => !memberOf(s, idA).hand && !memberOf(s, idB).hand, 'no hands');

  // A question with four choices: A answers B then changes to C, B answers B.
  await teacher.quiz(4, '下列哪个是偶函数？');
  for (const page of [a, b]) {
    await page.waitForFunction(() => document.querySelectorAll('#quizChoices button').length === 4);
  }
  assert.equal(await a.$eval('#quizText', (e) => e.textContent), '下列哪个是偶函数？');
  await a.click('#quizChoices [data-choice="1"]');
  await b.click('#quizChoices [data-choice="1"]');
  await teacher.waitFor((s) => s.quiz.answered === 2, 'two answers counted');
  await a.click('#quizChoices [data-choice="2"]');
  state = await teacher.waitFor((s) => s.quiz.counts[2] === 1 && s, 'A\'s changed answer');
  assert.deepEqual(state.quiz.counts.slice(0, 4), [0, 1, 1, 0]);
  assert.equal(state.quiz.answered, 2);
  assert.deepEqual([...state.quiz.answers].sort(), ['张小明：C', '李华：B']);

  // A doctored page: counts it makes up, a tally in the server's name, an answer for another.
  const forger = await new RelayPeer(server, 'student03').open();
  t.after(() => forger.close());
  await server.rpc('live.enter.room', { liveRole: 0, avRoomId: teacher.avRoomId }, forger.ak);
  assert.equal((await forger.send({ op: 'joinRoom', roomId: teacher.avRoomId })).code, 0);
  const quizId = (await waitFor(() => forger.commands().find((c) => c.userAction === 0x809), 'the question for who came late'));
  const { quizId: id } = JSON.parse(quizId.actionParam);
  const teacherId = quizId.sender;
  const counts = [50, 0, 0, 0];
  assert.equal((await forger.command(QUIZ_TALLY, JSON.stringify({ quizId: id, counts }), teacherId)).code, 10022);
  assert.equal((await forger.command(QUIZ_SHARE, JSON.stringify({ quizId: id, counts }))).code, 10022);
  assert.equal((await forger.command(QUIZ_ANSWER, JSON.stringify({ userId: idA, quizId: id, choice: 0 }), teacherId)).code, 10022);
  assert.equal((await forger.command(QUIZ_ANSWER, JSON.stringify({ userId: forger.userId, quizId: id, choice: 0, counts }), teacherId)).code, 0);
  state = await teacher.waitFor((s) => s.quiz.answered === 3 && s, 'the forger counted once');
  assert.deepEqual(state.quiz.counts.slice(0, 4), [1, 1, 1, 0]);
  await shoot(teacher, { a, b }, '2-question');
  if (SHOTS) await teacher.grabQuiz(path.join(SHOTS, '2-question-panel.png'));

  // Closed: the pages' choices lock, and an answer after it is refused.
  await teacher.quizClose();
  await a.waitForFunction(() => [...document.querySelectorAll('#quizChoices button')].every((x) => x.disabled));
  assert.equal((await forger.command(QUIZ_ANSWER, JSON.stringify({ userId: forger.userId, quizId: id, choice: 3 }), teacherId)).code, 10024);
  await teacher.waitFor((s) => s.quiz.closed, 'the question closed');
  // Shared: each page shows the server's counts.
  await teacher.quizShare();
  for (const page of [a, b]) {
    await page.waitForFunction(() => /答题结果（共3人作答）/.test(document.querySelector('#quizStatus').textContent));
  }
  assert.deepEqual(await b.$$eval('#quizChoices .choice-count', (e) => e.map((x) => x.textContent.trim())),
    ['1人（33%）', '1人（33%）', '1人（33%）', '0人（0%）']);
  assert.equal((await teacher.state()).quiz.counts[3], 0);
  await shoot(teacher, { a, b }, '3-shared');

  // The class ends; the lobby's "出勤" shows who was there, and its CSV opens as UTF-8.
  await a.type('#chatInput', '老师再见');
  await a.keyboard.press('Enter');
  await teacher.waitFor((s) => s.discussion.some((r) => r.endsWith('|老师再见')), 'the chat line');
  await teacher.end();
  const dir = await mkdtemp(path.join(os.tmpdir(), 'lectern-attendance-'));
  const csvPath = path.join(dir, '出勤.csv');
  const { rows } = await teacher.attendance(LIVE, csvPath);
  if (SHOTS) await teacher.grabAttendance(path.join(SHOTS, '4-attendance.png'));
  const byName = Object.fromEntries(rows.map((r) => [r[0], r]));
  assert.deepEqual(Object.keys(byName).sort(), ['张小明', '李华', '王芳'].sort());
  // name, first entry, present, speaking, chat lines, hands, answers
  assert.deepEqual(byName['张小明'].slice(4), ['1', '2', '1']);
  assert.deepEqual(byName['李华'].slice(4), ['0', '2', '1']);
  assert.match(byName['张小明'][1], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  assert.match(byName['张小明'][2], /^00:0\d:\d\d$/);
  assert.match(byName['张小明'][3], /^00:00:0[2-9]$/); // on the microphone about 2.5 s
  assert.equal(byName['李华'][3], '00:00:00');
  const bytes = readFileSync(csvPath);
  assert.deepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf]);
  const lines = new TextDecoder('utf-8', { fatal: true }).decode(bytes.subarray(3)).split('\r\n');
  assert.equal(lines[0], '姓名,首次进入,在线时长,发言时长,聊天条数,举手次数,答题次数');
  assert.deepEqual(lines.slice(1, -1).map((l) => l.split(',')).sort(), rows.map((r) => [...r]).sort());
  assert.equal(lines.at(-1), '');
  for (const page of [a, b]) assert.deepEqual(page.errors, []);
});
