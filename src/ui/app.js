// The start document's behaviour: the drive list, a scan with its progress
// and its folder tree as it arrives, a folder's files, filters, a preview,
// and recovery with its report.
// Everything shown that comes from a volume (names, paths, labels) is put in
// as text, never as markup: a damaged or crafted volume can name anything.
import { call, on, onClosed } from './native.js';
import {
  ROW, ROW_LENGTH, ROW_TIMES, disk as diskAnswer, folderCounts, listingHeader, partition as partitionAnswer,
  preview as previewAnswer, recoverProgress, recoverReport, rowState, savedScanName, scanEnd, scanProgress,
} from './answers.js';
import { Pace, formatCount, formatDate, formatDuration, formatRate, formatSize, shown, stateWords } from './format.js';
import { VirtualGrid } from './grid.js';

const $ = (id) => document.getElementById(id);
const OTHER_VOLUMES = 4294967295;
const IMAGE_FILES = 4294967294;
const WORK_NORMAL = 1;
const WORK_DEEP = 2;
const WORK_RECOVERY = 4;
const WORK_RESUME = 64;
const SCAN_WORK = WORK_NORMAL | WORK_DEEP | WORK_RESUME;
const STALE = -2;  // the answer of a call that names an earlier scan
const SCANNABLE = new Set(['NTFS', 'FAT32', 'exFAT']);
const VOLUME = 'Q:';  // the whole volume in a recovery selection; folders follow it after a backslash
const PREVIEW_BYTES = 65536;

const state = {
  scanId: '',             // the scan the page shows (its identity); '' none
  starting: false,        // a scan call of this page is on its way
  ending: false,          // the end of the scan shown is being told
  stale: false,           // the program holds another scan than the one shown
  closed: false,          // the program has ended
  scanning: false,
  scanName: '',
  fileSystem: '',
  pace: null,
  phase: 0,
  tree: new Map(),        // folder path ("" the root, "A\\B" below) -> files at or below it
  open: new Set(['']),    // expanded folders
  treeFocus: '',          // the folder that holds the tree's keyboard focus
  listing: null,          // { kind: 'folder', path } or { kind: 'filter', text }
  tag: '',                // the listing asked for last; older answers are dropped
  rows: [],               // the listing's FileRows as they came
  sortKey: -1,
  sortDown: false,
  nameFilter: '',
  pickedFiles: new Map(),  // result index -> size
  pickedFolders: new Set(),
  destination: '',
  previewIndex: -1,
  previewRow: null,
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
  button.disabled = state.closed || !scannable;
  if (!scannable) button.title = 'Quenlar reads NTFS, FAT32 and exFAT; this partition holds none of them.';
  button.addEventListener('click', () => startScan(title, () => call('ScanDiskPartitionDelFile', disk, partition), fs));
  return button;
}

async function showDisks() {
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

async function showSavedScan() {
  if ((await call('GetLastScanStatus')) !== 1) {
    $('saved').hidden = true;
    return;
  }
  $('saved-name').textContent = savedScanName(await call('GetSaveScanInfo')) || 'a drive';
  $('saved').hidden = false;
}

async function openImage(event) {
  event.preventDefault();
  const path = $('image-path').value.trim();
  if (!path) return;
  const answer = await call('OpenImageFile', path);
  $('image-result').textContent = answer === 0 ? 'The image is listed under “Image files” above.'
    : 'That file cannot be opened: give the full path of a readable image file.';
  if (answer === 0) await showDisks();
}

function scanFolder(event) {
  event.preventDefault();
  const path = $('folder-path').value.trim();
  if (!path) return;
  startScan(path, () => call('SpecialScan', 0, path));
}

// ---- Scanning -----------------------------------------------------------

function resetResults() {
  state.tree.clear();
  state.open = new Set(['']);
  state.treeFocus = '';
  state.listing = null;
  state.rows = [];
  state.pickedFiles.clear();
  state.pickedFolders.clear();
  $('folder-name').textContent = 'Choose a folder on the left.';
  $('preview').hidden = true;
  $('recover-result').textContent = '';
  $('filter-result').textContent = '';
  $('recover-problems').replaceChildren();
  $('open-destination').hidden = true;
  renderTree();
  updateView();
  renderPicked();
}

function showScanning(name) {
  $('scan-title').replaceChildren('Scanning ', element('span', name));
  $('saved').hidden = true;
  $('start').hidden = true;
  $('scan').hidden = false;
  $('scan-running').hidden = false;
  $('scan-done').hidden = true;
  $('scan-summary').textContent = '';
  $('browse').hidden = false;
  $('recover').hidden = false;
  $('deep').hidden = true;
}

// Asks before a new scan while a scan is saved: only one can be kept, and
// the new one would take its place. Resolves true when the new scan may go on.
function askAboutSaved(name) {
  return new Promise((resolve) => {
    const banner = $('ask-saved');
    $('ask-saved-text').textContent = `A saved scan of ${$('saved-name').textContent || 'a drive'} is kept, and only one can be. `
      + `Resume it, or forget it and scan ${name}?`;
    $('ask-saved-replace').textContent = `Forget it and scan ${name}`;
    const done = async (choice) => {
      banner.hidden = true;
      for (const id of ['ask-saved-resume', 'ask-saved-replace', 'ask-saved-cancel']) $(id).onclick = null;
      if (choice === 'replace') {
        if ((await call('DiscardSavedScan')) !== 0) {
          setStatus('The saved scan cannot be forgotten while a task runs.');
          resolve(false);
          return;
        }
        $('saved').hidden = true;
        resolve(true);
        return;
      }
      resolve(false);
      if (choice === 'resume') resumeSaved();
    };
    $('ask-saved-resume').onclick = () => done('resume');
    $('ask-saved-replace').onclick = () => done('replace');
    $('ask-saved-cancel').onclick = () => done('cancel');
    banner.hidden = false;
    $('ask-saved-cancel').focus();
  });
}

async function startScan(name, starter, fileSystem = '', { replacesSaved = true } = {}) {
  const busy = 'Another task is still running; wait for it to end or stop it first.';
  if ((await call('GetWorkFlag')) !== 0) {
    setStatus(busy);
    await offerCurrentScan();
    return;
  }
  if (replacesSaved && (await call('GetLastScanStatus')) === 1 && !(await askAboutSaved(name))) return;
  // Cleared before the scan starts: its first folders may come before its answer.
  state.starting = true;
  resetResults();
  let scan = '';
  try {
    if ((await starter()) !== 0) {
      setStatus(busy);
      return;
    }
    scan = (await call('GetWorkState')).scan;
  } finally {
    state.starting = false;
  }
  setScan(scan);
  state.scanName = name;
  state.fileSystem = fileSystem;
  showScanning(name);
  setStatus(`Scanning ${name}…`);
  state.scanning = true;
  state.pace = new Pace();
  state.phase = 0;
  poll();
}

function resumeSaved() {
  startScan($('saved-name').textContent, () => call('ResumeScan'), '', { replacesSaved: false });
}

// ---- The scan the page shows, and the program's ---------------------------

function setScan(id) {
  state.scanId = id || '';
  state.stale = false;
  $('stale').hidden = true;
}

// The program holds another scan than the one on the page: what the page
// lists can no longer be acted on.
function markStale(text = 'This list belongs to an earlier scan: scan again or open the current one.') {
  if (state.stale || state.closed) return;
  state.stale = true;
  state.scanning = false;
  clearInterval(recoveryPoll);
  $('stale-text').textContent = text;
  $('stale').hidden = false;
  $('stale-open').hidden = false;
  setStatus('This page shows an earlier scan.');
}

// Whether an answer says the page's scan is no longer the program's.
function refused(answer) {
  if (answer !== STALE) return false;
  markStale();
  return true;
}

// While the page shows no scan, another window's scan is offered.
async function offerCurrentScan() {
  const work = await call('GetWorkState');
  if (!work.scan || work.scan === state.scanId) return;
  $('stale-text').textContent = `A scan of ${work.name || 'a drive'} is ${work.work & SCAN_WORK ? 'running' : 'open'} in another window.`;
  $('stale-open').hidden = false;
  $('stale').hidden = false;
}

// Shows the program's current scan as it stands: running (with its
// progress and Pause and Stop) or ended (with its tree, lists and last
// recovery report). False when there is none.
async function attach() {
  const work = await call('GetWorkState');
  if (!work.scan) return false;
  resetResults();
  setScan(work.scan);
  state.scanName = work.name || 'the drive';
  state.fileSystem = work.fileSystem;
  showScanning(state.scanName);
  if (work.work & SCAN_WORK) {
    setStatus(`Scanning ${state.scanName}…`);
    state.scanning = true;
    state.pace = new Pace();
    state.phase = 0;
    poll();
  } else {
    await scanEnded((found) => endWords(work, found), { deepAgain: deepAgainAfter(work) });
  }
  if (work.work & WORK_RECOVERY) watchRecovery();
  else if (work.recovery) await showRecoverReport();
  return true;
}

function deepAgainAfter(work) {
  const { told, stop } = scanEnd(work.ended);
  return told && stop !== 0 && !(stop & 1) && work.fileSystem === 'NTFS';
}

// The words for a scan's end, from the program's state.
function endWords(work, found) {
  const { status, stop } = scanEnd(work.ended);
  if (status === 1) return `The scan could not go on. ${work.note || ''}`.trim();
  if (stop & 1) {
    return work.saved ? `Paused: ${found}. Everything is kept; resume the scan whenever you like, also after closing Quenlar.`
      : `Paused: ${found}. ${work.note || 'Nothing of it could be kept.'}`;
  }
  if (stop) return `Stopped: ${found} before the scan was stopped.`;
  return `Scan finished: ${found}.${work.note ? ` ${work.note}` : ''}`;
}

function showProgress(flag, done, total) {
  const now = performance.now();
  const phase = flag & WORK_DEEP ? WORK_DEEP : flag & WORK_NORMAL ? WORK_NORMAL : 0;
  if (phase !== state.phase) {
    state.phase = phase;
    state.pace.reset(now);
  }
  state.pace.add(done, total, now);
  $('scan-progress').value = total > 0 ? Math.min(1000, Math.round((done / total) * 1000)) : 0;
  $('scan-phase').textContent = phase === WORK_NORMAL
    ? 'Step 1 of 2: reading the file system’s own records of its files, existing and deleted.'
    : phase === WORK_DEEP
      ? 'Step 2 of 2: searching every sector for files the file system has forgotten (deep scan).'
      : 'Loading…';
  $('scan-elapsed').textContent = formatDuration(state.pace.elapsed(now));
  const left = state.pace.left(now);
  // Progress counts 512-byte sectors, except a FAT scan's, which has none.
  $('scan-rate').textContent = phase === WORK_DEEP && state.pace.samples >= 3 ? formatRate(state.pace.rate * 512)
    : phase === WORK_NORMAL ? 'reading records' : 'estimating';
  $('scan-left').textContent = left === null ? 'time left: estimating' : `about ${formatDuration(left)} left`;
}

let polling = false;
async function poll() {
  if (!state.scanning || state.closed || polling) return;
  polling = true;
  try {
    const [flag, answer, files] = await Promise.all([call('GetWorkFlag'), call('GetScanProc'), call('GetFilesNumber')]);
    const progress = scanProgress(answer);
    if (progress.valid) showProgress(Number(flag), progress.done, progress.total);
    $('found').textContent = Number(files).toLocaleString();
    await takeFolders();
    // A scan that ended before the page knew it ran (a small volume, a busy
    // machine) was told before the page listened: its end is asked for.
    if ((Number(flag) & SCAN_WORK) === 0 && state.scanning) {
      const work = await call('GetWorkState');
      if (work.treeComplete && work.scan === state.scanId) endFromProgram();
    }
  } finally {
    polling = false;
    if (state.scanning) setTimeout(poll, 250);
  }
}

// Takes the folders of the page's scan that it has not taken yet. One
// taker at a time; a call while it runs makes it look once more.
let taking = null;
let takeAgain = false;
function takeFolders() {
  if (taking) {
    takeAgain = true;
    return taking;
  }
  taking = (async () => {
    do {
      takeAgain = false;
      while (state.scanId && !state.stale && !state.closed) {
        const batch = await call('GetScanFolders', state.scanId);
        if (refused(batch) || !Array.isArray(batch)) break;
        for (const { path, count } of folderCounts(batch)) state.tree.set(path, count);
        renderTree();
      }
    } while (takeAgain);
  })().finally(() => { taking = null; });
  return taking;
}

// `say(found)` gives the words for the end, with the files found by then.
async function scanEnded(say, { deepAgain = false } = {}) {
  state.scanning = false;
  $('scan-running').hidden = true;
  $('scan-done').hidden = false;
  $('deep').hidden = !deepAgain;
  const files = Number(await call('GetFilesNumber'));
  $('found').textContent = files.toLocaleString();
  const text = say(formatCount(files, 'file found', 'files found'));
  $('scan-title').textContent = `Scan of ${state.scanName}`;
  showFaults(await call('GetWorkState'));
  await takeFolders();
  $('scan-summary').textContent = text;
  setStatus(text);
  if (state.listing === null && state.tree.size > 0) listFolder('');
  else if (state.listing?.kind === 'folder') listFolder(state.listing.path, { keep: true });
}

// What of the drive's own records could not be read or used, in the
// program's words, and the sectors that could not be read.
function showFaults(work) {
  const list = $('scan-fault-list');
  list.replaceChildren();
  const faults = work.scan === state.scanId && Array.isArray(work.faults) ? [...work.faults] : [];
  const unreadable = work.scan === state.scanId ? Number(work.unreadable) || 0 : 0;
  if (unreadable > 0) {
    faults.push(`${formatCount(unreadable, 'sector', 'sectors')} could not be read; what ${unreadable === 1 ? 'it' : 'they'} held is missing from the results.`);
  }
  for (const fault of faults) {
    const item = document.createElement('li');
    const sentence = fault.charAt(0).toUpperCase() + fault.slice(1);
    item.textContent = /[.!?]$/.test(sentence) ? sentence : `${sentence}.`;
    list.append(item);
  }
  $('scan-faults').hidden = faults.length === 0;
}

on('SendFileToUi', () => takeFolders());
on('StartDeepScan', () => setStatus('The saved deep scan goes on where it stopped…'));
// The scan on the page ended: told once, in the program's words.
async function endFromProgram() {
  if (!state.scanning || state.ending || state.stale || state.starting) return;
  state.ending = true;
  try {
    const work = await call('GetWorkState');
    if (work.scan !== state.scanId) {
      markStale();
      return;
    }
    await scanEnded((found) => endWords(work, found), { deepAgain: deepAgainAfter(work) });
  } finally {
    state.ending = false;
  }
}

on('AllPathSendFinishedToUi', () => {
  if (state.scanning) endFromProgram();
  else takeFolders();
});
// The program's current scan changed: a page that shows another one can no
// longer act on its rows; one that shows none is offered it.
on('SetCurrentScan', (id) => {
  if (state.starting || state.closed || id === state.scanId) return;
  if (state.scanId) markStale();
  else if (id && !$('start').hidden) offerCurrentScan();
});
on('SetWorkEnd', (operation, status, stop) => {
  const scanPhase = operation === WORK_DEEP || operation === WORK_NORMAL;
  if (operation === WORK_RECOVERY) {
    recoveryEnded(status, stop);
    return;
  }
  // A phase that ended on its own is followed by the next, or by the
  // tree's end; a stop or a failure ends the scan here.
  if (scanPhase && (stop !== 0 || status !== 0)) endFromProgram();
});
on('USBDiskMonitoring', () => {
  if (!$('start').hidden) showDisks();
});

async function deepScanAgain() {
  if ((await call('GetWorkState')).scan !== state.scanId) {
    markStale();
    return;
  }
  const answer = await call('DeepScanPartition');
  if (answer !== 0) {
    setStatus('The deep scan cannot start now.');
    return;
  }
  showScanning(state.scanName);
  state.scanning = true;
  state.pace = new Pace();
  state.phase = 0;
  poll();
}

function backToStart() {
  $('stale').hidden = true;
  $('scan').hidden = true;
  $('browse').hidden = true;
  $('recover').hidden = true;
  $('start').hidden = false;
  showDisks();
  showSavedScan();
}

// ---- The folder tree ----------------------------------------------------

function leafName(path) {
  return path === '' ? 'All files' : shown(path.slice(path.lastIndexOf('\\') + 1));
}

function parentOf(path) {
  const cut = path.lastIndexOf('\\');
  return cut < 0 ? '' : path.slice(0, cut);
}

function folderSelection(path) {
  return path === '' ? VOLUME : `${VOLUME}\\${path}`;
}

// Every folder's children, sorted, built once per drawing.
function childMap() {
  const children = new Map();
  for (const folder of state.tree.keys()) {
    if (folder === '') continue;
    const parent = parentOf(folder);
    if (!children.has(parent)) children.set(parent, []);
    children.get(parent).push(folder);
  }
  const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });
  for (const list of children.values()) list.sort((a, b) => collator.compare(leafName(a), leafName(b)));
  return children;
}

function treeItem(path, children, level) {
  const li = element('li');
  li.setAttribute('role', 'treeitem');
  li.setAttribute('aria-level', String(level));
  li.dataset.path = path;
  li.tabIndex = path === state.treeFocus ? 0 : -1;
  const kids = children.get(path) || [];
  if (kids.length) li.setAttribute('aria-expanded', String(state.open.has(path)));
  const current = state.listing?.kind === 'folder' && state.listing.path === path;
  li.setAttribute('aria-selected', String(current));
  const row = element('div', undefined, current ? 'tree-row current' : 'tree-row');
  const toggle = element('span', kids.length ? (state.open.has(path) ? '▾' : '▸') : '', 'toggle');
  toggle.setAttribute('aria-hidden', 'true');
  const pick = element('input');
  pick.type = 'checkbox';
  pick.tabIndex = -1;
  pick.checked = state.pickedFolders.has(path);
  pick.setAttribute('aria-label', `Recover everything in ${leafName(path)}`);
  const name = element('span', leafName(path), 'name');
  name.title = path === '' ? 'All files' : shown(path).replaceAll('\\', ' › ');
  const count = state.tree.get(path);
  row.append(toggle, pick, name);
  if (count !== undefined) row.append(element('span', count.toLocaleString(), 'count'));
  li.append(row);
  if (kids.length && state.open.has(path)) {
    const group = element('ul');
    group.setAttribute('role', 'group');
    for (const child of kids) group.append(treeItem(child, children, level + 1));
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
    const focused = tree.contains(document.activeElement);
    tree.replaceChildren();
    if (state.tree.size === 0) return;
    if (!state.tree.has(state.treeFocus)) state.treeFocus = '';
    tree.append(treeItem('', childMap(), 1));
    if (focused) treeElement(state.treeFocus)?.focus();
  });
}

function treeElement(path) {
  return [...$('tree').querySelectorAll('[role=treeitem]')].find((li) => li.dataset.path === path);
}

function toggleOpen(path) {
  if (state.open.has(path)) state.open.delete(path); else state.open.add(path);
  renderTree();
}

function toggleFolderPick(path, checked) {
  const on = checked ?? !state.pickedFolders.has(path);
  if (on) state.pickedFolders.add(path); else state.pickedFolders.delete(path);
  renderTree();
  renderPicked();
}

function treeClick(event) {
  const li = event.target.closest('[role=treeitem]');
  if (!li) return;
  const path = li.dataset.path;
  state.treeFocus = path;
  if (event.target instanceof HTMLInputElement) {
    toggleFolderPick(path, event.target.checked);
  } else if (event.target.classList.contains('toggle')) {
    toggleOpen(path);
  } else {
    listFolder(path);
  }
}

function treeKey(event) {
  const li = event.target.closest('[role=treeitem]');
  if (!li) return;
  const visible = [...$('tree').querySelectorAll('[role=treeitem]')];
  const at = visible.indexOf(li);
  const path = li.dataset.path;
  const focus = (target) => {
    if (!target) return;
    state.treeFocus = target.dataset.path;
    for (const item of visible) item.tabIndex = item === target ? 0 : -1;
    target.focus();
  };
  const expandable = li.hasAttribute('aria-expanded');
  switch (event.key) {
  case 'ArrowDown': focus(visible[at + 1]); break;
  case 'ArrowUp': focus(visible[at - 1]); break;
  case 'Home': focus(visible[0]); break;
  case 'End': focus(visible[visible.length - 1]); break;
  case 'ArrowRight':
    if (expandable && !state.open.has(path)) toggleOpen(path);
    else if (expandable) focus(visible[at + 1]);
    break;
  case 'ArrowLeft':
    if (expandable && state.open.has(path)) toggleOpen(path);
    else if (path !== '') focus(treeElement(parentOf(path)));
    break;
  case ' ': toggleFolderPick(path); break;
  case 'Enter': listFolder(path); break;
  default: return;
  }
  event.preventDefault();
}

// ---- Listings: a folder's files, or a filter's ---------------------------

let nextTag = 1;
async function listFolder(path, { keep = false } = {}) {
  if (!keep) $('preview').hidden = true;
  state.listing = { kind: 'folder', path };
  state.tag = `t${nextTag++}`;
  if (!keep) state.rows = [];
  $('folder-name').textContent = path === '' ? 'Files at the top of the drive' : shown(path).replaceAll('\\', ' › ');
  renderTree();
  updateView({ keepCursor: keep });
  refused(await call('GetScanPathFiles', state.scanId, state.tag, path));
}

// A listing's rows are the page's when they come under its latest tag, of
// the scan it shows.
const ours = (answer) => {
  const header = listingHeader(answer);
  return header.valid && header.tag === state.tag && header.scan === state.scanId;
};
// A listing of millions of rows repeats its dates, folders and type names:
// each is kept once (a row's three times are one text).
let shared = new Map();
const once = (text) => {
  const kept = shared.get(text);
  if (kept !== undefined) return kept;
  shared.set(text, text);
  return text;
};
on('StartReceiePathFiles', (header) => {
  if (!ours(header)) return;
  state.rows = [];
  shared = new Map();
});
on('InReceiePathFiles', (header, rows) => {
  if (!ours(header) || !Array.isArray(rows)) return;
  for (const row of rows) {
    if (Array.isArray(row) && row.length >= ROW_LENGTH) {
      const date = once(row[ROW.date]);
      for (const at of ROW_TIMES) row[at] = date;
      row[ROW.path] = once(row[ROW.path]);
      row[ROW.type] = once(row[ROW.type]);
    }
    state.rows.push(row);
  }
  viewChanged();
});
on('EndReceiePathFiles', (header) => {
  if (!ours(header)) return;
  updateView({ keepCursor: true });
  if (state.listing?.kind === 'filter') {
    $('filter-result').textContent = state.rows.length === 0 ? 'No file matches.'
      : `${formatCount(state.rows.length, 'file matches', 'files match')}.`;
  }
});

async function runFilter(event) {
  event.preventDefault();
  $('filter-result').textContent = 'Looking…';
  const form = $('filter-form');
  const filter = {};
  const kinds = [];
  for (const box of form.querySelectorAll('input[type=checkbox]')) {
    filter[box.name] = box.checked ? Number(box.value) : 0;
    if (box.checked) kinds.push(box.parentElement.textContent.trim());
  }
  const mb = (id) => Math.max(0, Number($(id).value) || 0) * 1e6;
  const low = mb('filter-min');
  const high = mb('filter-max');
  // Only a lower bound: no upper one. Both empty: no size test at all.
  filter.StartSize = String(Math.floor(low));
  filter.EndSize = String(high > 0 ? Math.floor(high) : low > 0 ? Number.MAX_SAFE_INTEGER : 0);
  filter.StartTime = '0';
  filter.EndTime = $('filter-age').value;
  const tag = `f${nextTag++}`;
  // The rows come as a folder's do, under this tag.
  state.tag = tag;
  state.listing = { kind: 'filter', text: '' };
  state.rows = [];
  const answer = await call('GetScanFilterFiles', state.scanId, tag, filter);
  if (refused(answer)) return;
  if (answer !== 0) {
    $('filter-result').textContent = 'Filters can be used once the scan has ended or is paused.';
    return;
  }
  const parts = [kinds.join(', ') || 'All kinds'];
  if (low > 0) parts.push(`at least ${formatSize(low)}`);
  if (high > 0) parts.push(`at most ${formatSize(high)}`);
  if ($('filter-age').value !== '0') parts.push(`changed ${$('filter-age').selectedOptions[0].textContent}`);
  state.listing.text = parts.join(' · ');
  $('folder-name').textContent = `Matching files: ${state.listing.text}`;
  $('filter-result').textContent = 'Looking…';
  renderTree();
  updateView();
}

// ---- The file list ------------------------------------------------------

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });
const COMPARE = {
  [ROW.name]: (a, b) => collator.compare(String(a[ROW.name]), String(b[ROW.name])),
  [ROW.exist]: (a, b) => rowState(a[ROW.exist]) - rowState(b[ROW.exist]),
  [ROW.size]: (a, b) => Number(a[ROW.size]) - Number(b[ROW.size]),
  [ROW.type]: (a, b) => collator.compare(String(a[ROW.type]), String(b[ROW.type])),
  [ROW.date]: (a, b) => String(a[ROW.date]).trim().localeCompare(String(b[ROW.date]).trim()),
};

// The rows shown: the listing's rows that are files, with the name filter
// and the sort applied.
function viewRows() {
  const needle = state.nameFilter.toLocaleLowerCase();
  let rows = state.rows.filter((r) => Array.isArray(r) && r.length >= 9);
  if (needle) rows = rows.filter((r) => String(r[ROW.name]).toLocaleLowerCase().includes(needle));
  const compare = COMPARE[state.sortKey];
  if (compare) {
    rows = rows.slice().sort(state.sortDown ? (a, b) => compare(b, a) : compare);
  }
  return rows;
}

function updateView(options = {}) {
  grid.setRows(viewRows(), options);
  const shown = grid.rows.length;
  const all = state.rows.length;
  $('rows-count').textContent = state.listing === null ? ''
    : shown === all ? formatCount(all, 'file', 'files') : `${shown.toLocaleString()} of ${formatCount(all, 'file', 'files')} shown`;
  for (const head of document.querySelectorAll('.grid-head [data-key]')) {
    const key = Number(head.dataset.key);
    head.setAttribute('aria-sort', key === state.sortKey ? (state.sortDown ? 'descending' : 'ascending') : 'none');
  }
  renderPickAll();
}

// Rows arrive in batches of a hundred; the view follows a few times a second.
let viewTimer = null;
function viewChanged() {
  if (viewTimer) return;
  viewTimer = setTimeout(() => {
    viewTimer = null;
    updateView({ keepCursor: true });
  }, 150);
}

function makeRow() {
  const row = element('div', undefined, 'grid-row');
  row.setAttribute('role', 'row');
  const pickCell = element('span', undefined, 'pick');
  pickCell.setAttribute('role', 'gridcell');
  const pick = element('input');
  pick.type = 'checkbox';
  pick.tabIndex = -1;
  pickCell.append(pick);
  row.append(pickCell);
  for (const name of ['name', 'state', 'size', 'type', 'date']) {
    const cell = element('span', '', name);
    cell.setAttribute('role', 'gridcell');
    row.append(cell);
  }
  return row;
}

function fillRow(node, row) {
  const [pickCell, name, fileState, size, type, date] = node.children;
  const index = row[ROW.index];
  const pick = pickCell.firstChild;
  pick.checked = state.pickedFiles.has(index);
  pick.setAttribute('aria-label', `Select ${shown(row[ROW.name])}`);
  name.textContent = shown(row[ROW.name]);
  name.title = shown(state.listing?.kind === 'filter' && row[ROW.path] ? `${row[ROW.path]}${row[ROW.name]}` : row[ROW.name]);
  if (state.listing?.kind === 'filter') {
    name.append(element('span', row[ROW.path] ? shown(row[ROW.path]).replace(/\\$/, '').replaceAll('\\', ' › ') : '(no folder)', 'where'));
  }
  const code = rowState(row[ROW.exist]);
  fileState.textContent = stateWords(code);
  fileState.className = `state state-${code}`;
  size.textContent = formatSize(row[ROW.size]);
  type.textContent = row[ROW.type];
  type.title = String(row[ROW.type]);
  date.textContent = formatDate(row[ROW.date]);
  node.classList.toggle('picked', pick.checked);
  node.setAttribute('aria-selected', String(pick.checked));
}

function toggleFile(row, checked) {
  const index = row[ROW.index];
  const on = checked ?? !state.pickedFiles.has(index);
  if (on) state.pickedFiles.set(index, Number(row[ROW.size]) || 0); else state.pickedFiles.delete(index);
  grid.refresh();
  renderPicked();
  renderPickAll();
}

function allShownPicked() {
  return grid.rows.length > 0 && grid.rows.every((r) => state.pickedFiles.has(r[ROW.index]));
}

function renderPickAll() {
  $('pick-all').textContent = allShownPicked() ? 'Clear the selection shown' : 'Select all shown';
  $('pick-all').disabled = state.closed || grid.rows.length === 0;
}

function pickAll() {
  const on = !allShownPicked();
  for (const row of grid.rows) {
    if (on) state.pickedFiles.set(row[ROW.index], Number(row[ROW.size]) || 0); else state.pickedFiles.delete(row[ROW.index]);
  }
  grid.refresh();
  renderPicked();
  renderPickAll();
}

function sortBy(key) {
  if (state.sortKey === key) state.sortDown = !state.sortDown;
  else {
    state.sortKey = key;
    state.sortDown = key === ROW.size || key === ROW.date;  // largest and newest first
  }
  updateView();
}

const grid = new VirtualGrid($('grid'), $('grid-body'), $('grid-space'), {
  make: makeRow,
  fill: fillRow,
  onToggle: toggleFile,
  onActivate: (row) => preview(row),
});

// ---- Preview ------------------------------------------------------------

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}

function imageType(b) {
  const starts = (...sig) => sig.every((v, i) => b[i] === v);
  if (starts(0xff, 0xd8, 0xff)) return 'image/jpeg';
  if (starts(0x89, 0x50, 0x4e, 0x47)) return 'image/png';
  if (starts(0x47, 0x49, 0x46, 0x38)) return 'image/gif';
  if (starts(0x42, 0x4d)) return 'image/bmp';
  if (starts(0x52, 0x49, 0x46, 0x46) && b[8] === 0x57 && b[9] === 0x45 && b[10] === 0x42 && b[11] === 0x50) return 'image/webp';
  return '';
}

function looksLikeText(bytes) {
  if (bytes.length === 0) return true;
  let odd = 0;
  for (const b of bytes.subarray(0, 4096)) if (b === 0 || (b < 0x20 && b !== 9 && b !== 10 && b !== 13)) odd += 1;
  return odd === 0;
}

function hexDump(bytes) {
  const lines = [];
  for (let at = 0; at < Math.min(bytes.length, 1024); at += 16) {
    const chunk = [...bytes.subarray(at, at + 16)];
    const hex = chunk.map((b) => b.toString(16).padStart(2, '0')).join(' ').padEnd(47);
    const text = chunk.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hex}  ${text}`);
  }
  return lines.join('\n');
}

let previewUrl = '';
async function preview(row) {
  const index = row[ROW.index];
  state.previewIndex = index;
  $('preview').hidden = false;
  $('preview-name').textContent = shown(row[ROW.name]);
  $('preview-note').textContent = 'Reading…';
  $('preview-image').hidden = true;
  $('preview-text').hidden = true;
  // The bytes come with SetFilePreview; a slow disk may take a while.
  state.previewRow = row;
  if (refused(await call('GetFilePreview', state.scanId, index, PREVIEW_BYTES))) {
    $('preview-note').textContent = 'This file belongs to an earlier scan: scan again to preview it.';
  }
}

on('SetFilePreview', (index, answer, scan) => {
  // Another file (or scan) was chosen meanwhile.
  if (index !== state.previewIndex || scan !== state.scanId || !state.previewRow) return;
  showPreview(state.previewRow, answer);
});

function showPreview(row, answer) {
  const index = row[ROW.index];
  if (answer === 1) {
    $('preview-note').textContent = 'The files are being recovered; the preview can be shown when that is done.';
    return;
  }
  if (!Array.isArray(answer)) {
    $('preview-note').textContent = 'This file cannot be previewed.';
    return;
  }
  const { size, data, reasons } = previewAnswer(answer);
  const bytes = bytesOf(String(data));
  const notes = [];
  if (reasons) notes.push(`Not all of it can be read: ${reasons}.`);
  if (Number(size) > bytes.length) notes.push(`The first ${formatSize(bytes.length)} of ${formatSize(size)} are shown.`);
  if (rowState(row[ROW.exist]) !== 1) notes.push('Files that were deleted may have been partly overwritten since; the preview shows what is there now.');
  const type = imageType(bytes);
  if (previewUrl) URL.revokeObjectURL(previewUrl);
  previewUrl = '';
  if (type) {
    previewUrl = URL.createObjectURL(new Blob([bytes], { type }));
    const picture = $('preview-image');
    picture.onerror = () => {
      if (state.previewIndex !== index) return;
      // Damaged or overwritten: what is there is shown as bytes.
      picture.hidden = true;
      $('preview-text').textContent = hexDump(bytes);
      $('preview-text').hidden = false;
      $('preview-note').textContent = `${notes.join(' ')} This picture cannot be shown: its data may be damaged or overwritten. Its first bytes:`.trim();
    };
    picture.src = previewUrl;
    picture.alt = `Picture ${shown(row[ROW.name])}`;
    picture.hidden = false;
  } else if (looksLikeText(bytes)) {
    $('preview-text').textContent = new TextDecoder().decode(bytes.subarray(0, 8192));
    $('preview-text').hidden = false;
  } else {
    $('preview-text').textContent = hexDump(bytes);
    $('preview-text').hidden = false;
    notes.push('Shown as bytes: this is not text.');
  }
  if (bytes.length === 0) notes.push('The file is empty.');
  $('preview-note').textContent = notes.join(' ');
}

// ---- Recovery -----------------------------------------------------------

function renderPicked() {
  const files = state.pickedFiles.size;
  let bytes = 0;
  for (const size of state.pickedFiles.values()) bytes += size;
  const parts = [];
  if (files) parts.push(`${formatCount(files, 'file', 'files')} (${formatSize(bytes)})`);
  if (state.pickedFolders.size) {
    let inside = 0;
    for (const folder of state.pickedFolders) inside += state.tree.get(folder) || 0;
    parts.push(`everything in ${formatCount(state.pickedFolders.size, 'folder', 'folders')} (${formatCount(inside, 'file', 'files')})`);
  }
  const text = parts.join(' and ');
  $('selected').textContent = parts.length ? text[0].toUpperCase() + text.slice(1) : 'Nothing';
  $('recover-start').disabled = state.closed || parts.length === 0;
}

let recoveryPoll = null;
async function startRecovery() {
  const destination = $('destination').value.trim();
  const selection = [...[...state.pickedFolders].map(folderSelection), ...state.pickedFiles.keys()];
  const answer = await call('RecoveryScanFiles', state.scanId, selection, destination);
  if (refused(answer)) {
    $('recover-result').textContent = 'Nothing was written: this selection belongs to an earlier scan. Scan the drive again, or open the current scan, and choose the files there.';
    $('recover-result').classList.add('refused');
    return;
  }
  if (answer !== 0) {
    $('recover-result').textContent = 'Another task is still running; the files were not recovered yet.';
    return;
  }
  state.destination = destination;
  watchRecovery();
}

// The recovery's progress, polled until it ends.
function watchRecovery() {
  $('recover-start').disabled = true;
  $('open-destination').hidden = true;
  $('recover-problems').replaceChildren();
  $('recover-progress').hidden = false;
  $('recover-progress').value = 0;
  $('recover-result').textContent = 'Recovering…';
  $('recover-result').classList.remove('refused');
  clearInterval(recoveryPoll);
  recoveryPoll = setInterval(async () => {
    if (state.closed) return;
    const { count, total, path } = recoverProgress(await call('GetRecoverProc'));
    $('recover-progress').max = Math.max(1, total);
    $('recover-progress').value = count;
    if (total > 0) $('recover-result').textContent = `Recovering ${count.toLocaleString()} of ${formatCount(total, 'file', 'files')}: ${path}`;
  }, 250);
}

async function recoveryEnded() {
  clearInterval(recoveryPoll);
  $('recover-progress').hidden = true;
  if (state.stale || $('recover').hidden) return;
  renderPicked();
  await showRecoverReport();
}

async function showRecoverReport() {
  const answer = await call('GetRecoverReport');
  if (!Array.isArray(answer)) {
    $('recover-result').textContent = 'The recovery ended without a report.';
    return;
  }
  const { selected, written, partial, failed, bytes, stopped, gone, problems, refusal } = recoverReport(answer);
  if (refusal) {
    $('recover-result').textContent = `Nothing was written: ${refusal}`;
    $('recover-result').classList.add('refused');
    return;
  }
  const lines = [`${formatCount(written, 'file was', 'files were')} recovered whole (${formatSize(bytes)} in all)${state.destination ? ` into ${state.destination}` : ''}.`];
  if (partial) lines.push(`${formatCount(partial, 'file', 'files')} could be read only in part: saved with “.partial” at the end of the name.`);
  if (failed) lines.push(`${formatCount(failed, 'file', 'files')} could not be recovered.`);
  if (stopped) lines.push(`The recovery was stopped before all ${Number(selected).toLocaleString()} were done.`);
  if (gone) lines.push('The drive went away during the recovery; connect it again and recover the rest.');
  $('recover-result').textContent = lines.join(' ');
  const list = $('recover-problems');
  list.replaceChildren();
  for (const { source, output, partial: part, reasons } of problems) {
    const item = element('li', undefined, part ? 'partial' : 'failed');
    item.append(element('span', shown(source), 'name'));
    item.append(element('span', ` — ${part ? 'partly recovered' : 'not recovered'}${reasons ? `: ${reasons}` : ''}`));
    if (output) item.title = output;
    list.append(item);
  }
  $('open-destination').hidden = Number(written) + Number(partial) === 0;
}

// ---- Start --------------------------------------------------------------

async function discardSaved() {
  if ((await call('DiscardSavedScan')) === 0) {
    $('saved').hidden = true;
    setStatus('The saved scan was forgotten.');
  } else {
    setStatus('The saved scan cannot be forgotten while a task runs.');
  }
}

async function start() {
  $('refresh').addEventListener('click', () => showDisks());
  $('image-form').addEventListener('submit', openImage);
  $('folder-form').addEventListener('submit', scanFolder);
  $('resume').addEventListener('click', resumeSaved);
  $('stale-open').addEventListener('click', async () => {
    $('stale').hidden = true;
    if (!(await attach())) backToStart();
  });
  $('stale-start').addEventListener('click', backToStart);
  $('discard').addEventListener('click', discardSaved);
  $('pause').addEventListener('click', () => call('StopOperate', 1));
  $('stop').addEventListener('click', () => call('StopOperate', 2));
  $('deep').addEventListener('click', deepScanAgain);
  $('new-scan').addEventListener('click', backToStart);
  $('tree').addEventListener('click', treeClick);
  $('tree').addEventListener('keydown', treeKey);
  $('filter-form').addEventListener('submit', runFilter);
  let typing = null;
  $('name-filter').addEventListener('input', () => {
    clearTimeout(typing);
    typing = setTimeout(() => { state.nameFilter = $('name-filter').value.trim(); updateView(); }, 120);
  });
  $('pick-all').addEventListener('click', pickAll);
  for (const head of document.querySelectorAll('.grid-head [data-key]')) {
    head.addEventListener('click', () => sortBy(Number(head.dataset.key)));
  }
  $('recover-start').addEventListener('click', () => startRecovery());
  $('open-destination').addEventListener('click', () => call('OpenFolderPath', state.destination));
  onClosed(programEnded);
  $('destination').value = await call('GetIndependentPath', 2);
  setStatus(`Quenlar ${await call('GetAppVersion')}`);
  await Promise.all([showDisks(), showSavedScan()]);
  // A page that comes while a scan runs, or after one ended (a reload, a
  // second window), shows it as it stands, unless the user has started
  // something meanwhile.
  if (!state.starting && !state.scanId) await attach();
}

// The program has gone: every action is off, and the page says so.
function programEnded() {
  if (state.closed) return;
  state.closed = true;
  state.scanning = false;
  clearInterval(recoveryPoll);
  document.body.classList.add('program-ended');
  for (const control of document.querySelectorAll('main button, main input, main select')) control.disabled = true;
  // Nothing of the page takes a click or a key any more (the tree, the list).
  document.querySelector('main').inert = true;
  $('grid').setAttribute('aria-disabled', 'true');
  $('ended').hidden = false;
  setStatus('Quenlar has ended. Start it again to go on.');
}

start().catch((error) => {
  if (state.closed) return;
  setStatus(`The program cannot be reached: ${error.message}`);
});
