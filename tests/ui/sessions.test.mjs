// Two documents of one program, as two tabs or a reload make them, over the
// host's WebSocket: a document acts on the scan it shows or on nothing; two
// scan calls back to back start one scan; every end (a stop during the
// normal scan, a deep scan asked for again, a resume) reaches every document
// with the whole tree; a document that comes late finds the scan as it
// stands; a filter streams in small messages; saved scans are replaced only
// on purpose, and never resumed from a volume that changed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, mkdirSync, readdirSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { startHost, Client, quenlar, images, scratch } from './quenlar.mjs';

const TRIES = Number(process.env.QUENLAR_TRIES || 20);
const IMAGES = 4294967294;
const STALE = -2;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const mkvolume = new URL('../../bench/mkvolume.py', import.meta.url).pathname;

let folder;
let host;
let a;
let b;
// The volumes, as the host offers them: partitions 1, 2, 3, 4 of the image files.
const NTFS = 1;
const FAT = 2;
const SMALL_FAT = 3;
const SMALL_EXFAT = 4;
let ntfsImage;
let ntfsWhole;  // the tree and the number of results and files of its whole deep scan

// The tree and the results of the whole deep scan of `image`, by the command line.
function wholeScan(image) {
  const cwd = scratch('quenlar-whole-');
  const tree = new Map();
  const out = execFileSync(quenlar, ['tree', image, '--deep', '--json'], { cwd, maxBuffer: 1 << 28 }).toString();
  for (const line of out.split('\n').filter(Boolean)) {
    const { folder: path, count } = JSON.parse(line);
    tree.set(path, count);
  }
  const lines = execFileSync(quenlar, ['scan', image, '--deep', '--json'], { cwd, maxBuffer: 1 << 28 })
    .toString().split('\n').filter(Boolean);
  rmSync(cwd, { recursive: true, force: true });
  // Results (folders too), and files alone (what a filter lists).
  return { tree, results: lines.length, files: lines.filter((line) => !line.includes('"dir":1')).length };
}

before(async () => {
  folder = scratch('quenlar-sessions-');
  process.env.QUENLAR_LOCK_DIR = folder;
  // Volumes of many files written directly: a normal scan that lasts long
  // enough to be stopped inside, and an NTFS volume with records outside
  // its $MFT for the deep scan, large enough (and sparse) that its deep
  // scan is still going when a test pauses it.
  ntfsImage = join(folder, 'ntfs.img');
  execFileSync('python3', [mkvolume, 'ntfs', ntfsImage, '--files', '20000', '--stray', '2000', '--min-size', String(2 * 2 ** 30)]);
  const fatImage = join(folder, 'fat.img');
  execFileSync('python3', [mkvolume, 'fat32', fatImage, '--files', '150000', '--cluster', '1024', '--min-size', String(512 << 20)]);
  const smallFat = join(folder, 'fat32.img');
  copyFileSync(join(images, 'fat32.img'), smallFat);
  const smallExfat = join(folder, 'exfat.img');
  copyFileSync(join(images, 'exfat.img'), smallExfat);
  ntfsWhole = wholeScan(ntfsImage);
  host = await startHost([ntfsImage, fatImage, smallFat, smallExfat], { cwd: folder, grace: 60 });
  a = await Client.open(host);
  b = await Client.open(host);
  for (const client of [a, b]) {
    client.largest = 0;
    client.ws.on('message', (data) => { client.largest = Math.max(client.largest, data.length); });
  }
});

after(async () => {
  a?.close();
  b?.close();
  const end = await host?.stop();
  assert.equal(end.code, 0, host.stderr());
  rmSync(folder, { recursive: true, force: true });
});

async function idle(client, ms = 60000) {
  const end = Date.now() + ms;
  while ((await client.call('GetWorkFlag')) !== 0) {
    if (Date.now() > end) throw new Error('the work did not end');
    await sleep(10);
  }
}

const state = (client) => client.call('GetWorkState');

// Takes the folders of scan `scan` not taken yet into `tree`; false when the
// scan is no longer the current one.
async function take(client, scan, tree) {
  for (;;) {
    const batch = await client.call('GetScanFolders', scan);
    if (batch === STALE) return false;
    if (!Array.isArray(batch)) return true;
    assert.ok(batch.length <= 50);
    for (const [path, count] of batch) tree.set(path, count);
  }
}

// Waits for `test` of the notifications, taking the tree meanwhile as a
// document does; then takes what is left.
async function untilTaking(client, scan, tree, check, ms = 60000) {
  const end = Date.now() + ms;
  while (!check(client.notifications)) {
    if (Date.now() > end) throw new Error(`timed out; notifications: ${client.notifications.map((n) => n.notify).join(' ')}`);
    await take(client, scan, tree);
    await sleep(15);
  }
  await take(client, scan, tree);
}

const told = (name, test = () => true) => (notifications) => notifications.some((n) => n.notify === name && test(n.args));
const ended = (notifications) => notifications.some((n) => n.notify === 'AllPathSendFinishedToUi');

// Every row of a scan, streamed as the documents' filter streams them.
async function allRows(client, scan, tag = 'all') {
  client.notifications.length = 0;
  assert.equal(await client.call('GetScanFilterFiles', scan, tag, {}), 0);
  await client.until(told('EndReceiePathFiles', ([header]) => header[0] === tag), 120000);
  const rows = [];
  for (const n of client.named('InReceiePathFiles')) if (n.args[0][0] === tag) rows.push(...n.args[1]);
  await idle(client);
  return rows;
}

// The tree the rows make: each folder with the files at or below it. For
// volumes whose folders all stand in the root (the generated FAT32 one),
// every row with a folder is a file.
function treeOfRows(rows) {
  const tree = new Map();
  for (const row of rows) {
    const path = String(row[7]).replace(/\\$/, '');
    if (!path) continue;
    const parts = path.split('\\');
    for (let i = 1; i <= parts.length; i++) {
      const key = parts.slice(0, i).join('\\');
      tree.set(key, (tree.get(key) || 0) + 1);
    }
  }
  return tree;
}

// The tree of the scan's results as the command line's tree command makes
// it: each folder with the files at or below it, folders themselves not
// counted (rows do not say which results are folders: listings do).
async function treeOfScan(client, scan) {
  const rows = await allRows(client, scan);
  const files = new Set();
  for (const folder of new Set(rows.map((row) => String(row[7])))) {
    client.notifications.length = 0;
    assert.equal(await client.call('GetScanPathFiles', scan, 'folder', folder), 0);
    await client.until(told('EndReceiePathFiles'));
    for (const n of client.named('InReceiePathFiles')) for (const row of n.args[1]) files.add(row[5]);
  }
  return treeOfRows(rows.filter((row) => files.has(row[5])));
}

// Starts a scan of `partition` from `client`, its identity with it.
async function scan(client, partition) {
  client.notifications.length = 0;
  assert.equal(await client.call('ScanDiskPartitionDelFile', IMAGES, partition), 0);
  return (await state(client)).scan;
}

test('a selection, a listing, a preview or a tree of an earlier scan is refused, and nothing is written', async () => {
  await a.call('DiscardSavedScan');
  const first = await scan(a, SMALL_FAT);
  await untilTaking(a, first, new Map(), ended);
  const rows = await allRows(a, first);
  const picked = rows.slice(0, 8).map((row) => row[5]);
  assert.equal(picked.length, 8);
  // Another document scans another volume.
  const second = await scan(b, SMALL_EXFAT);
  assert.notEqual(second, first);
  await untilTaking(b, second, new Map(), ended);
  await a.until(told('SetCurrentScan', ([id]) => id === second));
  const out = mkdtempSync(join(folder, 'out-'));
  assert.equal(await a.call('RecoveryScanFiles', first, picked, out), STALE);
  assert.equal(await a.call('GetScanPathFiles', first, 't', ''), STALE);
  assert.equal(await a.call('GetScanFilterFiles', first, 't', {}), STALE);
  assert.equal(await a.call('GetFilePreview', first, picked[0], 100), STALE);
  assert.equal(await a.call('GetScanFolders', first), STALE);
  assert.equal(await a.call('RecoveryScanFiles', 'not a scan', picked, out), STALE);
  await sleep(200);
  assert.equal(await a.call('GetWorkFlag'), 0);
  assert.deepEqual(readdirSync(out), []);
  // The current scan, named, is acted on.
  const file = (await allRows(a, second)).find((row) => /\.txt$/.test(row[0]) && Number(row[4]) > 0);
  a.notifications.length = 0;
  assert.equal(await a.call('RecoveryScanFiles', second, [file[5]], out), 0);
  await a.until(told('SetWorkEnd', ([operation]) => operation === 4));
  assert.deepEqual(a.named('SetWorkEnd').at(-1).args, [4, 0, 0]);
  assert.equal((await a.call('GetRecoverReport'))[1], 1);

  // A program started again gives other identities, even to the same volume
  // scanned the same way: a page of the earlier run cannot act on this one.
  const again = await startHost([join(folder, 'fat32.img')], { cwd: mkdtempSync(join(folder, 'again-')), grace: 60 });
  process.env.QUENLAR_LOCK_DIR = folder;
  try {
    const c = await Client.open(again);
    c.notifications.length = 0;
    assert.equal(await c.call('ScanDiskPartitionDelFile', IMAGES, 1), 0);
    const fresh = (await c.call('GetWorkState')).scan;
    await c.until(ended);
    assert.notEqual(fresh, first);
    assert.equal(await c.call('RecoveryScanFiles', first, picked, out), STALE);
    c.close();
  } finally {
    assert.equal((await again.stop()).code, 0, again.stderr());
  }
});

test('two scan calls back to back start one scan', async () => {
  await idle(a);
  await a.call('DiscardSavedScan');
  let single;
  for (let t = 0; t < TRIES; t++) {
    a.notifications.length = 0;
    b.notifications.length = 0;
    const answers = await Promise.all([a.call('ScanDiskPartitionDelFile', IMAGES, NTFS), b.call('ScanDiskPartitionDelFile', IMAGES, NTFS)]);
    assert.deepEqual(answers.slice().sort(), [0, 1], `try ${t}: ${answers}`);
    const id = (await state(a)).scan;
    const tree = new Map();
    await untilTaking(a, id, tree, ended);
    await idle(a);
    const files = await a.call('GetFilesNumber');
    single ??= files;
    assert.equal(files, ntfsWhole.results, `try ${t}`);
    assert.deepEqual(tree, ntfsWhole.tree, `try ${t}`);
  }
});

test('a stop during the normal scan ends with SetWorkEnd and the whole tree of what was found', async () => {
  await idle(a);
  // How long the normal scan takes, so that the stops land inside it.
  let lasts = 0;
  for (let run = 0; run < 2; run++) {
    const started = Date.now();
    const first = await scan(a, FAT);
    await untilTaking(a, first, new Map(), told('SetWorkEnd', ([operation]) => operation === 1));
    lasts = Date.now() - started;
    await untilTaking(a, first, new Map(), ended);
    await idle(a);
  }
  let inside = 0;
  for (let t = 0; t < TRIES; t++) {
    const stop = t % 2 === 0 ? 1 : 2;
    const id = await scan(a, FAT);
    // Every fourth at once, before the volume is open; the others spread
    // over the normal scan.
    if (t % 4 !== 0) await sleep(Math.floor((lasts * 0.6 * t) / TRIES));
    assert.equal(await a.call('StopOperate', stop), stop);
    const tree = new Map();
    await untilTaking(a, id, tree, ended, 30000);
    const ends = a.named('SetWorkEnd');
    await idle(a);
    const work = await state(a);
    assert.equal(work.scan, id);
    assert.equal(work.treeComplete, true);
    // A scan that ended before the stop came is told as it ended.
    const stopped = ends.some((n) => n.args[2] === stop);
    assert.ok(ends.length >= 1 && (stopped || ends.at(-1).args[0] === 2), `try ${t}: ${JSON.stringify(ends)}`);
    if (stopped) assert.deepEqual(work.ended.slice(1), [0, stop]);
    inside += ends.length === 1 && ends[0].args[0] === 1 && stopped ? 1 : 0;
    assert.deepEqual(tree, treeOfRows(await allRows(a, id)), `try ${t}`);
  }
  // Most stops came during the normal scan (its end, with the stop, the only one told).
  assert.ok(inside >= TRIES / 2, `${inside} of ${TRIES} stops in the normal scan (it lasts ${lasts} ms)`);
});

test('"Search deeper" after a stop ends with SetWorkEnd, adds nothing twice and gives the whole tree', async () => {
  await idle(a);
  for (let t = 0; t < TRIES; t++) {
    const id = await scan(a, NTFS);
    const tree = new Map();
    // Stopped in the deep scan, or while the normal scan still runs.
    if (t % 2 === 0) await untilTaking(a, id, tree, told('SetWorkEnd', ([operation]) => operation === 1));
    else await sleep((t * 23) % 100);
    await a.call('StopOperate', 2);
    await untilTaking(a, id, tree, ended);
    await idle(a);
    const counts = [];
    for (const round of [1, 2]) {
      a.notifications.length = 0;
      assert.equal(await a.call('DeepScanPartition'), 0);
      await untilTaking(a, id, tree, ended);
      assert.ok(a.named('SetWorkEnd').some((n) => n.args[0] === 2), `try ${t}, round ${round}`);
      await idle(a);
      counts.push(await a.call('GetFilesNumber'));
    }
    // Asked again, the deep scan adds nothing it found before.
    assert.equal(counts[1], counts[0], `try ${t}`);
    // Stopped in the deep part, the search deeper finds the rest; stopped in
    // the normal scan, what that did not read is not there to find (the
    // deep scan looks outside the $MFT), and the tree is what was found.
    if (t % 2 === 0) {
      assert.equal(counts[0], ntfsWhole.results, `try ${t}`);
      assert.deepEqual(tree, ntfsWhole.tree, `try ${t}`);
    } else {
      assert.ok(counts[0] <= ntfsWhole.results, `try ${t}`);
      assert.deepEqual(tree, await treeOfScan(a, id), `try ${t}`);
    }
    assert.equal((await state(a)).scan, id);
  }
});

test('a resumed scan ends with SetWorkEnd and the whole tree', async () => {
  await idle(a);
  await a.call('DiscardSavedScan');
  for (let t = 0; t < TRIES; t++) {
    const id = await scan(a, NTFS);
    await untilTaking(a, id, new Map(), told('SetWorkEnd', ([operation]) => operation === 1));
    await sleep(t % 5);
    await a.call('StopOperate', 1);
    await untilTaking(a, id, new Map(), ended);
    await idle(a);
    const paused = await state(a);
    if (!paused.saved) continue;  // the deep scan had ended before the pause
    a.notifications.length = 0;
    assert.equal(await a.call('ResumeScan'), 0);
    const resumed = (await state(a)).scan;
    assert.notEqual(resumed, id);
    const tree = new Map();
    await untilTaking(a, resumed, tree, ended);
    assert.ok(a.named('SetWorkEnd').some((n) => n.args[0] === 2 && n.args[1] === 0), `try ${t}`);
    await idle(a);
    assert.equal(await a.call('GetFilesNumber'), ntfsWhole.results, `try ${t}`);
    assert.deepEqual(tree, ntfsWhole.tree, `try ${t}`);
    assert.equal(await a.call('GetLastScanStatus'), 0, 'a resumed scan that ends leaves nothing saved');
  }
});

test('every document gets the whole tree, one that comes after the end too, and listings go to the asker', async () => {
  await idle(a);
  await a.call('DiscardSavedScan');
  b.notifications.length = 0;
  const id = await scan(a, NTFS);
  const trees = [new Map(), new Map()];
  await Promise.all([untilTaking(a, id, trees[0], ended), untilTaking(b, id, trees[1], ended)]);
  assert.deepEqual(trees[0], ntfsWhole.tree);
  assert.deepEqual(trees[1], ntfsWhole.tree);
  const late = await Client.open(host);
  try {
    const work = await late.call('GetWorkState');
    assert.equal(work.scan, id);
    assert.equal(work.treeComplete, true);
    const tree = new Map();
    assert.equal(await take(late, id, tree), true);
    assert.deepEqual(tree, ntfsWhole.tree);
    // The same tag in two documents: each gets its own folder's files.
    a.notifications.length = 0;
    late.notifications.length = 0;
    assert.equal(await a.call('GetScanPathFiles', id, 't1', 'd000'), 0);
    assert.equal(await late.call('GetScanPathFiles', id, 't1', 'd001'), 0);
    await a.until(told('EndReceiePathFiles'));
    await late.until(told('EndReceiePathFiles'));
    const folders = (client) => new Set(client.named('InReceiePathFiles').flatMap((n) => n.args[1].map((row) => row[7])));
    assert.deepEqual([...folders(a)], ['d000\\']);
    assert.deepEqual([...folders(late)], ['d001\\']);
  } finally {
    late.close();
  }
});

test('a filter streams its rows to the asker in messages of a few hundred KiB', async () => {
  const id = (await state(a)).scan;
  a.largest = 0;
  b.notifications.length = 0;
  const rows = await allRows(a, id);
  assert.equal(rows.length, ntfsWhole.files);
  assert.ok(a.largest < 1 << 20, `the largest message was ${a.largest} bytes`);
  assert.equal(b.named('InReceiePathFiles').length, 0);
  // The table's filter answers in parts of the same scan name, in order.
  a.notifications.length = 0;
  assert.equal(await a.call('GetFilterFileArr', { ScanName: 'old' }), 0);
  await a.until(told('SetWorkEnd', ([operation]) => operation === 16));
  const parts = a.named('StartFilterDataArr');
  assert.ok(parts.length > 1);
  assert.equal(parts.reduce((sum, n) => sum + n.args[0].length, 0), ntfsWhole.files);
  assert.ok(parts.every((n) => n.args[1] === 'old'));
});

test('saved scans are replaced only on purpose', async () => {
  await idle(a);
  await a.call('DiscardSavedScan');
  // A deep scan paused: saved.
  let id = await scan(a, NTFS);
  await untilTaking(a, id, new Map(), told('SetWorkEnd', ([operation]) => operation === 1));
  await a.call('StopOperate', 1);
  await untilTaking(a, id, new Map(), ended);
  await idle(a);
  const saved = await state(a);
  assert.equal(saved.saved, true);
  assert.equal(await a.call('GetLastScanStatus'), 1);
  const savedName = (await a.call('GetSaveScanInfo'))[0][0];
  assert.equal(savedName, ntfsImage, 'an image is saved by its path');

  // Another volume's scan paused in its normal scan, at once: nothing of it
  // is kept, and the saved scan stays.
  id = await scan(a, FAT);
  await a.call('StopOperate', 1);
  await untilTaking(a, id, new Map(), ended);
  await idle(a);
  let work = await state(a);
  assert.equal(work.saved, false);
  assert.match(work.note, /first step/);
  assert.equal((await a.call('GetSaveScanInfo'))[0][0], ntfsImage);

  // Another volume's deep scan paused: not saved over it, and said so.
  id = await scan(a, SMALL_FAT);
  await untilTaking(a, id, new Map(), ended);
  await idle(a);
  assert.equal(await a.call('StopOperate', 1), 1);  // idle: the save worker
  await a.until(told('SetWorkEnd', ([operation]) => operation === 32));
  assert.deepEqual(a.named('SetWorkEnd').at(-1).args, [32, 1, 1]);
  work = await state(a);
  assert.equal(work.saved, false);
  assert.match(work.note, /not saved/);
  // A finished scan of another volume leaves it too.
  assert.equal(await a.call('GetLastScanStatus'), 1);
  assert.equal((await a.call('GetSaveScanInfo'))[0][0], ntfsImage);

  // Forgotten first, the next pause is kept.
  assert.equal(await a.call('DiscardSavedScan'), 0);
  assert.equal(await a.call('StopOperate', 1), 1);
  await a.until((n) => n.filter((x) => x.notify === 'SetWorkEnd' && x.args[0] === 32).length === 2);
  assert.deepEqual(a.named('SetWorkEnd').at(-1).args, [32, 0, 1]);
  assert.equal((await a.call('GetSaveScanInfo'))[0][0], join(folder, 'fat32.img'));
});

test('a saved scan is not resumed from a volume that changed, and stays kept', async () => {
  await a.call('DiscardSavedScan');
  // The small FAT32 image, scanned to its end and kept.
  const id = await scan(a, SMALL_FAT);
  await untilTaking(a, id, new Map(), ended);
  await idle(a);
  assert.equal(await a.call('StopOperate', 1), 1);
  await a.until(told('SetWorkEnd', ([operation]) => operation === 32));
  assert.equal(await a.call('GetLastScanStatus'), 1);
  // Another image where it was.
  const path = join(folder, 'fat32.img');
  copyFileSync(join(images, 'exfat.img'), path);
  a.notifications.length = 0;
  assert.equal(await a.call('ResumeScan'), 0);
  await a.until(told('SetWorkEnd', ([operation, status]) => operation === 2 && status === 1));
  await idle(a);
  const work = await state(a);
  assert.match(work.note, /no longer holds the volume.*file system \(FAT32 then, exFAT now\)/);
  assert.equal(work.files, 0);
  assert.equal(await a.call('GetLastScanStatus'), 1);
  copyFileSync(join(images, 'fat32.img'), path);
});
