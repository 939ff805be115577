// What the host refuses, and the headers on everything it answers. The
// program runs as root and reads raw disks: no page but its own may reach it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { startHost, Client, quenlar, scratch } from './quenlar.mjs';

let host;

before(async () => {
  const folder = scratch('quenlar-security-');
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

// As another user of the machine: what it may make where it can write.
const nobody = (...command) => execFileSync('setpriv', ['--reuid=nobody', '--regid=nogroup', '--clear-groups', ...command],
  { stdio: ['ignore', 'pipe', 'pipe'] });
const LOCK = 'Quenlar_rUn_fLag-2019_11_11-1710';
const FORGED = 'http://127.0.0.1:80@attacker.example/s/0000000000000000000000000000000000000000000000000000000000000000/app/index.html';

// The program's own page answers at `url`.
async function servesItself(url) {
  const { pathname, port } = new URL(url);
  const response = await new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port, path: pathname, headers: { Host: `127.0.0.1:${port}` } }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    }).on('error', reject);
  });
  return response === 200;
}

test('what a local user makes where it may write never steers root\'s program nor stops it', async (t) => {
  if (process.getuid?.() !== 0 || spawnSync('setpriv', ['--version']).status !== 0) {
    t.skip('needs root and setpriv');
    return;
  }
  const given = process.env.QUENLAR_LOCK_DIR;
  const made = [];
  const sysctl = '/proc/sys/fs/protected_regular';
  const protectedBefore = existsSync(sysctl) ? readFileSync(sysctl, 'utf8').trim() : null;
  try {
    // With root's O_CREAT refused in another user's sticky folder (desktops)
    // and allowed (these machines).
    for (const protectedRegular of protectedBefore === null ? [null] : ['0', '1']) {
      if (protectedRegular !== null) writeFileSync(sysctl, protectedRegular);
      // The places the mark once lived, and the user's own folder for it:
      // a folder of the lock's name, an address of the user's choosing.
      for (const place of ['/run/lock', '/tmp']) {
        for (const name of [LOCK, `${LOCK}.url`]) rmSync(join(place, name), { recursive: true, force: true });
        nobody('mkdir', join(place, LOCK));
        nobody('sh', '-c', `printf '%s\\n' '${FORGED}' > ${join(place, `${LOCK}.url`)}`);
        made.push(join(place, LOCK), join(place, `${LOCK}.url`));
      }
      rmSync('/tmp/quenlar-0', { recursive: true, force: true });
      nobody('mkdir', '-m', '0777', '/tmp/quenlar-0');
      made.push('/tmp/quenlar-0');
      delete process.env.QUENLAR_LOCK_DIR;
      const folder = scratch('quenlar-local-user-');
      const host = await startHost([], { cwd: folder });
      try {
        assert.match(host.url, /^http:\/\/127\.0\.0\.1:\d+\/s\/[0-9a-f]{64}\/app\/index\.html$/);
        assert.ok(await servesItself(host.url), host.url);
        // A second start finds this one, by the address it left where only root writes.
        const second = spawnSync(quenlar, ['gui', '--no-browser'], { cwd: folder, encoding: 'utf8', timeout: 20000 });
        assert.equal(second.status, 0, second.stderr);
        assert.equal(second.stdout.trim(), host.url);
        const mode = execFileSync('stat', ['-c', '%a %U', '/run/quenlar'], { encoding: 'utf8' }).trim();
        assert.equal(mode, '700 root');
        // The result store and the log hold names read off disks: root's alone.
        for (const file of ['mydatabase.db', 'Recovery.log']) {
          assert.equal(execFileSync('stat', ['-c', '%a', join(folder, file)], { encoding: 'utf8' }).trim(), '600', file);
        }
      } finally {
        assert.equal((await host.stop()).code, 0, host.stderr());
      }
      // A folder for the mark that another user owns is not used: the
      // program starts all the same, unmarked, and writes nothing there.
      const theirs = join('/tmp', `quenlar-theirs-${process.pid}`);
      rmSync(theirs, { recursive: true, force: true });
      nobody('mkdir', '-m', '0777', theirs);
      nobody('sh', '-c', `printf '%s\\n' '${FORGED}' > ${join(theirs, `${LOCK}.url`)}`);
      made.push(theirs);
      process.env.QUENLAR_LOCK_DIR = theirs;
      const unmarked = await startHost([], { cwd: folder });
      try {
        assert.ok(await servesItself(unmarked.url), unmarked.url);
        assert.match(unmarked.stderr(), /no private folder/);
        assert.deepEqual(readdirSync(theirs), [`${LOCK}.url`]);
      } finally {
        assert.equal((await unmarked.stop()).code, 0, unmarked.stderr());
      }
    }
  } finally {
    if (protectedBefore !== null) writeFileSync(sysctl, protectedBefore);
    for (const path of made) rmSync(path, { recursive: true, force: true });
    if (given === undefined) delete process.env.QUENLAR_LOCK_DIR; else process.env.QUENLAR_LOCK_DIR = given;
  }
});
