// The replay page: a recording from /demos played through the watch page's model,
// renderer and camera. ?demo=NAME names it; with &t=SECONDS it opens paused at that
// moment, without it plays from the start. The page keeps the recording's own clock:
// each record is applied at its own time, which is also the model's "now", so the kill
// feed lasts six seconds of the match at any speed.
import { decodeMessage } from './codec.js';
import { HEADER_BYTES, advance, blockAt, keyframeBlock, loadRecords, readBlocks, readHeader, seek } from './demo.js';
import { Link, applyMessage, linkMessage, newGame } from './game.js';
import { pageColumns } from './layout.js';
import { drawFrame, fitCanvas, spectatorCamera } from './render.js';
import { wireFullscreen } from './tools.js';

wireFullscreen();

const POLL_MS = 2000; // how often the end of what is held asks for what was written since
const MAX_STEP_MS = 250; // the most page time one frame plays, so a hidden tab does not leap on return
const AHEAD_BLOCKS = 2; // inflated ahead of playback, so that a frame never waits for one
const NAMED = /^\d{8}T\d{6}Z-\d{1,5}(-\d+)?\.demo$/; // as the server names recordings

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const playButton = document.getElementById('play');
const seekBar = document.getElementById('seek');
const clock = document.getElementById('clock');
const speedList = document.getElementById('speed');

const query = new URLSearchParams(location.search);
const name = query.get('demo') ?? '';
const startSeconds = Number(query.get('t'));

const file = {
  held: 0, // bytes fetched: the next fetch asks for those after them
  pending: new Uint8Array(0), // fetched bytes not yet read as the header or whole blocks
  header: null,
  blocks: [],
  damage: null, // why reading stopped before the end of what is held; nothing after it plays
  fetching: false,
  askedAt: -Infinity,
  answered: false, // a fetch has come back
  note: '', // why the last fetch for more failed, while it did
};
let game = newGame();
const eye = spectatorCamera(canvas, () => game);
let error = null; // why nothing plays
let started = false; // the first block is read and the world built
let playing = false;
let speed = 1;
let timeMs = 0;
let next = { block: 0, record: 0 }; // the next record to apply
let lastSeekMs = null;
let countedFromMs = 0; // the scoreboard counts from the keyframe the world was last built from
let lastFrame = performance.now();
let dragging = false; // the seek bar is held: frames leave its value to the pointer

const durationMs = () => (file.blocks.length ? file.blocks.at(-1).lastMs : 0);
const atEnd = () => next.block >= file.blocks.length;

function apply(records) {
  for (const record of records) applyMessage(game, decodeMessage(record.message), record.timeMs);
}

// Blocks are held as stored; only those from the keyframe behind playback to a few
// ahead of it are inflated, so an hour of a busy match costs its file's size, not its records'.
const inflated = new Set();
const hasRecords = (from, to) => file.blocks.slice(from, to + 1).every((block) => block.records);
async function inflateBlocks(from, to) {
  for (let i = from; i <= to && i < file.blocks.length; i++) {
    const damage = await loadRecords(file.blocks[i]);
    if (damage) { // what comes from here on does not play
      [file.damage, file.blocks.length] = [damage, i];
      next = next.block > i ? { block: i, record: 0 } : next;
      break;
    }
    inflated.add(i);
  }
  // Kept: what was just asked for, and what playback stands on.
  const kept = (i) => (i >= from && i <= to) || (i >= keyframeBlock(file.blocks, timeMs) && i <= next.block + AHEAD_BLOCKS);
  for (const i of inflated) {
    if (kept(i)) continue;
    if (file.blocks[i]) file.blocks[i].records = null;
    inflated.delete(i);
  }
}

// Rebuilds the world at t from its keyframe, clamped to what is held. Seeks made while
// one is inflating its blocks wait; only the last of them runs.
let seeking = null;
let seekWanted = null;
async function seekTo(t) {
  seekWanted = t;
  if (seeking) return seeking;
  seeking = (async () => {
    while (seekWanted !== null) {
      const began = performance.now();
      const target = Math.max(0, Math.min(seekWanted, durationMs()));
      seekWanted = null;
      await inflateBlocks(keyframeBlock(file.blocks, target), blockAt(file.blocks, target));
      timeMs = Math.min(target, durationMs());
      const step = seek(file.blocks, timeMs);
      game = newGame();
      countedFromMs = file.blocks.length ? file.blocks[keyframeBlock(file.blocks, timeMs)].firstMs : 0;
      apply(step.records);
      next = step.next;
      lastSeekMs = performance.now() - began;
    }
    seeking = null;
  })();
  return seeking;
}

// Plays on to t once its blocks are inflated; until then the moment shown stays.
let inflating = false;
function playTo(t) {
  const last = blockAt(file.blocks, t);
  if (!hasRecords(next.block, last)) {
    if (!inflating) {
      inflating = true;
      inflateBlocks(next.block, last + AHEAD_BLOCKS).finally(() => { inflating = false; });
    }
    return;
  }
  const step = advance(file.blocks, next, t);
  apply(step.records);
  [next, timeMs] = [step.next, t];
  if (!inflating && !hasRecords(next.block, next.block + AHEAD_BLOCKS)) {
    inflating = true;
    inflateBlocks(next.block, next.block + AHEAD_BLOCKS).finally(() => { inflating = false; });
  }
}

// The bytes written after those held; empty when there are none yet.
async function fetchMore() {
  const headers = file.held > 0 ? { Range: `bytes=${file.held}-` } : {};
  const answer = await fetch(`/demos/${encodeURIComponent(name)}`, { cache: 'no-store', headers });
  if (answer.status === 416) return new Uint8Array(0);
  if (answer.status === 404) throw new Error(`There is no recording named ${name}.`);
  if (!answer.ok) throw new Error(`The server answered ${answer.status} for ${name}.`);
  const body = new Uint8Array(await answer.arrayBuffer());
  // A 206 starts where its Content-Range says; a 200 is the whole file as it stands.
  const range = /^bytes (\d+)-/.exec(answer.headers.get('Content-Range') ?? '');
  const from = answer.status === 206 && range ? Number(range[1]) : 0;
  return from <= file.held ? body.subarray(file.held - from) : new Uint8Array(0);
}

// Reads what came after what was held: the header first, then every block now whole.
async function take(bytes) {
  const pending = new Uint8Array(file.pending.length + bytes.length);
  pending.set(file.pending);
  pending.set(bytes, file.pending.length);
  [file.pending, file.held] = [pending, file.held + bytes.length];
  if (!file.header) {
    file.header = readHeader(file.pending); // throws for a file this page cannot read
    if (!file.header) return;
    file.pending = file.pending.subarray(HEADER_BYTES);
  }
  const read = readBlocks(file.pending, durationMs());
  for (const block of read.blocks) file.blocks.push(block);
  file.pending = file.pending.subarray(read.used);
  file.damage = read.damage;
  if (!started && file.blocks.length > 0) {
    await seekTo(Number.isFinite(startSeconds) ? Math.round(startSeconds * 1000) : 0); // the format's own resolution
    started = file.blocks.length > 0;
    playing = started && !query.has('t');
  }
}

// Fetches what was written since; before anything plays a failure is the page's error,
// after it only a note while it lasts.
async function fetchAndRead() {
  [file.fetching, file.askedAt] = [true, performance.now()];
  try {
    await take(await fetchMore());
    file.answered = true;
    file.note = '';
  } catch (failure) {
    if (started) file.note = `Could not fetch more: ${failure.message}`;
    else error = failure.message;
  } finally {
    file.fetching = false;
  }
}

function clockText(ms) {
  const seconds = Math.floor(ms / 1000);
  const [h, m, s] = [Math.floor(seconds / 3600), Math.floor(seconds / 60) % 60, seconds % 60];
  const mm = h > 0 ? `${h}:${String(m).padStart(2, '0')}` : String(m);
  return `${mm}:${String(s).padStart(2, '0')}`;
}

// A file without its whole header plays nothing: an empty one is what a server that
// could not write its disk leaves; either may still grow, so the page keeps asking.
function headlessText(held) {
  if (held === 0) return 'The file is empty: it has no header and nothing plays (was the server’s disk full?).';
  return `The file has only ${held} of the header’s ${HEADER_BYTES} bytes: nothing plays yet.`;
}

function statusText() {
  if (error) return error;
  if (file.damage && !started) return `The file is damaged before its first whole block (${file.damage}): nothing plays.`;
  if (!started && !file.header && file.answered) return headlessText(file.held);
  if (!started) return file.header ? 'Waiting for the recording’s first block…' : 'Loading…';
  const lines = [];
  if (file.damage) lines.push(`The file is damaged after ${clockText(durationMs())} (${file.damage}): it plays up to there.`);
  if (file.note) lines.push(file.note);
  if (game.link === Link.serverQuit) lines.push(linkMessage(game));
  return lines.join(' ');
}

function caption() {
  const watched = eye.following ? `Following ${game.players.get(eye.following).name}` : 'Free camera';
  return file.header ? `${watched} · ${new Date(file.header.startMs + timeMs).toLocaleString()}` : watched;
}

function frame(time) {
  const step = Math.min(MAX_STEP_MS, Math.max(0, time - lastFrame));
  lastFrame = time;
  if (started && playing && !seeking) playTo(Math.min(durationMs(), timeMs + step * speed));
  const more = !error && !file.damage && !file.fetching && (!started || atEnd());
  if (more && performance.now() - file.askedAt >= POLL_MS) fetchAndRead();
  statusLine.textContent = statusText();
  if (fitCanvas(canvas)) {
    const overlay = {
      now: timeMs, head: started ? [caption()] : [], showStandings: started, highlightId: eye.following,
      standingsNote: `Counted from ${clockText(countedFromMs)} of the match`, columns: pageColumns(canvas),
    };
    drawFrame(context, game, eye.view(time), overlay);
  }
  seekBar.max = String(durationMs());
  if (!dragging) seekBar.value = String(timeMs);
  clock.textContent = `${clockText(timeMs)} / ${clockText(durationMs())}`;
  playButton.textContent = playing ? 'Pause' : 'Play';
  playButton.disabled = seekBar.disabled = !started;
  requestAnimationFrame(frame);
}

const togglePlay = () => {
  playing = started && !playing;
};
playButton.addEventListener('click', togglePlay);
seekBar.addEventListener('input', () => {
  if (started) seekTo(Number(seekBar.value));
});
seekBar.addEventListener('pointerdown', () => {
  dragging = true;
});
window.addEventListener('pointerup', () => {
  dragging = false;
});
speedList.addEventListener('change', () => {
  speed = Number(speedList.value);
});
window.addEventListener('keydown', (event) => {
  // A focused button or list takes Space as its own press.
  if (event.code !== 'Space' || event.target instanceof HTMLButtonElement || event.target instanceof HTMLSelectElement) return;
  togglePlay();
  event.preventDefault();
});

// What the page shows, for tests and the console to read; nothing in it changes the page.
//   loaded       the first block is read and the world of the starting moment built
//   startMs      when the recording began, in ms since 1970-01-01 UTC; null before its header is read
//   durationMs   the time of the last record read, in ms since the recording began
//   timeMs       the moment shown, on the same clock
//   playing, speed
//   players      [{ id, name, x, y, dead }] as at timeMs, in id order
//   projectiles  how many are in flight at timeMs
//   following    the followed player's id; 0 for the free camera
//   bytes        bytes fetched; blocks: whole blocks read from them
//   damage       why reading stopped before the end of the file (it plays up to there); null when sound
//   error        why nothing plays (a bad name, a missing or unreadable file); null otherwise
//   lastSeekMs   how long the last seek took to rebuild the world, in ms of page time; null before one
window.replayState = Object.freeze({
  get loaded() {
    return started;
  },
  get startMs() {
    return file.header ? file.header.startMs : null;
  },
  get durationMs() {
    return durationMs();
  },
  get timeMs() {
    return timeMs;
  },
  get playing() {
    return playing;
  },
  get speed() {
    return speed;
  },
  get players() {
    const ids = [...game.players.keys()].sort((a, b) => a - b);
    return Object.freeze(ids.map((id) => {
      const { name: playerName, x, y, dead } = game.players.get(id);
      return Object.freeze({ id, name: playerName, x, y, dead });
    }));
  },
  get projectiles() {
    return game.projectiles.size;
  },
  get following() {
    return eye.following;
  },
  get bytes() {
    return file.held;
  },
  get blocks() {
    return file.blocks.length;
  },
  get damage() {
    return file.damage;
  },
  get error() {
    return error;
  },
  get lastSeekMs() {
    return lastSeekMs;
  },
});

if (name) document.title = `Skirmish: replay of ${name}`;
if (!NAMED.test(name)) error = name ? `“${name}” is not the name of a recording.` : 'No recording named: pick one from /demos.';
requestAnimationFrame(frame);
