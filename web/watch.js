// The watch page: a spectator's WebSocket at /watch, which it never writes to, shown
// through the play page's model and renderer with a camera that follows a player or
// roams free.
import {
  cameraOf, cameraView, followCamera, linkMessage, newGame, panCamera, playerAt, standings,
  openLink, stepPlayer, wholeMapView, zoomCamera,
} from './game.js';
import { drawFrame, fitCanvas } from './render.js';

const SPECTATORS_POLL_MS = 3000;
const PAN_PIXELS_PER_SECOND = 600;
const ZOOM_STEP = 1.25; // per + or − press
const WHEEL_ZOOM = 0.0015; // per wheel pixel
const DRAG_PIXELS = 4; // a press that moves further pans; a shorter one is a click
const panKeys = {
  KeyA: [-1, 0], ArrowLeft: [-1, 0], KeyD: [1, 0], ArrowRight: [1, 0],
  KeyW: [0, -1], ArrowUp: [0, -1], KeyS: [0, 1], ArrowDown: [0, 1],
};

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');

const game = newGame();
let camera = null; // set once the map's size is known and the canvas has room
let following = 0; // the followed player's id; 0 for the free camera
let spectators = null; // as last polled; null while unknown
let drag = null; // { x, y, moved } while the button is down on the canvas
let lastFrame = performance.now();
const held = new Set();

async function pollSpectators() {
  try {
    const answer = await fetch('/spectators', { cache: 'no-store' });
    const text = answer.ok ? (await answer.text()).trim() : '';
    spectators = /^\d+$/.test(text) ? Number(text) : null;
  } catch {
    spectators = null;
  }
  setTimeout(pollSpectators, SPECTATORS_POLL_MS);
}

function caption() {
  const watched = following ? `Following ${game.players.get(following).name}` : 'Free camera';
  return spectators === null ? watched : `${watched} · ${spectators} watching`;
}

function frame(time) {
  const seconds = Math.min(0.1, Math.max(0, time - lastFrame) / 1000);
  lastFrame = time;
  if (following && !game.players.has(following)) following = 0;
  if (fitCanvas(canvas)) {
    const { width, height } = canvas;
    let view = null;
    if (game.sizeX > 0) {
      camera ??= cameraOf(wholeMapView(game, width, height), width, height);
      let [dx, dy] = [0, 0];
      for (const code of held) [dx, dy] = [dx + panKeys[code][0], dy + panKeys[code][1]];
      if (dx !== 0 || dy !== 0) {
        following = 0;
        camera = panCamera(camera, dx * PAN_PIXELS_PER_SECOND * seconds, dy * PAN_PIXELS_PER_SECOND * seconds);
      }
      if (following) camera = followCamera(game, camera, following);
      view = cameraView(camera, width, height);
    }
    const overlay = { now: performance.now(), caption: caption(), showStandings: true, highlightId: following };
    drawFrame(context, game, view, overlay);
  }
  statusLine.textContent = linkMessage(game);
  requestAnimationFrame(frame);
}

function zoom(factor, sx, sy) {
  if (!camera) return;
  // A followed player stays in the middle wherever the pointer is.
  const [ax, ay] = following || sx === undefined ? [canvas.width / 2, canvas.height / 2] : [sx, sy];
  camera = zoomCamera(camera, factor, canvas.width, canvas.height, ax, ay);
}

window.addEventListener('keydown', (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if (Object.hasOwn(panKeys, event.code)) held.add(event.code);
  else if (event.key === ']' || event.key === '[') following = stepPlayer(game, following, event.key === ']' ? 1 : -1);
  else if (event.key === 'Escape') following = 0;
  else if (event.key === '+' || event.key === '=') zoom(ZOOM_STEP);
  else if (event.key === '-' || event.key === '_') zoom(1 / ZOOM_STEP);
  else return;
  event.preventDefault();
});
window.addEventListener('keyup', (event) => held.delete(event.code));
window.addEventListener('blur', () => held.clear());

canvas.addEventListener('wheel', (event) => {
  event.preventDefault();
  zoom(Math.exp(-event.deltaY * WHEEL_ZOOM), event.offsetX, event.offsetY);
}, { passive: false });
canvas.addEventListener('pointerdown', (event) => {
  if (event.button !== 0) return;
  drag = { x: event.offsetX, y: event.offsetY, moved: false };
  canvas.setPointerCapture(event.pointerId);
});
canvas.addEventListener('pointermove', (event) => {
  if (!drag || !camera) return;
  const [dx, dy] = [event.offsetX - drag.x, event.offsetY - drag.y];
  if (!drag.moved && Math.hypot(dx, dy) < DRAG_PIXELS) return;
  drag = { x: event.offsetX, y: event.offsetY, moved: true };
  following = 0;
  camera = panCamera(camera, -dx, -dy); // the map moves with the pointer
});
canvas.addEventListener('pointerup', (event) => {
  if (drag && !drag.moved && camera) {
    const picked = playerAt(game, cameraView(camera, canvas.width, canvas.height), event.offsetX, event.offsetY);
    if (picked) following = picked;
  }
  drag = null;
});
canvas.addEventListener('pointercancel', () => {
  drag = null;
});

// What the page shows, for tests and the console to read; nothing in it changes the page.
window.skirmishWatch = Object.freeze({
  get link() {
    return game.link;
  },
  get following() {
    return following;
  },
  get spectators() {
    return spectators;
  },
  get players() {
    return Object.freeze(standings(game).map((row) => {
      const { x, y } = game.players.get(row.id);
      return Object.freeze({ ...row, x, y });
    }));
  },
});

openLink(game, '/watch');
pollSpectators();
requestAnimationFrame(frame);
