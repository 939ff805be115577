// Measures the UI host from a document's side; see host_bench.sh.
//   QUENLAR=build/quenlar node bench/host_bench.mjs VOLUME
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startHost, Client } from '../tests/ui/quenlar.mjs';

const volume = process.argv[2];
const folder = mkdtempSync(join(tmpdir(), 'quenlar-host-bench-'));
process.env.QUENLAR_LOCK_DIR = folder;
const host = await startHost([], { cwd: folder });
const client = await Client.open(host);

// Round trips, after a warm-up.
for (let i = 0; i < 1000; ++i) await client.call('GetWorkFlag');
const times = [];
for (let i = 0; i < 10000; ++i) {
  const start = process.hrtime.bigint();
  await client.call('GetWorkFlag');
  times.push(Number(process.hrtime.bigint() - start) / 1e6);
}
times.sort((a, b) => a - b);
const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))];

// The listing: scanned first (the normal scan only), then listed three times.
assert(await client.call('ScanDiskDelFile', volume) === 0);
await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd' && m.args[0] === 1), 600000);
await client.call('StopOperate', 2);
await client.until((n) => n.some((m) => m.notify === 'SetWorkEnd' && m.args[0] === 2), 600000);
const rates = [];
let rows = 0;
for (let run = 0; run < 3; ++run) {
  client.notifications.length = 0;
  const start = process.hrtime.bigint();
  await client.call('GetPathFiles', `run${run}`, 'flat');
  await client.until((n) => n.some((m) => m.notify === 'EndReceiePathFiles'), 600000);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  rows = client.named('InReceiePathFiles').reduce((sum, m) => sum + m.args[1].length, 0);
  rates.push({ seconds, rate: rows / seconds });
}
rates.sort((a, b) => a.rate - b.rate);
const median = rates[1];
console.log('| measure | figure | target |');
console.log('|---|---|---|');
console.log(`| GetWorkFlag round trip, median of 10,000 | ${at(0.5).toFixed(3)} ms | < 0.2 ms |`);
console.log(`| GetWorkFlag round trip, 99th percentile | ${at(0.99).toFixed(3)} ms | |`);
console.log(`| listing of ${rows.toLocaleString('en')} rows, median of 3 | ${median.seconds.toFixed(3)} s, ${Math.round(median.rate).toLocaleString('en')} rows/s | >= 200,000 rows/s |`);
client.close();
await host.stop();

function assert(condition) {
  if (!condition) throw new Error('the host refused the scan');
}
