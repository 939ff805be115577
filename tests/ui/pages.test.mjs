// Two pages of one program in a real browser (Debian's Chromium, headless),
// as two tabs and a reload make them: a selection of an earlier scan is
// refused and said so, never written from another; a page reloaded during a
// deep scan finds it and stops it; a page that comes while another scans is
// offered that scan and gets its whole tree; a new scan asks first while a
// scan is saved; a page whose program ended says so and offers nothing; a
// filter of 2,000,000 results reaches the page (QUENLAR_LARGE_FILES sets how
// many: the sanitizer builds take fewer). Screenshots of each view go
// to QUENLAR_SCREENSHOTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, readdirSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { startHost, copyImage, images, scratch } from './quenlar.mjs';
import { finished, folderItem, gridRow, grownImage, launchBrowser, lookAt, openPage, scanWith, shots, topCounts } from './browser.mjs';

const mkvolume = new URL('../../bench/mkvolume.py', import.meta.url).pathname;
// The volume of the large filter: made once, kept between runs (it takes a minute).
const cache = process.env.QUENLAR_VOLUME_CACHE || new URL('../../bench/.cache', import.meta.url).pathname;
const LARGE_FILES = Number(process.env.QUENLAR_LARGE_FILES || 2000000);
let browser;
// What axe-core found wrong in the views looked at (lookAt), for the last test.
const views = [];

before(async () => {
  browser = await launchBrowser();
  mkdirSync(shots, { recursive: true });
});

after(async () => {
  await browser?.close();
});

test('a selection made before another page scanned another drive is refused, and nothing is written', async () => {
  const folder = scratch('quenlar-pages-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const host = await startHost([copyImage('fat32.img', folder), copyImage('exfat.img', folder)], { cwd: folder });
  const first = await openPage(browser, host.url);
  const second = await openPage(browser, host.url);
  try {
    await scanWith(first.page.locator('button.partition', { hasText: 'fat32.img' }));
    await finished(first.page);
    await folderItem(first.page, 'Documents').locator('.name').click();
    await gridRow(first.page, 'report.pdf').locator('input').check();
    await gridRow(first.page, 'notes.txt').locator('input').check();
    // The second page came while the first showed its scan: it shows it too.
    await second.page.reload();
    await finished(second.page);
    await second.page.click('#new-scan');
    await scanWith(second.page.locator('button.partition', { hasText: 'exfat.img' }));
    await finished(second.page);
    // The first page learns that its list is of an earlier scan.
    await first.page.locator('#stale').waitFor({ state: 'visible' });
    const destination = scratch('quenlar-stale-out-');
    await first.page.fill('#destination', destination);
    await first.page.click('#recover-start');
    await first.page.waitForFunction(() => document.getElementById('recover-result').textContent.startsWith('Nothing was written'));
    assert.match(await first.page.locator('#recover-result').textContent(), /belongs to an earlier scan/);
    assert.deepEqual(readdirSync(destination), []);
    await lookAt(first.page, 'stale', views);
    // Opening the current scan shows the second page's, whose files can be recovered.
    await first.page.click('#stale-open');
    await finished(first.page);
    assert.match(await first.page.locator('#scan-title').textContent(), /exfat\.img/);
    await folderItem(first.page, 'Documents').locator('input').check();
    await first.page.click('#recover-start');
    await first.page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
    assert.ok(readdirSync(join(destination, 'Documents')).length > 0);
    assert.deepEqual(first.problems, []);
    assert.deepEqual(second.problems, []);
  } finally {
    await first.page.close();
    await second.page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

test('a page reloaded during a deep scan finds it running and stops it; another page gets the whole tree', async () => {
  const folder = scratch('quenlar-reload-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const image = grownImage(folder, 2 ** 34);
  const host = await startHost([image], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  const other = await openPage(browser, host.url);
  try {
    await scanWith(page.locator('button.partition', { hasText: 'grown.img' }));
    await page.waitForFunction(() => document.getElementById('scan-phase').textContent.startsWith('Step 2'), null, { timeout: 60000 });
    // The other page, on the drive list, is offered the running scan.
    await other.page.locator('#stale-open').waitFor({ state: 'visible' });
    assert.match(await other.page.locator('#stale-text').textContent(), /grown\.img is running in another window/);
    await other.page.screenshot({ path: join(shots, 'offered.png'), fullPage: true });
    await other.page.click('#stale-open');
    await other.page.waitForFunction(() => document.getElementById('scan-phase').textContent.startsWith('Step 2'));
    // A reload comes back to the running scan, with its progress and its buttons.
    await page.reload();
    await page.waitForFunction(() => document.getElementById('scan-phase').textContent.startsWith('Step 2'), null, { timeout: 30000 });
    assert.equal(await page.locator('#stop').isVisible(), true);
    assert.match(await page.locator('#scan-title').textContent(), /grown\.img/);
    await page.screenshot({ path: join(shots, 'reattached.png'), fullPage: true });
    await page.click('#stop');
    await finished(page, 'Stopped');
    await finished(other.page, 'Stopped');
    // Both pages have the whole tree of the files found.
    const counts = await topCounts(page);
    assert.ok(counts.Documents > 0);
    assert.deepEqual(await topCounts(other.page), counts);
    const cli = execFileSync(process.env.QUENLAR || join(images, '../../quenlar'), ['tree', image, '--json'],
      { cwd: scratch('quenlar-tree-') }).toString().trim().split('\n').map((line) => JSON.parse(line));
    for (const { folder: path, count } of cli.filter((f) => !f.folder.includes('\\'))) assert.equal(counts[path], count, path);
    assert.deepEqual(problems, []);
    assert.deepEqual(other.problems, []);
  } finally {
    await page.close();
    await other.page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

test('a new scan asks first while a scan is saved; a page whose program ended says so and offers nothing', async () => {
  const folder = scratch('quenlar-ask-');
  process.env.QUENLAR_LOCK_DIR = folder;
  // Large enough (and sparse) that the deep scan is still going when the
  // page pauses it.
  const image = grownImage(folder, 2 ** 36);
  const host = await startHost([image, copyImage('fat32.img', folder)], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    await scanWith(page.locator('button.partition', { hasText: 'grown.img' }));
    await page.waitForFunction(() => document.getElementById('scan-phase').textContent.startsWith('Step 2'), null, { timeout: 60000 });
    await page.click('#pause');
    await finished(page, 'Paused');
    assert.match(await page.locator('#scan-summary').textContent(), /Everything is kept/);
    await page.click('#new-scan');
    await page.locator('#saved').waitFor({ state: 'visible' });
    // Another drive: the page asks, and Cancel changes nothing.
    await scanWith(page.locator('button.partition', { hasText: 'fat32.img' }));
    await page.locator('#ask-saved').waitFor({ state: 'visible' });
    assert.match(await page.locator('#ask-saved-text').textContent(), /A saved scan of .*grown\.img is kept/);
    await lookAt(page, 'ask-saved', views);
    await page.click('#ask-saved-cancel');
    assert.equal(await page.locator('#start').isVisible(), true);
    assert.equal(await page.locator('#saved').isVisible(), true);
    // Forgotten, the other drive is scanned.
    await scanWith(page.locator('button.partition', { hasText: 'fat32.img' }));
    await page.click('#ask-saved-replace');
    await finished(page);
    assert.equal(await page.locator('#saved').isVisible(), false);

    // The program ends: the page says so at once, and every action is off.
    await host.stop();
    await page.locator('#ended').waitFor({ state: 'visible', timeout: 10000 });
    const enabled = await page.evaluate(() => [...document.querySelectorAll('button, input, select')]
      .filter((e) => !e.disabled && e.offsetParent !== null).map((e) => e.id || e.textContent));
    assert.deepEqual(enabled, []);
    await lookAt(page, 'ended', views);
    assert.deepEqual(problems.filter((p) => !/WebSocket/.test(p)), []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a filter of millions of results reaches the page (2,000,000 unless QUENLAR_LARGE_FILES says)', async (t) => {
  mkdirSync(cache, { recursive: true });
  const image = join(cache, `sessions-ntfs-${LARGE_FILES}.img`);
  if (!existsSync(image)) {
    execFileSync('python3', [mkvolume, 'ntfs', `${image}.tmp`, '--files', String(LARGE_FILES), '--min-size', String(4 << 30)]);
    execFileSync('mv', [`${image}.tmp`, image]);
  }
  const folder = scratch('quenlar-large-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const host = await startHost([image], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    await scanWith(page.locator('button.partition', { hasText: `sessions-ntfs-${LARGE_FILES}.img` }));
    await finished(page, 'Scan finished', 600000);
    const found = Number((await page.locator('#found').textContent()).replace(/\D/g, ''));
    assert.ok(found >= LARGE_FILES, `${found} found`);
    const memory = (field) => Number(/(\d+) kB/.exec(execFileSync('grep', [field, `/proc/${host.child.pid}/status`]).toString())[1]) * 1024;
    const before = memory('VmRSS');
    const started = Date.now();
    await page.fill('#search', '*');
    await page.waitForFunction(() => /match/.test(document.getElementById('filter-result').textContent), null, { timeout: 600000 });
    t.diagnostic(`${found.toLocaleString()} rows reached the page in ${Date.now() - started} ms; the page's script heap `
      + `holds ${(await page.evaluate(() => performance.memory.usedJSHeapSize) / 2 ** 20).toFixed(0)} MiB`);
    assert.equal(await page.locator('#filter-result').textContent(), `${found.toLocaleString()} files match.`);
    const mib = (bytes) => `${(bytes / 2 ** 20).toFixed(0)} MiB`;
    t.diagnostic(`the program held ${mib(before)} before the filter, ${mib(memory('VmRSS'))} after, at most ${mib(memory('VmHWM'))}`);
    await page.screenshot({ path: join(shots, 'large-filter.png') });
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
    rmSync(folder, { recursive: true, force: true });
  }
});

test('every view looked at above has no serious or critical accessibility violation', () => {
  assert.deepEqual(views, []);
});
