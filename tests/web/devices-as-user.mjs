// A class held as a user would, for looking at (not a test): the real teacher's client on an X
// display with the sound server's microphones, a student in Chromium who measures the tone heard.
// The caller gives the display (a window manager on it) and a PulseAudio daemon; the microphones
// are made here. Run inside the media namespace, e.g.
//   DISPLAY=:7 PULSE_SERVER=unix:/run/pa/native LECTERN_BIN_DIR=build/bin \
//   LECTERN_TEACHER_DRIVER=build/tests/teacher_driver/teacher_driver \
//     tests/media/netns-run.sh node tests/web/devices-as-user.mjs OUT_DIR
import { execFileSync, execSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { LIVE, Server, enterClass, launchBrowser, signIn } from './lib/harness.js';
import { Janus, MEDIA_FLAGS } from './lib/media.js';
import { TeacherClient } from './lib/teacher-client.js';

const out = path.resolve(process.argv[2] || 'devices-as-user');
mkdirSync(out, { recursive: true });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const pactl = (...args) => execFileSync('pactl', args).toString().trim();
const log = (...a) => console.log(new Date().toISOString().slice(11, 23), ...a);

// A speaker first, then two microphones playing tones; the built-in one is the default.
const modules = [];
const remaps = {};
const load = (...args) => { modules.push(pactl('load-module', ...args)); return modules.at(-1); };
load('module-null-sink', 'sink_name=speaker', "sink_properties='device.description=\"Speakers\"'");
load('module-null-sink', 'sink_name=tone_drain');
for (const [name, desc, hz] of [['mic_usb', 'USB Headset Microphone', 440], ['mic_builtin', 'Built-in Microphone', 660]]) {
  load('module-null-sink', `sink_name=${name}_tone`);
  load('module-sine', `sink=${name}_tone`, `frequency=${hz}`);
  load('module-loopback', `source=${name}_tone.monitor`, 'sink=tone_drain', 'latency_msec=20');
  remaps[name] = load('module-remap-source', `source_name=${name}`, `master=${name}_tone.monitor`,
    `source_properties='device.description="${desc}"'`);
}
pactl('set-default-source', 'mic_builtin');
pactl('set-default-sink', 'speaker');

const shoot = (window, name) => execSync(`xwd -silent ${window === 'root' ? '-root' : `-id ${window}`} | xwdtopnm 2>/dev/null | pnmtopng > ${path.join(out, name)}`);

// The tone the student's page hears: the strongest frequency of the teacher's sound.
const heardHz = (page) => page.evaluate(async () => {
  const video = document.getElementById('teacherCamera');
  if (!window.ear) {
    const ctx = new AudioContext();
    const analyser = ctx.createAnalyser();
    analyser.fftSize = 8192;
    ctx.createMediaStreamSource(video.srcObject).connect(analyser);
    window.ear = { ctx, analyser };
  }
  await new Promise((r) => setTimeout(r, 300));
  const { ctx, analyser } = window.ear;
  const bins = new Float32Array(analyser.frequencyBinCount);
  analyser.getFloatFrequencyData(bins);
  let best = 0;
  for (let i = 1; i < bins.length; i++) if (bins[i] > bins[best]) best = i;
  return { hz: Math.round(best * ctx.sampleRate / analyser.fftSize), db: Math.round(bins[best]) };
});
const waitHz = async (page, hz, what) => {
  const t0 = Date.now();
  for (;;) {
    const h = await heardHz(page);
    if (process.env.VERBOSE) log('heard', h);
    if (Math.abs(h.hz - hz) < hz * 0.05 && h.db > -60) {
      log(`student hears ${h.hz} Hz (${h.db} dB) after ${Date.now() - t0} ms: ${what}`);
      return h;
    }
    if (Date.now() - t0 > 15000) throw new Error(`the student never heard ${hz} Hz (${what}): ${JSON.stringify(h)}`);
  }
};

const janus = await new Janus().start();
const server = await new Server().start(janus.serverArgs);
const teacher = await new TeacherClient().start(server, { soundDevices: true, platform: 'xcb' });
let browser;
try {
  await teacher.enter(LIVE);
  browser = await launchBrowser([...MEDIA_FLAGS, '--autoplay-policy=no-user-gesture-required']);
  const page = await (await browser.createBrowserContext()).newPage();
  await page.setViewport({ width: 1280, height: 760 });
  await page.goto(server.pageUrl);
  await signIn(page, 'student01');
  await enterClass(page);
  await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
  await waitHz(page, 660, 'class start, the default microphone');
  let s = await teacher.state();
  log('teacher: mic', s.micId, 'meter', s.micMeter);
  await sleep(800);
  shoot(s.window, '1-room.png');

  const menu = await teacher.deviceMenu('mic');
  log('microphone menu:', menu.lines);
  await sleep(500);
  shoot(menu.window, '2-mic-menu.png');
  shoot('root', '2-screen-with-menu.png');
  log('choosing mic_usb');
  await teacher.chooseDevice('mic_usb');
  log('chosen');
  await waitHz(page, 440, 'the USB headset chosen in the ▲ menu');
  s = await teacher.state();
  log('teacher: mic', s.micId, 'meter', s.micMeter);
  await page.screenshot({ path: path.join(out, '3-student.png') });

  pactl('unload-module', remaps.mic_usb); // the headset's source goes
  log('unplugged mic_usb');
  await waitHz(page, 660, 'the headset unplugged');
  s = await teacher.waitFor((st) => st.deviceNotice && st, 'the notice');
  log('teacher notice:', s.deviceNotice, '| mic', s.micId);
  await sleep(500);
  shoot(s.window, '4-room-notice.png');
  const after = await teacher.deviceMenu('mic');
  log('microphone menu after:', after.lines);
  await sleep(500);
  shoot(after.window, '5-mic-menu-after.png');
  await teacher.chooseDevice('mic_builtin');
  await teacher.camera(false);
  await page.waitForSelector('#teacherCamera', { hidden: true, timeout: 15000 });
  await waitHz(page, 660, 'the camera off, sound on');
  await page.screenshot({ path: path.join(out, '6-student-camera-off.png') });
} catch (e) {
  log('failed:', e.message.slice(0, 2000));
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  await teacher.stop().catch(() => {});
  await server.stop();
  await janus.stop();
  for (const m of modules.reverse()) { try { pactl('unload-module', m); } catch { /* gone with its owner already */ } }
}
