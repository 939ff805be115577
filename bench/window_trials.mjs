// Trials of what two documents and an impatient user do to the window, each
// repeated, counting how often the program keeps its word: one scan per
// double click, an end told after every stop, the whole tree after a stop,
// a deep scan again that adds nothing twice, saved scans kept, every folder
// reaching every document, the largest message a filter sends, and a stale
// selection refused. It drives `quenlar gui --no-browser` over its
// WebSocket as the documents do, with the table's calls (and the documents'
// calls where the program has them), so an older build can be measured too.
//   node bench/window_trials.mjs QUENLAR NTFS_IMAGE FAT32_IMAGE SMALL_IMAGE [TRIES]
// NTFS_IMAGE: an NTFS volume with stray records (bench/mkvolume.py ntfs
// --stray), FAT32_IMAGE a FAT32 one whose scan takes a second or more,
// SMALL_IMAGE any small volume (a test image).
import { execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [program, ntfsImage, fatImage, smallImage, triesText] = process.argv.slice(2);
if (!smallImage) {
  console.error('usage: node bench/window_trials.mjs QUENLAR NTFS_IMAGE FAT32_IMAGE SMALL_IMAGE [TRIES]');
  process.exit(2);
}
process.env.QUENLAR = program;
const { startHost, Client } = await import('../tests/ui/quenlar.mjs');
const tries = Number(triesText) || 10;
const IMAGES = 4294967294;
const NTFS = 1;
const FAT = 2;
const SMALL = 3;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const folder = mkdtempSync(join(tmpdir(), 'quenlar-trials-'));
process.env.QUENLAR_LOCK_DIR = folder;
const host = await startHost([ntfsImage, fatImage, smallImage], { cwd: folder, grace: 60 });
const rows = [];
const say = (what, before, value) => { rows.push([what, value]); console.log(`${what}: ${value}`); };

// Whether the program has the documents' call `name` (with these arguments).
async function has(client, name, args) {
  const answer = await client.raw(name, args);
  return answer.handled;
}

async function idle(client, ms = 120000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if ((await client.call('GetWorkFlag')) === 0) return true;
    await sleep(20);
  }
  return false;
}

// Pulls the tree as a polling document does until `ms` pass with nothing new
// after the work ended, or AllPathSendFinishedToUi came and the mailbox is empty.
async function pullTree(client, tree, { ms = 3000 } = {}) {
  let quiet = Date.now();
  for (;;) {
    const batch = await client.call('GetScanFilePathData', 0);
    if (Array.isArray(batch)) {
      for (const [path, count] of batch) tree.set(path, count);
      quiet = Date.now();
      continue;
    }
    const finished = client.named('AllPathSendFinishedToUi').length > 0;
    if (finished && Date.now() - quiet > 200) return;
    if (Date.now() - quiet > ms) return;
    await sleep(20);
  }
}

// Every result's folder, from a filter of everything (its rows may come in
// several notifications).
async function expectedTree(client) {
  client.notifications.length = 0;
  const answer = await client.call('GetFilterFileArr', { ScanName: 'all' });
  if (answer !== 0) return null;
  await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd' && m.args[0] === 16), 120000);
  const tree = new Map();
  for (const n of client.named('StartFilterDataArr')) {
    for (const row of n.args[0]) {
      const path = String(row[7]);
      if (!path) continue;
      const parts = path.replace(/\\$/, '').split('\\');
      for (let i = 1; i <= parts.length; i++) {
        const key = parts.slice(0, i).join('\\');
        tree.set(key, (tree.get(key) || 0) + 1);
      }
    }
  }
  return tree;
}

// Waits for `test` of the notifications while taking the folder batches, as
// a document does.
async function untilPulling(client, test, ms = 60000, tree = new Map()) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (test(client.notifications)) return;
    const batch = await client.call('GetScanFilePathData', 0);
    if (Array.isArray(batch)) for (const [path, count] of batch) tree.set(path, count);
    else await sleep(20);
  }
  throw new Error(`timed out; notifications: ${client.notifications.map((n) => n.notify).join(' ')}`);
}

// The tree of the whole deep scan of `image`, as the command line gives it.
function wholeTree(image) {
  const cwd = mkdtempSync(join(tmpdir(), 'quenlar-tree-'));
  const out = execFileSync(program, ['tree', image, '--deep', '--json'], { cwd, maxBuffer: 1 << 30 }).toString();
  rmSync(cwd, { recursive: true, force: true });
  const tree = new Map();
  for (const line of out.split('\n')) if (line) { const { folder, count } = JSON.parse(line); tree.set(folder, count); }
  return tree;
}

function sameTree(got, want) {
  if (!want) return false;
  for (const [key, count] of want) if (got.get(key) !== count) return false;
  return true;
}

const a = await Client.open(host);
const b = await Client.open(host);
// The largest message each document received.
for (const client of [a, b]) {
  client.largest = 0;
  client.ws.on('message', (data) => { client.largest = Math.max(client.largest, data.length); });
}
const documentCalls = await has(a, 'GetWorkState', []);
let wholeCount = 0;  // the results of one whole scan of the NTFS volume
console.log(`program: ${program}; documents' calls: ${documentCalls ? 'yes' : 'no'}; ${tries} tries each`);

// 1. A double click: two scan calls back to back.
{
  let twoStarted = 0;
  let doubled = 0;
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, NTFS);
  await pullTree(a, new Map(), { ms: 5000 });
  await idle(a);
  const once = await a.call('GetFilesNumber');
  wholeCount = once;
  for (let t = 0; t < tries; t++) {
    a.notifications.length = 0;
    const answers = await Promise.all([a.call('ScanDiskPartitionDelFile', IMAGES, NTFS), b.call('ScanDiskPartitionDelFile', IMAGES, NTFS)]);
    if (answers[0] === 0 && answers[1] === 0) twoStarted++;
    await Promise.all([pullTree(a, new Map(), { ms: 2000 }), pullTree(b, new Map(), { ms: 2000 })]);
    await idle(a);
    if ((await a.call('GetFilesNumber')) !== once) doubled++;
  }
  say('two scan calls back to back: both answered 0', '', `${twoStarted} of ${tries}`);
  say(`results other than one scan's ${once}`, '', `${doubled} of ${tries}`);
}

// 2. A stop during the normal scan, keeping (1) or not (2).
{
  let noEnd = 0;
  let noFinish = 0;
  let partialTree = 0;
  const n = tries * 2;
  for (let t = 0; t < n; t++) {
    a.notifications.length = 0;
    await a.call('DiscardSavedScan');
    if ((await a.call('ScanDiskPartitionDelFile', IMAGES, FAT)) !== 0) { await idle(a); continue; }
    await sleep((t * 97) % 600);
    await a.call('StopOperate', t % 2 === 0 ? 1 : 2);
    await idle(a, 30000);
    try {
      await a.until((m) => m.some((x) => x.notify === 'SetWorkEnd'), 5000);
    } catch { noEnd++; }
    const tree = new Map();
    await pullTree(a, tree);
    if (!a.named('AllPathSendFinishedToUi').length) noFinish++;
    await idle(a);
    if (!sameTree(tree, await expectedTree(a))) partialTree++;
  }
  say('a stop during the normal scan: no SetWorkEnd', '', `${noEnd} of ${n}`);
  say('a stop during the normal scan: no AllPathSendFinishedToUi', '', `${noFinish} of ${n}`);
  say('a stop during the normal scan: tree short of what was found', '', `${partialTree} of ${n}`);
}

// 3. "Search deeper" after a stop, twice.
{
  let noEnd = 0;
  let partialTree = 0;
  const counts = [];
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, NTFS);
  // The document's tree, kept from the scan's start on, as a page keeps it.
  const tree = new Map();
  await untilPulling(a, (m) => m.some((x) => x.notify === 'SetWorkEnd' && x.args[0] === 1), 60000, tree);
  await a.call('StopOperate', 2);
  await idle(a);
  await pullTree(a, tree);
  counts.push(await a.call('GetFilesNumber'));
  const whole = wholeTree(ntfsImage).get('d000') !== undefined ? wholeCount : -1;
  for (let t = 0; t < 2; t++) {
    a.notifications.length = 0;
    const answer = await a.call('DeepScanPartition');
    await sleep(200);
    await idle(a);
    try {
      await a.until((m) => m.some((x) => x.notify === 'SetWorkEnd' && x.args[0] === 2), 5000);
    } catch { noEnd++; }
    await pullTree(a, tree);
    const files = await a.call('GetFilesNumber');
    if (files === whole && !sameTree(tree, wholeTree(ntfsImage))) partialTree++;
    counts.push(`${files}${answer === 0 ? '' : ` (answered ${answer})`}`);
  }
  say('"Search deeper" after a stop: no SetWorkEnd', '', `${noEnd} of 2`);
  say('"Search deeper" after a stop: tree short of the whole scan\'s (when all was found)', '', `${partialTree} of 2`);
  say('files after the stop, after a deep scan, after another', '', counts.join(' → '));
}

// 4. A pause during the normal scan, with a scan saved before.
{
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, NTFS);
  await untilPulling(a, (m) => m.some((x) => x.notify === 'SetWorkEnd' && x.args[0] === 1));
  await a.call('StopOperate', 1);
  await idle(a);
  await sleep(300);
  const savedBefore = await a.call('GetLastScanStatus');
  await a.call('ScanDiskPartitionDelFile', IMAGES, FAT);
  await sleep(100);
  await a.call('StopOperate', 1);
  await idle(a);
  await sleep(300);
  say('a saved scan, then a pause during the normal scan of another volume: saved scan kept', '',
    `${savedBefore === 1 && (await a.call('GetLastScanStatus')) === 1 ? 'yes' : 'no'}`);
  // A finished scan of another volume.
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, SMALL);
  await pullTree(a, new Map(), { ms: 3000 });
  await idle(a);
  say('a finished scan of another volume: saved scan kept', '', (await a.call('GetLastScanStatus')) === 1 ? 'yes' : 'no');
}

// 5. Two documents while one scan runs: each pulls the tree.
{
  await pullTree(a, new Map(), { ms: 3000 });
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  b.notifications.length = 0;
  const trees = [new Map(), new Map()];
  await a.call('ScanDiskPartitionDelFile', IMAGES, FAT);
  await Promise.all([pullTree(a, trees[0], { ms: 5000 }), pullTree(b, trees[1], { ms: 5000 })]);
  await idle(a);
  const want = await expectedTree(a);
  const folders = want ? want.size : 0;
  say('two documents during one scan: folders each received', '', `${trees[0].size} and ${trees[1].size} of ${folders}`);
}

// 6. The largest message of a filter of every result of the NTFS volume.
{
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, NTFS);
  await pullTree(a, new Map(), { ms: 5000 });
  await idle(a);
  const files = await a.call('GetFilesNumber');
  a.largest = 0;
  if (documentCalls) {
    const scan = (await a.call('GetWorkState')).scan;
    a.notifications.length = 0;
    await a.call('GetScanFilterFiles', scan, 'x', {});
    await a.until((m) => m.some((x) => x.notify === 'EndReceiePathFiles'), 120000);
  } else {
    await expectedTree(a);
  }
  say(`the largest message of a filter of all ${files} results (bytes)`, '', a.largest);
}

// 7. A selection made in one document, recovered after another scanned another volume.
{
  await a.call('DiscardSavedScan');
  a.notifications.length = 0;
  await a.call('ScanDiskPartitionDelFile', IMAGES, SMALL);
  await pullTree(a, new Map(), { ms: 3000 });
  await idle(a);
  const scan = documentCalls ? (await a.call('GetWorkState')).scan : '';
  b.notifications.length = 0;
  await b.call('ScanDiskPartitionDelFile', IMAGES, FAT);
  await pullTree(b, new Map(), { ms: 3000 });
  await idle(b);
  const out = join(folder, 'out');
  mkdirSync(out, { recursive: true });
  a.notifications.length = 0;
  const answer = documentCalls ? await a.call('RecoveryScanFiles', scan, [1, 2, 3, 4, 5, 6, 7, 8], out)
    : await a.call('RecoveryDelFile', [1, 2, 3, 4, 5, 6, 7, 8], out);
  if (answer === 0) await a.until((m) => m.some((x) => x.notify === 'SetWorkEnd' && x.args[0] === 4), 60000);
  const written = readdirSync(out, { recursive: true, withFileTypes: true }).filter((e) => e.isFile()).length;
  say('a stale selection of 8 files: files written from the other volume', '', `${written}${answer === 0 ? '' : ` (refused: ${answer})`}`);
}

a.close();
b.close();
await host.stop();
rmSync(folder, { recursive: true, force: true });
