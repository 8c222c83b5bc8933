// The app server's JSON-RPC, from the page's own origin.
const RPC_PATH = '/app-server/jsonrpc/';
const TIMEOUT_MS = 10000;

export const Code = Object.freeze({
  NOT_SIGNED_IN: 101001,
  BAD_LOGIN: 101002,
  TOO_MANY_ATTEMPTS: 101005,
  LIVE_ENDED: 109003,
  NETWORK: -1,
});

export class RpcError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

export async function rpc(method, params = {}, ak = '') {
  const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method, params: { ...params, ak, channel: 'WEB' } });
  let answer;
  try {
    const reply = await fetch(RPC_PATH, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body,
      signal: AbortSignal.timeout(TIMEOUT_MS),
    });
    if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
    answer = await reply.json();
  } catch {
    throw new RpcError(Code.NETWORK, '无法连接服务器，请检查网络后重试');
  }
  if (answer && answer.error) {
    throw new RpcError(answer.error.code, answer.error.message || '服务器拒绝了请求');
  }
  if (!answer || typeof answer.result !== 'object' || answer.result === null) {
    throw new RpcError(Code.NETWORK, '服务器的回答无法识别');
  }
  return answer.result;
}

async function sha1Base64(text) {
  const digest = await crypto.subtle.digest('SHA-1', new TextEncoder().encode(text));
  let binary = '';
  for (const byte of new Uint8Array(digest)) binary += String.fromCharCode(byte);
  return btoa(binary);
}

// The same salted digest as the teacher's client: SHA-1/Base64 of (SHA-1/Base64 of the password + salt).
export async function saltedPassword(password, salt) {
  return sha1Base64((await sha1Base64(password)) + salt);
}

export async function login(loginId, password) {
  const salt = String(1000 + Math.floor(Math.random() * 9999));
  return rpc('user.login', { loginId, saltedPassword: await saltedPassword(password, salt), salt });
}
