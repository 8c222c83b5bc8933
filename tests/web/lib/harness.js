// Starts what the browser tests need for real: lectern-server on free loopback ports (its page
// served from the build), Debian's Chromium headless with fake media, and a teacher who speaks
// the app server's JSON-RPC and the relay's protocol as the teacher's client does.
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import WebSocket from 'ws';

const BIN_DIR = process.env.LECTERN_BIN_DIR;
const CHROMIUM = process.env.LECTERN_CHROMIUM || '/usr/bin/chromium';

export const Cmd = Object.freeze({
  ENTER_ROOM: 1, LEAVE_ROOM: 2, LIVE_PAUSE: 4, LIVE_END: 6,
  INVITE_INTERACT: 0x801, MIC_OFF: 0x802, ACCEPT_INTERACT: 0x803, REJECT_INTERACT: 0x804, CLASS_TIME: 0x805,
});

function need(condition, why) {
  if (!condition) throw new Error(why);
}

// Polls check (which may be async) until it gives something truthy, and returns that; seen(), if
// given, says in the error what was seen last.
export async function waitFor(check, what, timeoutMs = 10000, { everyMs = 25, seen } = {}) {
  const started = Date.now();
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() - started > timeoutMs) throw new Error(`timed out waiting for ${what}${seen ? `: ${seen()}` : ''}`);
    await new Promise((r) => setTimeout(r, everyMs));
  }
}

// The demo school's live in progress, which the tests' students enter.
export const LIVE = '高一数学：集合与常用逻辑用语（直播中）';

// A live's row in the class list, once the list shows it.
export async function liveRow(page, title = LIVE) {
  await page.waitForSelector('#listView', { visible: true });
  return page.waitForSelector(`xpath/.//li[contains(@class,"live-row")][.//div[contains(text(),"${title}")]]`);
}

// Enters a live from the class list and waits for the room.
export async function enterClass(page, title = LIVE) {
  await (await (await liveRow(page, title)).$('button.enter')).click();
  await page.waitForSelector('#roomView', { visible: true });
}

// A JSON POST over HTTPS trusting only ca (Node's fetch takes no CA of its own).
function postTrusting(url, body, ca) {
  return new Promise((resolve, reject) => {
    const request = https.request(url, { method: 'POST', ca, headers: { 'Content-Type': 'application/json' } }, (reply) => {
      let text = '';
      reply.setEncoding('utf8');
      reply.on('data', (chunk) => { text += chunk; });
      reply.on('end', () => resolve(text));
    });
    request.on('error', reject);
    request.end(body);
  });
}

export class Server {
  // With "--tls-cert"/"--tls-key" in extraArgs, ca (the certificate's PEM) is what the test's own
  // calls and relay peers trust.
  async start(extraArgs = [], { ca = null } = {}) {
    this.ca = ca;
    need(BIN_DIR && existsSync(path.join(BIN_DIR, 'lectern-server')),
      `no lectern-server in LECTERN_BIN_DIR (${BIN_DIR}); build first`);
    this.dir = mkdtempSync(path.join(tmpdir(), 'lectern-web-'));
    this.output = '';
    this.args = ['--port', '0', '--live-port', '0', '--db', path.join(this.dir, 'lectern.db'),
      '--downloads', path.join(this.dir, 'downloads'), '--demo', ...extraArgs];
    await this.launch();
    return this;
  }

  // (Re)starts the process; with fixed ports after the first start, so pages can reconnect.
  launch() {
    this.process = spawn(path.join(BIN_DIR, 'lectern-server'), this.args, { stdio: ['ignore', 'pipe', 'pipe'] });
    const proc = this.process;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`server did not start:\n${this.output}`)), 15000);
      const onData = (chunk) => {
        this.output += chunk;
        const http = /app server on https?:\/\/127\.0\.0\.1:(\d+)\//.exec(this.output);
        const live = /live relay on wss?:\/\/127\.0\.0\.1:(\d+)\/live/.exec(this.output);
        this.secure = /app server on https:/.test(this.output);
        if (http && live && !this.port) {
          this.port = Number(http[1]);
          this.livePort = Number(live[1]);
        }
        if (http && live && /students' page on/.test(this.output)) {
          clearTimeout(timer);
          resolve();
        }
      };
      proc.stdout.on('data', onData);
      proc.stderr.on('data', onData);
      proc.on('exit', (code) => {
        clearTimeout(timer);
        reject(new Error(`server ended with ${code}:\n${this.output}`));
      });
    });
  }

  async restart() {
    await this.kill();
    this.output = '';
    this.args = this.args.map((a, i) => (this.args[i - 1] === '--port' ? String(this.port)
      : this.args[i - 1] === '--live-port' ? String(this.livePort) : a));
    await this.launch();
  }

  kill() {
    const proc = this.process;
    if (!proc || proc.exitCode !== null || proc.signalCode !== null) return Promise.resolve();
    return new Promise((resolve) => {
      proc.removeAllListeners('exit');
      proc.on('exit', resolve);
      proc.kill('SIGKILL');
    });
  }

  async stop() {
    await this.kill();
    if (this.dir) rmSync(this.dir, { recursive: true, force: true });
  }

  get origin() { return `${this.secure ? 'https' : 'http'}://127.0.0.1:${this.port}`; }

  get pageUrl() { return `${this.origin}/student/`; }

  get liveUrl() { return `${this.secure ? 'wss' : 'ws'}://127.0.0.1:${this.livePort}/live`; }

  async rpc(method, params, ak = '') {
    const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method, params: { ...params, ak } });
    const answer = this.ca ? JSON.parse(await postTrusting(`${this.origin}/app-server/jsonrpc/`, body, this.ca))
      : await (await fetch(`${this.origin}/app-server/jsonrpc/`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body,
      })).json();
    if (answer.error) throw new Error(`${method}: ${answer.error.code} ${answer.error.message}`);
    return answer.result;
  }

  async login(loginId, password = '123456') {
    const sha = (t) => createHash('sha1').update(t, 'utf8').digest('base64');
    return this.rpc('user.login', { loginId, salt: '1234', saltedPassword: sha(sha(password) + '1234') });
  }
}

// One relay session, as a teacher (host) or as a forging student, recording what it is sent.
export class RelayPeer {
  constructor(server, loginId) {
    this.server = server;
    this.loginId = loginId;
    this.received = [];
    this.nextId = 1;
    this.waiting = new Map();
  }

  async open() {
    const me = await this.server.login(this.loginId);
    this.ak = me.ak;
    this.userId = String(me.userId);
    this.nickname = me.nickname;
    this.sig = (await this.server.rpc('live.usersig.create', {}, this.ak)).userSig;
    this.ws = new WebSocket(this.server.liveUrl, this.server.ca ? { ca: this.server.ca } : {});
    await new Promise((resolve, reject) => {
      this.ws.once('open', resolve);
      this.ws.once('error', reject);
    });
    this.ws.on('message', (data) => {
      const push = JSON.parse(String(data));
      if (push.op === 'reply' && this.waiting.has(push.id)) {
        this.waiting.get(push.id)(push);
        this.waiting.delete(push.id);
      } else {
        this.received.push(push);
      }
    });
    const reply = await this.send({ op: 'login', userId: this.userId, userSig: this.sig });
    need(reply.code === 0, `relay login of ${this.loginId}: ${reply.code} ${reply.desc}`);
    return this;
  }

  send(request) {
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      this.ws.send(JSON.stringify({ ...request, id }));
    });
  }

  // Opens the class of the demo's live in progress as its teacher; returns its room id.
  async host(title = '高一数学：集合与常用逻辑用语（直播中）') {
    const lives = await this.server.rpc('live.list.by.teacher.id',
      { teacherUserId: this.userId, pageNum: 1, pageSize: 100 }, this.ak);
    const live = lives.list.find((l) => l.title === title);
    need(live, `no live "${title}"`);
    this.liveId = live.liveId;
    const { avRoomId } = await this.server.rpc('live.create.room',
      { hostUserId: this.userId, liveId: live.liveId }, this.ak);
    await this.server.rpc('live.enter.room', { liveRole: 1, avRoomId }, this.ak);
    const reply = await this.send({ op: 'createRoom', roomId: avRoomId, role: 'LiveMaster' });
    need(reply.code === 0, `createRoom: ${reply.code} ${reply.desc}`);
    this.roomId = avRoomId;
    this.media = reply.media; // with a media server: {url, room, pin, feeds}
    return avRoomId;
  }

  command(userAction, actionParam = '', to = '') {
    const elems = [{ type: 1, data: JSON.stringify({ actionParam, userAction }, null, 4), ext: 'LiveNotification' }];
    return this.send(to ? { op: 'peerMsg', to, elems } : { op: 'groupMsg', elems });
  }

  chat(text) {
    return this.send({ op: 'groupMsg', elems: [{ type: 0, text }] });
  }

  // Commands received so far, as {sender, userAction, actionParam}.
  commands() {
    return this.received.filter((p) => p.op === 'msg').flatMap((p) => p.elems
      .filter((e) => e.type === 1)
      .map((e) => ({ sender: p.sender, ...JSON.parse(e.data) })));
  }

  texts() {
    return this.received.filter((p) => p.op === 'msg')
      .flatMap((p) => p.elems.filter((e) => e.type === 0).map((e) => ({ sender: p.sender, text: e.text })));
  }

  close() {
    if (this.ws) this.ws.terminate();
  }
}

export const CHROMIUM_FLAGS = [
  '--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream',
  '--autoplay-policy=no-user-gesture-required', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-sandbox',
];

// A fresh browser with a profile folder of its own; extraFlags e.g. a host mapping.
// Without fakeUi the browser asks before giving a device, as for a real student.
export async function launchBrowser(extraFlags = [], { fakeUi = true } = {}) {
  need(existsSync(CHROMIUM), `no Chromium at ${CHROMIUM}; scripts/setup.sh installs it`);
  const profile = mkdtempSync(path.join(tmpdir(), 'lectern-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: [...CHROMIUM_FLAGS.filter((f) => fakeUi || f !== '--use-fake-ui-for-media-stream'), ...extraFlags],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// A student's tab: page errors are kept, so a test can say none happened.
export async function openStudent(browser, url) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  // Only for saying why a page never came up: some tests cut the server off on purpose.
  page.unanswered = [];
  page.on('requestfailed', (r) => page.unanswered.push(`${r.url()}: ${r.failure()?.errorText}`));
  page.on('response', (r) => { if (r.status() >= 400) page.unanswered.push(`${r.url()}: ${r.status()}`); });
  page.on('dialog', (d) => {
    page.errors.push(`dialog: ${d.message()}`);
    d.dismiss();
  });
  await page.goto(url);
  return page;
}

export async function signIn(page, loginId, password = '123456') {
  try {
    await page.waitForSelector('#loginForm', { visible: true });
  } catch (e) {
    const shown = await page.evaluate(() => [...document.querySelectorAll('body > * , main > *')]
      .filter((el) => el.id && !el.hidden).map((el) => el.id)).catch(() => []);
    throw new Error(`${e.message}; shown: ${shown.join(', ')}; requests not answered: `
      + `${JSON.stringify(page.unanswered || [])}; page errors: ${JSON.stringify(page.errors || [])}`);
  }
  await page.$eval('#loginId', (e) => { e.value = ''; });
  await page.type('#loginId', loginId);
  await page.$eval('#password', (e) => { e.value = ''; });
  await page.type('#password', password);
  await page.click('#loginButton');
}

export function text(page, selector) {
  return page.$eval(selector, (e) => e.textContent);
}

// The rows of the discussion as "name|text" (notices) or "name|time|text" (chat).
export function chatRows(page) {
  return page.$$eval('#chatList .chat-row', (rows) => rows.map((r) => [...r.querySelectorAll('.chat-name, .chat-time, .chat-text')]
    .map((e) => e.textContent).join('|')));
}
