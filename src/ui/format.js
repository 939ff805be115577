// How the program's values are shown to people: sizes, dates, file states,
// rates and durations.

const STATE_WORDS = { 1: 'In use', 2: 'Deleted', 3: 'Lost, found by the deep scan' };

// A file's state (see rowState in answers.js) in words.
// A verdict in plain words, and its order from surest to most doubtful.
const VERDICTS = {
  intact: ['Whole (checked)', 0], likely: ['Likely whole', 1], unknown: ['Cannot tell', 2],
  partial: ['Partly overwritten', 3], overwritten: ['Overwritten', 4],
};
export function verdictWords(verdict) {
  return (VERDICTS[verdict] || VERDICTS.unknown)[0];
}
export function verdictRank(verdict) {
  return (VERDICTS[verdict] || VERDICTS.unknown)[1];
}
export const likelyWhole = (verdict) => verdict === 'intact' || verdict === 'likely';

export function stateWords(state) {
  return STATE_WORDS[state] || 'Unknown';
}

// A name from a volume as it is shown: the characters that reorder or hide
// text (bidirectional overrides and isolates, zero-width marks) are shown
// as their code, so "photo\u202Egpj.exe" cannot pass for a picture.
const INVISIBLE = /[\u061c\u200b-\u200f\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff]/g;
export function shown(name) {
  return String(name ?? '').replace(INVISIBLE, (c) => `[U+${c.charCodeAt(0).toString(16).toUpperCase().padStart(4, '0')}]`);
}

export function formatSize(value) {
  let bytes = Number(value);
  if (!Number.isFinite(bytes) || bytes < 0) return '';
  if (bytes === 1) return '1 byte';
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB', 'PB'];
  let unit = 0;
  while (bytes >= 1000 && unit < units.length - 1) {
    bytes /= 1000;
    unit += 1;
  }
  return unit === 0 ? `${bytes} ${units[0]}` : `${bytes.toFixed(bytes < 10 ? 1 : 0)} ${units[unit]}`;
}

export function formatCount(n, one, many) {
  return `${Number(n).toLocaleString()} ${Number(n) === 1 ? one : many}`;
}

// The locale's long date, so that 10/12/26 cannot be read three ways.
const dateFormat = new Intl.DateTimeFormat(undefined, { dateStyle: 'long', timeStyle: 'short' });
// The list's, shorter, with the month named all the same.
const shortDateFormat = new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' });

// The program sends local times as "YYYY-MM-DD HH:MM:SS" (the year padded
// with spaces); a file without a time comes as the year 1601.
function dateIn(text, format) {
  const m = /^\s*(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)$/.exec(String(text));
  if (!m) return '';
  const [year, month, day, hour, minute, second] = m.slice(1).map(Number);
  if (year <= 1601) return 'unknown';
  const date = new Date(year, month - 1, day, hour, minute, second);
  return Number.isNaN(date.getTime()) ? '' : format.format(date);
}

export const formatDate = (text) => dateIn(text, dateFormat);
export const formatShortDate = (text) => dateIn(text, shortDateFormat);
// The day alone, for a narrow list.
const dayFormat = new Intl.DateTimeFormat(undefined, { dateStyle: 'medium' });
export const formatDay = (text) => dateIn(text, dayFormat);

export function formatDuration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const rest = String(s % 60).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${rest}` : `${m}:${rest}`;
}

// A duration as a person estimates it: "under a minute", "about 5 minutes",
// "about 2 hours".
export function roughly(seconds) {
  const s = Math.max(0, Number(seconds) || 0);
  if (s < 60) return 'under a minute';
  if (s < 3600) {
    const m = Math.round(s / 60);
    return `about ${m} minute${m === 1 ? '' : 's'}`;
  }
  const h = Math.round(s / 360) / 10;
  return `about ${h} hour${h === 1 ? '' : 's'}`;
}

export function formatRate(bytesPerSecond) {
  return `${formatSize(bytesPerSecond)}/s`;
}

// A scan's pace: done and total in the same units, sampled a few times a
// second; the rate is smoothed, and no time left is given until it has
// settled for a few seconds.
export class Pace {
  constructor(now = performance.now()) {
    this.started = now;
    this.reset(now);
  }

  reset(now) {
    this.last = null;
    this.rate = 0;
    this.samples = 0;
    this.since = now;
  }

  add(done, total, now = performance.now()) {
    if (this.last && done < this.last.done) this.reset(now);  // a new phase starts over
    if (this.last && now > this.last.at) {
      const instant = ((done - this.last.done) * 1000) / (now - this.last.at);
      this.rate = this.samples === 0 ? instant : this.rate * 0.8 + instant * 0.2;
      this.samples += 1;
    }
    this.last = { done, total, at: now };
  }

  elapsed(now = performance.now()) {
    return (now - this.started) / 1000;
  }

  // Seconds left, or null while estimating.
  left(now = performance.now()) {
    if (!this.last || this.samples < 8 || now - this.since < 3000 || this.rate <= 0) return null;
    return Math.max(0, this.last.total - this.last.done) / this.rate;
  }
}
