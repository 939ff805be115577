// The Windows program's UI host under Wine: `quenlar.exe gui --no-browser`
// serves the documents and answers the document's calls, a scan of an
// image offered on its command line included. Skipped when there is no
// Windows build or no Wine (QUENLAR is then not the Wine wrapper).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { startHost, copyImage, Client, scratch } from './quenlar.mjs';

const enabled = process.env.QUENLAR_UNDER_WINE === '1';
let host;
let client;

before(async () => {
  if (!enabled) return;
  const folder = scratch('quenlar-windows-');
  process.env.QUENLAR_LOCK_DIR = 'Z:' + folder.replaceAll('/', '\\');
  const image = copyImage('ntfs.img', folder);
  host = await startHost(['Z:' + image.replaceAll('/', '\\')], { cwd: folder });
  client = await Client.open(host);
});

after(async () => {
  client?.close();
  await host?.stop();
});

test('the documents are served and a scan runs through the calls', { skip: !enabled && 'no Windows build under Wine' }, async () => {
  const page = await fetch(host.url);
  assert.equal(page.status, 200);
  assert.match(await page.text(), /<html/i);
  assert.equal(await client.call('GetWorkFlag'), 0);
  assert.equal(await client.call('FreshDiskInfo'), 0);
  const disks = await client.call('GetDiskPartition');
  const images = disks.find((disk) => disk[1] === 4294967294);
  assert.ok(images, JSON.stringify(disks));
  assert.equal(images[5][0][3], 'NTFS');
  assert.equal(await client.call('ScanDiskPartitionDelFile', 4294967294, 1), 0);
  const tree = await client.collectTree({ every: 50, ms: 120000 });
  assert.equal(tree.get('Documents'), 3);
  assert.equal(tree.get('Documents\\Archive'), 1);
});
