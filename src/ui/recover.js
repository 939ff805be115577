// Recovery: what is picked, where it goes, its progress and its report.
import { recoverProgress, recoverReport } from './answers.js';
import { formatCount, formatSize, shown } from './format.js';
import { call } from './native.js';
import { $, element, session } from './page.js';
import { folderSelection, treeView } from './tree.js';
import { refused } from './app.js';
import { pickPath } from './picker.js';

// What is picked for recovery, and where it goes.
export const picks = {
  pickedFiles: new Map(),  // result index -> size
  pickedFolders: new Set(),
  destination: '',
};

// Whether a folder above `path` ("A\\B"; "" the root) is picked whole.
function pickedAbove(path) {
  if (path === '') return false;
  if (picks.pickedFolders.has('')) return true;
  for (let at = path.lastIndexOf('\\'); at > 0; at = path.lastIndexOf('\\', at - 1)) {
    if (picks.pickedFolders.has(path.slice(0, at))) return true;
  }
  return false;
}

// Whether the folder `path` is picked, itself or with a folder above it.
export function inPickedFolder(path) {
  return picks.pickedFolders.has(path) || pickedAbove(path);
}

// ---- The selection ------------------------------------------------------

export function renderPicked() {
  // A folder picked whole takes what is under it: its subfolders are not
  // counted again.
  const folders = [...picks.pickedFolders].filter((f) => !pickedAbove(f));
  let inside = 0;
  for (const folder of folders) inside += treeView.tree.get(folder) || 0;
  let files = 0;
  let bytes = 0;
  for (const [, size] of picks.pickedFiles) {
    files += 1;
    bytes += size;
  }
  const parts = [];
  if (files) parts.push(`${formatCount(files, 'file', 'files')} (${formatSize(bytes)})`);
  if (folders.length) {
    parts.push(`everything in ${formatCount(folders.length, 'folder', 'folders')} (${formatCount(inside, 'file', 'files')})`);
  }
  const text = parts.join(' and ');
  $('selected').textContent = parts.length ? text[0].toUpperCase() + text.slice(1) : 'Nothing';
  $('recover-start').disabled = session.closed || parts.length === 0 || recovering;
}

// ---- Recovery -----------------------------------------------------------

let recovering = false;
export let recoveryPoll = null;

function say(text, refusal = false) {
  $('recover-result').textContent = text;
  $('recover-result').classList.toggle('refused', refusal);
}

export async function chooseDestination() {
  const path = await pickPath({ start: $('destination').value.trim() });
  if (path) $('destination').value = path;
}

export async function startRecovery() {
  const destination = $('destination').value.trim();
  const selection = [...[...picks.pickedFolders].map(folderSelection), ...picks.pickedFiles.keys()];
  $('report').close();
  const answer = await call('RecoveryScanFiles', session.scanId, selection, destination);
  if (refused(answer)) {
    say('Nothing was written: this selection belongs to an earlier scan. Scan the drive again, or open the current scan, and choose the files there.', true);
    return;
  }
  if (answer !== 0) {
    say('Another task is still running; the files were not recovered yet.');
    return;
  }
  picks.destination = destination;
  watchRecovery();
}

// The recovery's progress, polled until it ends.
export function watchRecovery() {
  recovering = true;
  $('recover-start').disabled = true;
  $('report-show').hidden = true;
  $('recover-progress').hidden = false;
  $('recover-progress').value = 0;
  say('Recovering…');
  clearInterval(recoveryPoll);
  recoveryPoll = setInterval(async () => {
    if (session.closed) return;
    const { count, total, path } = recoverProgress(await call('GetRecoverProc'));
    $('recover-progress').max = Math.max(1, total);
    $('recover-progress').value = count;
    if (total > 0 && recovering) say(`Recovering ${count.toLocaleString()} of ${formatCount(total, 'file', 'files')}: ${path}`);
  }, 250);
}

export async function recoveryEnded() {
  clearInterval(recoveryPoll);
  recovering = false;
  $('recover-progress').hidden = true;
  if (session.stale || $('recover').hidden) return;
  renderPicked();
  await showRecoverReport();
}

function tableRow(label, count, note = '') {
  const row = element('tr');
  const head = element('th', label);
  head.scope = 'row';
  row.append(head, element('td', Number(count).toLocaleString()));
  if (note) row.append(element('td', note, 'hint'));
  return row;
}

// The report: one line in the bar, the whole of it in its panel.
export async function showRecoverReport({ open = true } = {}) {
  const answer = await call('GetRecoverReport');
  if (!Array.isArray(answer)) {
    say('The recovery ended without a report.');
    return;
  }
  const { selected, written, partial, failed, bytes, stopped, gone, problems, refusal, doubtful, receipt, renamed } = recoverReport(answer);
  if (refusal) {
    // One sentence: the program's, after ours.
    say(`Nothing was written: ${String(refusal).replace(/^(The|That|Give|Choose|No) /, (word) => word.toLowerCase())}`, true);
    $('report-show').hidden = true;
    return;
  }
  const into = picks.destination ? ` into ${picks.destination}` : '';
  const lines = [Number(doubtful) === 0
    ? `${formatCount(written, 'file was', 'files were')} recovered whole (${formatSize(bytes)} in all)${into}.`
    : `${formatCount(written, 'file was', 'files were')} recovered whole; ${formatSize(bytes)} written in all${into}.`];
  if (doubtful) lines.push(`${formatCount(doubtful, 'file was', 'files were')} written, but ${Number(doubtful) === 1 ? 'its' : 'their'} clusters now belong to other files: probably not the original${Number(doubtful) === 1 ? '' : 's'}.`);
  if (partial) lines.push(`${formatCount(partial, 'file', 'files')} could be read only in part: saved with “.partial” at the end of the name.`);
  if (failed) lines.push(`${formatCount(failed, 'file', 'files')} could not be recovered.`);
  if (stopped) lines.push(`The recovery was stopped before all ${Number(selected).toLocaleString()} were done.`);
  if (gone) lines.push('The drive went away during the recovery; connect it again and recover the rest.');
  say(lines.join(' '));

  $('report-where').textContent = picks.destination ? `Into ${picks.destination}` : '';
  const table = $('report-table').tBodies[0];
  const copies = renamed.filter((r) => r.why === 'renamed').length;
  table.replaceChildren(
    tableRow('Written whole', written),
    tableRow('Written, but probably not the original', doubtful),
    tableRow('Written in part (“.partial”)', partial),
    tableRow('Not recovered', failed),
    tableRow('Renamed, as the name was taken', copies),
  );
  const list = $('recover-problems');
  list.replaceChildren();
  for (const { source, output, partial: part, doubtful: unsure, reasons } of problems) {
    const item = element('li', undefined, unsure ? 'doubtful' : part ? 'partial' : 'failed');
    item.append(element('span', shown(source), 'name'));
    // A doubtful file's reasons say what became of it.
    const what = unsure ? 'written, probably not the original' : part ? 'partly recovered' : 'not recovered';
    item.append(element('span', ` — ${what}${reasons ? ': ' : ''}`, 'what'), element('span', reasons || ''));
    if (output) item.title = output;
    list.append(item);
  }
  for (const { source, output, why } of renamed) {
    const item = element('li', undefined, 'renamed');
    item.append(element('span', shown(source), 'name'),
      element('span', ` — ${why === 'renamed' ? 'its name was taken: saved as' : 'its name was too long: saved as'} ${shown(output)}`));
    list.append(item);
  }
  const any = Number(written) + Number(partial) + Number(doubtful) > 0;
  $('open-destination').hidden = !any;
  $('open-receipt').hidden = !receipt;
  $('open-receipt').title = receipt || '';
  picks.receipt = receipt;
  $('open-result').textContent = receipt ? `A receipt of every file (where it came from, where it went, how sure we are) is in ${receipt}.` : '';
  $('report-show').hidden = false;
  if (open) $('report').show();
}

// Opens a folder or file with the desktop's own program, and says so when
// that could not be done (no desktop, nothing to open it with).
export async function openWithDesktop(path, what) {
  const answer = await call('OpenFolderPath', path);
  $('open-result').textContent = answer === 0 ? `${what} was opened on the desktop.`
    : `${what} could not be opened here (no desktop program answered). It is ${path}.`;
}
