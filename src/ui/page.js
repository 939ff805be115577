// What every view of the start document shares: its constants, how an
// element is found and made, the status line, and the scan the page shows.
export const $ = (id) => document.getElementById(id);
export const OTHER_VOLUMES = 4294967295;
export const IMAGE_FILES = 4294967294;
export const WORK_NORMAL = 1;
export const WORK_DEEP = 2;
export const WORK_RECOVERY = 4;
export const WORK_RESUME = 64;
export const SCAN_WORK = WORK_NORMAL | WORK_DEEP | WORK_RESUME;
export const STALE = -2;  // the answer of a call that names an earlier scan
export const SCANNABLE = new Set(['NTFS', 'FAT32', 'exFAT']);
export const VOLUME = 'Q:';  // the whole volume in a recovery selection; folders follow it after a backslash
export const PREVIEW_BYTES = 65536;

// The scan the page shows and how it stands.
export const session = {
  scanId: '',             // the scan the page shows (its identity); '' none
  starting: false,        // a scan call of this page is on its way
  ending: false,          // the end of the scan shown is being told
  stale: false,           // the program holds another scan than the one shown
  closed: false,          // the program has ended
  scanning: false,
  quick: false,           // the scan shown was started without its deep scan
  scanName: '',
  fileSystem: '',
  pace: null,
  phase: 0,
};

export function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

export function setStatus(text) {
  $('status').textContent = text;
}
