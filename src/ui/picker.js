// The folder picker: the folders under a path the user moves through,
// starting from their own folders and the drives; with `images`, the disk
// image files in them too, and a file is what is chosen. The program lists
// them (ListFolders): nothing else of a folder is read.
import { formatSize, shown } from './format.js';
import { call } from './native.js';
import { $, element } from './page.js';

const picking = { images: false, path: '', resolve: null };

function joined(folder, name) {
  const separator = folder.includes('\\') && !folder.includes('/') ? '\\' : '/';
  return folder.endsWith(separator) ? `${folder}${name}` : `${folder}${separator}${name}`;
}

function placeButton(label, path) {
  const button = element('button', label, 'secondary small');
  button.type = 'button';
  button.title = path;
  button.addEventListener('click', () => go(path));
  return button;
}

// The places offered first: home, documents, desktop, the folder Quenlar
// runs in, and the drives (drive letters, or mount points).
async function drawPlaces() {
  const [documents, desktop, current, drives] = await Promise.all([
    call('GetIndependentPath', 2), call('GetIndependentPath', 1), call('GetCurrentPath'), call('GetDiskAllTypeNameFun'),
  ]);
  const holder = $('picker-places');
  holder.replaceChildren(placeButton('Home', ''));
  if (documents) holder.append(placeButton('Documents', documents));
  if (desktop) holder.append(placeButton('Desktop', desktop));
  if (current) holder.append(placeButton('Quenlar’s folder', current));
  for (const drive of Array.isArray(drives) ? drives : []) {
    if (typeof drive === 'string' && drive) holder.append(placeButton(drive, drive));
  }
}

// Shows the folder `path`; false when it cannot be read.
async function go(path) {
  const answer = await call('ListFolders', path, picking.images ? 1 : 0);
  if (!answer || typeof answer !== 'object') return false;
  picking.path = String(answer.path || '');
  $('picker-path').textContent = shown(picking.path);
  $('picker-up').disabled = !answer.parent;
  $('picker-up').onclick = () => go(String(answer.parent));
  const list = $('picker-list');
  list.replaceChildren();
  const folders = Array.isArray(answer.folders) ? answer.folders : [];
  const files = Array.isArray(answer.files) ? answer.files : [];
  for (const name of folders) {
    const item = element('li');
    const button = element('button', shown(name), 'folder');
    button.type = 'button';
    button.setAttribute('aria-label', `Folder ${shown(name)}`);
    button.addEventListener('click', () => go(joined(picking.path, String(name))));
    item.append(button);
    list.append(item);
  }
  for (const entry of files) {
    const [name, size] = Array.isArray(entry) ? entry : [];
    const item = element('li');
    const button = element('button', `${shown(name)} · ${formatSize(size)}`, 'file');
    button.type = 'button';
    button.setAttribute('aria-label', `Disk image ${shown(name)}, ${formatSize(size)}`);
    button.addEventListener('click', () => finish(joined(picking.path, String(name))));
    item.append(button);
    list.append(item);
  }
  const empty = folders.length === 0 && files.length === 0;
  $('picker-note').textContent = answer.error ? String(answer.error)
    : empty ? (picking.images ? 'No folders and no disk image files here.' : 'No folders in here.')
      : picking.images ? 'Open the folder that holds the image, and choose it.' : '';
  list.scrollTop = 0;
  list.querySelector('button')?.focus();
  return !answer.error;
}

function finish(path) {
  const resolve = picking.resolve;
  picking.resolve = null;
  const dialog = $('picker');
  if (dialog.open) dialog.close();
  resolve?.(path);
}

// Resolves the path chosen, or null when the user cancels.
export async function pickPath({ images = false, start = '' } = {}) {
  picking.images = images;
  $('picker-title').textContent = images ? 'Choose the disk image file' : 'Choose the folder to save the files into';
  $('picker-choose').hidden = images;
  const dialog = $('picker');
  const chosen = new Promise((resolve) => { picking.resolve = resolve; });
  $('picker-close').onclick = () => finish(null);
  $('picker-choose').onclick = () => finish(picking.path);
  dialog.onclose = () => finish(null);
  dialog.showModal();
  await drawPlaces();
  // A start that is no folder starts at the folder above it, else at home.
  if (!(await go(start)) && start) {
    const cut = Math.max(start.lastIndexOf('/'), start.lastIndexOf('\\'));
    if (cut <= 0 || !(await go(start.slice(0, cut)))) await go('');
  }
  return chosen;
}
