// The real teacher's client (tests/web/teacher/teacher_driver.cpp) as a child process: its login
// window, lobby and room window offscreen, with a test camera, tone and speaker. Commands go in as
// JSON lines and are answered in turn; `state()` is what the room window shows.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import readline from 'node:readline';
import { waitFor } from './harness.js';

const DRIVER = process.env.LECTERN_TEACHER_DRIVER;

export class TeacherClient {
  // soundDevices: the sound server's microphones and speakers instead of the test tone; platform:
  // Qt's platform plugin ('xcb' shows the windows on $DISPLAY).
  async start(server, { soundDevices = false, platform = 'offscreen' } = {}) {
    if (!DRIVER || !existsSync(DRIVER)) {
      throw new Error(`no teacher driver at LECTERN_TEACHER_DRIVER (${DRIVER}); build first`);
    }
    this.output = '';
    this.waiting = new Map();
    this.nextId = 1;
    this.process = spawn(DRIVER, ['--server', `http://127.0.0.1:${server.port}/app-server/jsonrpc/`,
      '--live', `ws://127.0.0.1:${server.livePort}/live`, ...(soundDevices ? ['--sound-devices'] : [])], {
      // LECTERN_TEACHER_QPA=xcb shows its windows on a display (Xvfb) instead, for pictures.
      stdio: ['pipe', 'pipe', 'pipe'],
      env: { ...process.env, QT_QPA_PLATFORM: process.env.LECTERN_TEACHER_QPA || platform },
    });
    // The client logs a lot; the end of it is enough to tell why a step failed.
    this.process.stderr.on('data', (c) => { this.output = (this.output + c).slice(-20000); });
    const ready = new Promise((resolve, reject) => {
      this.process.once('exit', (code, signal) => {
        const why = new Error(`the teacher's client ended (${code ?? signal}):\n${this.output}`);
        reject(why);
        for (const w of this.waiting.values()) w.reject(why);
        this.waiting.clear();
      });
      readline.createInterface({ input: this.process.stdout }).on('line', (line) => {
        const reply = JSON.parse(line);
        if (reply.ready) resolve();
        const w = this.waiting.get(reply.id);
        if (!w) return;
        this.waiting.delete(reply.id);
        if (reply.ok) w.resolve(reply);
        else w.reject(new Error(`teacher ${w.cmd}: ${reply.error}\n${this.output}`));
      });
    });
    await ready;
    return this;
  }

  send(cmd, args = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject, cmd });
      // The request's own id and command come last: an argument of the same name must not replace them.
      this.process.stdin.write(`${JSON.stringify({ ...args, id, cmd })}\n`);
    });
  }

  // Signs in through the login window, opens the live from the lobby and starts the class.
  async enter(title, login = 'teacher01', password = '123456') {
    const reply = await this.send('enter', { title, login, password });
    Object.assign(this, { avRoomId: reply.avRoomId, liveId: reply.liveId });
    return reply;
  }

  state() { return this.send('state'); }

  // Polls the room window until check(state) holds; returns what check returned.
  waitFor(check, what, timeoutMs = 15000) {
    let last;
    return waitFor(async () => check((last = await this.state())), `the teacher's ${what}`, timeoutMs,
      { everyMs: 200, seen: () => `${JSON.stringify(last)}\nthe end of the client's log:\n${this.output.slice(-8000)}` });
  }

  mic(user, on) { return this.send('mic', { user, on }); }

  say(text) { return this.send('say', { text }); }

  tone(on) { return this.send('tone', { on }); }

  share(on) { return this.send('share', { on }); }

  camera(on) { return this.send('camera', { on }); }

  deviceMenu(kind) { return this.send('deviceMenu', { kind }); }

  chooseDevice(device) { return this.send('chooseDevice', { device }); }

  end() { return this.send('end'); }

  grab(path) { return this.send('grab', { path }); }

  lowerHand(user) { return this.send('lowerHand', { user }); }

  lowerAll() { return this.send('lowerAll'); }

  showMembers() { return this.send('showMembers'); }

  quiz(choices, text = '') { return this.send('quiz', { choices, text }); }

  quizClose() { return this.send('quizClose'); }

  quizShare() { return this.send('quizShare'); }

  // From the lobby: the live's attendance table (rows of cells), its CSV written to csv.
  attendance(title, csv = '') { return this.send('attendance', { title, csv }); }

  grabQuiz(path) { return this.send('grabQuiz', { path }); }

  grabAttendance(path) { return this.send('grabAttendance', { path }); }

  async stop() {
    const proc = this.process;
    if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
    await new Promise((resolve) => {
      proc.removeAllListeners('exit');
      proc.on('exit', resolve);
      proc.kill('SIGKILL');
    });
  }
}
