// The students' page in Debian's Chromium against the real lectern-server, for what needs no sound
// or video: sign-in and its failures, markup and overlong lines, forged commands. The teacher speaks
// the relay's protocol as the teacher's client does (student_media.test.js has the real client).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { test } from 'node:test';
import {
  Cmd, LIVE, RelayPeer, Server, chatRows, enterClass, launchBrowser, openStudent, signIn, text, waitFor,
} from './lib/harness.js';

const MARKUP_NAME = '<img src=x onerror="window.pwned=1">小坏';

async function setUp(t, flags = []) {
  const server = await new Server().start();
  t.after(() => server.stop());
  const browser = await launchBrowser(flags);
  t.after(() => browser.close());
  return { server, browser };
}

test('sign-in, the class list, chat both ways, notices, class clock and markup shown as text', { timeout: 120000 }, async (t) => {
  const { server, browser } = await setUp(t, ['--host-resolver-rules=MAP school.example 127.0.0.1']);
  execFileSync(path.join(process.env.LECTERN_BIN_DIR, 'lectern-server'),
    ['--db', path.join(server.dir, 'lectern.db'), 'user', 'add', 'mallory', '123456', MARKUP_NAME]);

  // Opened by name from another machine over plain HTTP: told to use HTTPS, not a broken sign-in.
  const remote = await openStudent(browser, `http://school.example:${server.port}/student/`);
  await remote.waitForSelector('#insecureView', { visible: true });
  assert.match(await text(remote, '#insecureView h1'), /请使用 HTTPS 打开本页面/);

  const a = await openStudent(browser, server.pageUrl);
  await signIn(a, 'student01', 'wrong-password');
  await a.waitForSelector('#loginError', { visible: true });
  assert.match(await text(a, '#loginError'), /账号或密码错误/);
  await signIn(a, 'student01');
  await a.waitForSelector('#listEmpty', { visible: true }); // the demo's running live has no teacher in it yet

  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  await teacher.host();
  await a.click('#refreshList');
  await enterClass(a, LIVE);
  const hello = await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ENTER_ROOM), 'the hello');
  assert.deepEqual(JSON.parse(hello.actionParam), { nickname: '张小明', userId: hello.sender });

  await teacher.command(Cmd.CLASS_TIME, '125');
  await a.waitForFunction(() => /上课时间 00:02:0\d/.test(document.querySelector('#classClock').textContent));

  const markup = '大家好<script>window.pwned=1</script><img src=x onerror="window.pwned=1">';
  await teacher.chat(markup);
  await a.waitForFunction(() => document.querySelectorAll('#chatList .chat-row.chat').length === 1);
  const [teacherRow] = (await chatRows(a)).filter((r) => r.startsWith('王老师|'));
  assert.match(teacherRow, /^王老师\|\d\d:\d\d:\d\d\|/);
  assert.equal(teacherRow.split('|').slice(2).join('|'), markup);

  const b = await openStudent(browser, server.pageUrl);
  await signIn(b, 'mallory');
  await enterClass(b, LIVE);
  await a.waitForFunction((name) => [...document.querySelectorAll('#chatList .notice')]
    .some((r) => r.textContent === `${name}进入直播间`), {}, MARKUP_NAME);

  // Chat from a page reaches the teacher and the other student, under its sender's name.
  await a.type('#chatInput', '老师好');
  await a.keyboard.press('Enter');
  await waitFor(() => teacher.texts().some((m) => m.text === '老师好'), 'the chat at the teacher');
  await b.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-row.chat')]
    .some((r) => r.querySelector('.chat-name').textContent === '张小明' && r.querySelector('.chat-text').textContent === '老师好'));
  assert.ok((await chatRows(a)).some((r) => /^我\|\d\d:\d\d:\d\d\|老师好$/.test(r)));

  // An overlong line is refused with a message and keeps its text; nothing of it is sent.
  const long = '长'.repeat(501);
  await b.$eval('#chatInput', (e, v) => { e.value = v; e.dispatchEvent(new Event('input')); }, long);
  await b.click('#chatSend');
  await b.waitForSelector('#chatError', { visible: true });
  assert.match(await text(b, '#chatError'), /消息过长（501字），最多500字/);
  assert.equal(await b.$eval('#chatInput', (e) => e.value), long);
  await b.$eval('#chatInput', (e) => { e.value = '短的'; e.dispatchEvent(new Event('input')); });
  await b.click('#chatSend');
  await waitFor(() => teacher.texts().some((m) => m.text === '短的'), 'the short line');
  assert.ok(!teacher.texts().some((m) => m.text.startsWith('长')));

  await b.click('#leaveRoom');
  await b.waitForSelector('#endedView', { visible: true });
  await a.waitForFunction((name) => [...document.querySelectorAll('#chatList .notice')]
    .some((r) => r.textContent === `${name}离开直播间`), {}, MARKUP_NAME);
  await waitFor(() => teacher.commands().some((c) => c.userAction === Cmd.LEAVE_ROOM), 'the goodbye');

  for (const page of [a, b]) {
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    assert.equal(await page.$$eval('#chatList img, #chatList script', (e) => e.length), 0);
    assert.deepEqual(page.errors, []);
  }

  // A session the server no longer knows: back to sign-in with a clear message.
  await a.evaluate(() => {
    const kept = JSON.parse(sessionStorage.getItem('lectern.session'));
    sessionStorage.setItem('lectern.session', JSON.stringify({ ...kept, ak: 'expired' }));
  });
  await a.reload();
  await a.waitForSelector('#loginError', { visible: true });
  assert.match(await text(a, '#loginError'), /登录已过期，请重新登录/);

  // The server gone: the sign-in says so.
  await server.kill();
  await signIn(a, 'student01');
  await a.waitForFunction(() => /无法连接服务器/.test(document.querySelector('#loginError').textContent));
});

test('forged commands and names: a student cannot invite, end the class, switch another\'s microphone or speak for or as another; nothing crosses after the end', { timeout: 120000 }, async (t) => {
  const { server, browser } = await setUp(t);
  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  const roomId = await teacher.host();
  const a = await openStudent(browser, server.pageUrl);
  await signIn(a, 'student01');
  await enterClass(a, LIVE);
  const aId = (await waitFor(() => teacher.commands().find((c) => c.userAction === Cmd.ENTER_ROOM), 'the hello')).sender;

  // A classmate speaking the relay's protocol directly, as a doctored page would.
  const forger = await new RelayPeer(server, 'student02').open();
  t.after(() => forger.close());
  await server.rpc('live.enter.room', { liveRole: 0, avRoomId: roomId }, forger.ak);
  assert.equal((await forger.send({ op: 'joinRoom', roomId })).code, 0);
  const identityOfA = JSON.stringify({ nickname: '张小明', userId: aId });
  const forged = [
    ['invite A', { to: aId, action: Cmd.INVITE_INTERACT }],
    ['A off the microphone', { to: aId, action: Cmd.MIC_OFF }],
    ['end the class', { action: Cmd.LIVE_END }],
    ['pause the class', { action: Cmd.LIVE_PAUSE }],
    ['class time', { action: Cmd.CLASS_TIME, param: '99999' }],
    ['accept in A\'s name', { to: teacher.userId, action: Cmd.ACCEPT_INTERACT, param: identityOfA }],
    ['A leaving', { action: Cmd.LEAVE_ROOM, param: identityOfA }],
  ];
  for (const [what, { to = '', action, param = '' }] of forged) {
    const reply = await forger.command(action, param, to);
    assert.equal(reply.code, 10022, what);
  }
  const chatToA = await forger.send({ op: 'peerMsg', to: aId, elems: [{ type: 0, text: '私聊' }] });
  assert.equal(chatToA.code, 10022);
  // What a student may do still goes through, and arrives after anything forged would have.
  assert.equal((await forger.command(Cmd.REJECT_INTERACT, '0', teacher.userId)).code, 0);
  assert.equal((await forger.chat('大家好')).code, 0);
  await waitFor(() => teacher.texts().some((m) => m.text === '大家好'), 'the allowed chat at the teacher');
  await a.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-text')].some((e) => e.textContent === '大家好'));

  assert.ok(await a.$('#roomView:not([hidden])'));
  assert.ok(await a.$('#inviteDialog[hidden]'));
  assert.ok(await a.$('#classClock[hidden]'));
  assert.ok(await a.$('#roomNotice[hidden]'));
  assert.ok(!(await chatRows(a)).some((r) => r.includes('离开直播间') || r.includes('私聊')));
  assert.deepEqual(teacher.commands().filter((c) => c.sender === forger.userId).map((c) => c.userAction), [Cmd.REJECT_INTERACT]);

  // A name of its own choosing: the page and the teacher still see the one on record.
  assert.equal((await forger.command(Cmd.ENTER_ROOM, JSON.stringify({ nickname: teacher.nickname }))).code, 0);
  assert.equal((await forger.chat('我是老师')).code, 0);
  const claimed = await waitFor(() => teacher.commands().find((c) => c.sender === forger.userId && c.userAction === Cmd.ENTER_ROOM), 'the forged hello');
  assert.equal(JSON.parse(claimed.actionParam).nickname, forger.nickname);
  await a.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-text')].some((e) => e.textContent === '我是老师'));
  const forgedRow = (await chatRows(a)).find((r) => r.endsWith('|我是老师'));
  assert.equal(forgedRow.split('|')[0], forger.nickname);
  assert.notEqual(forger.nickname, teacher.nickname);

  // The teacher's own pause is shown, where the forged one was not.
  await teacher.command(Cmd.LIVE_PAUSE);
  await a.waitForSelector('#roomNotice', { visible: true });
  assert.deepEqual(a.errors, []);

  // Once the live has ended, the relay takes everyone out of the room, with or without the
  // teacher's CmdLiveEnd, and carries nothing more in it.
  await server.rpc('live.end', { liveId: teacher.liveId }, teacher.ak);
  await a.waitForSelector('#endedView', { visible: true });
  assert.match(await text(a, '#endedView'), /本节课已结束/);
  await waitFor(() => forger.received.some((p) => p.op === 'roomClosed'), 'the end at the classmate');
  assert.equal((await forger.chat('还在吗')).code, 10010);
  assert.equal((await teacher.chat('下课')).code, 10010);
  assert.equal((await forger.send({ op: 'joinRoom', roomId })).code, 10017);
  assert.ok(!teacher.texts().some((m) => m.text === '还在吗'));
  assert.deepEqual(a.errors, []);
});

test('a class with a roster is listed and opened only for the students on it', { timeout: 120000 }, async (t) => {
  const { server, browser } = await setUp(t);
  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  const roomId = await teacher.host();
  execFileSync(path.join(process.env.LECTERN_BIN_DIR, 'lectern-server'),
    ['--db', path.join(server.dir, 'lectern.db'), 'live', 'enrol', String(teacher.liveId), 'student02']);

  const onRoster = await openStudent(browser, server.pageUrl);
  await signIn(onRoster, 'student02');
  await enterClass(onRoster, LIVE);
  await waitFor(() => teacher.commands().some((c) => c.userAction === Cmd.ENTER_ROOM), 'the enrolled student\'s hello');

  const other = await openStudent(browser, server.pageUrl);
  await signIn(other, 'student01');
  await other.waitForSelector('#listEmpty', { visible: true });
  // Nor does knowing the room number let it in, as a doctored page would try.
  const outsider = await new RelayPeer(server, 'student01').open();
  t.after(() => outsider.close());
  await assert.rejects(server.rpc('live.enter.room', { liveRole: 0, avRoomId: roomId }, outsider.ak), /109008/);
  assert.equal((await outsider.send({ op: 'joinRoom', roomId })).code, 10016);
  assert.deepEqual((await outsider.send({ op: 'rooms' })).rooms, []);
  assert.deepEqual([...onRoster.errors, ...other.errors], []);
});
