// The watch page: a spectator's WebSocket at /watch, which it never writes to, shown
// through the play page's model and renderer with a camera that follows a player or
// roams free; a lost link is tried again.
import { Link, flyFollowed, keepLinked, linkMessage, newGame, openLink, standings } from './game.js';
import { pageColumns } from './layout.js';
import { drawFrame, fitCanvas, spectatorCamera } from './render.js';
import { wireFullscreen } from './tools.js';

wireFullscreen();

const SPECTATORS_POLL_MS = 3000;

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');

let game = newGame();
const eye = spectatorCamera(canvas, () => game);
let spectators = null; // as last polled; null while unknown
let countedSince = new Date(); // the scoreboard counts the kills seen since the world was opened
const hints = [...document.querySelectorAll('.hint')];

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
  const watched = eye.following ? `Following ${game.players.get(eye.following).name}` : 'Free camera';
  return spectators === null ? watched : `${watched} · ${spectators} watching`;
}

function frame(time) {
  flyFollowed(game, performance.now());
  statusLine.textContent = linkMessage(game);
  if (fitCanvas(canvas)) {
    const view = eye.view(time);
    const since = countedSince.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
    const overlay = {
      now: performance.now(), head: [caption()], showStandings: true, highlightId: eye.following,
      standingsNote: `Counted since ${since}, when you came`, columns: pageColumns(canvas, { below: hints }),
    };
    drawFrame(context, game, view, overlay);
  }
  requestAnimationFrame(frame);
}

// What the page shows, for tests and the console to read; nothing in it changes the page.
window.skirmishWatch = Object.freeze({
  get link() {
    return game.link;
  },
  get following() {
    return eye.following;
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

// A lost link is opened again with back-off, onto a new world.
keepLinked(() => {
  countedSince = new Date();
  return openLink((game = newGame()), '/watch');
}, {
  isUp: () => game.link === Link.watching,
  isLost: () => game.link === Link.lost,
  onRetry: () => {
    game.link = Link.reconnecting;
  },
});
pollSpectators();
requestAnimationFrame(frame);
