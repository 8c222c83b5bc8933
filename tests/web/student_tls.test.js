// The students' page over HTTPS, its relay connection over WSS, as a student on another machine
// meets it: a certificate made for the test, which the browser trusts by its public key alone.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import {
  RelayPeer, Server, chatRows, launchBrowser, openStudent, signIn, waitFor,
} from './lib/harness.js';

const LIVE = '高一数学：集合与常用逻辑用语（直播中）';

function makeCertificate(dir) {
  const cert = path.join(dir, 'cert.pem');
  const key = path.join(dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
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
  await page.waitForSelector('#listView', { visible: true });
  const row = await page.waitForSelector(`xpath/.//li[contains(@class,"live-row")][.//div[contains(text(),"${LIVE}")]]`);
  await (await row.$('button.enter')).click();
  await page.waitForSelector('#roomView', { visible: true });

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
