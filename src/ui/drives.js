// The drive list: disks and their partitions, image files, a folder of a
// mounted drive, and the saved scan to resume.
import { disk as diskAnswer, partition as partitionAnswer, partitionSearch, savedScan } from './answers.js';
import { formatCount, formatDate, formatSize, roughly } from './format.js';
import { call } from './native.js';
import { $, IMAGE_FILES, OTHER_VOLUMES, SCANNABLE, element, session } from './page.js';
import { startScan } from './app.js';
import { pickPath } from './picker.js';

// ---- The choice of scan ---------------------------------------------------

// Rough speeds for the estimates: a deep scan reads the whole volume at about
// what a disk gives; a quick scan reads the file system's records only.
const DEEP_BYTES_PER_SECOND = 120e6;

// Asks how to scan the volume: resolves 'quick', 'deep' or null (cancelled).
// A volume without a file system Quenlar reads can only be searched by content.
export function chooseScan(title, fileSystem, bytes) {
  const dialog = $('scan-choice');
  const readable = SCANNABLE.has(fileSystem);
  const size = Number(bytes) > 0 ? formatSize(bytes) : '';
  $('choice-volume').textContent = [title, readable ? fileSystem : 'no file system Quenlar can read', size].filter(Boolean).join(' · ');
  $('choice-title').textContent = `How should Quenlar scan ${title}?`;
  $('choice-quick').hidden = !readable;
  $('choice-quick-time').textContent = fileSystem === 'NTFS' ? 'Usually a minute or less.' : 'Usually a few seconds.';
  const time = roughly(Number(bytes) / DEEP_BYTES_PER_SECOND);
  const deepTime = Number(bytes) > 0 ? `${time[0].toUpperCase()}${time.slice(1)} for ${size}.` : 'It reads the whole volume.';
  $('choice-deep').querySelector('.label').textContent = readable ? 'Deep scan' : 'Search by content';
  $('choice-deep').querySelector('.details').firstChild.textContent = readable
    ? 'The quick scan, then a search of every sector for files the records have forgotten, and for photos, videos and documents by their content (those come back without their names). '
    : 'Its file system cannot be read, so every sector is searched for photos, videos, music and documents by their content. They come back without their names and folders. ';
  $('choice-deep-time').textContent = deepTime;
  return new Promise((resolve) => {
    const done = (how) => {
      $('choice-quick').onclick = $('choice-deep').onclick = $('choice-cancel').onclick = null;
      dialog.onclose = null;
      if (dialog.open) dialog.close();
      resolve(how);
    };
    $('choice-quick').onclick = () => done('quick');
    $('choice-deep').onclick = () => done('deep');
    $('choice-cancel').onclick = () => done(null);
    dialog.onclose = () => done(null);
    dialog.showModal();
    (readable ? $('choice-quick') : $('choice-deep')).focus();
  });
}

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
  button.disabled = session.closed;
  if (!scannable) {
    button.title = 'Quenlar reads NTFS, FAT32 and exFAT; this one holds none of them, so it can only be searched for files by their content.';
    button.append(element('span', 'can be searched by content', 'mark'));
  }
  button.addEventListener('click', async () => {
    const how = await chooseScan(title, fs, total);
    if (how === 'quick') startScan(title, () => call('QuickScanPartition', disk, partition), fs, { quick: true });
    else if (how === 'deep') startScan(title, () => call('ScanDiskPartitionDelFile', disk, partition), fs);
  });
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
  button.addEventListener('click', async () => {
    const how = await chooseScan(title, v.fileSystem, v.sectors * 512);
    if (how === 'quick') startScan(title, () => call('QuickScanFoundVolume', disk, partition, v.start), v.fileSystem, { quick: true });
    else if (how === 'deep') startScan(title, () => call('ScanFoundVolume', disk, partition, v.start), v.fileSystem);
  });
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
  const { name, facts } = savedScan(await call('GetSaveScanInfo'));
  // Its label, when the volume is in the list now.
  const disks = await call('GetDiskPartition');
  const entry = (Array.isArray(disks) ? disks.map(diskAnswer) : []).flatMap((d) => d.partitions.map(partitionAnswer))
    .find((p) => p.mount && (p.mount === name || p.mount === facts.image));
  $('saved-name').textContent = name || 'a drive';
  const parts = [];
  const image = facts.image && facts.image !== name ? `the image file ${facts.image}` : '';
  const about = [entry?.label, facts.fileSystem, Number(facts.bytes) > 0 ? formatSize(facts.bytes) : '', image]
    .filter(Boolean).join(', ');
  if (about) parts.push(`(${about})`);
  const started = formatDate(facts.started);
  if (started && started !== 'unknown') parts.push(`begun ${started}`);
  const total = Number(facts.total);
  if (total > 0) parts.push(`its deep scan ${Math.min(100, Math.floor((100 * Number(facts.done)) / total))}% done`);
  if (Number(facts.files) >= 0 && facts.files !== undefined) parts.push(formatCount(facts.files, 'file found', 'files found'));
  $('saved-facts').textContent = parts.length ? `${parts.join(' · ')}.` : '';
  $('saved').hidden = false;
}

// What an image file that opened holds: said under the form.
function imageSaid(path, disks) {
  const images = (Array.isArray(disks) ? disks.map(diskAnswer) : []).find((d) => d.number === IMAGE_FILES);
  const entry = images?.partitions.map(partitionAnswer).find((p) => p.mount === path || path.endsWith(p.mount.slice(p.mount.lastIndexOf('/'))));
  if (entry && !SCANNABLE.has(entry.fileSystem)) {
    return 'That file holds no NTFS, FAT32 or exFAT volume at its start. It is listed under “Image files” above: '
      + 'look for the volumes in it (a copy of a whole disk), or search it for files by their content.';
  }
  return 'The image is listed under “Image files” above.';
}

export async function openImage(event) {
  event?.preventDefault();
  const path = $('image-path').value.trim();
  const result = $('image-result');
  result.classList.remove('refused');
  if (!path) {
    result.textContent = 'Give the full path of the image file, or choose it.';
    result.classList.add('refused');
    return;
  }
  const answer = await call('OpenImageFile', path);
  if (answer !== 0) {
    result.textContent = 'That file cannot be opened: give the full path of a readable image file.';
    result.classList.add('refused');
    return;
  }
  await showDisks();
  result.textContent = imageSaid(path, await call('GetDiskPartition'));
}

export async function pickImage() {
  const path = await pickPath({ images: true, start: $('image-path').value.trim() });
  if (!path) return;
  $('image-path').value = path;
  await openImage();
}

// A path typed that is where a drive is mounted (or a drive letter) is
// that drive, scanned whole; a folder under one is scanned for its files.
export async function scanFolder(event) {
  event.preventDefault();
  const path = $('folder-path').value.trim().replace(/(.)[\\/]+$/, '$1');
  if (!path) return;
  const mounts = await call('GetDiskAllTypeNameFun');
  const drive = Array.isArray(mounts) && mounts.some((m) => String(m).replace(/(.)[\\/]+$/, '$1').toLowerCase() === path.toLowerCase());
  if (drive) startScan(path, () => call('ScanDiskDelFile', path));
  else startScan(path, () => call('SpecialScan', 0, path));
}
