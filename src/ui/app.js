// The start document's behaviour: the drive list, a scan with its progress
// and its folder tree as it arrives, a folder's files, and recovery.
// Everything shown that comes from a volume (names, paths, labels) is put in
// as text, never as markup: a damaged or crafted volume can name anything.
import { call, on, onClosed } from './native.js';

const $ = (id) => document.getElementById(id);
const OTHER_VOLUMES = 4294967295;
const IMAGE_FILES = 4294967294;
const WORK_NORMAL = 1;
const WORK_DEEP = 2;
const WORK_RECOVERY = 4;
const STATES = { 1: 'In use', 2: 'Deleted', 3: 'Lost or from the deep scan' };
const SCANNABLE = new Set(['NTFS', 'FAT32', 'exFAT']);
const MAX_ROWS_SHOWN = 5000;

const state = {
  scanning: false,
  tree: new Map(),      // folder path ("" the root, "A\\B" below) -> files at or below it
  open: new Set(['']),  // expanded folders
  folder: null,         // the folder listed
  tag: '',              // the listing asked for last; older answers are dropped
  rows: [],
  pickedFiles: new Map(),  // result index -> size
  pickedFolders: new Set(),
  destination: '',
};

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function setStatus(text) {
  $('status').textContent = text;
}

export function formatSize(value) {
  let bytes = Number(value);
  if (!Number.isFinite(bytes) || bytes < 0) return '';
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
  let unit = 0;
  while (bytes >= 1000 && unit < units.length - 1) {
    bytes /= 1000;
    unit += 1;
  }
  return unit === 0 ? `${bytes} ${units[0]}` : `${bytes.toFixed(bytes < 10 ? 1 : 0)} ${units[unit]}`;
}

// ---- Drives -------------------------------------------------------------

function diskTitle(number, model, size, removable) {
  const name = number === OTHER_VOLUMES ? 'Other volumes' : number === IMAGE_FILES ? 'Image files'
    : (model || '').trim() || `Disk ${number}`;
  const parts = [name];
  if (number !== OTHER_VOLUMES && Number(size) > 0) parts.push(formatSize(size));
  if (removable) parts.push('removable');
  return parts.join(' · ');
}

async function showDisks() {
  await call('FreshDiskInfo');
  const disks = await call('GetDiskPartition');
  const list = $('disks');
  list.replaceChildren();
  if (!Array.isArray(disks) || disks.length === 0) {
    list.append(element('li', 'No drives were found. Quenlar needs to run as root (sudo) to see them.'));
    return;
  }
  for (const [removable, number, , model, size, partitions] of disks) {
    const item = element('li');
    item.append(element('h3', diskTitle(number, model, size, removable)));
    const parts = element('ul', undefined, 'partitions');
    (Array.isArray(partitions) ? partitions : []).forEach((p, at) => {
      const [mount, , , fs, total, , partitionNumber, , , , systemMark, , , label] = p;
      const partition = number === OTHER_VOLUMES || number === IMAGE_FILES ? at + 1 : partitionNumber;
      const button = element('button', undefined, 'partition');
      button.type = 'button';
      button.append(element('span', label || mount || `Partition ${partition}`, 'label'));
      button.append(element('span', [fs || 'no file system', formatSize(total), mount && mount !== label ? mount : '']
        .filter(Boolean).join(' · '), 'details'));
      if (systemMark) button.append(element('span', 'this system', 'mark'));
      button.disabled = !SCANNABLE.has(fs);
      const name = label || mount || `partition ${partition}`;
      button.addEventListener('click', () => startScan(name, () => call('ScanDiskPartitionDelFile', number, partition)));
      const li = element('li');
      li.append(button);
      parts.append(li);
    });
    item.append(parts);
    list.append(item);
  }
}

async function showSavedScan() {
  if ((await call('GetLastScanStatus')) !== 1) {
    $('saved').hidden = true;
    return;
  }
  const [names] = await call('GetSaveScanInfo');
  $('saved-name').textContent = (Array.isArray(names) && (names[1] || names[0])) || 'a drive';
  $('saved').hidden = false;
}

// ---- Scanning -----------------------------------------------------------

function resetResults() {
  state.tree.clear();
  state.open = new Set(['']);
  state.folder = null;
  state.rows = [];
  state.pickedFiles.clear();
  state.pickedFolders.clear();
  renderTree();
  renderRows();
  renderPicked();
}

async function startScan(name, starter) {
  const answer = await starter();
  if (answer !== 0) {
    setStatus('Another task is still running; wait for it to end or stop it first.');
    return;
  }
  resetResults();
  $('scan-name').textContent = name;
  $('saved').hidden = true;
  $('start').hidden = true;
  $('scan').hidden = false;
  $('browse').hidden = false;
  $('recover').hidden = false;
  setStatus(`Scanning ${name}…`);
  state.scanning = true;
  poll();
}

async function poll() {
  if (!state.scanning) return;
  const [flag, progress, files] = await Promise.all([call('GetWorkFlag'), call('GetScanProc'), call('GetFilesNumber')]);
  const done = Number(progress[0]);
  const total = Number(progress[1]);
  $('scan-progress').value = total > 0 ? Math.min(1000, Math.round((done / total) * 1000)) : 0;
  $('found').textContent = Number(files).toLocaleString();
  $('scan-phase').textContent = flag & WORK_NORMAL ? 'Reading the file system’s records of its files.'
    : flag & WORK_DEEP ? 'Searching every sector for files the file system has forgotten (deep scan).' : '';
  await takeFolders();
  if (state.scanning) setTimeout(poll, 250);
}

async function takeFolders() {
  for (;;) {
    const batch = await call('GetScanFilePathData', 0);
    if (!Array.isArray(batch)) return;
    for (const pair of batch) {
      if (Array.isArray(pair) && typeof pair[0] === 'string') state.tree.set(pair[0], Number(pair[1]) || 0);
    }
    renderTree();
  }
}

function scanEnded(text) {
  state.scanning = false;
  $('scan').hidden = true;
  $('start').hidden = false;
  setStatus(text);
  takeFolders();
  showSavedScan();
}

on('SendFileToUi', () => takeFolders());
on('StartDeepScan', () => setStatus('The saved deep scan goes on…'));
on('AllPathSendFinishedToUi', () => scanEnded(`Scan finished: ${$('found').textContent} files found.`));
on('SetWorkEnd', (operation, status, stop) => {
  if (operation === WORK_DEEP && stop !== 0) {
    scanEnded(stop & 1 ? 'The scan is paused; what it found is kept, and it can be resumed later.'
      : 'The scan was stopped.');
  } else if (operation === WORK_DEEP && status === 1) {
    scanEnded('The deep scan could not start.');
  } else if (operation === WORK_RECOVERY) {
    recoveryEnded(status, stop);
  }
});
on('USBDiskMonitoring', () => {
  if (!$('start').hidden) showDisks();
});

// ---- The folder tree ----------------------------------------------------

function childrenOf(path) {
  const prefix = path === '' ? '' : `${path}\\`;
  const children = [];
  for (const folder of state.tree.keys()) {
    if (folder === '' || !folder.startsWith(prefix)) continue;
    if (!folder.slice(prefix.length).includes('\\')) children.push(folder);
  }
  return children.sort((a, b) => a.localeCompare(b));
}

function leafName(path) {
  return path === '' ? 'All files' : path.slice(path.lastIndexOf('\\') + 1);
}

function treeItem(path) {
  const li = element('li');
  li.setAttribute('role', 'treeitem');
  const children = childrenOf(path);
  if (children.length) li.setAttribute('aria-expanded', String(state.open.has(path)));
  const row = element('div', undefined, 'tree-row');
  const toggle = element('button', children.length ? (state.open.has(path) ? '▾' : '▸') : '', 'toggle');
  toggle.type = 'button';
  toggle.tabIndex = -1;
  toggle.setAttribute('aria-hidden', 'true');
  toggle.addEventListener('click', () => {
    if (state.open.has(path)) state.open.delete(path); else state.open.add(path);
    renderTree();
  });
  const name = element('button', undefined, path === state.folder ? 'folder current' : 'folder');
  name.type = 'button';
  name.append(element('span', leafName(path), 'name'));
  const count = state.tree.get(path);
  if (count !== undefined) name.append(element('span', count.toLocaleString(), 'count'));
  name.addEventListener('click', () => listFolder(path));
  row.append(toggle, name);
  li.append(row);
  if (children.length && state.open.has(path)) {
    const group = element('ul');
    group.setAttribute('role', 'group');
    for (const child of children) group.append(treeItem(child));
    li.append(group);
  }
  return li;
}

let treeQueued = false;
function renderTree() {
  if (treeQueued) return;
  treeQueued = true;
  requestAnimationFrame(() => {
    treeQueued = false;
    const tree = $('tree');
    tree.replaceChildren();
    if (state.tree.size === 0) return;
    tree.append(treeItem(''));
  });
}

// ---- A folder's files ---------------------------------------------------

let nextTag = 1;
async function listFolder(path) {
  state.folder = path;
  state.tag = `t${nextTag++}`;
  state.rows = [];
  $('folder-name').textContent = path === '' ? 'All files at the top of the drive' : path.replaceAll('\\', ' › ');
  renderTree();
  renderRows();
  await call('GetPathFiles', state.tag, path);
}

on('StartReceiePathFiles', (header) => {
  if (Array.isArray(header) && header[0] === state.tag) state.rows = [];
});
on('InReceiePathFiles', (header, rows) => {
  if (!Array.isArray(header) || header[0] !== state.tag || !Array.isArray(rows)) return;
  state.rows.push(...rows);
  renderRows();
});
on('EndReceiePathFiles', (header) => {
  if (Array.isArray(header) && header[0] === state.tag) renderRows();
});

let rowsQueued = false;
function renderRows() {
  if (rowsQueued) return;
  rowsQueued = true;
  requestAnimationFrame(() => {
    rowsQueued = false;
    const body = $('files').tBodies[0];
    body.replaceChildren();
    for (const row of state.rows.slice(0, MAX_ROWS_SHOWN)) {
      const [name, date, , , size, index, exist, , type] = row;
      const tr = element('tr');
      const pick = element('input');
      pick.type = 'checkbox';
      pick.checked = state.pickedFiles.has(index);
      pick.setAttribute('aria-label', `Select ${name}`);
      pick.addEventListener('change', () => {
        if (pick.checked) state.pickedFiles.set(index, Number(size) || 0); else state.pickedFiles.delete(index);
        renderPicked();
      });
      const cell = element('td');
      cell.append(pick);
      tr.append(cell, element('td', name, 'name'), element('td', STATES[exist >= 10 ? Math.floor(exist / 10) : exist] || ''),
        element('td', formatSize(size), 'size'), element('td', type), element('td', String(date).trim()));
      body.append(tr);
    }
    if (state.rows.length > MAX_ROWS_SHOWN) {
      const tr = element('tr');
      const td = element('td', `… and ${(state.rows.length - MAX_ROWS_SHOWN).toLocaleString()} more`);
      td.colSpan = 6;
      tr.append(td);
      body.append(tr);
    }
  });
}

// ---- Recovery -----------------------------------------------------------

function renderPicked() {
  const files = state.pickedFiles.size;
  let bytes = 0;
  for (const size of state.pickedFiles.values()) bytes += size;
  $('selected').textContent = files === 0 ? 'Nothing' : `${files.toLocaleString()} files (${formatSize(bytes)})`;
  $('recover-start').disabled = files === 0;
}

let recoveryPoll = null;
async function startRecovery() {
  const destination = $('destination').value.trim();
  const selection = [...state.pickedFolders, ...state.pickedFiles.keys()];
  const answer = await call('RecoveryDelFile', selection, destination);
  if (answer !== 0) {
    $('recover-result').textContent = 'Another task is still running; the files were not recovered yet.';
    return;
  }
  state.destination = destination;
  $('recover-start').disabled = true;
  $('open-destination').hidden = true;
  $('recover-progress').hidden = false;
  $('recover-result').textContent = 'Recovering…';
  recoveryPoll = setInterval(async () => {
    const [count, total] = await call('GetRecoverProc');
    $('recover-progress').max = Math.max(1, Number(total));
    $('recover-progress').value = Number(count);
  }, 250);
}

function recoveryEnded(status) {
  clearInterval(recoveryPoll);
  $('recover-progress').hidden = true;
  renderPicked();
  if (status !== 0) {
    $('recover-result').textContent = 'Nothing was written: choose a folder on another drive than the one being read.';
    return;
  }
  $('recover-result').textContent = `The files were saved in ${state.destination}. Files marked “.partial” could not be read whole.`;
  $('open-destination').hidden = false;
}

// ---- Start --------------------------------------------------------------

async function start() {
  $('refresh').addEventListener('click', () => showDisks());
  $('resume').addEventListener('click', () => startScan($('saved-name').textContent, () => call('ResumeScan')));
  $('pause').addEventListener('click', () => call('StopOperate', 1));
  $('stop').addEventListener('click', () => call('StopOperate', 2));
  $('recover-start').addEventListener('click', () => startRecovery());
  $('open-destination').addEventListener('click', () => call('OpenFolderPath', state.destination));
  onClosed(() => setStatus('The program has ended. Start Quenlar again to go on.'));
  $('destination').value = await call('GetIndependentPath', 2);
  setStatus(`Quenlar ${await call('GetAppVersion')}`);
  await Promise.all([showDisks(), showSavedScan()]);
}

start().catch((error) => setStatus(`The program cannot be reached: ${error.message}`));
