// The script calls and notifications over the running host's WebSocket, as a
// document makes and receives them.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, readdirSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { join } from 'node:path';
import WebSocket from 'ws';
import { startHost, copyImage, Client, scratch } from './quenlar.mjs';

let host;
let client;
let image;

before(async () => {
  const folder = scratch('quenlar-protocol-');
  process.env.QUENLAR_LOCK_DIR = folder;
  image = copyImage('ntfs.img', folder);
  host = await startHost([image], { cwd: folder });
  client = await Client.open(host);
});

after(async () => {
  client?.close();
  const end = await host?.stop();
  assert.equal(end.code, 0, host.stderr());
});

const sha256 = (path) => createHash('sha256').update(readFileSync(path)).digest('hex');

test('the calls that need no scan answer as the bridge does', async () => {
  const answers = {
    GetWorkFlag: 0, GetFilesNumber: 0, DeepScanPartition: -1, ReleaseScan: 0, CleanScanInfo: 0,
    GetLastScanStatus: 0, FreshDiskInfo: 0,
  };
  for (const [name, value] of Object.entries(answers)) assert.equal(await client.call(name), value, name);
  assert.deepEqual(await client.call('GetScanProc'), [0, 0]);
  assert.deepEqual(await client.call('GetRecoverProc'), [0, 0, '']);
  assert.deepEqual(await client.call('GetSaveScanInfo'), [[''], 0, {}]);
  assert.equal(await client.call('GetScanFilePathData', 'anything'), 0);
  assert.equal(await client.call('StopOperate', 1), 0);  // no volume: nothing to stop
  assert.equal(await client.call('GetCurrentPath'), host.folder);
  assert.match(await client.call('GetAppVersion'), /^\d+\.\d+\.\d+$/);
  const desktop = await client.call('GetIndependentPath', 1);
  const documents = await client.call('GetIndependentPath', 2);
  assert.equal(typeof desktop, 'string');
  assert.notEqual(desktop, documents);
  assert.equal(await client.call('GetIndependentPath', 'x'), documents);
  assert.equal(await client.call('OpenFolderPath', '/no/such/folder'), 2);
  assert.ok(Number.isInteger(await client.call('OpenLogFilePath')));
  assert.ok(Array.isArray(await client.call('GetDiskAllTypeNameFun')));
  // The host holds the instance lock for this process: its documents find
  // themselves the first instance, once.
  // The host holds the instance lock: every document that asks (a reload,
  // a second window) is told no other instance runs.
  assert.equal(await client.call('CheckProgramRun'), 0);
  assert.equal(await client.call('CheckProgramRun'), 0);
  assert.equal(await client.call('CloseAwaitGifWindows'), false);
  assert.equal(await client.call('OpenAwaitGifWindows'), true);
  assert.equal(await client.call('CloseAwaitGifWindows'), true);

  // The image named on the command line is a volume of the list.
  const disks = await client.call('GetDiskPartition');
  const images = disks.find((disk) => disk[1] === 4294967294);
  assert.ok(images, JSON.stringify(disks));
  assert.equal(images[3], 'Image files');
  assert.equal(images[5].length, 1);
  const [mount, , , fs, total, , number, , , , , , , label] = images[5][0];
  assert.deepEqual([mount, fs, total, number, label], [image, 'NTFS', String(readFileSync(image).length), 1, 'QUENLAR']);
  for (const disk of disks) {
    assert.equal(disk.length, 6);
    for (const partition of disk[5] || []) assert.equal(partition.length, 14);
  }
});

test('a scan reaches the document in the order of its phases, and its folders whole', async () => {
  client.notifications.length = 0;
  assert.equal(await client.call('ScanDiskPartitionDelFile', 4294967294, 1), 0);
  const tree = await client.collectTree({ onBatch: (batch) => assert.ok(batch.length <= 50) });
  const order = [];
  for (const n of client.notifications) {
    if (n.notify === 'SetCurrentScan') continue;
    const name = n.notify === 'SetWorkEnd' ? `end${n.args[0]}` : n.notify;
    if (order.at(-1) !== name) order.push(name);
  }
  assert.deepEqual(order.slice(0, 2), ['end1', 'end2']);
  assert.equal(order.at(-1), 'AllPathSendFinishedToUi');
  assert.ok(order.every((name) => ['end1', 'end2', 'SendFileToUi', 'AllPathSendFinishedToUi'].includes(name)), order.join());
  for (const end of client.named('SetWorkEnd')) assert.deepEqual(end.args.slice(1), [0, 0]);
  assert.equal(await client.call('GetWorkFlag'), 0);
  assert.ok((await client.call('GetFilesNumber')) > 100);
  assert.equal(tree.get('Documents'), 3);
  assert.equal(tree.get('Documents\\Archive'), 1);
});

test('a folder listing comes in batches under its header; a filter and a recovery end with SetWorkEnd', async () => {
  client.notifications.length = 0;
  assert.equal(await client.call('GetPathFiles', 'tag-1', 'many'), 0);
  await client.until((n) => n.some((m) => m.notify === 'EndReceiePathFiles'));
  const [start, ...rest] = client.notifications;
  assert.equal(start.notify, 'StartReceiePathFiles');
  assert.deepEqual(start.args, [['tag-1', 'many\\']]);
  const batches = rest.filter((m) => m.notify === 'InReceiePathFiles');
  assert.deepEqual(batches.map((b) => b.args[1].length), [100, 81]);
  const row = batches[0].args[1][0];
  assert.equal(row.length, 11);
  assert.ok(['intact', 'likely', 'partial', 'overwritten', 'unknown'].includes(row[9]), row[9]);
  assert.equal(row[7], 'many\\');

  client.notifications.length = 0;
  assert.equal(await client.call('GetFilterFileArr', { Documents: 1, ScanName: 'mine' }), 0);
  await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd'));
  assert.deepEqual(client.notifications.map((m) => m.notify), ['StartFilterDataArr', 'SetWorkEnd']);
  assert.equal(client.notifications[0].args[1], 'mine');
  assert.deepEqual(client.notifications[1].args, [16, 0, 0]);

  // Recovery of the Documents folder into a new folder: the bytes are the manifest's.
  client.notifications.length = 0;
  const destination = join(scratch('quenlar-out-'), 'recovered');
  // A folder is written as a drive prefix, a backslash and its path.
  assert.equal(await client.call('RecoveryDelFile', ['E:\\Documents'], destination), 0);
  await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd'));
  assert.deepEqual(client.named('SetWorkEnd')[0].args, [4, 0, 0]);
  const manifest = readFileSync(new URL('../images/ntfs.manifest.tsv', import.meta.url), 'utf8')
    .split('\n').map((line) => line.split('\t'))
    .filter(([path, type, , , state]) => path?.startsWith('Documents/') && type === 'f' && state === 'existing');
  assert.ok(manifest.length >= 3);
  for (const [path, , size, digest] of manifest) {
    const written = join(destination, path);
    assert.ok(existsSync(written), path);
    assert.equal(readFileSync(written).length, Number(size), path);
    assert.equal(sha256(written), digest, path);
  }
  const [count, total] = await client.call('GetRecoverProc');
  assert.equal(count, total);
  // A destination on the volume being read is refused.
  client.notifications.length = 0;
  assert.equal(await client.call('RecoveryDelFile', [0], ''), 0);
  await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd'));
  assert.deepEqual(client.named('SetWorkEnd')[0].args, [4, 1, 0]);
  assert.equal(readdirSync(destination).length > 0, true);
});

test('messages that are no proper call get answers, and the connection goes on', async () => {
  const answer = (text, id) => client.send(text, id);
  const refusals = [
    ['garbage', null],
    ['{"id": 901}', 901],
    ['{"id": 902, "call": 7}', 902],
    ['{"id": 903, "call": "GetWorkFlag", "args": {"a": 1}}', 903],
    // Refused before it is read at all, so without its id.
    [`{"id": 904, "call": "X", "args": ${'['.repeat(5000)}${']'.repeat(5000)}}`, null],
  ];
  for (const [text, id] of refusals) {
    const reply = await answer(text, id);
    assert.equal(reply.handled, false, text.slice(0, 40));
    assert.equal(typeof reply.error, 'string');
  }
  // Unknown names, wrong argument counts and names in the wrong case are not handled.
  for (const [name, args] of [['NoSuchCall', []], ['GetWorkFlag', [1]], ['getworkflag', []], ['ScanDiskDelFile', []]]) {
    const reply = await client.raw(name, args);
    assert.deepEqual([reply.handled, reply.error], [false, 'not handled'], name);
  }
  // Wrong kinds of argument read as the bridge's conversions say.
  assert.equal(await client.call('StopOperate', 'not a number'), 0);
  assert.equal(await client.call('GetPathFiles', 5, null), 0);
  assert.equal(await client.call('GetWorkFlag'), 0);
});

test('a binary message and an oversized one end only their own connection', async () => {
  const other = await Client.open(host);
  const binary = await new Promise((resolve) => {
    // The answer, not a notification that may come meanwhile.
    const answer = (data) => {
      const message = JSON.parse(data);
      if (message.notify !== undefined) return;
      other.ws.off('message', answer);
      resolve(message);
    };
    other.ws.on('message', answer);
    other.ws.send(Buffer.from([1, 2, 3]), { binary: true });
  });
  assert.equal(binary.handled, false);
  const closed = new Promise((resolve) => other.ws.once('close', (code) => resolve(code)));
  other.ws.send(JSON.stringify({ id: 1, call: 'GetWorkFlag', args: ['x'.repeat(17 << 20)] }));
  // Closed as too big (1009), or cut off (1006) while the rest was still coming.
  assert.ok([1009, 1006].includes(await closed));
  assert.equal(await client.call('GetWorkFlag'), 0);
  // And a connection that is simply dropped leaves the host serving.
  const dropped = new WebSocket(`ws://127.0.0.1:${host.port}/s/${host.token}/ws`, { origin: host.origin });
  await new Promise((resolve) => dropped.once('open', resolve));
  dropped.terminate();
  assert.equal(await client.call('GetWorkFlag'), 0);
});
