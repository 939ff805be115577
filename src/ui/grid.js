// A list of found files that stays smooth with any number of rows: a fixed
// pool of row elements, moved and refilled as the list scrolls. Rows are
// FileRows; what is shown of them is the caller's (`fill`).

const SPARE_ROWS = 6;

export class VirtualGrid {
  // `body` scrolls, `space` inside it is as tall as all rows; `fill(element,
  // row, at)` writes one row into a pooled element, `make()` builds one.
  constructor(grid, body, space, { make, fill, onActivate, onToggle, onCursor }) {
    this.grid = grid;
    this.body = body;
    this.space = space;
    this.make = make;
    this.fill = fill;
    this.onActivate = onActivate;
    this.onToggle = onToggle;
    this.onCursor = onCursor;
    this.rows = [];
    this.pool = [];
    this.cursor = -1;
    this.queued = false;
    this.rowHeight = 0;
    this.rowRems = 2;
    body.addEventListener('scroll', () => this.render());
    new ResizeObserver(() => { this.rowHeight = 0; this.render(); }).observe(body);
    grid.addEventListener('keydown', (event) => this.key(event));
  }

  setRows(rows, { keepCursor = false } = {}) {
    this.rows = rows;
    if (!keepCursor) this.cursor = -1;
    else if (this.cursor >= rows.length) this.cursor = rows.length - 1;
    this.grid.setAttribute('aria-rowcount', String(rows.length + 1));
    this.render();
  }

  // Rows changed in place (a selection): draw the visible ones again.
  refresh() {
    this.render();
  }

  measure() {
    if (this.rowHeight) return this.rowHeight;
    const rem = parseFloat(getComputedStyle(document.documentElement).fontSize) || 16;
    this.rowHeight = Math.round(rem * this.rowRems);
    return this.rowHeight;
  }

  // Taller rows (pictures in them) or the usual ones.
  setRowRems(rems) {
    this.rowRems = rems;
    this.rowHeight = 0;
    this.render();
  }

  // The rows drawn now.
  drawnRows() {
    return this.pool.filter((element) => !element.hidden).map((element) => this.rows[Number(element.dataset.at)]).filter(Boolean);
  }

  render() {
    if (this.queued) return;
    this.queued = true;
    requestAnimationFrame(() => {
      this.queued = false;
      this.draw();
    });
  }

  // Draws at once; returns the time it took in milliseconds.
  draw() {
    const started = performance.now();
    const height = this.measure();
    this.space.style.height = `${this.rows.length * height}px`;
    const first = Math.max(0, Math.floor(this.body.scrollTop / height) - SPARE_ROWS / 2);
    const wanted = Math.min(this.rows.length - first, Math.ceil(this.body.clientHeight / height) + SPARE_ROWS);
    while (this.pool.length < wanted) {
      const element = this.make();
      element.style.height = `${height}px`;
      element.addEventListener('click', (event) => this.click(event, element));
      this.space.append(element);
      this.pool.push(element);
    }
    this.pool.forEach((element, i) => {
      const at = first + i;
      if (i >= wanted) {
        element.hidden = true;
        return;
      }
      element.hidden = false;
      element.style.height = `${height}px`;
      element.style.transform = `translateY(${at * height}px)`;
      element.dataset.at = String(at);
      element.setAttribute('aria-rowindex', String(at + 2));
      const current = at === this.cursor;
      element.classList.toggle('cursor', current);
      if (current) element.id = 'grid-cursor';
      else if (element.id) element.removeAttribute('id');
      this.fill(element, this.rows[at], at);
    });
    if (this.cursor >= first && this.cursor < first + wanted) this.grid.setAttribute('aria-activedescendant', 'grid-cursor');
    else this.grid.removeAttribute('aria-activedescendant');
    // Kept for anyone who wants to know how long a scroll step takes.
    performance.measure('grid-draw', { start: started });
    return performance.now() - started;
  }

  click(event, element) {
    const at = Number(element.dataset.at);
    if (!(at >= 0 && at < this.rows.length)) return;
    if (event.target instanceof HTMLInputElement) {
      this.onToggle(this.rows[at], event.target.checked);
      this.moveTo(at, false);
      return;
    }
    this.moveTo(at, false);
    this.onActivate(this.rows[at]);
  }

  moveTo(at, scroll = true) {
    if (this.rows.length === 0) return;
    this.cursor = Math.max(0, Math.min(this.rows.length - 1, at));
    if (scroll) {
      const height = this.measure();
      const top = this.cursor * height;
      if (top < this.body.scrollTop) this.body.scrollTop = top;
      else if (top + height > this.body.scrollTop + this.body.clientHeight) {
        this.body.scrollTop = top + height - this.body.clientHeight;
      }
    }
    this.render();
    this.onCursor?.(this.rows[this.cursor]);
  }

  key(event) {
    if (event.target instanceof HTMLInputElement || event.target instanceof HTMLButtonElement) return;
    const page = Math.max(1, Math.floor(this.body.clientHeight / this.measure()) - 1);
    const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
    if (event.key in moves) {
      this.moveTo(this.cursor < 0 ? 0 : this.cursor + moves[event.key]);
    } else if (event.key === 'Home') {
      this.moveTo(0);
    } else if (event.key === 'End') {
      this.moveTo(this.rows.length - 1);
    } else if (event.key === ' ' && this.cursor >= 0) {
      this.onToggle(this.rows[this.cursor], null);
      this.render();
    } else if (event.key === 'Enter' && this.cursor >= 0) {
      this.onActivate(this.rows[this.cursor]);
    } else {
      return;
    }
    event.preventDefault();
  }
}
