// Shared helpers of the UI tests: a running `quenlar gui` in a folder of its
// own, and a client of its WebSocket.
import { spawn } from 'node:child_process';
import { chmodSync, mkdtempSync, rmSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import WebSocket from 'ws';

export const quenlar = process.env.QUENLAR || new URL('../../build/quenlar', import.meta.url).pathname;
export const images = process.env.QUENLAR_IMAGES || new URL('../../build/tests/images', import.meta.url).pathname;

// Every folder a test file makes lives under one of its own, removed when the
// file's process ends: copies of images and recovered files add up to
// gigabytes over a day of runs.
let scratchRoot;
export function scratch(prefix) {
  if (!scratchRoot) {
    scratchRoot = mkdtempSync(join(tmpdir(), 'quenlar-tests-'));
    chmodSync(scratchRoot, 0o755);
    process.on('exit', () => {
      try { rmSync(scratchRoot, { recursive: true, force: true }); } catch (e) { console.error(`${scratchRoot} left: ${e.message}`); }
    });
  }
  return mkdtempSync(join(scratchRoot, prefix));
}

// Starts `quenlar gui --no-browser ARGS…` in a new folder (or `cwd`); resolves
// once it printed its address.
export function startHost(args = [], { cwd, grace = 30 } = {}) {
  const folder = cwd || scratch('quenlar-ui-');
  const child = spawn(quenlar, ['gui', '--no-browser', '--grace', String(grace), ...args], { cwd: folder });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      const line = out.split('\n')[0];
      if (!out.includes('\n')) return;
      const url = new URL(line.trim());
      const base = url.href.replace(/app\/index\.html$/, '');
      resolve({
        child, folder, url: url.href, base, origin: url.origin, port: Number(url.port),
        token: url.pathname.split('/')[2], exited, stderr: () => stderr,
        async stop() {
          if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
          const end = await exited;
          if (!cwd) rmSync(folder, { recursive: true, force: true });
          return end;
        },
      });
    });
    child.on('exit', (code) => reject(new Error(`quenlar gui ended (${code}) before it served: ${stderr}`)));
  });
}

// A test image copied into `folder`, so that a scan of it does not touch the shared one.
export function copyImage(name, folder) {
  const to = join(folder, name);
  copyFileSync(join(images, name), to);
  return to;
}

// A document's connection: calls with answers, and every notification kept
// in order — but device changes, which any test on the machine that plugs a
// loop device in causes, unless `devices` is asked for.
export class Client {
  // `origin` undefined sends none.
  static open(host, options = {}) {
    const origin = 'origin' in options ? options.origin : host.origin;
    const ws = new WebSocket(`ws://127.0.0.1:${host.port}/s/${host.token}/ws`, origin === undefined ? {} : { origin });
    return new Promise((resolve, reject) => {
      ws.once('open', () => resolve(new Client(ws, options.devices === true)));
      ws.once('unexpected-response', (req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
      ws.once('error', reject);
    });
  }

  constructor(ws, devices = false) {
    this.ws = ws;
    this.nextId = 1;
    this.waiting = new Map();
    this.notifications = [];
    this.watchers = [];
    ws.on('message', (data) => {
      const message = JSON.parse(data);
      if (message.notify !== undefined) {
        if (message.notify === 'USBDiskMonitoring' && !devices) return;
        this.notifications.push(message);
        for (const w of [...this.watchers]) w();
        return;
      }
      const done = this.waiting.get(message.id);
      this.waiting.delete(message.id);
      if (done) done(message);
    });
  }

  // The whole answer: {id, handled, value | error}.
  send(text, id) {
    return new Promise((resolve) => { this.waiting.set(id, resolve); this.ws.send(text); });
  }

  raw(name, args) {
    const id = this.nextId++;
    return this.send(JSON.stringify({ id, call: name, args }), id);
  }

  async call(name, ...args) {
    const answer = await this.raw(name, args);
    if (!answer.handled) throw new Error(`${name} not handled: ${answer.error}`);
    return answer.value;
  }

  // Resolves once `test(notifications)` holds; rejects after `ms`.
  until(test, ms = 60000) {
    return new Promise((resolve, reject) => {
      const check = () => {
        if (!test(this.notifications)) return false;
        clearTimeout(timer);
        this.watchers = this.watchers.filter((w) => w !== check);
        resolve(this.notifications);
        return true;
      };
      const timer = setTimeout(() => {
        this.watchers = this.watchers.filter((w) => w !== check);
        reject(new Error(`timed out; notifications: ${this.notifications.map((n) => n.notify).join(' ')}`));
      }, ms);
      if (!check()) this.watchers.push(check);
    });
  }

  // The folder tree a running scan sends, polled as a document polls it,
  // once its last folder was sent; `onBatch` sees each batch first.
  async collectTree({ every = 20, ms = 60000, onBatch = () => {} } = {}) {
    const tree = new Map();
    const take = async () => {
      for (;;) {
        const batch = await this.call('GetScanFilePathData', 0);
        if (!Array.isArray(batch)) return;
        onBatch(batch);
        for (const [folder, count] of batch) tree.set(folder, count);
      }
    };
    const poll = setInterval(take, every);
    try {
      await this.until((n) => n.some((m) => m.notify === 'AllPathSendFinishedToUi'), ms);
    } finally {
      clearInterval(poll);
    }
    await take();
    return tree;
  }

  named(name) {
    return this.notifications.filter((n) => n.notify === name);
  }

  close() {
    this.ws.close();
  }
}
