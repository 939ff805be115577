// The file list: a folder's subfolders and files, or what a search and the
// filters found across all folders; sorted, filtered by name, and picked for
// recovery.
import { listingHeader, ROW, ROW_LENGTH, ROW_TIMES, rowState } from './answers.js';
import { formatCount, formatDate, formatDay, formatShortDate, formatSize, likelyWhole, shown, stateWords, verdictRank, verdictWords } from './format.js';
import { VirtualGrid } from './grid.js';
import { call, on } from './native.js';
import { $, element, session } from './page.js';
import { childFolders, renderTree, treeView } from './tree.js';
import { bytesOf, imageType, preview } from './preview.js';
import { inPickedFolder, picks, renderPicked } from './recover.js';
import { refused } from './app.js';

// The file list: what it lists and how.
export const listView = {
  listing: null,          // { kind: 'folder', path } or { kind: 'filter', text }
  folder: '',             // the folder listed last: a search cleared goes back to it
  tag: '',                // the listing asked for last; older answers are dropped
  rows: [],               // the listing's FileRows as they came
  folders: [],            // a folder listing's subfolders, as rows (see folderRow)
  sortKey: -1,
  sortDown: false,
  nameFilter: '',
};

// A subfolder in a folder's list: a row like a file's, marked by `folder`.
function folderRow(path) {
  const row = new Array(ROW_LENGTH).fill('');
  row[ROW.name] = path.slice(path.lastIndexOf('\\') + 1);
  row[ROW.index] = -1;
  row[ROW.type] = 'Folder';
  row[ROW.size] = 0;
  row.folder = path;
  return row;
}

// The rows of a folder's subfolders, after one that goes up a level.
function foldersOf(path) {
  const rows = childFolders(path).map(folderRow);
  if (path !== '') {
    const up = folderRow(path.includes('\\') ? path.slice(0, path.lastIndexOf('\\')) : '');
    up[ROW.name] = up.folder === '' ? 'Up to all files' : `Up to ${up.folder.slice(up.folder.lastIndexOf('\\') + 1)}`;
    up.up = true;
    rows.unshift(up);
  }
  return rows;
}

// Pictures in the list, when asked for: each read once, one at a time, for
// the rows in view only, and never while a scan reads the drive (the
// program answers "later" then).
const PICTURE_KINDS = /\.(jpe?g|jpe|png|gif|bmp|webp|tiff?|cr2|nef|arw|dng|orf|rw2|pef|srw)$/i;
const KEPT_PICTURES = 400;
const thumbs = {
  on: false,
  scan: '',
  shown: new Map(),       // index → object URL, or '' when there is none to show
  wanted: new Set(),      // indices of rows drawn without their picture
  asking: null,           // the index asked for, until it is answered
  later: null,            // the timer of a retry while the drive is busy
};

// The pictures kept are of the current scan's files: another scan's go.
function samePictureScan() {
  if (thumbs.scan === session.scanId) return;
  for (const url of thumbs.shown.values()) if (url) URL.revokeObjectURL(url);
  thumbs.shown.clear();
  thumbs.wanted.clear();
  thumbs.scan = session.scanId;
}

function keepPicture(index, url) {
  thumbs.shown.set(index, url);
  for (const [old, oldUrl] of thumbs.shown) {
    if (thumbs.shown.size <= KEPT_PICTURES) break;
    if (oldUrl) URL.revokeObjectURL(oldUrl);
    thumbs.shown.delete(old);
  }
}

function askNextPicture() {
  if (!thumbs.on || thumbs.asking !== null || thumbs.later || session.closed) return;
  const drawn = new Set(grid.drawnRows().map((row) => row[ROW.index]));
  for (const index of thumbs.wanted) {
    thumbs.wanted.delete(index);
    if (!drawn.has(index) || thumbs.shown.has(index)) continue;
    thumbs.asking = index;
    call('GetThumbnail', session.scanId, index).then((answer) => {
      if (answer === 0) return;
      thumbs.asking = null;
      refused(answer);
    });
    return;
  }
}

on('SetThumbnail', (index, answer, scan) => {
  if (index === thumbs.asking) thumbs.asking = null;
  if (scan !== session.scanId || scan !== thumbs.scan) {
    askNextPicture();  // the rows of the scan shown now may wait for their turn
    return;
  }
  if (answer === 1) {
    // The drive is busy: asked again in a while.
    thumbs.wanted.add(index);
    thumbs.later = setTimeout(() => {
      thumbs.later = null;
      askNextPicture();
    }, 2000);
    return;
  }
  let url = '';
  if (typeof answer === 'string' && answer) {
    const bytes = bytesOf(answer);
    url = URL.createObjectURL(new Blob([bytes], { type: imageType(bytes) || 'image/jpeg' }));
  }
  keepPicture(index, url);
  grid.refresh();
  askNextPicture();
});

// The picture of a file row, drawn at the start of its name cell.
function drawPicture(name, row) {
  if (!thumbs.on || !PICTURE_KINDS.test(String(row[ROW.name]))) return;
  samePictureScan();
  const index = row[ROW.index];
  const url = thumbs.shown.get(index);
  const picture = element(url ? 'img' : 'span', undefined, url ? 'thumb' : 'thumb none');
  if (url) {
    picture.alt = '';
    picture.src = url;
    // Bytes no browser can show (overwritten, or a kind it does not know).
    // (The row may have been drawn again meanwhile: it is drawn anew.)
    picture.onerror = () => {
      if (thumbs.shown.get(index) === url) {
        URL.revokeObjectURL(url);
        thumbs.shown.set(index, '');
      }
      grid.refresh();
    };
  } else if (url === undefined) {
    picture.classList.add('waiting');
    thumbs.wanted.add(index);
    queueMicrotask(askNextPicture);
  }
  name.prepend(picture);
}

export function showPictures(on) {
  thumbs.on = on;
  samePictureScan();
  $('show-pictures').setAttribute('aria-pressed', String(on));
  $('grid').classList.toggle('pictures', on);
  grid.setRowRems(on ? 3.5 : 2);
}

// The folder a file row lies in, as the tree names it ("" the root).
function rowFolder(row) {
  if (listView.listing?.kind === 'folder') return listView.listing.path;
  return String(row[ROW.path] ?? '').replace(/\\$/, '');
}

// ---- Listings: a folder's files, or a search's and the filters' ------------

let nextTag = 1;
export async function listFolder(path, { keep = false } = {}) {
  if (!keep) document.dispatchEvent(new CustomEvent('listing-changed'));
  listView.listing = { kind: 'folder', path };
  listView.folder = path;
  listView.tag = `t${nextTag++}`;
  if (!keep) listView.rows = [];
  listView.folders = foldersOf(path);
  document.body.classList.remove('show-tree');
  $('tree-toggle').setAttribute('aria-expanded', 'false');
  $('folder-name').textContent = path === '' ? 'All files' : shown(path).replaceAll('\\', ' › ');
  if (!keep) {
    clearFinding();
  }
  renderTree();
  updateView({ keepCursor: keep });
  refused(await call('GetScanPathFiles', session.scanId, listView.tag, path));
}

// The tree grew: a folder listing shows its new subfolders.
export function foldersChanged() {
  if (listView.listing?.kind !== 'folder') return;
  listView.folders = foldersOf(listView.listing.path);
  viewChanged();
}

// A listing's rows are the page's when they come under its latest tag, of
// the scan it shows.
const ours = (answer) => {
  const header = listingHeader(answer);
  return header.valid && header.tag === listView.tag && header.scan === session.scanId;
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
  listView.rows = [];
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
      row[ROW.reason] = once(row[ROW.reason]);
    }
    listView.rows.push(row);
  }
  viewChanged();
});
on('EndReceiePathFiles', (header) => {
  if (!ours(header)) return;
  updateView({ keepCursor: true });
  if (listView.listing?.kind === 'filter') {
    $('filter-result').textContent = listView.rows.length === 0 ? 'No file matches.'
      : `${formatCount(listView.rows.length, 'file matches', 'files match')}.`;
  }
});

// ---- The search and the filters -------------------------------------------

const KIND_CODES = { Pictures: 1, Documents: 2, Videos: 3, Audio: 4, Emails: 5 };

// The sizes chosen, in bytes: [low, high] (0: no bound); null when the
// custom bounds cannot hold a file.
function sizeBounds() {
  const choice = $('filter-size').value;
  if (choice === '') return [0, 0];
  if (choice !== 'custom') {
    const [low, high] = choice.split('-').map((v) => Number(v) || 0);
    return [low, high];
  }
  const bound = (id) => Math.max(0, Number($(id).value) || 0) * Number($(`${id}-unit`).value);
  return [bound('filter-min'), bound('filter-max')];
}

// One chip per criterion in use; its button takes it off.
function drawChips(criteria) {
  const chips = $('chips');
  chips.replaceChildren();
  for (const { text, clear } of criteria) {
    const item = element('li');
    const button = element('button', `${text} ✕`);
    button.type = 'button';
    button.setAttribute('aria-label', `Remove “${text}”`);
    button.addEventListener('click', () => {
      clear();
      runFilter();
    });
    item.append(button);
    chips.append(item);
  }
}

// A new listing starts unfiltered by name (the box may be hidden in a
// narrow window).
function clearNameFilter() {
  listView.nameFilter = '';
  $('name-filter').value = '';
}

function clearFinding() {
  clearNameFilter();
  $('search').value = '';
  $('filter-kind').value = '';
  $('filter-size').value = '';
  $('size-custom').hidden = true;
  $('filter-age').value = '0';
  $('filter-verdict').value = '';
  $('chips').replaceChildren();
  $('filter-result').textContent = '';
  $('filter-result').classList.remove('refused');
}

// Lists what the search and the filters find across all folders: files
// only, each with its folder. With none in use, the folder listed last
// comes back.
export async function runFilter(event) {
  event?.preventDefault();
  const result = $('filter-result');
  result.classList.remove('refused');
  $('size-custom').hidden = $('filter-size').value !== 'custom';
  const name = $('search').value.trim();
  const kind = $('filter-kind').value;
  const [low, high] = sizeBounds();
  const hours = $('filter-age').value;
  const verdicts = $('filter-verdict').value;
  const criteria = [];
  if (name) criteria.push({ text: `Name: ${name}`, clear: () => { $('search').value = ''; } });
  if (kind) criteria.push({ text: $('filter-kind').selectedOptions[0].textContent, clear: () => { $('filter-kind').value = ''; } });
  const clearSize = () => { $('filter-size').value = ''; $('size-custom').hidden = true; };
  if (low > 0 && high > 0) criteria.push({ text: `${formatSize(low)} to ${formatSize(high)}`, clear: clearSize });
  else if (low > 0) criteria.push({ text: `At least ${formatSize(low)}`, clear: clearSize });
  else if (high > 0) criteria.push({ text: `At most ${formatSize(high)}`, clear: clearSize });
  if (hours !== '0') criteria.push({ text: $('filter-age').selectedOptions[0].textContent, clear: () => { $('filter-age').value = '0'; } });
  if (verdicts) criteria.push({ text: $('filter-verdict').selectedOptions[0].textContent, clear: () => { $('filter-verdict').value = ''; } });
  drawChips(criteria);
  if (high > 0 && low > high) {
    result.textContent = `No file can be at least ${formatSize(low)} and at most ${formatSize(high)}: the smallest size is above the largest.`;
    result.classList.add('refused');
    return;
  }
  if (criteria.length === 0) {
    result.textContent = '';
    if (listView.listing?.kind === 'filter') listFolder(listView.folder, { keep: false });
    return;
  }
  result.textContent = 'Looking…';
  const filter = { Name: name, StartTime: '0', EndTime: hours, Verdicts: verdicts };
  for (const [key, code] of Object.entries(KIND_CODES)) filter[key] = kind === key ? code : 0;
  // Only a lower bound: no upper one. Both 0: no size test at all.
  filter.StartSize = String(Math.floor(low));
  filter.EndSize = String(high > 0 ? Math.floor(high) : low > 0 ? Number.MAX_SAFE_INTEGER : 0);
  clearNameFilter();
  const tag = `f${nextTag++}`;
  // The rows come as a folder's do, under this tag, and may all have come
  // before the call's answer: the view is the filter's before it is asked.
  listView.tag = tag;
  listView.listing = { kind: 'filter', text: criteria.map((c) => c.text).join(' · ') };
  listView.rows = [];
  listView.folders = [];
  $('folder-name').textContent = `Matching files in all folders: ${listView.listing.text}`;
  renderTree();
  updateView();
  const answer = await call('GetScanFilterFiles', session.scanId, tag, filter);
  if (refused(answer)) return;
  if (answer !== 0 && listView.tag === tag) {
    result.textContent = 'Searching all folders can be done once the scan has ended or is paused.';
  }
}

// ---- The file list ------------------------------------------------------

export const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });
const COMPARE = {
  [ROW.name]: (a, b) => collator.compare(String(a[ROW.name]), String(b[ROW.name])),
  [ROW.exist]: (a, b) => rowState(a[ROW.exist]) - rowState(b[ROW.exist]),
  [ROW.size]: (a, b) => Number(a[ROW.size]) - Number(b[ROW.size]),
  [ROW.type]: (a, b) => collator.compare(String(a[ROW.type]), String(b[ROW.type])),
  [ROW.date]: (a, b) => String(a[ROW.date]).trim().localeCompare(String(b[ROW.date]).trim()),
  [ROW.verdict]: (a, b) => verdictRank(a[ROW.verdict]) - verdictRank(b[ROW.verdict]),
};

// The rows shown: the subfolders first, then the listing's files, with the
// name filter and the sort applied.
function viewRows() {
  const needle = listView.nameFilter.toLocaleLowerCase();
  let rows = listView.rows.filter((r) => Array.isArray(r) && r.length >= ROW_LENGTH);
  let folders = listView.folders;
  if (needle) {
    const holds = (r) => String(r[ROW.name]).toLocaleLowerCase().includes(needle);
    rows = rows.filter(holds);
    folders = folders.filter(holds);
  }
  const compare = COMPARE[listView.sortKey];
  if (compare) {
    const order = listView.sortDown ? (a, b) => compare(b, a) : compare;
    rows = rows.slice().sort(order);
    if (listView.sortKey === ROW.name) folders = folders.slice().sort((a, b) => (b.up === true) - (a.up === true) || order(a, b));
  }
  return folders.length ? [...folders, ...rows] : rows;
}

export function updateView(options = {}) {
  grid.setRows(viewRows(), options);
  const files = grid.rows.length - grid.rows.filter((r) => r.folder !== undefined).length;
  const all = listView.rows.length;
  const folders = listView.folders.filter((r) => !r.up).length;
  $('rows-folders').textContent = folders && listView.listing !== null ? `${formatCount(folders, 'folder', 'folders')} and` : '';
  $('rows-count').textContent = listView.listing === null ? ''
    : files === all ? formatCount(all, 'file', 'files') : `${files.toLocaleString()} of ${formatCount(all, 'file', 'files')} shown`;
  // How many of them are likely to come back whole.
  const whole = listView.rows.reduce((n, r) => n + (Array.isArray(r) && likelyWhole(r[ROW.verdict]) ? 1 : 0), 0);
  $('rows-whole').textContent = listView.listing === null || all === 0 ? ''
    : `· ${whole.toLocaleString()} of ${all.toLocaleString()} likely to come back whole`;
  for (const head of document.querySelectorAll('.grid-head [data-key]')) {
    const key = Number(head.dataset.key);
    head.parentElement.setAttribute('aria-sort', key === listView.sortKey ? (listView.sortDown ? 'descending' : 'ascending') : 'none');
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
  pick.disabled = session.closed;  // rows drawn after the program ended take no clicks either
  pickCell.append(pick);
  row.append(pickCell);
  for (const name of ['name', 'state', 'verdict', 'size', 'type', 'date']) {
    const cell = element('span', '', name);
    cell.setAttribute('role', 'gridcell');
    row.append(cell);
  }
  return row;
}

function fillFolderRow(node, row) {
  const [pickCell, name, fileState, verdict, size, type, date] = node.children;
  const pick = pickCell.firstChild;
  pick.hidden = row.up === true;
  node.classList.toggle('up', row.up === true);
  pick.checked = inPickedFolder(row.folder);
  pick.disabled = session.closed;
  pick.setAttribute('aria-label', `Select everything in ${shown(row[ROW.name])}`);
  name.textContent = row.up ? row[ROW.name] : shown(row[ROW.name]);
  name.title = row.folder === '' ? 'All files' : shown(row.folder).replaceAll('\\', ' › ');
  const mark = row.up ? 0 : treeView.marks.get(row.folder) || 0;
  fileState.textContent = mark ? stateWords(mark) : '';
  fileState.className = `state state-${mark}`;
  verdict.textContent = '';
  verdict.className = 'verdict';
  verdict.title = '';
  size.textContent = row.up ? '' : formatCount(treeView.tree.get(row.folder) || 0, 'file', 'files');
  type.textContent = row.up ? '' : 'Folder';
  type.title = '';
  date.textContent = '';
  node.classList.add('folder');
  node.classList.toggle('picked', pick.checked);
  node.setAttribute('aria-selected', String(pick.checked));
}

function fillRow(node, row) {
  if (row.folder !== undefined) {
    fillFolderRow(node, row);
    return;
  }
  node.classList.remove('folder', 'up');
  const [pickCell, name, fileState, verdict, size, type, date] = node.children;
  const index = row[ROW.index];
  const pick = pickCell.firstChild;
  pick.hidden = false;
  // A file in a folder picked whole is picked with it.
  const withFolder = inPickedFolder(rowFolder(row));
  pick.checked = withFolder || picks.pickedFiles.has(index);
  pick.disabled = session.closed || withFolder;
  pick.title = withFolder ? 'Recovered with its folder, which is selected' : '';
  pick.setAttribute('aria-label', `Select ${shown(row[ROW.name])}`);
  name.textContent = shown(row[ROW.name]);
  drawPicture(name, row);
  const filtered = listView.listing?.kind === 'filter';
  name.title = shown(filtered && row[ROW.path] ? `${row[ROW.path]}${row[ROW.name]}` : row[ROW.name]);
  if (filtered) {
    name.append(element('span', row[ROW.path] ? shown(row[ROW.path]).replace(/\\$/, '').replaceAll('\\', ' › ') : 'top of the drive', 'where'));
  }
  const code = rowState(row[ROW.exist]);
  fileState.textContent = stateWords(code);
  fileState.className = `state state-${code}`;
  verdict.textContent = verdictWords(row[ROW.verdict]);
  verdict.title = String(row[ROW.reason] ?? '');
  verdict.className = `verdict verdict-${row[ROW.verdict] || 'unknown'}`;
  size.textContent = formatSize(row[ROW.size]);
  type.textContent = row[ROW.type];
  type.title = String(row[ROW.type]);
  // Day and time; a narrow list shows the day alone.
  date.replaceChildren(element('span', formatShortDate(row[ROW.date]), 'when'), element('span', formatDay(row[ROW.date]), 'day'));
  date.title = formatDate(row[ROW.date]);
  node.classList.toggle('picked', pick.checked);
  node.setAttribute('aria-selected', String(pick.checked));
}

export function toggleFolder(path, checked) {
  const on = checked ?? !picks.pickedFolders.has(path);
  if (on) picks.pickedFolders.add(path); else picks.pickedFolders.delete(path);
  renderTree();
  grid.refresh();
  renderPicked();
  renderPickAll();
}

function toggleRow(row, checked) {
  if (row.up) return;
  if (row.folder !== undefined) {
    toggleFolder(row.folder, checked);
    return;
  }
  if (inPickedFolder(rowFolder(row))) return;  // picked with its folder
  const index = row[ROW.index];
  const on = checked ?? !picks.pickedFiles.has(index);
  if (on) picks.pickedFiles.set(index, Number(row[ROW.size]) || 0); else picks.pickedFiles.delete(index);
  grid.refresh();
  renderPicked();
  renderPickAll();
}

// The rows "select all shown" takes: files alone, not folders.
const shownFiles = () => grid.rows.filter((r) => r.folder === undefined);

function allShownPicked() {
  const files = shownFiles();
  return files.length > 0 && files.every((r) => picks.pickedFiles.has(r[ROW.index]) || inPickedFolder(rowFolder(r)));
}

function renderPickAll() {
  $('pick-all').textContent = allShownPicked() ? 'Clear the selection shown' : 'Select all shown';
  $('pick-all').disabled = session.closed || shownFiles().length === 0;
}

export function pickAll() {
  const on = !allShownPicked();
  for (const row of shownFiles()) {
    if (on) picks.pickedFiles.set(row[ROW.index], Number(row[ROW.size]) || 0); else picks.pickedFiles.delete(row[ROW.index]);
  }
  grid.refresh();
  renderPicked();
  renderPickAll();
}

export function sortBy(key) {
  if (listView.sortKey === key) listView.sortDown = !listView.sortDown;
  else {
    listView.sortKey = key;
    listView.sortDown = key === ROW.size || key === ROW.date;  // largest and newest first
  }
  updateView();
}

const grid = new VirtualGrid($('grid'), $('grid-body'), $('grid-space'), {
  make: makeRow,
  fill: fillRow,
  onToggle: toggleRow,
  onActivate: (row) => (row.folder !== undefined ? listFolder(row.folder) : preview(row)),
});
// A preview checked a file's content: its row shows the surer verdict.
document.addEventListener('row-verdict', () => updateView({ keepCursor: true }));
