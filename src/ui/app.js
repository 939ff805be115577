// The start document's behaviour: the scan the page shows (its start, its
// progress, its end, and the program's current scan in other windows), and
// the wiring of the views (drives.js, tree.js, listing.js, preview.js,
// recover.js) to the page. Everything shown that comes from a volume (names,
// paths, labels) is put in as text, never as markup: a damaged or crafted
// volume can name anything.
import { folderCounts, scanEnd, scanProgress } from './answers.js';
import { formatCount, formatDuration, formatRate, Pace } from './format.js';
import { call, on, onClosed } from './native.js';
import { $, SCAN_WORK, STALE, WORK_DEEP, WORK_NORMAL, WORK_RECOVERY, WORK_RESUME, element, session, setStatus } from './page.js';
import { openImage, pickImage, scanFolder, showDisks, showSavedScan } from './drives.js';
import { renderTree, treeClick, treeKey, treeView } from './tree.js';
import { foldersChanged, listFolder, listView, pickAll, runFilter, showPictures, sortBy, updateView } from './listing.js';
import { clearPreview, wirePreview } from './preview.js';
import {
  chooseDestination, openWithDesktop, picks, recoveryEnded, recoveryPoll, renderPicked, showRecoverReport, startRecovery,
  watchRecovery,
} from './recover.js';

// ---- Scanning -----------------------------------------------------------

function resetResults() {
  clearInterval(checksPoll);
  $('checks').hidden = true;
  treeView.tree.clear();
  treeView.marks.clear();
  treeView.open = new Set(['']);
  treeView.treeFocus = '';
  treeView.files = null;
  listView.listing = null;
  listView.rows = [];
  listView.folders = [];
  picks.pickedFiles.clear();
  picks.pickedFolders.clear();
  $('folder-name').textContent = 'Choose a folder.';
  clearPreview();
  $('recover-result').textContent = '';
  $('recover-result').classList.remove('refused');
  $('filter-result').textContent = '';
  $('chips').replaceChildren();
  $('search').value = '';
  $('recover-problems').replaceChildren();
  $('open-destination').hidden = true;
  $('report-show').hidden = true;
  $('report').close();
  renderTree();
  updateView();
  renderPicked();
}

function showScanning(name) {
  $('scan-title').replaceChildren('Scanning ', element('span', name));
  $('saved').hidden = true;
  $('start').hidden = true;
  $('workspace').hidden = false;
  $('scan-running').hidden = false;
  $('scan-done').hidden = true;
  $('scan-summary').textContent = '';
  $('recover').hidden = false;
  $('deep').hidden = true;
  $('resume-paused').hidden = true;
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

export async function startScan(name, starter, fileSystem = '', { replacesSaved = true, quick = false } = {}) {
  const busy = 'Another task is still running; wait for it to end or stop it first.';
  if ((await call('GetWorkFlag')) !== 0) {
    setStatus(busy);
    await offerCurrentScan();
    return;
  }
  if (replacesSaved && (await call('GetLastScanStatus')) === 1 && !(await askAboutSaved(name))) return;
  // Cleared before the scan starts: its first folders may come before its answer.
  session.starting = true;
  resetResults();
  let scan = '';
  try {
    if ((await starter()) !== 0) {
      setStatus(busy);
      return;
    }
    scan = (await call('GetWorkState')).scan;
  } finally {
    session.starting = false;
  }
  setScan(scan);
  session.scanName = name;
  session.fileSystem = fileSystem;
  session.quick = quick;
  showScanning(name);
  setStatus(`Scanning ${name}…`);
  session.scanning = true;
  session.pace = new Pace();
  session.phase = 0;
  poll();
}

// Loading a large saved scan takes a while before anything shows: the
// waiting animation runs until its files are back.
let awaiting = false;
async function resumeSaved() {
  await startScan($('saved-name').textContent || session.scanName, () => call('ResumeScan'), '', { replacesSaved: false });
  if (session.scanning && !awaiting) {
    awaiting = true;
    call('OpenAwaitGifWindows').catch(() => {});
  }
}

function loaded() {
  if (!awaiting) return;
  awaiting = false;
  call('CloseAwaitGifWindows').catch(() => {});
}

// ---- The scan the page shows, and the program's ---------------------------

function setScan(id) {
  session.scanId = id || '';
  session.stale = false;
  $('stale').hidden = true;
}

// The program holds another scan than the one on the page: what the page
// lists can no longer be acted on.
function markStale(text = 'This list belongs to an earlier scan: scan again or open the current one.') {
  if (session.stale || session.closed) return;
  session.stale = true;
  session.scanning = false;
  clearInterval(recoveryPoll);
  $('stale-text').textContent = text;
  $('stale').hidden = false;
  $('stale-open').hidden = false;
  setStatus('This page shows an earlier scan.');
}

// Whether an answer says the page's scan is no longer the program's.
export function refused(answer) {
  if (answer !== STALE) return false;
  markStale();
  return true;
}

// While the page shows no scan, another window's scan is offered.
async function offerCurrentScan() {
  const work = await call('GetWorkState');
  if (!work.scan || work.scan === session.scanId) return;
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
  session.scanName = work.name || 'the drive';
  session.fileSystem = work.fileSystem;
  showScanning(session.scanName);
  if (work.work & SCAN_WORK) {
    setStatus(`Scanning ${session.scanName}…`);
    session.scanning = true;
    session.pace = new Pace();
    session.phase = 0;
    poll();
  } else {
    await scanEnded((found) => endWords(work, found), { deepAgain: deepAgainAfter(work) });
  }
  if (work.work & WORK_RECOVERY) watchRecovery();
  else if (work.recovery) await showRecoverReport();
  return true;
}

// The deep scan is offered after a quick scan, and after a stop of an NTFS
// deep scan (which goes on where it stopped).
function deepAgainAfter(work) {
  const { told, stop, status } = scanEnd(work.ended);
  if (status === 1 || !work.fileSystem) return false;
  if (!work.deepBegun) return true;
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
  if (phase !== session.phase) {
    session.phase = phase;
    session.pace.reset(now);
  }
  session.pace.add(done, total, now);
  $('scan-progress').value = total > 0 ? Math.min(1000, Math.round((done / total) * 1000)) : 0;
  const quick = session.quick;
  $('scan-phase').textContent = phase === WORK_NORMAL
    ? `${quick ? 'Quick scan' : 'Step 1 of 2'}: reading the file system’s own records of its files, existing and deleted.`
    : phase === WORK_DEEP
      ? 'Step 2 of 2: searching every sector for files the file system has forgotten (deep scan).'
      : flag & WORK_RESUME ? 'Loading the saved scan: what it had found comes back first…' : 'Loading…';
  if (!(flag & WORK_RESUME)) loaded();
  $('scan-elapsed').textContent = formatDuration(session.pace.elapsed(now));
  const left = session.pace.left(now);
  // Progress counts 512-byte sectors, except a FAT scan's, which has none.
  $('scan-rate').textContent = phase === WORK_DEEP && session.pace.samples >= 3 ? formatRate(session.pace.rate * 512)
    : phase === WORK_NORMAL ? 'reading records' : 'estimating';
  $('scan-left').textContent = left === null ? 'time left: estimating' : `about ${formatDuration(left)} left`;
}

let polling = false;
async function poll() {
  if (!session.scanning || session.closed || polling) return;
  polling = true;
  try {
    const [flag, answer, files] = await Promise.all([call('GetWorkFlag'), call('GetScanProc'), call('GetFilesNumber')]);
    const progress = scanProgress(answer);
    if (progress.valid) showProgress(Number(flag), progress.done, progress.total);
    $('found').textContent = Number(files).toLocaleString();
    await takeFolders();
    // A scan that ended before the page knew it ran (a small volume, a busy
    // machine) was told before the page listened: its end is asked for.
    if ((Number(flag) & SCAN_WORK) === 0 && session.scanning) {
      const work = await call('GetWorkState');
      if (work.treeComplete && work.scan === session.scanId) endFromProgram();
    }
  } finally {
    polling = false;
    if (session.scanning) setTimeout(poll, 250);
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
      while (session.scanId && !session.stale && !session.closed) {
        const batch = await call('GetScanFolders', session.scanId);
        if (refused(batch) || !Array.isArray(batch)) break;
        for (const { path, count, mark } of folderCounts(batch)) {
          treeView.tree.set(path, count);
          if (mark) treeView.marks.set(path, mark); else treeView.marks.delete(path);
        }
        renderTree();
        foldersChanged();
      }
    } while (takeAgain);
  })().finally(() => { taking = null; });
  return taking;
}

// `say(found)` gives the words for the end, with the files found by then.
async function scanEnded(say, { deepAgain = false } = {}) {
  session.scanning = false;
  $('scan-running').hidden = true;
  $('scan-done').hidden = false;
  $('deep').hidden = !deepAgain;
  loaded();
  const work = await call('GetWorkState');
  // Files alone: the folders found are counted by the tree.
  const files = work.scan === session.scanId ? Number(work.fileCount) || 0 : Number(await call('GetFilesNumber'));
  treeView.files = files;
  $('found').textContent = files.toLocaleString();
  const text = say(formatCount(files, 'file found', 'files found'));
  $('scan-title').textContent = `Scan of ${session.scanName}`;
  showFaults(work);
  const { stop } = scanEnd(work.ended);
  $('resume-paused').hidden = !(work.saved && stop & 1);
  await takeFolders();
  renderTree();
  $('scan-summary').textContent = text;
  setStatus(text);
  if (listView.listing === null && treeView.tree.size > 0) listFolder('');
  else if (listView.listing?.kind === 'folder') listFolder(listView.listing.path, { keep: true });
  runChecks(true);
}

// ---- The content checks after a scan ---------------------------------------
// The program reads the first and last bytes of every file whose kind can be
// checked, while nothing else runs; the list shows the surer condition once
// they are done.

let checksPoll = null;
async function runChecks(run) {
  clearInterval(checksPoll);
  if (session.stale || session.closed || !session.scanId) return;
  let answer;
  try {
    answer = await call('CheckContents', session.scanId, run);
  } catch {
    return;  // the program has ended
  }
  if (refused(answer) || answer !== 0) return;
  $('checks').hidden = false;
  // The poll is set before the first look, so that the look which sees the
  // end stops it: the folder is then listed again once, not a second time
  // under the user's hands a second later.
  const poll = setInterval(showChecks, 1000);
  checksPoll = poll;
  await showChecks(poll);
}

async function showChecks(poll = checksPoll) {
  let answer;
  try {
    answer = await call('GetContentChecks');
  } catch {
    clearInterval(checksPoll);  // the program has ended
    return;
  }
  if (poll !== checksPoll) return;  // a look that was under way when the poll ended
  const [done = 0, total = 0, paused = 0, running = 0] = Array.isArray(answer) ? answer : [];
  const of = `${Number(done).toLocaleString()} of ${formatCount(total, 'file', 'files')}`;
  const toggle = $('checks-toggle');
  if (paused) {
    $('checks-text').textContent = `Checking the files’ content is paused at ${of}.`;
    toggle.textContent = 'Go on checking';
    toggle.hidden = false;
  } else if (running) {
    // (Before the files are counted, no count is given.)
    const counted = Number(total) > 0 ? `: ${of}.` : '…';
    $('checks-text').textContent = `Checking the content of the files found, for a surer condition${counted}`;
    toggle.textContent = 'Pause';
    toggle.hidden = false;
  } else {
    clearInterval(checksPoll);
    checksPoll = null;
    $('checks-text').textContent = 'The content of every file whose kind can be checked was checked.';
    toggle.hidden = true;
    if (listView.listing?.kind === 'folder' && !session.closed) listFolder(listView.listing.path, { keep: true });
  }
}

// What of the drive's own records could not be read or used, in the
// program's words, and the sectors that could not be read.
function showFaults(work) {
  const list = $('scan-fault-list');
  list.replaceChildren();
  const faults = work.scan === session.scanId && Array.isArray(work.faults) ? [...work.faults] : [];
  const unreadable = work.scan === session.scanId ? Number(work.unreadable) || 0 : 0;
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
  if (!session.scanning || session.ending || session.stale || session.starting) return;
  session.ending = true;
  try {
    const work = await call('GetWorkState');
    if (work.scan !== session.scanId) {
      markStale();
      return;
    }
    await scanEnded((found) => endWords(work, found), { deepAgain: deepAgainAfter(work) });
  } finally {
    session.ending = false;
  }
}

on('AllPathSendFinishedToUi', () => {
  if (session.scanning) endFromProgram();
  else takeFolders();
});
// The program's current scan changed: a page that shows another one can no
// longer act on its rows; one that shows none is offered it.
on('SetCurrentScan', (id) => {
  if (session.starting || session.closed || id === session.scanId) return;
  if (session.scanId) markStale();
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
  if ((await call('GetWorkState')).scan !== session.scanId) {
    markStale();
    return;
  }
  const answer = await call('DeepScanPartition');
  if (answer !== 0) {
    setStatus('The deep scan cannot start now.');
    return;
  }
  session.quick = false;
  showScanning(session.scanName);
  session.scanning = true;
  session.pace = new Pace();
  session.phase = 0;
  poll();
}

function backToStart() {
  $('stale').hidden = true;
  $('workspace').hidden = true;
  $('recover').hidden = true;
  $('report').close();
  $('start').hidden = false;
  showDisks();
  showSavedScan();
}

// "Scan another drive": the results shown are let go, so that the memory
// they hold is free for the next scan (a saved scan stays saved).
async function leaveScan() {
  const work = await call('GetWorkState');
  const name = session.scanName;
  backToStart();
  if (work.scan && work.scan === session.scanId && work.work === 0 && (await call('ReleaseScan')) === 0) {
    session.scanId = '';
    resetResults();
    setStatus(`The results of the scan of ${name} were let go to free memory${work.savedScan ? '; the saved scan is kept' : ''}.`);
  }
}

// ---- Start --------------------------------------------------------------

// Opens the log with the desktop's program; says where it is when that
// cannot be done.
async function showLog(where) {
  const answer = await call('OpenLogFilePath');
  const folder = await call('GetCurrentPath');
  where.textContent = answer === 0 ? 'The folder with the log (Recovery.log) was opened on the desktop.'
    : `The log could not be opened here; it is Recovery.log in ${folder}.`;
}

// The panes' widths follow their splitters, by mouse or by arrow keys.
function wireSplitters() {
  const rem = () => parseFloat(getComputedStyle(document.documentElement).fontSize) || 16;
  for (const [id, variable, sign] of [['split-tree', '--tree-w', 1], ['split-details', '--details-w', -1]]) {
    const splitter = $(id);
    const set = (value) => {
      const min = Number(splitter.getAttribute('aria-valuemin'));
      const max = Number(splitter.getAttribute('aria-valuemax'));
      const width = Math.max(min, Math.min(max, value));
      document.documentElement.style.setProperty(variable, `${width}rem`);
      splitter.setAttribute('aria-valuenow', String(Math.round(width)));
    };
    splitter.addEventListener('pointerdown', (event) => {
      const startX = event.clientX;
      const start = Number(splitter.getAttribute('aria-valuenow'));
      splitter.setPointerCapture(event.pointerId);
      const move = (e) => set(start + (sign * (e.clientX - startX)) / rem());
      splitter.addEventListener('pointermove', move);
      splitter.addEventListener('pointerup', () => splitter.removeEventListener('pointermove', move), { once: true });
    });
    splitter.addEventListener('keydown', (event) => {
      const step = { ArrowLeft: -sign, ArrowRight: sign }[event.key];
      if (!step) return;
      set(Number(splitter.getAttribute('aria-valuenow')) + step);
      event.preventDefault();
    });
  }
}

// What sits above the recovery bar (the details and the folders in a narrow
// window, the report) ends where the bar begins.
function keepBarHeight() {
  new ResizeObserver(() => {
    document.documentElement.style.setProperty('--bar-h', `${$('recover').hidden ? 0 : $('recover').offsetHeight}px`);
  }).observe($('recover'));
}

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
  $('image-pick').addEventListener('click', pickImage);
  $('resume-paused').addEventListener('click', resumeSaved);
  $('show-log').addEventListener('click', () => showLog($('status')));
  $('report-log').addEventListener('click', () => showLog($('open-result')));
  $('report-close').addEventListener('click', () => $('report').close());
  $('report-show').addEventListener('click', () => $('report').show());
  $('open-receipt').addEventListener('click', () => openWithDesktop(picks.receipt, 'The receipt'));
  $('destination-pick').addEventListener('click', chooseDestination);
  $('filters-toggle').addEventListener('click', () => {
    const open = document.body.classList.toggle('show-filters');
    $('filters-toggle').setAttribute('aria-expanded', String(open));
  });
  $('tree-toggle').addEventListener('click', () => {
    const open = document.body.classList.toggle('show-tree');
    $('tree-toggle').setAttribute('aria-expanded', String(open));
  });
  wirePreview();
  wireSplitters();
  keepBarHeight();
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
  $('new-scan').addEventListener('click', leaveScan);
  $('checks-toggle').addEventListener('click', () => runChecks($('checks-toggle').textContent !== 'Pause'));
  $('tree').addEventListener('click', treeClick);
  $('tree').addEventListener('keydown', treeKey);
  $('filter-form').addEventListener('submit', runFilter);
  for (const id of ['filter-kind', 'filter-size', 'filter-age', 'filter-verdict', 'filter-min-unit', 'filter-max-unit']) {
    $(id).addEventListener('change', () => runFilter());
  }
  let searching = null;
  for (const id of ['search', 'filter-min', 'filter-max']) {
    $(id).addEventListener('input', () => {
      clearTimeout(searching);
      searching = setTimeout(() => runFilter(), 300);
    });
  }
  let typing = null;
  $('name-filter').addEventListener('input', () => {
    clearTimeout(typing);
    typing = setTimeout(() => { listView.nameFilter = $('name-filter').value.trim(); updateView(); }, 120);
  });
  $('pick-all').addEventListener('click', pickAll);
  $('show-pictures').addEventListener('click', () => showPictures($('show-pictures').getAttribute('aria-pressed') !== 'true'));
  for (const head of document.querySelectorAll('.grid-head [data-key]')) {
    head.addEventListener('click', () => sortBy(Number(head.dataset.key)));
  }
  $('recover-start').addEventListener('click', () => startRecovery());
  $('open-destination').addEventListener('click', () => openWithDesktop(picks.destination, 'The folder'));
  onClosed(programEnded);
  $('destination').value = await call('GetRecoverDestination');
  setStatus(`Quenlar ${await call('GetAppVersion')}`);
  $('twice').hidden = (await call('CheckProgramRun')) !== 1;
  await Promise.all([showDisks(), showSavedScan()]);
  // A page that comes while a scan runs, or after one ended (a reload, a
  // second window), shows it as it stands, unless the user has started
  // something meanwhile.
  if (!session.starting && !session.scanId) await attach();
}

// The program has gone: every action is off, and the page says so.
function programEnded() {
  if (session.closed) return;
  session.closed = true;
  session.scanning = false;
  clearInterval(recoveryPoll);
  clearInterval(checksPoll);
  document.body.classList.add('program-ended');
  for (const control of document.querySelectorAll('button, input, select')) control.disabled = true;
  for (const dialog of document.querySelectorAll('dialog')) dialog.close();
  // Nothing of the page takes a click or a key any more (the tree, the list).
  document.querySelector('main').inert = true;
  $('recover').inert = true;
  $('grid').setAttribute('aria-disabled', 'true');
  $('ended').hidden = false;
  setStatus('Quenlar has ended. Start it again to go on.');
}

start().catch((error) => {
  if (session.closed) return;
  setStatus(`The program cannot be reached: ${error.message}`);
});
