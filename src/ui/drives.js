// The drive list: disks and their partitions, image files, a folder of a
// mounted drive, and the saved scan to resume.
import { disk as diskAnswer, partition as partitionAnswer, savedScanName } from './answers.js';
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

export async function showDisks() {
  await call('FreshDiskInfo');
  const disks = await call('GetDiskPartition');
  const list = $('disks');
  list.replaceChildren();
  if (!Array.isArray(disks) || disks.length === 0) {
    list.append(element('li', 'No drives were found. Quenlar needs to run as root (sudo) to see them; an image file can be opened below.'));
    return;
  }
  for (const { removable, number, model, size, partitions } of disks.map(diskAnswer)) {
    const item = element('li', undefined, 'disk');
    const heading = element('h3', diskTitle(number, model, size, removable));
    if (removable) heading.append(element('span', 'removable / USB', 'mark'));
    item.append(heading);
    const parts = element('ul', undefined, 'partitions');
    const list = partitions;
    list.forEach((p, at) => {
      if (!Array.isArray(p)) return;
      const li = element('li');
      li.append(partitionButton(number, p, at));
      parts.append(li);
    });
    if (list.length === 0) parts.append(element('li', 'No partitions.', 'hint'));
    item.append(parts);
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
