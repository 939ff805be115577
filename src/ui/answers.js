// The program's answers come as arrays, by position, as its calls define
// them. This module alone reads those positions: everything else takes the
// named objects made here.

// A file row (a folder listing's or a filter's), by position. Rows stay
// arrays, since a listing may hold millions of them; read them through ROW.
export const ROW = { name: 0, date: 1, size: 4, index: 5, exist: 6, path: 7, type: 8, verdict: 9, reason: 10 };

const list = (value) => (Array.isArray(value) ? value : []);

// A row's state: 1 in use, 2 deleted, 3 lost or found by the deep scan, 0
// unknown. The row says 10, 20 or 30 until the folder tree has placed the
// file, and 1, 2 or 3 after.
export function rowState(exist) {
  const n = Number(exist);
  const code = n >= 10 ? Math.floor(n / 10) : n;
  return code >= 1 && code <= 3 ? code : 0;
}

// GetDiskPartition: one entry per disk.
export function disk(entry) {
  const [removable, number, , model, size, partitions] = list(entry);
  return { removable, number, model, size, partitions: list(partitions) };
}

// A partition of a disk entry.
export function partition(entry) {
  const [mount, , , fileSystem, total, free, number, , , , systemMark, , , label] = list(entry);
  return { mount, fileSystem, total, free, number, systemMark, label };
}

// GetPartitionSearch: the search of a disk for its volumes, and what it
// found; null before any search.
export function partitionSearch(answer) {
  if (!Array.isArray(answer) || answer.length < 8) return null;
  const [disk, partition, running, ended, done, total, whole, found] = answer;
  return {
    disk, partition, running: Boolean(running), ended: Boolean(ended), done: Number(done), total: Number(total),
    whole: Boolean(whole),
    found: list(found).map((v) => {
      const [start, sectors, fileSystem, label, inTable, overlaps, fromBackup] = list(v);
      return { start: Number(start), sectors: Number(sectors), fileSystem, label, inTable: Boolean(inTable),
        overlaps: Boolean(overlaps), fromBackup: Boolean(fromBackup) };
    }),
  };
}

// GetSaveScanInfo: the names the saved scan's drive goes by.
export function savedScanName(info) {
  const names = Array.isArray(info) ? info[0] : null;
  return (Array.isArray(names) && (names[names.length - 1] || names[0])) || '';
}

// GetSaveScanInfo: its name, and what the banner tells of it (file system,
// bytes, image file, when it began, sectors done of total, files).
export function savedScan(info) {
  const facts = Array.isArray(info) && info[2] && typeof info[2] === 'object' ? info[2] : {};
  return { name: savedScanName(info), facts };
}

// The end of a scan phase in GetWorkState.
export function scanEnd(ended) {
  const [operation = 0, status = 0, stop = 0] = list(ended);
  return { operation, status, stop, told: Array.isArray(ended) };
}

// GetScanProc.
export function scanProgress(answer) {
  const [done, total] = list(answer);
  return { valid: Array.isArray(answer), done: Number(done), total: Number(total) };
}

// SetFilePreview's answer.
export function preview(answer) {
  const [size, data, reasons, verdict, why, offset = '0', where] = list(answer);
  const [pieces = 0, first = 0, resident = 0] = list(where);
  return { size, data, reasons, verdict, why, offset: Number(offset) || 0,
    place: { pieces: Number(pieces) || 0, first: Number(first) || 0, resident: Boolean(resident) } };
}

// GetRecoverProc.
export function recoverProgress(answer) {
  const [count, total, path] = list(answer);
  return { count: Number(count), total: Number(total), path };
}

// GetRecoverReport.
export function recoverReport(answer) {
  const [selected, written, partial, failed, bytes, stopped, gone, problems, refusal, doubtful = 0, receipt = '', renamed] = list(answer);
  return {
    selected, written, partial, failed, bytes, stopped, gone, refusal, doubtful, receipt,
    renamed: list(renamed).map((r) => {
      const [source, output, why] = list(r);
      return { source, output, why };
    }),
    problems: list(problems).map((p) => {
      const [source, output, kind, reasons] = list(p);
      return { source, output, partial: kind === 1, doubtful: kind === 3, reasons };
    }),
  };
}

// GetScanFolders: one [folder path, files at or below it, mark] per folder;
// the mark is 2 for a deleted folder, 3 for one the deep scan found.
export function folderCounts(batch) {
  return list(batch)
    .filter((entry) => Array.isArray(entry) && typeof entry[0] === 'string')
    .map(([path, count, mark]) => ({ path, count: Number(count) || 0, mark: Number(mark) || 0 }));
}

// The header a listing's rows come under: [tag, folder, scan].
export function listingHeader(header) {
  const [tag, folder, scan] = list(header);
  return { valid: Array.isArray(header), tag, folder, scan };
}

// The three times of a row (one text each), read once.
export const ROW_TIMES = [1, 2, 3];
export const ROW_LENGTH = 11;
