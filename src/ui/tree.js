// The folder tree of the scan shown, with its counts; folders are picked
// for recovery here.
import { shown } from './format.js';
import { $, VOLUME, element, session } from './page.js';
import { collator, listFolder, listView, toggleFolder } from './listing.js';
import { inPickedFolder, picks } from './recover.js';

// The folder tree.
export const treeView = {
  tree: new Map(),        // folder path ("" the root, "A\\B" below) -> files at or below it
  open: new Set(['']),    // expanded folders
  treeFocus: '',          // the folder that holds the tree's keyboard focus
  files: null,            // all files of the scan, once it has ended (the root's count)
  marks: new Map(),       // folder path -> 2 deleted, 3 found by the deep scan
};

const MARKS = { 2: ['deleted', 'This folder was deleted'], 3: ['found', 'Found by the deep scan: the folder above it is gone'] };

// The folders right under `path`, sorted.
export function childFolders(path) {
  const prefix = path === '' ? '' : `${path}\\`;
  const kids = [];
  for (const folder of treeView.tree.keys()) {
    if (folder !== '' && folder.startsWith(prefix) && !folder.slice(prefix.length).includes('\\')) kids.push(folder);
  }
  return kids.sort((a, b) => collator.compare(leafName(a), leafName(b)));
}

// ---- The folder tree ----------------------------------------------------

function leafName(path) {
  return path === '' ? 'All files' : shown(path.slice(path.lastIndexOf('\\') + 1));
}

function parentOf(path) {
  const cut = path.lastIndexOf('\\');
  return cut < 0 ? '' : path.slice(0, cut);
}

export function folderSelection(path) {
  return path === '' ? VOLUME : `${VOLUME}\\${path}`;
}

// Every folder's children, sorted, built once per drawing.
function childMap() {
  const children = new Map();
  for (const folder of treeView.tree.keys()) {
    if (folder === '') continue;
    const parent = parentOf(folder);
    if (!children.has(parent)) children.set(parent, []);
    children.get(parent).push(folder);
  }
  for (const list of children.values()) list.sort((a, b) => collator.compare(leafName(a), leafName(b)));
  return children;
}

function treeItem(path, children, level) {
  const li = element('li');
  li.setAttribute('role', 'treeitem');
  li.setAttribute('aria-level', String(level));
  li.dataset.path = path;
  li.tabIndex = path === treeView.treeFocus ? 0 : -1;
  const kids = children.get(path) || [];
  if (kids.length) li.setAttribute('aria-expanded', String(treeView.open.has(path)));
  const current = listView.listing?.kind === 'folder' && listView.listing.path === path;
  li.setAttribute('aria-selected', String(current));
  const row = element('div', undefined, current ? 'tree-row current' : 'tree-row');
  const toggle = element('span', kids.length ? (treeView.open.has(path) ? '▾' : '▸') : '', 'toggle');
  toggle.setAttribute('aria-hidden', 'true');
  const pick = element('input');
  pick.type = 'checkbox';
  pick.tabIndex = -1;
  // A folder picked takes what is under it: its subfolders show it.
  const above = !picks.pickedFolders.has(path) && inPickedFolder(path);
  pick.checked = above || picks.pickedFolders.has(path);
  // Boxes drawn after the program ended take no clicks either.
  pick.disabled = above || session.closed;
  if (above) pick.title = 'Recovered with the folder above it, which is selected';
  pick.setAttribute('aria-label', `Recover everything in ${leafName(path)}`);
  const name = element('span', leafName(path), 'name');
  name.title = path === '' ? 'All files' : shown(path).replaceAll('\\', ' › ');
  const count = path === '' && treeView.files !== null ? treeView.files : treeView.tree.get(path);
  row.append(toggle, pick, name);
  const mark = MARKS[treeView.marks.get(path)];
  if (mark) {
    const label = element('span', mark[0], `mark mark-${treeView.marks.get(path)}`);
    label.title = mark[1];
    row.append(label);
    row.classList.add(`state-${treeView.marks.get(path)}`);
  }
  if (count !== undefined) row.append(element('span', count.toLocaleString(), 'count'));
  li.append(row);
  if (kids.length && treeView.open.has(path)) {
    const group = element('ul');
    group.setAttribute('role', 'group');
    for (const child of kids) group.append(treeItem(child, children, level + 1));
    li.append(group);
  }
  return li;
}

let treeQueued = false;
export function renderTree() {
  if (treeQueued) return;
  treeQueued = true;
  requestAnimationFrame(() => {
    treeQueued = false;
    const tree = $('tree');
    const focused = tree.contains(document.activeElement);
    tree.replaceChildren();
    if (treeView.tree.size === 0) return;
    if (!treeView.tree.has(treeView.treeFocus)) treeView.treeFocus = '';
    tree.append(treeItem('', childMap(), 1));
    if (focused) treeElement(treeView.treeFocus)?.focus();
  });
}

function treeElement(path) {
  return [...$('tree').querySelectorAll('[role=treeitem]')].find((li) => li.dataset.path === path);
}

function toggleOpen(path) {
  if (treeView.open.has(path)) treeView.open.delete(path); else treeView.open.add(path);
  renderTree();
}

function toggleFolderPick(path, checked) {
  if (!picks.pickedFolders.has(path) && inPickedFolder(path)) return;  // picked with a folder above
  toggleFolder(path, checked);
}

export function treeClick(event) {
  const li = event.target.closest('[role=treeitem]');
  if (!li) return;
  const path = li.dataset.path;
  treeView.treeFocus = path;
  if (event.target instanceof HTMLInputElement) {
    toggleFolderPick(path, event.target.checked);
  } else if (event.target.classList.contains('toggle')) {
    toggleOpen(path);
  } else {
    listFolder(path);
  }
}

export function treeKey(event) {
  const li = event.target.closest('[role=treeitem]');
  if (!li) return;
  const visible = [...$('tree').querySelectorAll('[role=treeitem]')];
  const at = visible.indexOf(li);
  const path = li.dataset.path;
  const focus = (target) => {
    if (!target) return;
    treeView.treeFocus = target.dataset.path;
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
    if (expandable && !treeView.open.has(path)) toggleOpen(path);
    else if (expandable) focus(visible[at + 1]);
    break;
  case 'ArrowLeft':
    if (expandable && treeView.open.has(path)) toggleOpen(path);
    else if (path !== '') focus(treeElement(parentOf(path)));
    break;
  case ' ': toggleFolderPick(path); break;
  case 'Enter': listFolder(path); break;
  default: return;
  }
  event.preventDefault();
}
