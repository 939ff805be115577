// What the host refuses, and the headers on everything it answers. The
// program runs as root and reads raw disks: no page but its own may reach it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { startHost, Client } from './quenlar.mjs';

let host;

before(async () => {
  const folder = mkdtempSync(join(tmpdir(), 'quenlar-security-'));
  process.env.QUENLAR_LOCK_DIR = folder;
  host = await startHost([], { cwd: folder });
});

after(async () => {
  const end = await host?.stop();
  assert.equal(end.code, 0, host.stderr());
});

// One request with exactly these headers (Node's fetch would rewrite Host).
function request(path, { method = 'GET', headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({
      host: '127.0.0.1', port: host.port, path, method,
      headers: { Host: `127.0.0.1:${host.port}`, ...headers }, setHost: false,
    }, (res) => {
      let body = '';
      res.on('data', (d) => { body += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

function assertSafetyHeaders(response, what) {
  const h = response.headers;
  assert.match(h['content-security-policy'] || '', /default-src 'none'/, what);
  assert.match(h['content-security-policy'], /script-src 'self'/, what);
  assert.match(h['content-security-policy'], /connect-src 'self'/, what);
  assert.match(h['content-security-policy'], /frame-ancestors 'none'/, what);
  assert.equal(h['referrer-policy'], 'no-referrer', what);
  assert.equal(h['x-content-type-options'], 'nosniff', what);
  assert.equal(h['cache-control'], 'no-store', what);
  assert.equal(h['set-cookie'], undefined, what);
}

test('only the run\'s secret path serves anything, with the safety headers on every answer', async () => {
  const good = await request(`/s/${host.token}/app/index.html`);
  assert.equal(good.status, 200);
  assert.match(good.headers['content-type'], /^text\/html/);
  assertSafetyHeaders(good, 'the start document');
  const wrongToken = host.token.slice(0, -1) + (host.token.endsWith('0') ? '1' : '0');
  const refused = [
    '/', '/app/index.html', '/s/', `/s/${host.token}`, `/s/${host.token}/`, `/s/${wrongToken}/app/index.html`,
    `/s/${host.token.slice(0, 32)}/app/index.html`, `/s/${host.token}x/app/index.html`,
    `/s/${host.token}/app/missing.html`, `/s/${host.token}/app/../../etc/passwd`, `/s/${host.token}/app/%00`,
    `/s/${host.token}/res/`, `/s/${host.token}/res/${'a'.repeat(300)}.htm`, `/s/${host.token}/other`,
  ];
  for (const path of refused) {
    const response = await request(path);
    assert.equal(response.status, 404, path);
    assertSafetyHeaders(response, path);
  }
  const post = await request(`/s/${host.token}/app/index.html`, { method: 'POST' });
  assert.equal(post.status, 405);
  assertSafetyHeaders(post, 'POST');
  const head = await request(`/s/${host.token}/app/index.html`, { method: 'HEAD' });
  assert.equal(head.status, 200);
  assert.equal(head.headers['content-length'], good.headers['content-length']);
});

test('a Host that is not the loopback is refused, which defeats DNS rebinding', async () => {
  for (const name of [`evil.example:${host.port}`, 'evil.example', `127.0.0.1.evil.example:${host.port}`,
    `localhost.evil:${host.port}`, `127.0.0.1:${host.port}@evil.example`, '']) {
    const response = await request(`/s/${host.token}/app/index.html`, { headers: { Host: name } });
    assert.equal(response.status, 421, name);
    assertSafetyHeaders(response, name);
  }
  for (const name of [`localhost:${host.port}`, `LOCALHOST:${host.port}`, `127.0.0.1:${host.port}`]) {
    assert.equal((await request(`/s/${host.token}/app/index.html`, { headers: { Host: name } })).status, 200, name);
  }
});

test('the WebSocket opens only for the page\'s own origin', async () => {
  for (const origin of [undefined, 'http://evil.example', `http://127.0.0.1:${host.port + 1}`, 'null',
    `https://127.0.0.1:${host.port}`]) {
    await assert.rejects(Client.open(host, { origin }), (error) => error.status === 403, String(origin));
  }
  const client = await Client.open(host);
  assert.equal(await client.call('GetWorkFlag'), 0);
  client.close();
  // A plain GET of the socket's path is no upgrade.
  assert.equal((await request(`/s/${host.token}/ws`)).status, 400);
});

test('a request too big, or too slow to matter, is cut off without harm', async () => {
  const big = await request(`/s/${host.token}/app/index.html`, { headers: { 'X-Filler': 'x'.repeat(64 * 1024) } });
  assert.equal(big.status, 400);
  // Many idle connections: those over the cap are closed at once, and the
  // host still answers once they go.
  const sockets = await Promise.all(Array.from({ length: 40 }, () => new Promise((resolve) => {
    const socket = net.connect(host.port, '127.0.0.1', () => resolve(socket));
    socket.on('error', () => {});
  })));
  await new Promise((resolve) => setTimeout(resolve, 200));
  const closed = sockets.filter((s) => s.destroyed || s.readyState !== 'open').length;
  for (const socket of sockets) socket.destroy();
  await new Promise((resolve) => setTimeout(resolve, 200));
  assert.ok(closed >= 8, `${closed} of 40 closed`);
  assert.equal((await request(`/s/${host.token}/app/index.html`)).status, 200);
});

test('a page of another local origin cannot call the program, even knowing its secret', async () => {
  // The attacker's page, served from another port of this machine.
  const page = `<!DOCTYPE html><script>
    const results = {};
    const ws = new WebSocket('ws://127.0.0.1:${host.port}/s/${host.token}/ws');
    ws.onopen = () => { results.ws = 'open'; ws.send(JSON.stringify({ id: 1, call: 'ScanDiskDelFile', args: ['/'] })); };
    ws.onerror = () => { results.ws = 'refused'; };
    fetch('http://127.0.0.1:${host.port}/s/${host.token}/app/index.html').then((r) => r.text())
      .then(() => { results.fetch = 'read'; }, () => { results.fetch = 'refused'; });
    window.results = results;
  </script>`;
  const attacker = http.createServer((req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });
  await new Promise((resolve) => attacker.listen(0, '127.0.0.1', resolve));
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  try {
    const tab = await browser.newPage();
    await tab.goto(`http://127.0.0.1:${attacker.address().port}/`);
    await tab.waitForFunction(() => window.results && window.results.ws && window.results.fetch, null, { timeout: 10000 });
    const results = await tab.evaluate(() => window.results);
    assert.deepEqual(results, { ws: 'refused', fetch: 'refused' });
    // Nor may our own page be framed by it.
    const framed = await browser.newPage();
    await framed.setContent(`<iframe src="${host.url}"></iframe>`);
    await new Promise((resolve) => setTimeout(resolve, 500));
    const frame = framed.frames().find((f) => f.url().includes('/app/index.html'));
    assert.ok(!frame || (await frame.evaluate(() => document.title).catch(() => '')) !== 'Quenlar');
  } finally {
    await browser.close();
    attacker.close();
  }
  const client = await Client.open(host);
  assert.equal(await client.call('GetWorkFlag'), 0);  // nothing was started
  assert.equal(await client.call('GetFilesNumber'), 0);
  client.close();
});
