// What the media scenarios add: a real Janus started by our start script inside the test's network
// namespace, pages instrumented to read WebRTC statistics, and a teacher's camera and microphone
// published from a browser tab (Chromium's fake devices: a moving picture and a beep).
import { spawn } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import WebSocket from 'ws';
import { waitFor } from './harness.js';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const START_JANUS = path.resolve(HERE, '../../../server/janus/start-janus.sh');
export const MEDIA_ADDRESS = '127.0.1.1'; // on the namespace's veth, where ICE finds an interface

// Chromium hides host addresses behind mDNS names (which Janus ignores) and leaves loopback-range
// ones out unless told.
export const MEDIA_FLAGS = ['--disable-features=WebRtcHideLocalIpsWithMdns', '--allow-loopback-in-peer-connection'];

export function freePort(host) {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', (e) => reject(new Error(`cannot listen on ${host} (${e.message}): run inside tests/media/netns-run.sh`)));
    probe.listen(0, host, () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Whether a Janus answers at url (ca: the certificate to trust, for wss://).
export function answersInfo(url, ca) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, 'janus-protocol', ca ? { ca } : {});
    const done = (ok) => {
      ws.terminate();
      resolve(ok);
    };
    ws.once('open', () => ws.send(JSON.stringify({ janus: 'info', transaction: 'probe' })));
    ws.once('message', (data) => done(/"server_info"/.test(String(data))));
    ws.once('error', () => done(false));
    setTimeout(() => done(false), 500);
  });
}

export class Janus {
  async start() {
    this.dir = mkdtempSync(path.join(tmpdir(), 'lectern-janus-'));
    this.port = this.port || await freePort(MEDIA_ADDRESS);
    this.adminPort = this.adminPort || await freePort(MEDIA_ADDRESS);
    this.adminKey = this.adminKey || randomBytes(12).toString('hex');
    this.output = '';
    this.process = spawn('/bin/bash', [START_JANUS, '--dir', this.dir, '--port', String(this.port),
      '--admin-key', this.adminKey, '--bind', MEDIA_ADDRESS, '--local-ip', MEDIA_ADDRESS,
      '--admin-port', String(this.adminPort), '--admin-bind', MEDIA_ADDRESS,
      '--ice-interface', 'v0', '--rtp-ports', '30000-30999'], { stdio: ['ignore', 'pipe', 'pipe'] });
    this.process.stdout.on('data', (c) => { this.output += c; });
    this.process.stderr.on('data', (c) => { this.output += c; });
    const started = Date.now();
    while (Date.now() - started < 15000) {
      if (this.process.exitCode !== null) break;
      if (await answersInfo(this.url)) return this;
      await new Promise((r) => setTimeout(r, 100));
    }
    await this.stop();
    throw new Error(`Janus did not start (is the janus package installed?):\n${this.output}`);
  }

  // Dies and comes back on the same address, its rooms gone.
  async restart() {
    await this.stop();
    await this.start();
  }

  get url() { return `ws://${MEDIA_ADDRESS}:${this.port}`; }

  get serverArgs() {
    return ['--janus', this.url, '--janus-admin-key', this.adminKey,
      '--janus-admin-url', `ws://${MEDIA_ADDRESS}:${this.adminPort}`];
  }

  async stop() {
    const proc = this.process;
    if (proc && proc.exitCode === null && proc.signalCode === null) {
      await new Promise((resolve) => {
        proc.on('exit', resolve);
        proc.kill('SIGTERM');
        setTimeout(() => proc.kill('SIGKILL'), 5000);
      });
    }
    if (this.dir) rmSync(this.dir, { recursive: true, force: true });
  }
}

// Before any script of the page runs: keep every peer connection, so a test can read its statistics.
export function recordPeerConnections(page) {
  return page.evaluateOnNewDocument(() => {
    const Native = window.RTCPeerConnection;
    window.peerConnections = [];
    window.RTCPeerConnection = function RTCPeerConnection(...args) {
      const pc = new Native(...args);
      window.peerConnections.push(pc);
      return pc;
    };
    window.RTCPeerConnection.prototype = Native.prototype;
    Object.setPrototypeOf(window.RTCPeerConnection, Native);
  });
}

// Totals over the page's open connections: inbound frames decoded and audio energy, outbound audio.
// A fresh browser context's page at url that records its errors and peer connections.
export async function openInstrumented(browser, url) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await recordPeerConnections(page);
  await page.goto(url);
  return page;
}

// Polls the page's media figures until check(stats) holds, and returns them.
export function waitStats(page, check, what, timeoutMs = 15000) {
  let stats;
  return waitFor(async () => (check((stats = await mediaStats(page))) ? stats : null), what, timeoutMs,
    { everyMs: 200, seen: () => JSON.stringify(stats) });
}

export function mediaStats(page) {
  return page.evaluate(async () => {
    const total = { framesDecoded: 0, audioEnergy: 0, audioBytesSent: 0, connections: 0 };
    for (const pc of window.peerConnections || []) {
      if (pc.connectionState === 'closed') continue;
      total.connections += 1;
      for (const s of (await pc.getStats()).values()) {
        if (s.type === 'inbound-rtp' && s.kind === 'video') total.framesDecoded += s.framesDecoded || 0;
        if (s.type === 'inbound-rtp' && s.kind === 'audio') total.audioEnergy += s.totalAudioEnergy || 0;
        if (s.type === 'outbound-rtp' && s.kind === 'audio') total.audioBytesSent += s.bytesSent || 0;
      }
    }
    return total;
  });
}
