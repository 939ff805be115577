// The start document in a real browser (Debian's Chromium, headless): the
// drive list, a scan whose tree arrives, a folder's files, a recovery whose
// bytes are the manifest's; no console error and no policy violation.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { mkdirSync, mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { startHost, copyImage } from './quenlar.mjs';

const shots = process.env.QUENLAR_SCREENSHOTS || new URL('../../build/screenshots', import.meta.url).pathname;
let host;
let browser;
let image;

before(async () => {
  const folder = mkdtempSync(join(tmpdir(), 'quenlar-document-'));
  process.env.QUENLAR_LOCK_DIR = folder;
  image = copyImage('ntfs.img', folder);
  host = await startHost([image], { cwd: folder });
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  mkdirSync(shots, { recursive: true });
});

after(async () => {
  await browser?.close();
  const end = await host?.stop();
  assert.equal(end.code, 0, host.stderr());
});

test('scan an image, open a folder, recover a file', async () => {
  const page = await browser.newPage({ viewport: { width: 1200, height: 850 } });
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (e) => console.error(`CSP: ${e.violatedDirective} ${e.blockedURI}`));
  });
  await page.goto(host.url);
  const partition = page.locator('button.partition', { hasText: 'QUENLAR' });
  await partition.waitFor();
  assert.match(await partition.textContent(), /NTFS/);
  await page.screenshot({ path: join(shots, 'first-start.png') });

  await partition.click();
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Scan finished'),
    null, { timeout: 60000 });
  const documents = page.locator('#tree button.folder', { hasText: 'Documents' });
  assert.match(await documents.textContent(), /Documents\s*3/);
  await documents.click();
  await page.locator('#files tbody tr', { hasText: 'report.pdf' }).waitFor();
  const rows = await page.locator('#files tbody tr').allTextContents();
  assert.equal(rows.length, 2);
  assert.ok(rows.some((r) => r.includes('notes.txt') && r.includes('In use')));

  const destination = mkdtempSync(join(tmpdir(), 'quenlar-recovered-'));
  await page.locator('#files tbody tr', { hasText: 'report.pdf' }).locator('input[type=checkbox]').check();
  assert.match(await page.locator('#selected').textContent(), /1 files \(50 KB\)/);
  await page.fill('#destination', destination);
  await page.click('#recover-start');
  await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
  await page.screenshot({ path: join(shots, 'first-recovered.png'), fullPage: true });
  const written = readFileSync(join(destination, 'Documents', 'report.pdf'));
  const manifest = readFileSync(new URL('../images/ntfs.manifest.tsv', import.meta.url), 'utf8');
  const digest = manifest.split('\n').find((line) => line.startsWith('Documents/report.pdf\t')).split('\t')[3];
  assert.equal(createHash('sha256').update(written).digest('hex'), digest);

  // A destination on no drive but the one read is refused, and said so.
  await page.fill('#destination', '');
  await page.click('#recover-start');
  await page.waitForFunction(() => document.getElementById('recover-result').textContent.startsWith('Nothing was written'));
  assert.deepEqual(problems, []);
});
