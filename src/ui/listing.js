// The file list: a folder's files or a filter's, sorted, filtered by name,
// and picked for recovery.
import { listingHeader, ROW, ROW_LENGTH, ROW_TIMES, rowState } from './answers.js';
import { formatCount, formatDate, formatSize, likelyWhole, shown, stateWords, verdictRank, verdictWords } from './format.js';
import { VirtualGrid } from './grid.js';
import { call, on } from './native.js';
import { $, element, session } from './page.js';
import { renderTree } from './tree.js';
import { preview } from './preview.js';
import { picks, renderPicked } from './recover.js';
import { refused } from './app.js';

// The file list: what it lists and how.
export const listView = {
  listing: null,          // { kind: 'folder', path } or { kind: 'filter', text }
  tag: '',                // the listing asked for last; older answers are dropped
  rows: [],               // the listing's FileRows as they came
  sortKey: -1,
  sortDown: false,
  nameFilter: '',
};

// ---- Listings: a folder's files, or a filter's ---------------------------

let nextTag = 1;
export async function listFolder(path, { keep = false } = {}) {
  if (!keep) $('preview').hidden = true;
  listView.listing = { kind: 'folder', path };
  listView.tag = `t${nextTag++}`;
  if (!keep) listView.rows = [];
  $('folder-name').textContent = path === '' ? 'Files at the top of the drive' : shown(path).replaceAll('\\', ' › ');
  renderTree();
  updateView({ keepCursor: keep });
  refused(await call('GetScanPathFiles', session.scanId, listView.tag, path));
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

export async function runFilter(event) {
  event.preventDefault();
  $('filter-result').textContent = 'Looking…';
  const form = $('filter-form');
  const filter = {};
  const kinds = [];
  for (const box of form.querySelectorAll('input[type=checkbox][name]')) {
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
  const wholeOnly = $('filter-whole').checked;
  filter.Verdicts = wholeOnly ? 'intact|likely' : '';
  const parts = [kinds.join(', ') || 'All kinds'];
  if (low > 0) parts.push(`at least ${formatSize(low)}`);
  if (high > 0) parts.push(`at most ${formatSize(high)}`);
  if ($('filter-age').value !== '0') parts.push(`changed ${$('filter-age').selectedOptions[0].textContent}`);
  if (wholeOnly) parts.push('likely to come back whole');
  const tag = `f${nextTag++}`;
  // The rows come as a folder's do, under this tag, and may all have come
  // before the call's answer: the view is the filter's before it is asked.
  listView.tag = tag;
  listView.listing = { kind: 'filter', text: parts.join(' · ') };
  listView.rows = [];
  $('folder-name').textContent = `Matching files: ${listView.listing.text}`;
  renderTree();
  updateView();
  const answer = await call('GetScanFilterFiles', session.scanId, tag, filter);
  if (refused(answer)) return;
  if (answer !== 0)
    $('filter-result').textContent = 'Filters can be used once the scan has ended or is paused.';
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

// The rows shown: the listing's rows that are files, with the name filter
// and the sort applied.
function viewRows() {
  const needle = listView.nameFilter.toLocaleLowerCase();
  let rows = listView.rows.filter((r) => Array.isArray(r) && r.length >= ROW_LENGTH);
  if (needle) rows = rows.filter((r) => String(r[ROW.name]).toLocaleLowerCase().includes(needle));
  const compare = COMPARE[listView.sortKey];
  if (compare) {
    rows = rows.slice().sort(listView.sortDown ? (a, b) => compare(b, a) : compare);
  }
  return rows;
}

export function updateView(options = {}) {
  grid.setRows(viewRows(), options);
  const shown = grid.rows.length;
  const all = listView.rows.length;
  $('rows-count').textContent = listView.listing === null ? ''
    : shown === all ? formatCount(all, 'file', 'files') : `${shown.toLocaleString()} of ${formatCount(all, 'file', 'files')} shown`;
  // How many of them are likely to come back whole.
  const whole = listView.rows.reduce((n, r) => n + (Array.isArray(r) && likelyWhole(r[ROW.verdict]) ? 1 : 0), 0);
  $('rows-whole').textContent = listView.listing === null || all === 0 ? ''
    : `· ${whole.toLocaleString()} of ${all.toLocaleString()} likely to come back whole`;
  for (const head of document.querySelectorAll('.grid-head [data-key]')) {
    const key = Number(head.dataset.key);
    head.setAttribute('aria-sort', key === listView.sortKey ? (listView.sortDown ? 'descending' : 'ascending') : 'none');
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

function fillRow(node, row) {
  const [pickCell, name, fileState, verdict, size, type, date] = node.children;
  const index = row[ROW.index];
  const pick = pickCell.firstChild;
  pick.checked = picks.pickedFiles.has(index);
  pick.setAttribute('aria-label', `Select ${shown(row[ROW.name])}`);
  name.textContent = shown(row[ROW.name]);
  name.title = shown(listView.listing?.kind === 'filter' && row[ROW.path] ? `${row[ROW.path]}${row[ROW.name]}` : row[ROW.name]);
  if (listView.listing?.kind === 'filter') {
    name.append(element('span', row[ROW.path] ? shown(row[ROW.path]).replace(/\\$/, '').replaceAll('\\', ' › ') : '(no folder)', 'where'));
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
  date.textContent = formatDate(row[ROW.date]);
  node.classList.toggle('picked', pick.checked);
  node.setAttribute('aria-selected', String(pick.checked));
}

function toggleFile(row, checked) {
  const index = row[ROW.index];
  const on = checked ?? !picks.pickedFiles.has(index);
  if (on) picks.pickedFiles.set(index, Number(row[ROW.size]) || 0); else picks.pickedFiles.delete(index);
  grid.refresh();
  renderPicked();
  renderPickAll();
}

function allShownPicked() {
  return grid.rows.length > 0 && grid.rows.every((r) => picks.pickedFiles.has(r[ROW.index]));
}

function renderPickAll() {
  $('pick-all').textContent = allShownPicked() ? 'Clear the selection shown' : 'Select all shown';
  $('pick-all').disabled = session.closed || grid.rows.length === 0;
}

export function pickAll() {
  const on = !allShownPicked();
  for (const row of grid.rows) {
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
  onToggle: toggleFile,
  onActivate: (row) => preview(row),
});
// A preview checked a file's content: its row shows the surer verdict.
document.addEventListener('row-verdict', () => updateView({ keepCursor: true }));
