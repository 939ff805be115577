// The details of the file chosen in the list: how sure Quenlar is of it and
// why, where it was, its size and time, and what it holds: a picture, text,
// or its bytes a page at a time.
import { preview as previewAnswer, ROW, rowState } from './answers.js';
import { formatDate, formatSize, shown, stateWords, verdictWords } from './format.js';
import { call, on } from './native.js';
import { $, element, PREVIEW_BYTES, session } from './page.js';
import { refused } from './app.js';

const HEX_PAGE = 4096;  // bytes on one page of the hex view

// The file shown, and what of it.
const previewView = {
  previewIndex: -1,
  previewRow: null,
  size: 0,
  view: 'content',        // 'content' or 'bytes'
  offset: 0,              // of the page of bytes shown or asked for
  asked: 0,               // the offset asked for last
  head: null,             // the first bytes, as the content view shows them
};

export function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}

export function imageType(b) {
  const starts = (...sig) => sig.every((v, i) => b[i] === v);
  if (starts(0xff, 0xd8, 0xff)) return 'image/jpeg';
  if (starts(0x89, 0x50, 0x4e, 0x47)) return 'image/png';
  if (starts(0x47, 0x49, 0x46, 0x38)) return 'image/gif';
  if (starts(0x42, 0x4d)) return 'image/bmp';
  if (starts(0x52, 0x49, 0x46, 0x46) && b[8] === 0x57 && b[9] === 0x45 && b[10] === 0x42 && b[11] === 0x50) return 'image/webp';
  return '';
}

// The text the bytes hold, as UTF-16 (by its byte order mark, or by the zero
// bytes of ASCII in it), UTF-8, or else Latin-1; null when they are no text.
export function decodeText(bytes) {
  if (bytes.length === 0) return '';
  const sample = bytes.subarray(0, 4096);
  if (sample[0] === 0xff && sample[1] === 0xfe) return new TextDecoder('utf-16le').decode(bytes.subarray(2));
  if (sample[0] === 0xfe && sample[1] === 0xff) return new TextDecoder('utf-16be').decode(bytes.subarray(2));
  let oddZeros = 0;
  let evenZeros = 0;
  for (let i = 0; i < sample.length; i++) if (sample[i] === 0) { if (i % 2) oddZeros++; else evenZeros++; }
  const half = sample.length / 2;
  if (oddZeros > half * 0.6 && evenZeros < half * 0.05) return new TextDecoder('utf-16le').decode(bytes);
  if (evenZeros > half * 0.6 && oddZeros < half * 0.05) return new TextDecoder('utf-16be').decode(bytes);
  let control = 0;
  for (const b of sample) if (b === 0 || (b < 0x20 && b !== 9 && b !== 10 && b !== 13 && b !== 12)) control += 1;
  if (control > 0) return null;
  try {
    // A multi-byte character cut at the end of what was read is no fault.
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes.subarray(0, cutUtf8(bytes)));
  } catch {
    return new TextDecoder('windows-1252').decode(bytes);
  }
}

// Where the last whole UTF-8 character of `bytes` ends.
function cutUtf8(bytes) {
  let end = bytes.length;
  for (let back = 1; back <= 3 && end - back >= 0; back++) {
    const b = bytes[end - back];
    if ((b & 0xc0) === 0x80) continue;
    const length = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
    return length > back ? end - back : end;
  }
  return end;
}

function hexDump(bytes, base = 0) {
  const lines = [];
  for (let at = 0; at < bytes.length; at += 16) {
    const chunk = [...bytes.subarray(at, at + 16)];
    const hex = chunk.map((b) => b.toString(16).padStart(2, '0')).join(' ').padEnd(47);
    const text = chunk.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${(base + at).toString(16).padStart(8, '0')}  ${hex}  ${text}`);
  }
  return lines.join('\n');
}

function showVerdict(verdict, why) {
  const line = $('preview-verdict');
  line.replaceChildren(element('strong', verdictWords(verdict), `verdict verdict-${verdict || 'unknown'}`));
  if (why) line.append(`: ${why}.`);
}

function showFacts(row) {
  const facts = $('preview-facts');
  facts.replaceChildren();
  const add = (term, value) => {
    if (!value) return;
    facts.append(element('dt', term), element('dd', value));
  };
  const folder = String(row[ROW.path] ?? '').replace(/\\$/, '');
  add('Folder', folder ? shown(folder).replaceAll('\\', ' › ') : 'the top of the drive');
  add('Size', `${formatSize(row[ROW.size])}${Number(row[ROW.size]) >= 1000 ? ` (${Number(row[ROW.size]).toLocaleString()} bytes)` : ''}`);
  add('Type', String(row[ROW.type] || ''));
  add('State', stateWords(rowState(row[ROW.exist])));
  const date = formatDate(row[ROW.date]);
  add('Changed', date === 'unknown' ? 'not known' : date);
}

// Where the file's data lies on the volume.
function showPlace({ pieces, first, resident }) {
  const facts = $('preview-facts');
  facts.querySelector('.place')?.remove();
  const text = resident ? 'in its file record (small files are kept there)'
    : pieces === 0 ? 'nowhere: it holds no data'
      : `${pieces === 1 ? 'one run' : `${pieces.toLocaleString()} pieces`} of sectors, from sector ${first.toLocaleString()}`;
  const term = element('dt', 'Stored');
  const value = element('dd', text);
  const place = element('div', undefined, 'place');
  place.append(term, value);
  facts.append(place);
}

// Shows the details pane (over the list in a narrow window).
function openDetails() {
  document.body.classList.add('show-details');
  $('preview-empty').hidden = true;
  $('preview-body').hidden = false;
}

export function closeDetails() {
  document.body.classList.remove('show-details');
}

// Back to "choose a file": a listing of another folder or scan.
export function clearPreview() {
  previewView.previewIndex = -1;
  previewView.previewRow = null;
  $('preview-name').textContent = 'Details';
  $('preview-empty').hidden = false;
  $('preview-body').hidden = true;
  closeDetails();
}

function ask(offset, length) {
  previewView.asked = offset;
  return offset === 0 && length === PREVIEW_BYTES
    ? call('GetFilePreview', session.scanId, previewView.previewIndex, length)
    : call('GetFilePreviewAt', session.scanId, previewView.previewIndex, offset, length);
}

let previewUrl = '';
export async function preview(row) {
  const index = row[ROW.index];
  previewView.previewIndex = index;
  previewView.previewRow = row;
  previewView.head = null;
  previewView.view = 'content';
  previewView.offset = 0;
  previewView.size = Number(row[ROW.size]) || 0;
  openDetails();
  $('preview-name').textContent = shown(row[ROW.name]);
  $('preview-note').textContent = 'Reading…';
  showVerdict(row[ROW.verdict], row[ROW.reason]);
  showFacts(row);
  $('preview-image').hidden = true;
  $('preview-text').hidden = true;
  $('hex-pages').hidden = true;
  setView('content', false);
  // The bytes come with SetFilePreview; a slow disk may take a while.
  if (refused(await ask(0, PREVIEW_BYTES))) {
    $('preview-note').textContent = 'This file belongs to an earlier scan: scan again to preview it.';
  }
}

function setView(view, draw = true) {
  previewView.view = view;
  $('view-content').setAttribute('aria-pressed', String(view === 'content'));
  $('view-bytes').setAttribute('aria-pressed', String(view === 'bytes'));
  if (!draw) return;
  if (view === 'bytes') {
    turnPage(0);
  } else if (previewView.head) {
    showContent(previewView.previewRow, previewView.head);
  }
}

// The page of bytes from `offset` (a multiple of HEX_PAGE).
async function turnPage(offset) {
  const last = Math.max(0, Math.floor((Math.max(1, previewView.size) - 1) / HEX_PAGE) * HEX_PAGE);
  const at = Math.max(0, Math.min(last, offset));
  previewView.offset = at;
  $('hex-where').textContent = 'Reading…';
  if (refused(await ask(at, HEX_PAGE))) $('preview-note').textContent = 'This file belongs to an earlier scan: scan again to preview it.';
}

on('SetFilePreview', (index, answer, scan) => {
  // Another file (or scan) was chosen meanwhile.
  if (index !== previewView.previewIndex || scan !== session.scanId || !previewView.previewRow) return;
  const row = previewView.previewRow;
  if (answer === 1) {
    $('preview-note').textContent = 'The files are being recovered; the preview can be shown when that is done.';
    return;
  }
  if (!Array.isArray(answer)) {
    $('preview-note').textContent = 'This file cannot be previewed.';
    return;
  }
  const parsed = previewAnswer(answer);
  if (parsed.offset !== previewView.asked) return;  // an older page
  previewView.size = Number(parsed.size) || 0;
  // The preview checked its content: the surer verdict replaces the row's.
  if (parsed.verdict) {
    row[ROW.verdict] = parsed.verdict;
    row[ROW.reason] = parsed.why;
    showVerdict(parsed.verdict, parsed.why);
    document.dispatchEvent(new CustomEvent('row-verdict'));
  }
  showPlace(parsed.place);
  if (previewView.view === 'bytes') showPage(parsed);
  else {
    previewView.head = parsed;
    showContent(row, parsed);
  }
});

function showPage({ data, offset, size, reasons }) {
  const bytes = bytesOf(String(data));
  $('preview-image').hidden = true;
  const text = $('preview-text');
  text.classList.add('hex');
  text.textContent = bytes.length ? hexDump(bytes, offset) : '(no bytes)';
  text.hidden = false;
  const total = Number(size) || 0;
  const pages = Math.max(1, Math.ceil(total / HEX_PAGE));
  const page = Math.floor(offset / HEX_PAGE) + 1;
  $('hex-where').textContent = total ? `bytes ${offset.toLocaleString()}–${(offset + bytes.length).toLocaleString()} of ${total.toLocaleString()} (page ${page.toLocaleString()} of ${pages.toLocaleString()})` : 'The file is empty.';
  $('hex-first').disabled = $('hex-prev').disabled = offset === 0;
  $('hex-next').disabled = $('hex-last').disabled = offset + HEX_PAGE >= total;
  $('hex-pages').hidden = false;
  $('preview-note').textContent = reasons ? `Not all of it can be read: ${reasons}.` : '';
}

function showContent(row, { size, data, reasons }) {
  const index = row[ROW.index];
  const bytes = bytesOf(String(data));
  $('hex-pages').hidden = true;
  $('preview-text').classList.remove('hex');
  const notes = [];
  if (reasons) notes.push(`Not all of it can be read: ${reasons}.`);
  if (Number(size) > bytes.length) notes.push(`The first ${formatSize(bytes.length)} of ${formatSize(size)} are shown.`);
  if (rowState(row[ROW.exist]) !== 1) notes.push('Files that were deleted may have been partly overwritten since; the preview shows what is there now.');
  const type = imageType(bytes);
  if (previewUrl) URL.revokeObjectURL(previewUrl);
  previewUrl = '';
  const decoded = type ? null : decodeText(bytes);
  if (type) {
    previewUrl = URL.createObjectURL(new Blob([bytes], { type }));
    const picture = $('preview-image');
    picture.onerror = () => {
      if (previewView.previewIndex !== index || previewView.view !== 'content') return;
      // Damaged or overwritten: what is there is shown as bytes.
      picture.hidden = true;
      $('preview-text').classList.add('hex');
      $('preview-text').textContent = hexDump(bytes.subarray(0, 1024));
      $('preview-text').hidden = false;
      $('preview-note').textContent = `${notes.join(' ')} This picture cannot be shown: its data may be damaged or overwritten. Its first bytes are below; “Bytes” pages through all of them.`.trim();
    };
    picture.src = previewUrl;
    picture.alt = `Picture ${shown(row[ROW.name])}`;
    picture.hidden = false;
    $('preview-text').hidden = true;
  } else if (decoded !== null) {
    $('preview-image').hidden = true;
    $('preview-text').textContent = decoded.slice(0, 20000);
    $('preview-text').hidden = false;
  } else {
    $('preview-image').hidden = true;
    $('preview-text').classList.add('hex');
    $('preview-text').textContent = hexDump(bytes.subarray(0, 1024));
    $('preview-text').hidden = false;
    notes.push('Shown as bytes: this is not text. “Bytes” pages through all of them.');
  }
  if (bytes.length === 0) notes.push('The file is empty.');
  $('preview-note').textContent = notes.join(' ');
}

export function wirePreview() {
  $('view-content').addEventListener('click', () => setView('content'));
  $('view-bytes').addEventListener('click', () => setView('bytes'));
  $('hex-first').addEventListener('click', () => turnPage(0));
  $('hex-prev').addEventListener('click', () => turnPage(previewView.offset - HEX_PAGE));
  $('hex-next').addEventListener('click', () => turnPage(previewView.offset + HEX_PAGE));
  $('hex-last').addEventListener('click', () => turnPage(Number.MAX_SAFE_INTEGER));
  $('preview-close').addEventListener('click', closeDetails);
  document.addEventListener('listing-changed', clearPreview);
}
