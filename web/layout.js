// Where the pages' words go on the canvas, so that none covers another, a button, a hint or
// (on a touch screen) the thumbs: the canvas is cut into one column (a narrow screen) or two,
// clear of the buttons and above what sits at the bottom, and each block of lines takes its
// place in a column from the top or the bottom while there is room; what does not fit is not
// drawn. Lines too wide for their column are cut short with an ellipsis. Boxes are
// { left, top, right, bottom } in the canvas's CSS pixels.

export const LINE = 20; // pixels from one line to the next
const MARGIN = 10;
const GAP = 8; // between a column and a button, and between blocks
const MIN_COLUMN = 220; // narrower than this, a column gives way to a button by going below it
// On a touch screen the thumbs rest in the lower part: this share of the height, at most THUMBS_MAX.
const THUMBS_SHARE = 0.4;
const THUMBS_MAX = 240;

// The columns of a canvas width × height: clear of the box tools (null for none), above y
// bottom, and on a touch screen above the thumbs.
export function hudColumns({ width, height, tools = null, bottom = height, thumbs = false }) {
  let floor = Math.min(height, bottom) - GAP / 2;
  if (thumbs) floor = Math.min(floor, height - Math.min(THUMBS_SHARE * height, THUMBS_MAX));
  const middle = width / 2;
  const columns = width >= 2 * MIN_COLUMN + 3 * MARGIN
    ? [{ left: MARGIN, right: middle - MARGIN / 2 }, { left: middle + MARGIN / 2, right: width - MARGIN }]
    : [{ left: MARGIN, right: width - MARGIN }];
  return columns.map((column) => clearOf({ ...column, top: GAP / 2, bottom: floor }, tools));
}

// The column beside box where that leaves it room, else below it.
function clearOf(column, box) {
  if (!box || box.right <= column.left || box.left >= column.right || box.bottom <= column.top) return column;
  const before = box.left - GAP - column.left;
  const after = column.right - (box.right + GAP);
  if (before >= MIN_COLUMN && before >= after) return { ...column, right: box.left - GAP };
  if (after >= MIN_COLUMN) return { ...column, left: box.right + GAP };
  return { ...column, top: box.bottom + GAP };
}

// A column being filled: blocks take lines from its top (y going down) and its bottom (floor going up).
export function stackOf(column) {
  return { ...column, y: column.top, floor: column.bottom, width: column.right - column.left };
}

// The baselines of up to count lines taken from the stack's top (fromBottom: its bottom),
// each line lineHeight high; a gap is left after a block that took any.
export function takeLines(stack, count, { lineHeight = LINE, fromBottom = false } = {}) {
  const taken = Math.max(0, Math.min(count, Math.floor((stack.floor - stack.y) / lineHeight)));
  const top = fromBottom ? stack.floor - taken * lineHeight : stack.y;
  if (taken > 0 && fromBottom) stack.floor = top - GAP;
  else if (taken > 0) stack.y = top + taken * lineHeight + GAP;
  const baseline = top + Math.round(lineHeight * 0.75);
  return Array.from({ length: taken }, (_, i) => baseline + i * lineHeight);
}

// text cut to fit width with an ellipsis ('' when not even that fits).
export function fitText(context, text, width) {
  if (context.measureText(text).width <= width) return text;
  let [low, high] = [0, text.length]; // the longest cut that fits
  while (low < high) {
    const middle = Math.ceil((low + high) / 2);
    if (context.measureText(`${text.slice(0, middle)}…`).width <= width) low = middle;
    else high = middle - 1;
  }
  return low > 0 ? `${text.slice(0, low)}…` : '';
}

// text broken at spaces into lines that fit width; a word wider than a line is cut short.
export function wrapText(context, text, width) {
  const lines = [];
  let line = '';
  for (const word of text.split(' ')) {
    const longer = line ? `${line} ${word}` : word;
    if (!line || context.measureText(longer).width <= width) {
      line = longer;
    } else {
      lines.push(line);
      line = word;
    }
  }
  return [...lines, line].map((each) => fitText(context, each, width));
}

// Draws text at (x, baseline), aligned left or right on x, cut to width.
export function drawText(context, text, x, baseline, width, align = 'left') {
  context.textAlign = align;
  context.fillText(fitText(context, text, width), x, baseline);
}

// The box of element relative to canvas, or null while it is not shown.
export function boxOn(canvas, element) {
  if (!element || element.hidden) return null;
  const box = element.getBoundingClientRect();
  if (box.width === 0 || box.height === 0) return null;
  const origin = canvas.getBoundingClientRect();
  return { left: box.left - origin.left, top: box.top - origin.top, right: box.right - origin.left, bottom: box.bottom - origin.top };
}

// The columns of a page's canvas, clear of its #tools and above the elements below (hints,
// the chat line) that lie over the canvas. The #status line is placed at the top of the
// first column; the column starts below it while it says anything.
export function pageColumns(canvas, { below = [], thumbs = false } = {}) {
  const height = canvas.clientHeight;
  let bottom = height;
  for (const element of below) {
    const box = boxOn(canvas, element);
    if (box && box.top < height) bottom = Math.min(bottom, box.top);
  }
  const tools = boxOn(canvas, document.getElementById('tools'));
  const columns = hudColumns({ width: canvas.clientWidth, height, tools, bottom, thumbs });
  const status = document.getElementById('status');
  if (status) {
    const first = columns[0];
    Object.assign(status.style, { left: `${first.left}px`, top: `${first.top}px`, width: `${first.right - first.left}px` });
    const box = status.textContent ? boxOn(canvas, status) : null;
    if (box) first.top = box.bottom + GAP;
  }
  return columns;
}
