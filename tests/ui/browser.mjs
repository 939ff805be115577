// What the browser tests share: Debian's Chromium started headless, a page
// that keeps its console errors and policy violations, and the ways the tests
// read what a page shows.
import { closeSync, copyFileSync, openSync, readFileSync, truncateSync, writeSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { images } from './quenlar.mjs';

export const shots = process.env.QUENLAR_SCREENSHOTS || new URL('../../build/screenshots', import.meta.url).pathname;

export function launchBrowser() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
}

// A page whose console errors, uncaught exceptions and policy violations are kept.
export async function openPage(browser, url, viewport = { width: 1280, height: 900 }) {
  const page = await browser.newPage({ viewport });
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (e) => console.error(`CSP: ${e.violatedDirective} ${e.blockedURI}`));
  });
  await page.goto(url);
  return { page, problems };
}

// The scan's end as the page shows it, the tree drawn. On a time-out the
// error says what the page showed instead.
export async function finished(page, start = 'Scan finished', timeout = 120000) {
  try {
    await page.waitForFunction((text) => document.getElementById('scan-summary').textContent.startsWith(text), start, { timeout });
  } catch (error) {
    const shown = await page.evaluate(() => ({
      status: document.getElementById('status').textContent,
      summary: document.getElementById('scan-summary').textContent,
      phase: document.getElementById('scan-phase').textContent,
      banners: [...document.querySelectorAll('.banner:not([hidden])')].map((b) => b.textContent.trim()),
    })).catch(() => null);
    throw new Error(`${error.message}; the page showed ${JSON.stringify(shown)}`);
  }
  await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => resolve())));
}

// The counts the tree shows for the folders right under the root.
export async function topCounts(page) {
  return page.evaluate(() => {
    const counts = {};
    for (const item of document.querySelectorAll('#tree > [role=treeitem] > [role=group] > [role=treeitem]')) {
      counts[item.querySelector(':scope > .tree-row .name').textContent] =
        Number(item.querySelector(':scope > .tree-row .count').textContent.replace(/\D/g, ''));
    }
    return counts;
  });
}

// Starts a scan of the volume a partition button names: the button, then
// the kind of scan in the choice it opens ('deep' or 'quick').
export async function scanWith(partition, how = 'deep') {
  await partition.click();
  await partition.page().locator(`#choice-${how}`).click();
}

export const folderItem = (page, name) => page.locator('#tree [role=treeitem] > .tree-row', { has: page.locator('.name', { hasText: new RegExp(`^${name}$`) }) });
export const gridRow = (page, name) => page.locator('.grid-space .grid-row:not([hidden])', { has: page.locator('.name', { hasText: name }) });

// A copy of the NTFS test image grown to `bytes`, its boot sector's size made
// to match: the same files on a larger volume, whose deep scan lasts a while.
export function grownImage(folder, bytes) {
  const copy = join(folder, 'grown.img');
  copyFileSync(join(images, 'ntfs.img'), copy);
  truncateSync(copy, bytes);
  const size = Buffer.alloc(8);
  size.writeBigUInt64LE(BigInt(bytes / 512 - 1));
  const fd = openSync(copy, 'r+');
  writeSync(fd, size, 0, 8, 0x28);
  closeSync(fd);
  return copy;
}

// ---- The window as a whole ------------------------------------------------

const axeSource = readFileSync(new URL('./node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');

// The serious and critical accessibility violations axe-core finds in what
// the page shows now, one line each.
export async function accessibilityProblems(page) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axeSource);
  const { violations } = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
}

// Whether the element is drawn whole inside the window, the page itself
// not scrolled (it never is: only its panes scroll).
export async function inView(locator) {
  return locator.evaluate((element) => {
    const box = element.getBoundingClientRect();
    const page = document.scrollingElement;
    return box.width > 0 && box.height > 0 && box.top >= 0 && box.left >= 0
      && box.bottom <= window.innerHeight + 0.5 && box.right <= window.innerWidth + 0.5
      && page.scrollTop === 0 && page.scrollHeight <= page.clientHeight + 1;
  });
}

// A view of the page: screenshots in light and dark, each checked by axe-core.
export async function lookAt(page, name, problems) {
  for (const scheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme: scheme });
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(() => resolve()))));
    await page.screenshot({ path: join(shots, `${name}-${scheme}.png`) });
    for (const problem of await accessibilityProblems(page)) problems.push(`${name} (${scheme}): ${problem}`);
  }
  await page.emulateMedia({ colorScheme: 'light' });
}
