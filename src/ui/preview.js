// The preview of the file chosen in the list: a picture, text, or bytes.
import { preview as previewAnswer, ROW, rowState } from './answers.js';
import { formatSize, shown, verdictWords } from './format.js';
import { call, on } from './native.js';
import { $, element, PREVIEW_BYTES, session } from './page.js';
import { refused } from './app.js';

// The file previewed.
const previewView = {
  previewIndex: -1,
  previewRow: null,
};

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

function showVerdict(verdict, why) {
  const line = $('preview-verdict');
  line.replaceChildren(element('strong', verdictWords(verdict), `verdict verdict-${verdict || 'unknown'}`));
  if (why) line.append(`: ${why}.`);
}

let previewUrl = '';
export async function preview(row) {
  const index = row[ROW.index];
  previewView.previewIndex = index;
  $('preview').hidden = false;
  $('preview-name').textContent = shown(row[ROW.name]);
  $('preview-note').textContent = 'Reading…';
  showVerdict(row[ROW.verdict], row[ROW.reason]);
  $('preview-image').hidden = true;
  $('preview-text').hidden = true;
  // The bytes come with SetFilePreview; a slow disk may take a while.
  previewView.previewRow = row;
  if (refused(await call('GetFilePreview', session.scanId, index, PREVIEW_BYTES))) {
    $('preview-note').textContent = 'This file belongs to an earlier scan: scan again to preview it.';
  }
}

on('SetFilePreview', (index, answer, scan) => {
  // Another file (or scan) was chosen meanwhile.
  if (index !== previewView.previewIndex || scan !== session.scanId || !previewView.previewRow) return;
  showPreview(previewView.previewRow, answer);
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
  const { size, data, reasons, verdict, why } = previewAnswer(answer);
  // The preview checked its content: the surer verdict replaces the row's.
  if (verdict) {
    row[ROW.verdict] = verdict;
    row[ROW.reason] = why;
    showVerdict(verdict, why);
    document.dispatchEvent(new CustomEvent('row-verdict'));
  }
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
      if (previewView.previewIndex !== index) return;
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
