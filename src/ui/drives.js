// The drive list: disks and their partitions, image files, a folder of a
// mounted drive, and the saved scan to resume.
import { disk as diskAnswer, partition as partitionAnswer, partitionSearch, savedScanName } from './answers.js';
import { formatSize } from './format.js';
import { call } from './native.js';
import { $, IMAGE_FILES, OTHER_VOLUMES, SCANNABLE, element, session } from './page.js';
import { startScan } from './app.js';

// ---- Drives -------------------------------------------------------------

function diskTitle(number, model, size, removable) {
  const name = number === OTHER_VOLUMES ? 'Other volumes' : number === IMAGE_FILES ? 'Image files'
    : String(model || '').replace(/^\(null\)$/i, '').trim() || `Disk ${number}`;
  const parts = [name];
  if (number !== OTHER_VOLUMES && number !== IMAGE_FILES && Number(size) > 0) parts.push(formatSize(size));
  return parts.join(' · ');
}

function partitionButton(disk, p, at) {
  const { mount, fileSystem: fs, total, free, number: partitionNumber, systemMark, label } = partitionAnswer(p);
  const partition = disk === OTHER_VOLUMES || disk === IMAGE_FILES ? at + 1 : partitionNumber;
  const button = element('button', undefined, 'partition');
  button.type = 'button';
  const title = label || (disk === IMAGE_FILES ? mount.slice(mount.lastIndexOf('/') + 1) : mount) || `Partition ${partition}`;
  button.append(element('span', title, 'label'));
  const size = Number(total) > 0 ? formatSize(total) : '';
  const freeText = Number(free) > 0 ? `${formatSize(free)} free` : '';
  button.append(element('span', [fs || 'no file system', size, freeText].filter(Boolean).join(' · '), 'details'));
  if (mount && mount !== title) button.append(element('span', mount, 'details path'));
  if (systemMark) button.append(element('span', 'the running system', 'mark'));
  const scannable = SCANNABLE.has(fs);
  button.disabled = session.closed || !scannable;
  if (!scannable) button.title = 'Quenlar reads NTFS, FAT32 and exFAT; this partition holds none of them.';
  button.addEventListener('click', () => startScan(title, () => call('ScanDiskPartitionDelFile', disk, partition), fs));
  return button;
}

// ---- Volumes no partition table names ----------------------------------

// The last search of each disk (or image file of a whole disk), by
// "disk:partition", so that the list drawn again keeps what it found.
const searches = new Map();
let searchPoll = null;

function foundButton(disk, partition, v) {
  const button = element('button', undefined, 'partition found');
  button.type = 'button';
  const title = v.label || `${v.fileSystem} volume at sector ${v.start.toLocaleString()}`;
  button.append(element('span', title, 'label'));
  button.append(element('span', [v.fileSystem, formatSize(v.sectors * 512), `starts at sector ${v.start.toLocaleString()}`]
    .join(' · '), 'details'));
  const notes = [v.inTable ? 'named by the partition table' : 'found: not in the partition table'];
  if (v.fromBackup) notes.push('its first sector is gone; its backup copy is used');
  if (v.overlaps) notes.push('shares space with another volume found: one of them is older');
  button.append(element('span', notes.join(' · '), 'mark'));
  button.disabled = session.closed;
  button.addEventListener('click', () => startScan(title, () => call('ScanFoundVolume', disk, partition, v.start), v.fileSystem));
  return button;
}

// What the search of one disk says and found, under that disk's entry.
function drawSearch(holder, disk, partition, hideNamed) {
  const state = searches.get(`${disk}:${partition}`);
  holder.replaceChildren();
  if (!state) return;
  if (state.running) {
    const share = state.total > 0 ? Math.min(99, Math.floor((100 * state.done) / state.total)) : 0;
    holder.append(element('p', `Looking for volumes${state.whole ? ' at every sector' : ' where partitions begin'}: ${share}%`, 'hint'));
    const stop = element('button', 'Stop looking', 'secondary hunt-stop');
    stop.type = 'button';
    stop.disabled = session.closed;
    stop.addEventListener('click', () => call('StopPartitionSearch'));
    holder.append(stop);
    return;
  }
  if (state.total > 0 && state.done < state.total) {
    holder.append(element('p', `The search was stopped at ${Math.floor((100 * state.done) / state.total)}%: what it found so far is below.`, 'hint'));
  }
  const shown = state.found.filter((v) => !(hideNamed && v.inTable));
  if (shown.length === 0) {
    holder.append(element('p', state.whole ? 'No other NTFS, FAT32 or exFAT volume was found on it.'
      : 'No other volume was found where partitions begin.', 'hint'));
  } else {
    const found = element('ul', undefined, 'partitions');
    for (const v of shown) {
      const li = element('li');
      li.append(foundButton(disk, partition, v));
      found.append(li);
    }
    holder.append(found);
  }
  if (!state.whole) {
    const deeper = element('button', 'Look at every sector (reads the whole disk)', 'secondary hunt-whole');
    deeper.type = 'button';
    deeper.disabled = session.closed;
    deeper.addEventListener('click', () => searchDisk(holder, disk, partition, hideNamed, true));
    holder.append(deeper);
  }
}

async function searchDisk(holder, disk, partition, hideNamed, whole) {
  const answer = await call('SearchDiskPartitions', disk, partition, whole ? 1 : 0);
  if (answer === 1) {
    holder.replaceChildren(element('p', 'Another search for volumes is under way; try again when it has ended.', 'hint'));
    return;
  }
  if (answer !== 0) {
    holder.replaceChildren(element('p', 'That disk cannot be read.', 'hint'));
    return;
  }
  const key = `${disk}:${partition}`;
  searches.set(key, { running: true, whole, done: 0, total: 0, found: [] });
  drawSearch(holder, disk, partition, hideNamed);
  clearInterval(searchPoll);
  searchPoll = setInterval(async () => {
    let state;
    try {
      state = partitionSearch(await call('GetPartitionSearch'));
    } catch {
      clearInterval(searchPoll);  // the program has ended
      return;
    }
    if (!state || state.disk !== disk || state.partition !== partition) return;
    searches.set(key, state);
    if (!state.running) clearInterval(searchPoll);
    if (holder.isConnected) drawSearch(holder, disk, partition, hideNamed);
  }, 300);
}

function searchButton(text, holder, disk, partition, hideNamed) {
  const button = element('button', text, 'secondary hunt');
  button.type = 'button';
  button.disabled = session.closed;
  button.addEventListener('click', () => searchDisk(holder, disk, partition, hideNamed, false));
  return button;
}

export async function showDisks() {
  await call('FreshDiskInfo');
  const disks = await call('GetDiskPartition');
  const list = $('disks');
  list.replaceChildren();
  if (!Array.isArray(disks) || disks.length === 0) {
    list.append(element('li', 'No drives were found. Quenlar needs to run as root (sudo) to see them; an image file can be opened below.'));
    return;
  }
  for (const { removable, number, model, size: diskSize, partitions } of disks.map(diskAnswer)) {
    const item = element('li', undefined, 'disk');
    const heading = element('h3', diskTitle(number, model, diskSize, removable));
    if (removable) heading.append(element('span', 'removable / USB', 'mark'));
    item.append(heading);
    const parts = element('ul', undefined, 'partitions');
    const list = partitions;
    const images = number === IMAGE_FILES;
    list.forEach((p, at) => {
      if (!Array.isArray(p)) return;
      const li = element('li');
      li.append(partitionButton(number, p, at));
      // An image file that holds no volume at its start may be a copy of a
      // whole disk: the volumes on it can be looked for.
      if (images && !SCANNABLE.has(partitionAnswer(p).fileSystem)) {
        const holder = element('div', undefined, 'hunt-result');
        li.append(searchButton('Look for volumes in this image', holder, number, at + 1, false), holder);
        drawSearch(holder, number, at + 1, false);
      }
      parts.append(li);
    });
    if (list.length === 0) parts.append(element('li', 'No partitions.', 'hint'));
    item.append(parts);
    // A disk whose partitions do not account for its space may hold volumes
    // no table names any more.
    const accounted = list.reduce((n, p) => n + (Array.isArray(p) ? Number(partitionAnswer(p).total) || 0 : 0), 0);
    const size = Number(diskSize);
    if (number !== OTHER_VOLUMES && !images && size > 0 && size - accounted > Math.max(64 * 1048576, size / 20)) {
      const holder = element('div', undefined, 'hunt-result');
      item.append(searchButton(list.length === 0 ? 'Look for lost partitions on this disk'
        : 'Look for lost partitions in its unused space', holder, number, 0, true), holder);
      drawSearch(holder, number, 0, true);
    }
    $('disks').append(item);
  }
}

export async function showSavedScan() {
  if ((await call('GetLastScanStatus')) !== 1) {
    $('saved').hidden = true;
    return;
  }
  $('saved-name').textContent = savedScanName(await call('GetSaveScanInfo')) || 'a drive';
  $('saved').hidden = false;
}

export async function openImage(event) {
  event.preventDefault();
  const path = $('image-path').value.trim();
  if (!path) return;
  const answer = await call('OpenImageFile', path);
  $('image-result').textContent = answer === 0 ? 'The image is listed under “Image files” above.'
    : 'That file cannot be opened: give the full path of a readable image file.';
  if (answer === 0) await showDisks();
}

export function scanFolder(event) {
  event.preventDefault();
  const path = $('folder-path').value.trim();
  if (!path) return;
  startScan(path, () => call('SpecialScan', 0, path));
}
