// Recovery: what is picked, where it goes, its progress and its report.
import { recoverProgress, recoverReport } from './answers.js';
import { formatCount, formatSize, shown } from './format.js';
import { call } from './native.js';
import { $, element, session } from './page.js';
import { folderSelection, treeView } from './tree.js';
import { refused } from './app.js';

// What is picked for recovery, and where it goes.
export const picks = {
  pickedFiles: new Map(),  // result index -> size
  pickedFolders: new Set(),
  destination: '',
};

// ---- Recovery -----------------------------------------------------------

export function renderPicked() {
  const files = picks.pickedFiles.size;
  let bytes = 0;
  for (const size of picks.pickedFiles.values()) bytes += size;
  const parts = [];
  if (files) parts.push(`${formatCount(files, 'file', 'files')} (${formatSize(bytes)})`);
  if (picks.pickedFolders.size) {
    let inside = 0;
    for (const folder of picks.pickedFolders) inside += treeView.tree.get(folder) || 0;
    parts.push(`everything in ${formatCount(picks.pickedFolders.size, 'folder', 'folders')} (${formatCount(inside, 'file', 'files')})`);
  }
  const text = parts.join(' and ');
  $('selected').textContent = parts.length ? text[0].toUpperCase() + text.slice(1) : 'Nothing';
  $('recover-start').disabled = session.closed || parts.length === 0;
}

export let recoveryPoll = null;
export async function startRecovery() {
  const destination = $('destination').value.trim();
  const selection = [...[...picks.pickedFolders].map(folderSelection), ...picks.pickedFiles.keys()];
  const answer = await call('RecoveryScanFiles', session.scanId, selection, destination);
  if (refused(answer)) {
    $('recover-result').textContent = 'Nothing was written: this selection belongs to an earlier scan. Scan the drive again, or open the current scan, and choose the files there.';
    $('recover-result').classList.add('refused');
    return;
  }
  if (answer !== 0) {
    $('recover-result').textContent = 'Another task is still running; the files were not recovered yet.';
    return;
  }
  picks.destination = destination;
  watchRecovery();
}

// The recovery's progress, polled until it ends.
export function watchRecovery() {
  $('recover-start').disabled = true;
  $('open-destination').hidden = true;
  $('recover-problems').replaceChildren();
  $('recover-progress').hidden = false;
  $('recover-progress').value = 0;
  $('recover-result').textContent = 'Recovering…';
  $('recover-result').classList.remove('refused');
  clearInterval(recoveryPoll);
  recoveryPoll = setInterval(async () => {
    if (session.closed) return;
    const { count, total, path } = recoverProgress(await call('GetRecoverProc'));
    $('recover-progress').max = Math.max(1, total);
    $('recover-progress').value = count;
    if (total > 0) $('recover-result').textContent = `Recovering ${count.toLocaleString()} of ${formatCount(total, 'file', 'files')}: ${path}`;
  }, 250);
}

export async function recoveryEnded() {
  clearInterval(recoveryPoll);
  $('recover-progress').hidden = true;
  if (session.stale || $('recover').hidden) return;
  renderPicked();
  await showRecoverReport();
}

export async function showRecoverReport() {
  const answer = await call('GetRecoverReport');
  if (!Array.isArray(answer)) {
    $('recover-result').textContent = 'The recovery ended without a report.';
    return;
  }
  const { selected, written, partial, failed, bytes, stopped, gone, problems, refusal, doubtful, receipt } = recoverReport(answer);
  if (refusal) {
    $('recover-result').textContent = `Nothing was written: ${refusal}`;
    $('recover-result').classList.add('refused');
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
  if (receipt) lines.push(`A receipt of every file (where it came from, where it went, how sure we are) is in ${receipt}.`);
  $('recover-result').textContent = lines.join(' ');
  const list = $('recover-problems');
  list.replaceChildren();
  for (const { source, output, partial: part, doubtful: unsure, reasons } of problems) {
    const item = element('li', undefined, unsure ? 'doubtful' : part ? 'partial' : 'failed');
    item.append(element('span', shown(source), 'name'));
    // A doubtful file's reasons say what became of it.
    const what = unsure ? '' : part ? 'partly recovered' : 'not recovered';
    item.append(element('span', ` — ${what}${what && reasons ? ': ' : ''}${reasons || ''}`));
    if (output) item.title = output;
    list.append(item);
  }
  $('open-destination').hidden = Number(written) + Number(partial) + Number(doubtful) === 0;
}
