// The start document in a real browser (Debian's Chromium, headless), as a
// user meets it: the drive list, a scan of each test image whose tree has the
// manifest's counts, folders, sorting, the name filter and the filters,
// a preview, a recovery whose bytes are the manifest's and its report; a
// deep scan paused and resumed from the banner after a restart; a disk
// plugged in while the list is shown; a folder of 100,000 files scrolled.
// No page may log an error or break the content policy. Screenshots of each
// view go to QUENLAR_SCREENSHOTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, statSync, truncateSync, writeFileSync, openSync, writeSync, closeSync } from 'node:fs';
import { join, relative, sep } from 'node:path';
import { startHost, copyImage, images, quenlar, scratch } from './quenlar.mjs';
import { finished, folderItem, gridRow, inView, lookAt, grownImage, launchBrowser, openPage, scanWith, shots, topCounts } from './browser.mjs';

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

function manifest(name) {
  const text = readFileSync(new URL(`../images/${name}.manifest.tsv`, import.meta.url), 'utf8');
  return text.trim().split('\n').slice(1).map((line) => {
    const [path, type, size, sha256, state] = line.split('\t');
    return { path, type, size: Number(size), sha256, state };
  });
}

function filesUnder(entries, folder) {
  return entries.filter((e) => e.type === 'f' && e.path.startsWith(`${folder}/`));
}

// The files a recovery wrote, without its receipt.
function writtenFiles(folder) {
  const found = [];
  const walk = (at) => {
    for (const name of readdirSync(at)) {
      const path = join(at, name);
      if (statSync(path).isDirectory()) walk(path);
      else if (!(at === folder && name.startsWith('quenlar-receipt'))) found.push(relative(folder, path).split(sep).join('/'));
    }
  };
  walk(folder);
  return found.sort();
}

function sha256(path) {
  return createHash('sha256').update(readFileSync(path)).digest('hex');
}

// The names in the file list as drawn (the list draws on the next frame).
const shownNames = (page) => page.evaluate(async () => {
  await new Promise((resolve) => requestAnimationFrame(() => resolve()));
  return [...document.querySelectorAll('.grid-space .grid-row:not([hidden]):not(.folder)')]
    .sort((a, b) => Number(a.dataset.at) - Number(b.dataset.at)).map((r) => r.querySelector('.name').firstChild.textContent);
});

test('each test image: scan, browse, filter, preview, recover', async () => {
  const folder = scratch('quenlar-document-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const names = ['ntfs', 'fat32', 'exfat'];
  const host = await startHost(names.map((n) => copyImage(`${n}.img`, folder)), { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    for (const name of names) {
      const entries = manifest(name);
      const first = name === 'ntfs';
      const partition = page.locator('button.partition', { hasText: `${name}.img` });
      await partition.waitFor();
      if (first) await page.screenshot({ path: join(shots, 'start.png'), fullPage: true });
      // The last scan's end must not be taken for this one's.
      await page.evaluate(() => { document.getElementById('scan-summary').textContent = ''; });
      await scanWith(partition);
      await finished(page);

      // Every folder of the manifest's top level with its files' count.
      const counts = await topCounts(page);
      for (const dir of entries.filter((e) => e.type === 'd' && !e.path.includes('/'))) {
        assert.equal(counts[dir.path], filesUnder(entries, dir.path).length, `${name}: ${dir.path}`);
      }

      if (first) {
        // The tree by keyboard: down to the first folder, Enter lists it,
        // left goes up to the root and closes it, right opens it again.
        await page.locator('#tree [role=treeitem]').first().focus();
        await page.keyboard.press('ArrowDown');
        await page.keyboard.press('Enter');
        const top = entries.filter((e) => e.type === 'd' && !e.path.includes('/')).map((e) => e.path)
          .sort(new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' }).compare)[0];
        await page.waitForFunction((name) => document.getElementById('folder-name').textContent === name, top);
        await page.keyboard.press('ArrowLeft');
        assert.equal(await page.evaluate(() => document.activeElement.dataset.path), '');
        await page.keyboard.press('ArrowLeft');  // the root closes
        await page.waitForFunction(() => document.querySelectorAll('#tree [role=treeitem]').length === 1);
        await page.keyboard.press('ArrowRight');
        await page.waitForFunction(() => document.querySelectorAll('#tree [role=treeitem]').length > 1);
      }

      // A folder's files, sorted and filtered by name.
      await folderItem(page, 'Documents').locator('.name').click();
      const direct = entries.filter((e) => e.type === 'f' && /^Documents\/[^/]+$/.test(e.path));
      await page.waitForFunction((n) => document.getElementById('rows-count').textContent === `${n} files`, direct.length);
      // Largest first (the sort chosen stays from one scan to the next).
      const bySize = page.locator('.grid-head [role=columnheader]:has([data-key="4"])');
      for (let i = 0; i < 3 && (await bySize.getAttribute('aria-sort')) !== 'descending'; i++) await bySize.click();
      assert.deepEqual(await shownNames(page),
        direct.sort((a, b) => b.size - a.size).map((e) => e.path.split('/').pop()), `${name}: by size`);
      await page.fill('#name-filter', 'NOTES');
      await page.waitForFunction(() => document.getElementById('rows-count').textContent === '1 of 2 files shown'
        || document.getElementById('rows-count').textContent.startsWith('1 of'));
      assert.deepEqual(await shownNames(page), ['notes.txt']);
      assert.match(await gridRow(page, 'notes.txt').textContent(), /In use.*5\.0 KB/);
      await page.fill('#name-filter', '');
      if (first) await page.screenshot({ path: join(shots, 'browse.png'), fullPage: true });

      // The pictures of every folder.
      await page.selectOption('#filter-kind', 'Pictures');
      await page.waitForFunction(() => /match/.test(document.getElementById('filter-result').textContent));
      await page.waitForFunction(() => document.getElementById('folder-name').textContent.startsWith('Matching files'));
      const pictures = await shownNames(page);
      assert.ok(pictures.length > 0 && pictures.every((n) => /\.(jpe?g|png|gif|bmp)$/i.test(n)),
        `${name}: ${pictures} (${await page.locator('#filter-result').textContent()} ${await page.evaluate(() => JSON.stringify({
          rows: [...document.querySelectorAll('.grid-space .grid-row')].map((r) => `${r.hidden}/${r.className}/${r.dataset.at}`),
          top: document.getElementById('grid-body').scrollTop, height: document.getElementById('grid-body').clientHeight,
          space: document.getElementById('grid-space').style.height }))})`);
      assert.ok(pictures.includes('holiday.jpg'), `${name}: ${pictures}`);
      if (first) await page.screenshot({ path: join(shots, 'filter.png'), fullPage: true });

      // A preview reads the found file, nothing else.
      await gridRow(page, 'holiday.jpg').locator('.name').click();
      await page.waitForFunction(() => /first 66 KB of 120 KB/.test(document.getElementById('preview-note').textContent));
      // The test images' pictures are random bytes behind a real header: shown as bytes.
      await page.waitForFunction(() => /cannot be shown/.test(document.getElementById('preview-note').textContent));
      assert.match(await page.locator('#preview-text').textContent(), /^00000000  ff d8 ff/);
      if (first) await page.screenshot({ path: join(shots, 'preview.png'), fullPage: true });
      await page.selectOption('#filter-kind', '');

      // A folder and a file of another folder, recovered.
      await folderItem(page, 'Pictures').locator('input').check();
      await folderItem(page, 'Documents').locator('.name').click();
      await gridRow(page, 'report.pdf').locator('input').check();
      const pictureFiles = filesUnder(entries, 'Pictures');
      assert.equal(await page.locator('#selected').textContent(),
        `1 file (50 KB) and everything in 1 folder (${pictureFiles.length} files)`);
      const destination = scratch('quenlar-recovered-');
      await page.fill('#destination', destination);
      if (first) await page.screenshot({ path: join(shots, 'recover.png'), fullPage: true });
      await page.click('#recover-start');
      await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
      const expected = [...pictureFiles.map((e) => e.path), 'Documents/report.pdf'].sort();
      assert.deepEqual(writtenFiles(destination), expected);
      for (const path of expected) {
        assert.equal(sha256(join(destination, path)), entries.find((e) => e.path === path).sha256, `${name}: ${path}`);
      }
      assert.match(await page.locator('#recover-result').textContent(),
        new RegExp(`^${expected.length} files were recovered whole`));
      if (first) await page.screenshot({ path: join(shots, 'report.png'), fullPage: true });

      if (first) {
        // No destination: refused, and said so.
        await page.fill('#destination', '');
        await page.click('#recover-start');
        await page.waitForFunction(() => document.getElementById('recover-result').textContent.startsWith('Nothing was written'));
        // Narrow and zoomed, nothing is cut off sideways but the file list.
        await page.setViewportSize({ width: 640, height: 900 });
        await page.evaluate(() => { document.body.style.zoom = '2'; });
        await page.screenshot({ path: join(shots, 'narrow-zoomed.png'), fullPage: true });
        const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
        assert.ok(overflow <= 1, `the page is ${overflow}px wider than the window`);
        await page.evaluate(() => { document.body.style.zoom = ''; });
        await page.setViewportSize({ width: 1280, height: 900 });
      }
      await page.click('#new-scan');
    }
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    const end = await host.stop();
    assert.equal(end.code, 0, host.stderr());
  }
});

test('a deep scan paused, the program ended and started again, resumed from the banner', async () => {
  const folder = scratch('quenlar-resume-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const image = grownImage(folder, 2 ** 33);

  let host = await startHost([image], { cwd: folder });
  let { page, problems } = await openPage(browser, host.url);
  await scanWith(page.locator('button.partition', { hasText: 'grown.img' }));
  await page.waitForFunction(() => document.getElementById('scan-phase').textContent.startsWith('Step 2'), null, { timeout: 60000 });
  // Paused at once: on a busy machine the scan would end while it is looked
  // at. The resumed one is looked at below.
  await page.click('#pause');
  await finished(page, 'Paused');
  // The paused scan can be resumed right there.
  assert.equal(await page.locator('#resume-paused').isVisible(), true);
  await lookAt(page, 'paused', views);
  assert.deepEqual(problems, []);
  await page.close();
  assert.equal((await host.stop()).code, 0, host.stderr());

  host = await startHost([image], { cwd: folder });
  ({ page, problems } = await openPage(browser, host.url));
  try {
    await page.locator('#saved').waitFor({ state: 'visible' });
    assert.match(await page.locator('#saved-name').textContent(), /grown\.img/);
    // The volume as the banner names it: label, file system, size, when, how far, what it holds.
    assert.match(await page.locator('#saved-facts').textContent(),
      /^\(QUENLAR, NTFS, 8\.6 GB\) · begun .* · its deep scan \d+% done · [\d,]+ files? found\.$/);
    await lookAt(page, 'saved-banner', views);
    await page.click('#resume');
    // The rate is shown once it has been measured a few times (the scan may end first).
    await page.waitForFunction(() => /B\/s/.test(document.getElementById('scan-rate').textContent), null, { timeout: 3000 })
      .catch(() => {});
    await lookAt(page, 'scanning', views);
    await finished(page);
    // What an unbroken run finds (run last: its reads would speed up the
    // scan above, which must last long enough to be paused).
    const unbroken = execFileSync(quenlar, ['scan', '--deep', '--json', image], { cwd: scratch('quenlar-unbroken-') })
      .toString().trim().split('\n').filter((line) => !line.includes('"dir":1')).length;
    assert.equal(Number((await page.locator('#found').textContent()).replace(/\D/g, '')), unbroken);
    const counts = await topCounts(page);
    const entries = manifest('ntfs');
    for (const dir of entries.filter((e) => e.type === 'd' && !e.path.includes('/'))) {
      assert.equal(counts[dir.path], filesUnder(entries, dir.path).length, dir.path);
    }
    // Finished: nothing is left to resume.
    await page.click('#new-scan');
    await page.locator('button.partition').first().waitFor();
    assert.equal(await page.locator('#saved').isVisible(), false);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

function run(command, ...args) {
  return execFileSync(command, args, { stdio: ['ignore', 'pipe', 'pipe'] }).toString().trim();
}

test('files overwritten since they were deleted: the list says so and why, a filter leaves them out, a recovery tells them apart', async () => {
  const folder = scratch('quenlar-document-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const host = await startHost([copyImage('fat32-overwritten.img', folder)], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    const partition = page.locator('button.partition', { hasText: 'fat32-overwritten.img' });
    await partition.waitFor();
    await scanWith(partition);
    await finished(page);
    // The content checks run after the scan, and the list then shows what they found.
    await page.waitForFunction(() => /was checked\.$/.test(document.getElementById('checks-text').textContent), null, { timeout: 30000 });
    assert.ok(await page.locator('#checks-toggle').isHidden());
    await folderItem(page, 'Album').locator('.name').click();
    await page.waitForFunction(() => document.getElementById('rows-count').textContent === '48 files');
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => resolve())));
    const conditions = await page.locator('.grid-space .grid-row:not([hidden]) .verdict').allTextContents();
    assert.ok(conditions.includes('Overwritten') && conditions.includes('Whole (checked)'), conditions.join());
    // The roll-up of the folder, and the reason on hover.
    const [, whole, all] = (await page.locator('#rows-whole').textContent()).match(/(\d+) of (\d+) likely to come back whole/);
    assert.ok(Number(whole) > 0 && Number(whole) < Number(all), `${whole} of ${all}`);
    const gone = page.locator('.grid-space .grid-row:not([hidden])', { has: page.locator('.verdict', { hasText: 'Overwritten' }) }).first();
    assert.match(await gone.locator('.verdict').getAttribute('title'), /now belong to other files/);
    // Worst first.
    const byCondition = page.locator('.grid-head [role=columnheader]:has([data-key="9"])');
    for (let i = 0; i < 3 && (await byCondition.getAttribute('aria-sort')) !== 'descending'; i++) await byCondition.click();
    // (The list is drawn on the next frame; its first row goes up a folder.)
    await page.waitForFunction(() => document.querySelector('.grid-space .grid-row[data-at="1"]:not([hidden]) .verdict')
      ?.textContent === 'Overwritten');
    await lookAt(page, 'verdicts', views);

    // Only the files likely to come back whole.
    await page.selectOption('#filter-verdict', 'intact|likely');
    await page.waitForFunction(() => /match/.test(document.getElementById('filter-result').textContent));
    // (The matching files are drawn on a later frame than the count.)
    await page.waitForFunction(() => document.getElementById('folder-name').textContent.startsWith('Matching files'));
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(() => resolve()))));
    const kept = await page.locator('.grid-space .grid-row:not([hidden]) .verdict').allTextContents();
    assert.ok(kept.length > 0 && kept.every((c) => c === 'Likely whole' || c === 'Whole (checked)'), kept.join());
    assert.equal(await page.locator('#folder-name').textContent(), 'Matching files in all folders: Likely to come back whole');
    await page.screenshot({ path: join(shots, 'verdict-filter.png'), fullPage: false });
    await page.selectOption('#filter-verdict', '');

    // One overwritten file recovered: written, and said to be probably not the original.
    await folderItem(page, 'Album').locator('.name').click();
    await page.waitForFunction(() => /^\d+ files$/.test(document.getElementById('rows-count').textContent));
    for (let i = 0; i < 3 && (await byCondition.getAttribute('aria-sort')) !== 'descending'; i++) await byCondition.click();
    await page.waitForFunction(() => document.querySelector('.grid-space .grid-row[data-at="1"]:not([hidden]) .verdict')
      ?.textContent === 'Overwritten');
    await page.locator('.grid-space .grid-row[data-at="1"] input').check();
    const destination = scratch('quenlar-verdict-out-');
    await page.fill('#destination', destination);
    await page.click('#recover-start');
    await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
    const report = await page.locator('#recover-result').textContent();
    assert.match(report, /^0 files were recovered whole/);
    assert.match(report, /1 file was written, but its clusters now belong to other files: probably not the original\./);
    assert.match(await page.locator('#open-result').textContent(), /A receipt of every file/);
    assert.match(await page.locator('#report-table').textContent(), /Written, but probably not the original1/);
    assert.match(await page.locator('#recover-problems').textContent(), /probably not the original/);
    assert.ok(existsSync(join(destination, 'quenlar-receipt.json')));
    await lookAt(page, 'verdict-report', views);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a card whose folders are gone: its files are found by their content, by kind, photos named by the date taken', async () => {
  const folder = scratch('quenlar-document-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const host = await startHost([copyImage('fat32-carved.img', folder)], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    await scanWith(page.locator('button.partition', { hasText: 'fat32-carved.img' }));
    await finished(page);
    const entries = manifest('fat32-carved');
    const carvable = entries.filter((e) => e.type === 'f' && !e.path.endsWith('.txt'));
    assert.equal((await topCounts(page))['Found by content'], carvable.length);
    await page.locator('#tree [role=treeitem][data-path="Found by content"] > .tree-row .toggle').click();
    await folderItem(page, 'Pictures').locator('.name').click();
    const pictures = carvable.filter((e) => /\.(jpg|png|tif|cr2)$/i.test(e.path));
    await page.waitForFunction((n) => document.getElementById('rows-count').textContent === `${n} files`, pictures.length);
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => resolve())));
    const photo = gridRow(page, 'IMG_20190702_090713.jpg');
    assert.match(await photo.textContent(), /JPEG/);
    assert.match(await photo.textContent(), /2019/);
    await lookAt(page, 'found-by-content', views);
    // The pictures folder recovered: every file byte-exact.
    await folderItem(page, 'Pictures').locator('input').check();
    const destination = scratch('quenlar-content-out-');
    await page.fill('#destination', destination);
    await page.click('#recover-start');
    await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
    const written = writtenFiles(destination);
    assert.equal(written.length, pictures.length);
    assert.deepEqual(written.map((path) => sha256(join(destination, path))).sort(), pictures.map((e) => e.sha256).sort());
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a disk image whose partition table is gone: its volumes are found, one scans and a folder of it recovers', async () => {
  const folder = scratch('quenlar-document-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const host = await startHost([copyImage('gpt-lost.img', folder)], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    // The image holds no volume at its start: it can only be searched by
    // content as it is, and the volumes on it can be looked for.
    const image = page.locator('li', { has: page.locator('button.partition', { hasText: 'gpt-lost.img' }) });
    assert.match(await image.locator('button.partition').first().textContent(), /no file system.*can be searched by content/);
    await image.locator('button.partition').first().click();
    assert.equal(await page.locator('#choice-quick').isVisible(), false);
    assert.match(await page.locator('#choice-deep').textContent(), /Search by content/);
    await page.click('#choice-cancel');
    await image.locator('button.hunt').click();
    const first = page.locator('button.partition.found', { hasText: 'FIRST' });
    await first.waitFor({ timeout: 30000 });
    assert.match(await first.textContent(), /NTFS · 105 MB.*starts at sector 2,048.*found: not in the partition table/);
    assert.match(await page.locator('button.partition.found', { hasText: 'SECOND' }).textContent(), /exFAT/);
    await lookAt(page, 'found-volumes', views);
    // A volume found is offered the same choice of scan as any other: its quick scan, then the deep one.
    await scanWith(first, 'quick');
    await finished(page);
    await page.click('#deep');
    await finished(page);
    const entries = manifest('gpt-lost').map((e) => ({ ...e, path: e.path.replace(/^@2048\//, '') }))
      .filter((e) => !e.path.startsWith('@'));
    const counts = await topCounts(page);
    assert.equal(counts.Photos, filesUnder(entries, 'Photos').length);
    await folderItem(page, 'Photos').locator('input').check();
    const destination = scratch('quenlar-found-out-');
    await page.fill('#destination', destination);
    await page.click('#recover-start');
    await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
    const expected = filesUnder(entries, 'Photos').map((e) => e.path).sort();
    assert.deepEqual(writtenFiles(destination), expected);
    for (const path of expected) assert.equal(sha256(join(destination, path)), entries.find((e) => e.path === path).sha256, path);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a damaged drive: after the scan the page says what of its records could not be used, and what was done', async () => {
  const folder = scratch('quenlar-document-');
  process.env.QUENLAR_LOCK_DIR = folder;
  // The FAT32 image with its boot sector zeroed: the backup at sector 6 is
  // used, and said.
  const image = copyImage('fat32.img', folder);
  const fd = openSync(image, 'r+');
  writeSync(fd, Buffer.alloc(512), 0, 512, 0);
  closeSync(fd);
  const host = await startHost([image], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    const partition = page.locator('button.partition', { hasText: 'fat32.img' });
    await partition.waitFor();
    await scanWith(partition);
    await finished(page);
    const faults = page.locator('#scan-faults');
    await faults.waitFor({ state: 'visible' });
    assert.match(await faults.textContent(), /The FAT32 boot sector at sector 0 is missing or overwritten; its backup at sector 6 was used\./);
    // Every file of the intact volume is there.
    const counts = await topCounts(page);
    for (const dir of manifest('fat32').filter((e) => e.type === 'd' && !e.path.includes('/'))) {
      assert.equal(counts[dir.path], filesUnder(manifest('fat32'), dir.path).length, dir.path);
    }
    await lookAt(page, 'damaged', views);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    await host.stop();
  }
});

test('a disk plugged in while the list is shown appears; its partition scans and recovers', async (t) => {
  if (process.getuid?.() !== 0 || !existsSync('/dev/loop-control')) {
    t.skip('needs root and loop devices');
    return;
  }
  const folder = scratch('quenlar-plug-');
  process.env.QUENLAR_LOCK_DIR = folder;
  // An MBR disk with the NTFS test image as its one partition, at 1 MiB.
  const disk = join(folder, 'disk.img');
  const ntfs = readFileSync(join(images, 'ntfs.img'));
  const partitionSectors = Math.ceil(ntfs.length / 512);
  writeFileSync(disk, '');
  truncateSync(disk, (2048 + partitionSectors + 2048) * 512);
  execFileSync('sfdisk', ['-q', disk], { input: `label: dos\nstart=2048, size=${partitionSectors}, type=7\n` });
  const fd = openSync(disk, 'r+');
  writeSync(fd, ntfs, 0, ntfs.length, 2048 * 512);
  closeSync(fd);

  const host = await startHost([], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  const mnt = join(folder, 'mnt');
  mkdirSync(mnt);
  let loop = '';
  let mounted = false;
  try {
    await page.locator('button.partition').first().waitFor();
    const before = new Set(await page.locator('.disk h3').allTextContents());
    loop = run('losetup', '-f', '--show', '-P', disk);
    // This kernel does not always scan the table on attach; partx adds the
    // partition as the kernel does when a disk is plugged in.
    try { run('partx', '-a', loop); } catch { /* scanned on attach */ }
    // The list is drawn again when the system tells of the new disk.
    await page.waitForFunction((known) => [...document.querySelectorAll('.disk')].some((d) =>
      !known.includes(d.querySelector('h3').textContent) && /QUENLAR/.test(d.textContent)), [...before], { timeout: 30000 });
    const heading = (await page.locator('.disk h3').allTextContents()).find((h) => !before.has(h));
    const partition = page.locator('.disk').filter({ has: page.locator('h3', { hasText: heading }) })
      .locator('button.partition', { hasText: 'QUENLAR' });
    assert.match(await partition.textContent(), /NTFS/);
    await page.screenshot({ path: join(shots, 'disk-plugged.png'), fullPage: true });
    await scanWith(partition);
    await finished(page);
    const counts = await topCounts(page);
    const entries = manifest('ntfs');
    for (const dir of entries.filter((e) => e.type === 'd' && !e.path.includes('/'))) {
      assert.equal(counts[dir.path], filesUnder(entries, dir.path).length, dir.path);
    }
    // A folder recovered from the partition comes back byte for byte.
    await folderItem(page, 'Documents').locator('input').check();
    const destination = scratch('quenlar-plugged-out-');
    await page.fill('#destination', destination);
    await page.click('#recover-start');
    await page.locator('#open-destination').waitFor({ state: 'visible', timeout: 30000 });
    const expected = filesUnder(entries, 'Documents').map((e) => e.path).sort();
    assert.deepEqual(writtenFiles(destination), expected);
    for (const path of expected) assert.equal(sha256(join(destination, path)), entries.find((e) => e.path === path).sha256, path);
    // With the partition mounted, a destination on it is refused.
    run('ntfs-3g', '-o', 'ro', `${loop}p1`, mnt);
    mounted = true;
    await page.fill('#destination', join(mnt, 'recovered'));
    await page.click('#recover-start');
    await page.waitForFunction(() => document.getElementById('recover-result').textContent.startsWith('Nothing was written'));
    assert.match(await page.locator('#recover-result').textContent(), /is on the drive being recovered from/);
    await page.screenshot({ path: join(shots, 'refused.png'), fullPage: true });
    assert.deepEqual(problems, []);
  } finally {
    if (mounted) run('umount', mnt);
    if (loop) run('losetup', '-d', loop);
    await page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

test('a folder of 100,000 files lists, sorts and scrolls', async (t) => {
  const folder = scratch('quenlar-many-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const image = copyImage('ntfs.img', folder);
  // The program makes its database; a finished scan with the folder is put in.
  let host = await startHost([], { cwd: folder });
  assert.equal((await host.stop()).code, 0, host.stderr());
  execFileSync('python3', [new URL('./saved-scan.py', import.meta.url).pathname, join(folder, 'mydatabase.db'), image, 'Many', '100000']);

  host = await startHost([image], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url);
  try {
    await page.click('#resume');
    // The rate is shown once it has been measured a few times (the scan may end first).
    await page.waitForFunction(() => /B\/s/.test(document.getElementById('scan-rate').textContent), null, { timeout: 3000 })
      .catch(() => {});
    await lookAt(page, 'scanning', views);
    await finished(page);
    // Put in as an older version saved it: its volume could not be checked, and the page says so.
    assert.match(await page.locator('#scan-summary').textContent(), /could not be checked/);
    await folderItem(page, 'Many').locator('.name').click();
    const listed = Date.now();
    await page.waitForFunction(() => document.getElementById('rows-count').textContent === '100,000 files', null, { timeout: 60000 });
    t.diagnostic(`100,000 rows listed in ${Date.now() - listed} ms`);
    const rows = await page.locator('.grid-space .grid-row').count();
    assert.ok(rows < 80, `${rows} row elements`);

    const steps = await page.evaluate(async () => {
      const body = document.getElementById('grid-body');
      performance.clearMeasures('grid-draw');
      const frame = () => new Promise((resolve) => requestAnimationFrame(() => resolve()));
      for (let i = 0; i < 120; i++) {
        body.scrollTop += i % 10 === 9 ? 250000 : 700;
        await frame();
      }
      return performance.getEntriesByName('grid-draw').map((e) => e.duration);
    });
    steps.sort((a, b) => a - b);
    const median = steps[Math.floor(steps.length / 2)];
    const worst = steps[steps.length - 1];
    t.diagnostic(`scroll steps: ${steps.length}, median ${median.toFixed(2)} ms, worst ${worst.toFixed(2)} ms per step`);

    const sorted = Date.now();
    await page.click('.grid-head [data-key="0"]');
    await page.click('.grid-head [data-key="0"]');
    await page.waitForFunction(() => document.querySelector('.grid-head [data-key="0"]').parentElement.getAttribute('aria-sort') === 'descending');
    t.diagnostic(`sorted twice by name in ${Date.now() - sorted} ms`);
    await page.evaluate(() => { document.getElementById('grid-body').scrollTop = 0; });
    await page.waitForFunction(() => document.querySelector('.grid-space .grid-row[data-at="1"] .name')?.textContent === 'file 099999.jpg');
    await page.screenshot({ path: join(shots, 'many.png') });

    // The keyboard: down moves the cursor, space selects, End goes last.
    await page.locator('#grid').focus();
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press(' ');
    assert.equal(await page.locator('#selected').textContent(), '1 file (101 KB)');
    await page.keyboard.press('End');
    await page.waitForFunction(() => document.querySelector('#grid-cursor .name')?.textContent === 'file 000000.jpg');
    await page.emulateMedia({ colorScheme: 'dark' });
    await page.screenshot({ path: join(shots, 'many-dark.png') });
    await page.emulateMedia({ colorScheme: 'light' });

    // Any name is text: right to left, emoji, replacement characters, markup,
    // 254 characters; rows keep their height and the page its width.
    await folderItem(page, 'Odd').locator('.name').click();
    await page.waitForFunction(() => document.getElementById('rows-count').textContent === '8 files');
    const names = await shownNames(page);
    assert.ok(names.includes('<img src=x onerror=alert(1)>.html'), names.join(' '));
    assert.ok(names.includes(`${'x'.repeat(250)}.txt`));
    assert.equal(await page.locator('.grid-space img').count(), 0);
    // An override that would turn "a\u202Eexe.txt" into "atxt.exe" is shown for what it is.
    assert.ok(names.includes('a[U+202E]exe.txt'), names.join(' '));
    const heights = await page.evaluate(() => [...new Set([...document.querySelectorAll('.grid-space .grid-row:not([hidden])')]
      .map((r) => r.getBoundingClientRect().height))]);
    assert.equal(heights.length, 1, `row heights ${heights}`);
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 1, `the page is ${overflow}px wider than the window`);
    await page.locator('#tree [role=treeitem][data-path="Odd"] > .tree-row .toggle').click();
    await folderItem(page, 'תמונות מהחתונה 👰').locator('.name').click();
    await page.waitForFunction(() => document.getElementById('rows-count').textContent === '8 files');
    await page.screenshot({ path: join(shots, 'odd-names.png') });
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

// A wedding's memory card, made as a camera would leave it: the photos three
// folders deep, notes beside them. [path on the card, bytes].
function weddingCard(folder) {
  const image = join(folder, 'wedding.img');
  run('mkfs.vfat', '-F', '32', '-n', 'WEDDING', '-C', image, '40000');
  const env = { ...process.env, MTOOLS_SKIP_CHECK: '1' };
  const mtools = (command, ...args) => execFileSync(command, ['-i', image, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  mtools('mmd', '::/Wedding', '::/Wedding/2019', '::/Wedding/2019/Ceremony', '::/Notes');
  const jpeg = (seed, size) => {
    const bytes = Buffer.alloc(size);
    for (let i = 0; i < size; i++) bytes[i] = (i * 7919 + seed * 104729) % 251;
    Buffer.from([0xff, 0xd8, 0xff, 0xe0]).copy(bytes);
    bytes[size - 2] = 0xff;
    bytes[size - 1] = 0xd9;
    return bytes;
  };
  const files = [
    ['Wedding/2019/Ceremony/first kiss.jpg', jpeg(1, 90000)],
    ['Wedding/2019/Ceremony/rings.jpg', jpeg(2, 70000)],
    ['Wedding/2019/vows.txt', Buffer.from('I promise to back up our photos.\n'.repeat(200))],
    ['Notes/guests.txt', Buffer.from('Anna, Ben, Chloé, Dmitri\n'.repeat(50))],
    ['Notes/menu.txt', Buffer.from('Soup, fish, cake.\n'.repeat(100))],
  ];
  for (const [path, bytes] of files) {
    const local = join(folder, 'card-file');
    writeFileSync(local, bytes);
    mtools('mcopy', local, `::/${path}`);
  }
  return { image, files };
}

test('the whole recovery on one screen at 1280×800, 700×900 and 200%: preview, selection and report in view, every view accessible', async (t) => {
  const folder = scratch('quenlar-workspace-');
  process.env.QUENLAR_LOCK_DIR = folder;
  const { image, files } = weddingCard(folder);
  const host = await startHost([image], { cwd: folder });
  const root = process.getuid?.() === 0;
  const accessibility = [];
  try {
    for (const [size, viewport, scale] of [['wide', { width: 1280, height: 800 }, 1], ['narrow', { width: 700, height: 900 }, 1],
      ['zoomed', { width: 640, height: 400 }, 2]]) {
      const page = await browser.newPage({ viewport, deviceScaleFactor: scale });
      const problems = [];
      page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push(m.text()); });
      page.on('pageerror', (e) => problems.push(String(e)));
      await page.goto(host.url);
      const look = (name) => lookAt(page, `${size}-${name}`, accessibility);
      try {
        const card = page.locator('button.partition', { hasText: 'WEDDING' });
        await card.waitFor();
        await look('start');
        // The choice of scan says what each does, and roughly how long it takes.
        await card.click();
        await page.locator('#scan-choice').waitFor({ state: 'visible' });
        assert.match(await page.locator('#choice-quick').textContent(), /Quick scan.*few seconds/s);
        assert.match(await page.locator('#choice-deep').textContent(), /Deep scan.*Under a minute for \d+ MB/s);
        await look('choice');
        await page.click(size === 'narrow' ? '#choice-quick' : '#choice-deep');
        await finished(page);
        assert.equal(await page.locator('#deep').isVisible(), size === 'narrow', 'a quick scan offers the deep one');
        // Counts that add up: all files, as the summary says.
        assert.match(await page.locator('#scan-summary').textContent(), /^Scan finished: 5 files found/);
        const rootCount = page.locator('#tree > [role=treeitem] > .tree-row .count');
        if (await rootCount.isVisible()) assert.equal(await rootCount.textContent(), '5');
        await look('results');

        // The search finds the photo three folders down, with its folder.
        await page.fill('#search', 'first*');
        await page.waitForFunction(() => document.getElementById('filter-result').textContent === '1 file matches.');
        const kiss = gridRow(page, 'first kiss.jpg');
        assert.match(await kiss.textContent(), /Wedding › 2019 › Ceremony/);
        await look('search');
        await kiss.locator('.name').click();
        await page.waitForFunction(() => document.getElementById('preview-name').textContent === 'first kiss.jpg');
        await page.waitForFunction(() => /Folder.*Wedding › 2019 › Ceremony/.test(document.getElementById('preview-facts').textContent));
        assert.ok(await inView(page.locator('#preview-verdict')), `${size}: the preview's verdict is in view`);
        assert.ok(await inView(page.locator('#recover')), `${size}: the selection bar is in view`);
        // Its bytes, a page at a time, through to its end.
        await page.click('#view-bytes');
        await page.waitForFunction(() => /of 90,000 \(page 1 of 22\)/.test(document.getElementById('hex-where').textContent));
        await page.click('#hex-last');
        await page.waitForFunction(() => /page 22 of 22/.test(document.getElementById('hex-where').textContent));
        assert.match(await page.locator('#preview-text').textContent(), /ff d9\s/);
        await look('preview');
        if (await page.locator('#preview-close').isVisible()) await page.click('#preview-close');

        // Text files of every folder, ticked with "select all shown": files, never folders.
        await page.fill('#search', '*.txt');
        await page.waitForFunction(() => document.getElementById('filter-result').textContent === '3 files match.');
        await page.click('#pick-all');
        assert.match(await page.locator('#selected').textContent(), /^3 files/);
        assert.ok(await inView(page.locator('#recover-start')), `${size}: Recover is in view`);

        // A destination that cannot take them is refused as a whole, in one sentence.
        const refusals = [['relative/folder', /full path/], [join(folder, 'wedding.img'), /is a file, not a folder/],
          ['/proc/quenlar', /cannot write in "\/proc"/]];
        // (A destination on the source itself is refused in the test of a
        // disk plugged in, which mounts one.)
        let small = '';
        if (root) {
          small = scratch('quenlar-small-');
          run('mount', '-t', 'tmpfs', '-o', 'size=16k', 'tmpfs', small);
          refusals.push([small, /has .* free, and the files chosen need/]);
        } else {
          t.diagnostic('not root: the check of a drive too small is left out');
        }
        try {
          for (const [destination, why] of refusals) {
            await page.fill('#destination', destination);
            await page.evaluate(() => { document.getElementById('recover-result').textContent = ''; });
            await page.click('#recover-start');
            await page.waitForFunction((d) => document.getElementById('recover-result').textContent.startsWith('Nothing was written')
              && document.getElementById('destination').value === d, destination);
            const said = await page.locator('#recover-result').textContent();
            assert.match(said, why, destination);
            assert.equal(said.split(/(?<=\.) /).length <= 2, true, `one sentence: ${said}`);
            assert.ok(await inView(page.locator('#recover-result')), `${size}: the refusal is in view`);
          }
        } finally {
          if (small) run('umount', small);
        }
        assert.ok(!existsSync(join(folder, 'relative')));
        await look('refused');

        // The folder picker: folders only, and the one chosen becomes the destination.
        const destination = mkdtempSync(join(folder, 'recovered-'));
        mkdirSync(join(destination, 'inside'));
        writeFileSync(join(destination, 'a file.txt'), 'x');
        await page.click('#destination-pick');
        await page.locator('#picker').waitFor({ state: 'visible' });
        await page.locator('#picker-places button', { hasText: 'Quenlar’s folder' }).click();
        await page.locator('#picker-list button', { hasText: destination.split(sep).pop() }).click();
        await page.waitForFunction((d) => document.getElementById('picker-path').textContent === d, destination);
        assert.deepEqual(await page.locator('#picker-list button').allTextContents(), ['inside']);
        await look('picker');
        await page.click('#picker-choose');
        assert.equal(await page.inputValue('#destination'), destination);

        await page.click('#recover-start');
        await page.locator('#report').waitFor({ state: 'visible', timeout: 30000 });
        assert.ok(await inView(page.locator('#report-table')), `${size}: the report is in view`);
        assert.equal(await page.locator('#report-table tr', { hasText: 'Written whole' }).locator('td').first().textContent(), '3');
        const texts = files.filter(([path]) => path.endsWith('.txt'));
        assert.deepEqual(writtenFiles(destination), ['a file.txt', ...texts.map(([path]) => path)].sort());
        for (const [path, bytes] of texts) assert.equal(sha256(join(destination, path)), createHash('sha256').update(bytes).digest('hex'));
        await look('report');
        // Again into the same folder: the copies are renamed, and the report says so.
        await page.click('#recover-start');
        await page.waitForFunction(() => /Renamed, as the name was taken3/.test(document.getElementById('report-table').textContent), null, { timeout: 30000 });
        assert.match(await page.locator('#recover-problems').textContent(), /vows\.txt — its name was taken: saved as .*vows_1\.txt/);
        await page.click('#report-close');
        assert.deepEqual(problems, [], size);
        if (size !== 'zoomed') {
          // Back to the drives: the results are let go (the next page starts there).
          await page.click('#new-scan');
          await page.waitForFunction(() => /were let go to free memory/.test(document.getElementById('status').textContent));
        }
      } finally {
        await page.close();
      }
    }
    assert.deepEqual(accessibility, []);
    // The destination chosen last is offered first the next time.
    assert.match(readFileSync(join(folder, 'config.ini'), 'utf8'), /\[RECOVERY\]\nDestination=.*recovered-/);
  } finally {
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

// A picture the browser encodes: `noise` makes it as large as a camera's.
async function pictureBytes(type, width, height, noise) {
  const page = await browser.newPage();
  try {
    const url = await page.evaluate(([type, width, height, noise]) => {
      const canvas = document.createElement('canvas');
      canvas.width = width;
      canvas.height = height;
      const context = canvas.getContext('2d');
      const pixels = context.createImageData(width, height);
      let x = 12345;
      for (let i = 0; i < pixels.data.length; i += 4) {
        x = (Math.imul(x, 1103515245) + 12345) >>> 0;
        pixels.data[i] = noise ? x >>> 24 : 200;
        pixels.data[i + 1] = noise ? (x >>> 16) & 255 : 80;
        pixels.data[i + 2] = ((i / 4) % width) & 255;
        pixels.data[i + 3] = 255;
      }
      context.putImageData(pixels, 0, 0);
      return canvas.toDataURL(type, 0.95);
    }, [type, width, height, noise]);
    return Buffer.from(url.slice(url.indexOf(',') + 1), 'base64');
  } finally {
    await page.close();
  }
}

test('pictures in the list when asked for: a photo by the thumbnail its camera kept, a small picture whole, none for bytes that are no picture', async () => {
  const folder = scratch('quenlar-pictures-');
  process.env.QUENLAR_LOCK_DIR = folder;
  // A photo too large to be sent whole, with a thumbnail of its own (160 × 120) put in by exiftool.
  const photo = join(folder, 'photo.jpg');
  writeFileSync(photo, await pictureBytes('image/jpeg', 2400, 1600, true));
  assert.ok(statSync(photo).size > 2 * 2 ** 20, String(statSync(photo).size));
  writeFileSync(join(folder, 'thumbnail.jpg'), await pictureBytes('image/jpeg', 160, 120, false));
  run('exiftool', '-q', '-overwrite_original', `-ThumbnailImage<=${join(folder, 'thumbnail.jpg')}`, photo);
  writeFileSync(join(folder, 'screen.png'), await pictureBytes('image/png', 64, 48, true));
  writeFileSync(join(folder, 'damaged.jpg'), Buffer.concat([Buffer.from([0xff, 0xd8, 0xff, 0xe0]), Buffer.alloc(30000, 7)]));
  const image = join(folder, 'camera.img');
  run('mkfs.vfat', '-F', '32', '-n', 'CAMERA', '-C', image, '40000');
  const env = { ...process.env, MTOOLS_SKIP_CHECK: '1' };
  execFileSync('mmd', ['-i', image, '::/DCIM'], { env });
  for (const [from, to] of [['photo.jpg', 'IMG_0001.JPG'], ['screen.png', 'screen.png'], ['damaged.jpg', 'IMG_0002.JPG']]) {
    execFileSync('mcopy', ['-i', image, join(folder, from), `::/DCIM/${to}`], { env });
  }

  const host = await startHost([image], { cwd: folder });
  const { page, problems } = await openPage(browser, host.url, { width: 1280, height: 800 });
  try {
    await scanWith(page.locator('button.partition', { hasText: 'CAMERA' }), 'quick');
    await finished(page);
    await folderItem(page, 'DCIM').locator('.name').click();
    await gridRow(page, 'IMG_0001.JPG').waitFor();
    // None is read until asked for.
    assert.equal(await page.locator('.grid-row .thumb').count(), 0);
    await page.click('#show-pictures');
    const width = (name) => gridRow(page, name).locator('img.thumb').evaluate((img) => img.complete && img.naturalWidth);
    await page.waitForFunction(() => document.querySelectorAll('.grid-row:not([hidden]) .thumb.waiting').length === 0);
    await gridRow(page, 'IMG_0001.JPG').locator('img.thumb').waitFor();
    await page.waitForFunction(() => [...document.querySelectorAll('.grid-row:not([hidden]) img.thumb')].every((img) => img.complete));
    assert.equal(await width('IMG_0001.JPG'), 160);
    assert.equal(await width('screen.png'), 64);
    await gridRow(page, 'IMG_0002.JPG').locator('span.thumb.none').waitFor();
    await lookAt(page, 'wide-pictures', views);
    // Off again: the rows are as before.
    await page.click('#show-pictures');
    await page.waitForFunction(() => document.querySelectorAll('.grid-row:not([hidden]) .thumb').length === 0);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
    assert.equal((await host.stop()).code, 0, host.stderr());
  }
});

test('every view looked at above has no serious or critical accessibility violation', () => {
  assert.deepEqual(views, []);
});
