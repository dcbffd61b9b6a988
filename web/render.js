// The one renderer of the pages: the world through a view, then what is laid over it; and
// the camera of the pages that watch rather than play.
import {
  PLAYER_RADIUS, TILE, cameraOf, cameraView, followCamera, panCamera, playerAt, recentKills,
  standings, stepPlayer, wholeMapView, zoomCamera,
} from './game.js';
import { LINE, drawText, hudColumns, stackOf, takeLines, wrapText } from './layout.js';

// Players and shots are told apart by shape and outline as well as colour (blue and orange
// stay apart under every common colour-vision deficiency, see docs/accessibility.md): the own
// player has a white ring, others a dark one, the dead are hollow crossed rings, shots are diamonds.
export const colours = {
  background: '#14161a', floor: '#1f2228', roomFill: '#3a3f4b', roomEdge: '#59606f', player: '#e69f00',
  own: '#56b4e9', ownRing: '#ffffff', dead: '#8a8f99', projectile: '#f0e442', text: '#e6e6e6',
  panel: 'rgba(20, 22, 26, 0.8)', stick: 'rgba(230, 230, 230, 0.45)', fire: 'rgba(240, 228, 66, 0.8)',
};
const FONT = 'system-ui, sans-serif';
const PANEL_WIDTH = 260;

// Gives the canvas as many device pixels as it has room on the page and draws in CSS
// pixels on it: everything below measures in CSS pixels. True when it has any room.
export function fitCanvas(canvas) {
  const ratio = globalThis.devicePixelRatio || 1;
  const width = Math.round(canvas.clientWidth * ratio);
  const height = Math.round(canvas.clientHeight * ratio);
  if (canvas.width !== width || canvas.height !== height) Object.assign(canvas, { width, height });
  canvas.getContext('2d').setTransform(ratio, 0, 0, ratio, 0, 0);
  return width > 0 && height > 0;
}

const sizeOf = (canvas) => ({ width: canvas.clientWidth, height: canvas.clientHeight });

// A player's body: filled with a ring (white for the own, dark for others), or a hollow
// dashed ring crossed out for the dead.
function drawBody(context, px, py, radius, kind) {
  context.beginPath();
  context.arc(px, py, radius, 0, 2 * Math.PI);
  if (kind === 'dead') {
    context.strokeStyle = colours.dead;
    context.lineWidth = 2;
    context.setLineDash([3, 3]);
    context.stroke();
    context.setLineDash([]);
    const r = radius * 0.6;
    context.beginPath();
    context.moveTo(px - r, py - r);
    context.lineTo(px + r, py + r);
    context.moveTo(px + r, py - r);
    context.lineTo(px - r, py + r);
    context.stroke();
  } else {
    context.fillStyle = kind === 'own' ? colours.own : colours.player;
    context.fill();
    context.strokeStyle = kind === 'own' ? colours.ownRing : colours.background;
    context.lineWidth = kind === 'own' ? 3 : 2;
    context.stroke();
  }
  context.lineWidth = 1;
}

function drawWorld(context, game, v, highlightId) {
  const x = (wx) => (wx - v.originX) * v.scale;
  const y = (wy) => (wy - v.originY) * v.scale;
  context.fillStyle = colours.floor;
  context.fillRect(x(0), y(0), game.sizeX * TILE * v.scale, game.sizeY * TILE * v.scale);
  // Rooms are drawn on the floor only: the part of one past the map's edge (all of the
  // table's extra room, just below the map) is no place a player is meant to stand.
  context.save();
  context.beginPath();
  context.rect(x(0), y(0), game.sizeX * TILE * v.scale, game.sizeY * TILE * v.scale);
  context.clip();
  for (const room of game.rooms) {
    context.fillStyle = colours.roomFill;
    context.strokeStyle = colours.roomEdge;
    const w = room.width * TILE * v.scale;
    const h = room.height * TILE * v.scale;
    context.fillRect(x(room.x * TILE), y(room.y * TILE), w, h);
    context.strokeRect(x(room.x * TILE), y(room.y * TILE), w, h);
  }
  context.restore();
  context.fillStyle = colours.projectile;
  context.strokeStyle = colours.background;
  const size = Math.max(4, 5 * v.scale);
  for (const projectile of game.projectiles.values()) {
    const [px, py] = [x(projectile.x), y(projectile.y)];
    context.beginPath();
    context.moveTo(px, py - size);
    context.lineTo(px + size, py);
    context.lineTo(px, py + size);
    context.lineTo(px - size, py);
    context.closePath();
    context.fill();
    context.stroke();
  }
  context.font = `14px ${FONT}`;
  context.textAlign = 'center';
  for (const [id, player] of game.players) {
    // One just seated waits dead at the origin before it is ever placed: it is nowhere yet.
    if (player.dead && player.x === 0 && player.y === 0) continue;
    const px = x(player.x);
    const py = y(player.y);
    const radius = Math.max(5, PLAYER_RADIUS * v.scale);
    drawBody(context, px, py, radius, player.dead ? 'dead' : id === highlightId ? 'own' : 'other');
    // The facing mark points where its shots travel: angle − 90 degrees.
    const heading = ((player.rotation - 90) * Math.PI) / 180;
    context.strokeStyle = colours.background;
    context.beginPath();
    context.moveTo(px, py);
    context.lineTo(px + Math.cos(heading) * radius * 1.6, py + Math.sin(heading) * radius * 1.6);
    context.stroke();
    context.fillStyle = player.dead ? colours.dead : colours.text;
    context.fillText(player.name, px, py - radius - 6);
  }
}

// Every known player with kills and deaths, in a panel at the top of stack's free part
// (what fits of it), headed by note (from when it counts) when there is one.
function drawStandings(context, game, highlightId, stack, note) {
  const rows = [{ name: 'Player', kills: 'Kills', deaths: 'Deaths' }, ...standings(game)];
  const width = Math.min(PANEL_WIDTH, stack.width);
  const left = stack.right - width;
  const top = stack.y;
  context.font = `14px ${FONT}`;
  const noteLines = note ? wrapText(context, note, width - 20) : [];
  const lines = takeLines(stack, noteLines.length + rows.length);
  if (lines.length === 0) return;
  context.fillStyle = colours.panel;
  context.fillRect(left, top, width, lines.length * LINE);
  lines.forEach((lineY, i) => {
    if (i < noteLines.length) {
      context.fillStyle = '#aaa';
      drawText(context, noteLines[i], left + 10, lineY, width - 20);
      return;
    }
    const row = rows[i - noteLines.length];
    context.fillStyle = row.id === undefined ? '#aaa' : row.id === highlightId ? colours.own : colours.text;
    drawText(context, row.name, left + 10, lineY, width - 140);
    drawText(context, String(row.kills), left + width - 70, lineY, 55, 'right');
    drawText(context, String(row.deaths), left + width - 10, lineY, 55, 'right');
  });
}

// What is laid over the world: head (wrapped) at the top of the first column, the kill
// feed at the top of the last, the scoreboard below it, stats (ping, frame rate) at the
// bottom of the last and the chat log at the bottom of the first, as far as each fits.
function drawOverlay(context, game, { now, head, showStandings, standingsNote, highlightId, columns, stats }) {
  const stacks = columns.map(stackOf);
  const [first, last] = [stacks[0], stacks.at(-1)];
  context.font = `16px ${FONT}`;
  context.fillStyle = colours.text;
  const headLines = head.flatMap((line) => wrapText(context, line, first.width));
  takeLines(first, headLines.length).forEach((lineY, i) => drawText(context, headLines[i], first.left, lineY, first.width));
  const kills = recentKills(game, now);
  const killsAt = takeLines(last, kills.length);
  const shownKills = kills.slice(kills.length - killsAt.length); // the newest
  killsAt.forEach((lineY, i) => drawText(context, shownKills[i], last.right, lineY, last.width, 'right'));
  if (showStandings) drawStandings(context, game, highlightId, last, standingsNote);
  context.font = `14px ${FONT}`;
  context.fillStyle = colours.text;
  const statsAt = takeLines(last, stats.length, { fromBottom: true });
  statsAt.forEach((lineY, i) => drawText(context, stats[i], last.right, lineY, last.width, 'right'));
  context.font = `16px ${FONT}`;
  const logAt = takeLines(first, game.log.length, { fromBottom: true });
  const shownLog = game.log.slice(game.log.length - logAt.length);
  logAt.forEach((lineY, i) => drawText(context, shownLog[i], first.left, lineY, first.width));
}

// Draws one frame of the game through view (null: no world yet). highlightId is the
// player drawn as one's own (0 for none); head are the lines at the top left (the page's
// state, a caption); columns say where words may go (pageColumns in layout.js; the whole
// canvas when not given); standingsNote heads the scoreboard; stats go at the bottom right.
export function drawFrame(context, game, view, {
  now, head = [], showStandings = false, standingsNote = '', highlightId = 0, columns = null, stats = [],
}) {
  const { width, height } = sizeOf(context.canvas);
  context.fillStyle = colours.background;
  context.fillRect(0, 0, width, height);
  if (view) drawWorld(context, game, view, highlightId);
  const overlay = { now, head, showStandings, standingsNote, highlightId, stats };
  drawOverlay(context, game, { ...overlay, columns: columns ?? hudColumns({ width, height }) });
}

const PAN_PIXELS_PER_SECOND = 600;
const ZOOM_STEP = 1.25; // per + or − press
const WHEEL_ZOOM = 0.0015; // per wheel pixel
const DRAG_PIXELS = 4; // a press that moves further pans; a shorter one is a click
const panKeys = {
  KeyA: [-1, 0], ArrowLeft: [-1, 0], KeyD: [1, 0], ArrowRight: [1, 0],
  KeyW: [0, -1], ArrowUp: [0, -1], KeyS: [0, 1], ArrowDown: [0, 1],
};

// A watcher's camera on canvas: it follows a player, clicked or stepped to with [ and ],
// or roams free (W A S D, arrows or drag; wheel or + and − to zoom; Esc lets go).
// currentGame() is the world shown now, which the page may swap for another.
export function spectatorCamera(canvas, currentGame) {
  let camera = null; // set once the map's size is known and the canvas has room
  let following = 0; // the followed player's id; 0 for the free camera
  let drag = null; // { x, y, moved } while the button is down on the canvas
  let lastFrame = performance.now();
  const held = new Set();

  function zoom(factor, sx, sy) {
    if (!camera) return;
    // A followed player stays in the middle wherever the pointer is.
    const { width, height } = sizeOf(canvas);
    const [ax, ay] = following || sx === undefined ? [width / 2, height / 2] : [sx, sy];
    camera = zoomCamera(camera, factor, width, height, ax, ay);
  }

  window.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    // Keys meant for a control (a slider's arrows) stay with it.
    if (event.target instanceof HTMLInputElement || event.target instanceof HTMLSelectElement) return;
    if (Object.hasOwn(panKeys, event.code)) held.add(event.code);
    else if (event.key === ']' || event.key === '[') following = stepPlayer(currentGame(), following, event.key === ']' ? 1 : -1);
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
      const picked = playerAt(currentGame(), cameraView(camera, sizeOf(canvas).width, sizeOf(canvas).height), event.offsetX, event.offsetY);
      if (picked) following = picked;
    }
    drag = null;
  });
  canvas.addEventListener('pointercancel', () => {
    drag = null;
  });

  return {
    // The followed player's id (0 for the free camera), forgotten once the world has no such player.
    get following() {
      if (following && !currentGame().players.has(following)) following = 0;
      return following;
    },
    // The view for a frame drawn at time (as requestAnimationFrame gives it) on the canvas
    // as fitted; null while the map's size is unknown.
    view(time) {
      const seconds = Math.min(0.1, Math.max(0, time - lastFrame) / 1000);
      lastFrame = time;
      const game = currentGame();
      const { width, height } = sizeOf(canvas);
      if (game.sizeX <= 0) return null;
      camera ??= cameraOf(wholeMapView(game, width, height), width, height);
      let [dx, dy] = [0, 0];
      for (const code of held) [dx, dy] = [dx + panKeys[code][0], dy + panKeys[code][1]];
      if (dx !== 0 || dy !== 0) {
        following = 0;
        camera = panCamera(camera, dx * PAN_PIXELS_PER_SECOND * seconds, dy * PAN_PIXELS_PER_SECOND * seconds);
      }
      if (this.following) camera = followCamera(game, camera, following);
      return cameraView(camera, width, height);
    },
  };
}
