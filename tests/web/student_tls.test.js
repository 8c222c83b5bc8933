// The students' page over HTTPS, its relay and media server connections over WSS, as a student on
// another machine meets them: a certificate made for the test, which the browser trusts by its
// public key alone. Runs inside the media tests' network namespace, where Janus has an interface.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { X509Certificate, createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';
import {
  RelayPeer, Server, chatRows, enterClass, launchBrowser, openStudent, signIn, waitFor,
} from './lib/harness.js';
import { MEDIA_ADDRESS, MEDIA_FLAGS, answersInfo, freePort, openInstrumented, waitStats } from './lib/media.js';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function makeCertificate(dir) {
  const cert = path.join(dir, 'cert.pem');
  const key = path.join(dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', `subjectAltName=IP:127.0.0.1,IP:${MEDIA_ADDRESS}`,
    '-keyout', key, '-out', cert], { stdio: 'pipe' });
  const pem = readFileSync(cert);
  const spki = new X509Certificate(pem).publicKey.export({ type: 'spki', format: 'der' });
  return { cert, key, pem, spkiHash: createHash('sha256').update(spki).digest('base64') };
}

test('sign-in over HTTPS, the open live, and chat both ways over WSS', { timeout: 120000 }, async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'lectern-tls-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const certificate = makeCertificate(dir);
  const server = await new Server().start(['--tls-cert', certificate.cert, '--tls-key', certificate.key],
    { ca: certificate.pem });
  t.after(() => server.stop());
  assert.ok(server.pageUrl.startsWith('https://'));
  const browser = await launchBrowser([`--ignore-certificate-errors-spki-list=${certificate.spkiHash}`]);
  t.after(() => browser.close());

  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  await teacher.host();

  const page = await openStudent(browser, server.pageUrl);
  assert.deepEqual(await page.evaluate(() => [location.protocol, window.isSecureContext]), ['https:', true]);
  await signIn(page, 'student01');
  await enterClass(page);

  await page.type('#chatInput', '老师，这边是 HTTPS');
  await page.click('#chatSend');
  const line = await waitFor(() => teacher.texts().find((m) => m.text === '老师，这边是 HTTPS'), 'the chat line');
  assert.equal(line.sender, (await server.login('student01')).userId.toString());
  await teacher.chat('收到');
  await page.waitForFunction(() => [...document.querySelectorAll('#chatList .chat-text')]
    .some((e) => e.textContent === '收到'));
  assert.ok((await chatRows(page)).some((r) => r.endsWith('|收到')));
  assert.deepEqual(page.errors, []);
});

// Janus by our start script with WSS beside its plain WS, which lectern-server keeps using.
async function startSecureJanus(t, dir, certificate) {
  const port = await freePort(MEDIA_ADDRESS);
  const wssPort = await freePort(MEDIA_ADDRESS);
  const adminPort = await freePort(MEDIA_ADDRESS);
  const adminKey = randomBytes(12).toString('hex');
  const keyFile = path.join(dir, 'janus-admin-key');
  writeFileSync(keyFile, `${adminKey}\n`, { mode: 0o600 });
  let output = '';
  const proc = spawn('/bin/bash', [path.resolve(HERE, '../../server/janus/start-janus.sh'), '--dir', path.join(dir, 'janus'),
    '--port', String(port), '--admin-key', adminKey, '--bind', MEDIA_ADDRESS, '--local-ip', MEDIA_ADDRESS,
    '--ice-interface', 'v0', '--rtp-ports', '31000-31999', '--cert', certificate.cert, '--key', certificate.key,
    '--wss-port', String(wssPort), '--wss-bind', MEDIA_ADDRESS, '--admin-port', String(adminPort),
    '--admin-bind', MEDIA_ADDRESS], { stdio: ['ignore', 'pipe', 'pipe'] });
  proc.stdout.on('data', (c) => { output += c; });
  proc.stderr.on('data', (c) => { output += c; });
  t.after(() => new Promise((resolve) => {
    if (proc.exitCode !== null || proc.signalCode !== null) return resolve();
    proc.on('exit', resolve);
    proc.kill('SIGTERM');
  }));
  const wss = `wss://${MEDIA_ADDRESS}:${wssPort}`;
  const started = Date.now();
  while (!(await answersInfo(wss, certificate.pem))) {
    if (proc.exitCode !== null || Date.now() - started > 15000) throw new Error(`Janus did not serve WSS:\n${output}`);
    await sleep(100);
  }
  return {
    serverArgs: ['--janus', `ws://${MEDIA_ADDRESS}:${port}`, '--janus-admin-key-file', keyFile, '--janus-public-url', wss,
      '--janus-admin-url', `ws://${MEDIA_ADDRESS}:${adminPort}`],
    wss,
  };
}

test('the teacher\'s camera seen through Janus over WSS', { timeout: 120000 }, async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'lectern-tls-media-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const certificate = makeCertificate(dir);
  const janus = await startSecureJanus(t, dir, certificate);
  const server = await new Server().start(['--tls-cert', certificate.cert, '--tls-key', certificate.key,
    ...janus.serverArgs], { ca: certificate.pem });
  t.after(() => server.stop());
  const teacher = await new RelayPeer(server, 'teacher01').open();
  t.after(() => teacher.close());
  await teacher.host();
  assert.equal(teacher.media && teacher.media.url, janus.wss, `no media room over WSS:\n${server.output}`);

  const browser = await launchBrowser([...MEDIA_FLAGS, `--ignore-certificate-errors-spki-list=${certificate.spkiHash}`]);
  t.after(() => browser.close());
  const teacherTab = await openInstrumented(browser, server.pageUrl);
  await teacherTab.evaluate(readFileSync(path.join(HERE, 'lib/teacher-media.js'), 'utf8'));
  // The tab tells the relay its handle through the teacher's relay connection, as the client does.
  await teacherTab.exposeFunction('claimFeed', (session, handle, feed) => teacher.send({ op: 'publish', session, handle, feed }));
  const { url, room, pin, token } = teacher.media;
  await teacherTab.evaluate((u, r, p, k, f) => window.teacherMedia.publish(u, r, p, k, f), url, room, pin, token,
    teacher.media.feeds[teacher.userId].camera);

  const page = await openInstrumented(browser, server.pageUrl);
  await signIn(page, 'student01');
  await enterClass(page);
  await page.waitForSelector('#teacherCamera', { visible: true, timeout: 15000 });
  await waitStats(page, (stats) => stats.framesDecoded > 10, 'teacher frames decoded over WSS');
  assert.deepEqual(page.errors, []);
});
