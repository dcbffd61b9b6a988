// The page: joins over a WebSocket at /ws, draws the world on #world and turns
// keys and the mouse into commands. Its own player is drawn where its moves take it
// before the server answers (predict.js), everyone else smoothly (smooth.js); ?predict=0
// draws only what the server has said, as a page without either would. On a touch screen
// twin sticks (touch.js) stand in for the keys and the mouse; sounds come from sound.js.
import {
  Link, aimAngle, flyFollowed, followView, keepLinked, linkMessage, moveFromKeys, newGame, openLink, pageCodec,
  statePath, wholeMapView,
} from './game.js';
import * as predict from './predict.js';
import * as smooth from './smooth.js';
import { colours, drawFrame, fitCanvas } from './render.js';
import { hudHeard, isEnter, newHud, respawnOffsets, statusLines } from './hud.js';
import { pageColumns } from './layout.js';
import * as sounds from './sound.js';
import * as touch from './touch.js';
import { wirePageTools } from './tools.js';

const INPUT_PERIOD_MS = 33; // held keys and the aim go out up to 30 times a second
const MOVE_KEYS = new Set(['KeyW', 'KeyA', 'KeyS', 'KeyD']);

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const chat = document.getElementById('chat');
const joinForm = document.getElementById('join');
const smoothing = new URLSearchParams(location.search).get('predict') !== '0';
const { command, packPacket } = pageCodec();

let game = null;
let socket = null;
let prediction = predict.newPrediction();
let others = smooth.newSmoothing();
let hud = newHud();
let outgoing = [];
let wholeMap = false;
let showStandings = false; // while Tab is held
let showStats = false; // ping and frame rate, toggled with P
let inputTimer = null;
let lastAim = null;
const frameTimes = []; // the last second's frames
const sticks = touch.newSticks();
const sound = sounds.newSound(globalThis.localStorage);
let movesSent = 0;
// What the browser tests look at.
window.skirmishPlay = {
  sound,
  sticks,
  get alive() {
    const me = game && game.players.get(game.myId);
    return Boolean(me && !me.dead);
  },
  get movesSent() {
    return movesSent;
  },
};
const keys = new Set();
const mouse = { x: 0, y: 0 };
let aimByMouse = true; // until a thumb aims; a thumb lifted leaves the aim where it was

function send(message) {
  outgoing.push(message);
}

function flush() {
  if (outgoing.length > 0 && socket && socket.readyState === WebSocket.OPEN) socket.send(packPacket(outgoing));
  outgoing = [];
}

function heard(message, now) {
  predict.heard(prediction, message, game.myId, now);
  smooth.heard(others, message, now);
  // Our snapshot came before our id did: where it put us is where prediction starts.
  const me = game.players.get(game.myId);
  if (game.myId !== 0 && me && !prediction.base) predict.seed(prediction, me.x, me.y, now);
  for (const name of sounds.soundsFor(sound, game, message)) sounds.play(sound, name);
  hudHeard(hud, game, message, now);
}

// A new world and a new socket; after a lost link, the same name joins again.
function open(name) {
  game = newGame(name);
  prediction = predict.newPrediction();
  others = smooth.newSmoothing();
  hud = newHud();
  lastAim = null;
  outgoing = [];
  socket = openLink(game, '/ws', heard);
  socket.onopen = () => {
    send(command.name(name));
    flush();
  };
  return socket;
}

function join(name) {
  joinForm.hidden = true;
  keepLinked(() => open(name), {
    isUp: () => game.link === Link.playing,
    isLost: () => game.link === Link.lost,
    onRetry: () => {
      game.link = Link.reconnecting;
    },
  });
  restartInput();
  requestAnimationFrame(draw);
}

// The world as drawn at now: the own player where its moves took it, others smoothed.
function shownWorld(now) {
  if (!smoothing) return game;
  const players = new Map();
  for (const [id, p] of game.players) {
    if (id === game.myId) {
      const at = predict.shownPosition(prediction, now);
      players.set(id, { ...p, ...at, rotation: prediction.aim ?? p.rotation });
    } else {
      players.set(id, { ...p, ...smooth.playerPosition(others, id, now) });
    }
  }
  const projectiles = new Map();
  for (const [id, p] of game.projectiles) projectiles.set(id, { ...p, ...smooth.projectilePosition(others, id, p, now) });
  return { ...game, players, projectiles };
}

// A newcomer, who stands nowhere yet, sees the whole map until it comes to life.
function view(world) {
  return wholeMap || hud.down?.arriving
    ? wholeMapView(world, canvas.clientWidth, canvas.clientHeight)
    : followView(world, canvas.clientWidth, canvas.clientHeight);
}

// Moves go out only once the page knows its id, so every answer can be told as its own.
function sendHeldInput() {
  if (!game || game.link !== Link.playing || !chat.hidden || game.myId === 0) return;
  const now = performance.now();
  const step = moveFromKeys(keys) ?? touch.moveFromStick(sticks);
  if (step) {
    send(command.move(step.dx, step.dy));
    movesSent++;
    predict.sentMove(prediction, step.dx, step.dy, now);
  }
  const world = shownWorld(now);
  const me = world.players.get(game.myId);
  const thumb = touch.aimFromStick(sticks);
  if (me) {
    const v = view(world);
    if (thumb) aimByMouse = false;
    const aim = thumb ? thumb.angle
      : aimByMouse ? aimAngle(mouse.x / v.scale + v.originX - me.x, mouse.y / v.scale + v.originY - me.y) : lastAim;
    if (aim !== null && (lastAim === null || Math.abs(aim - lastAim) > 0.5)) {
      lastAim = aim;
      send(command.rotate(aim));
      predict.sentRotate(prediction, aim);
    }
  }
  // A pushed aim stick fires every input period; the weapon's own timer on the server
  // decides which of them become shots.
  if (thumb && thumb.firing) send(command.fire());
  flush();
}

// Sends what is held now and starts the input period from here: the first "Move" of a
// key press goes out at once.
function restartInput() {
  clearInterval(inputTimer);
  sendHeldInput();
  inputTimer = setInterval(sendHeldInput, INPUT_PERIOD_MS);
}

function stats(now) {
  frameTimes.push(now);
  while (frameTimes[0] < now - 1000) frameTimes.shift();
  const ping = prediction.ping === null ? '–' : `${Math.round(prediction.ping)} ms`;
  // Which way others' motion comes: short enough for a phone's width.
  return [`ping ${ping} · ${statePath(game)}`, `${frameTimes.length} fps`];
}

const hints = [...document.querySelectorAll('.hint')];
const respawnButton = document.getElementById('respawn-button');

// The words over the world: the page's own state at the top left while playing, kept off
// the buttons, the hints, the chat line and the thumbs.
function hudOptions(now) {
  const thumbs = document.body.classList.contains('touch');
  const head = game.link === Link.playing ? statusLines(hud, game, now, thumbs) : [];
  const columns = pageColumns(canvas, { below: [...hints, chat], thumbs });
  return { now, head, columns, showStandings, standingsNote: 'Counted since you joined', highlightId: game.myId };
}

function draw() {
  const now = performance.now();
  flyFollowed(game, now);
  const lines = stats(now);
  statusLine.textContent = linkMessage(game);
  respawnButton.classList.toggle('waiting', Boolean(hud.down));
  if (fitCanvas(canvas)) {
    const world = shownWorld(now);
    const shown = game.sizeX > 0 ? view(world) : null;
    drawFrame(context, world, shown, { ...hudOptions(now), stats: showStats ? lines : [] });
    touch.drawSticks(context, sticks, colours);
  }
  requestAnimationFrame(draw);
}

window.addEventListener('keydown', (event) => {
  if (!game || event.target === chat) return;
  if (isEnter(event)) {
    chat.hidden = false;
    chat.focus();
    event.preventDefault();
  } else if (event.code === 'KeyR') {
    respawn();
  } else if (event.code === 'KeyM') {
    wholeMap = !wholeMap;
  } else if (event.code === 'KeyP') {
    showStats = !showStats;
  } else if (event.code === 'Tab') {
    showStandings = true;
    event.preventDefault();
  } else if (!keys.has(event.code)) {
    keys.add(event.code);
    if (MOVE_KEYS.has(event.code)) restartInput();
  }
});
// Back to life at once, at a random spot inside the map away from the others.
function respawn() {
  if (!game || game.link !== Link.playing) return;
  const { a, b } = respawnOffsets(game);
  send(command.respawn(a, b));
  const spot = game.rooms.length > 1 ? game.rooms[1] : null; // its tiles taken as map units
  if (game.myId !== 0) predict.sentRespawn(prediction, a, b, spot, performance.now());
  flush();
}

function openChat() {
  if (!game) return;
  chat.hidden = false;
  chat.focus();
}

// A stick taken or let go sends at once; a thumb moving within one waits for the input period.
let sticksHeld = 0;
touch.attachSticks(canvas, sticks, {
  onChange: () => {
    const held = (sticks.move ? 1 : 0) + (sticks.aim ? 1 : 0);
    if (held !== sticksHeld && game) restartInput();
    sticksHeld = held;
  },
  onFirstTouch: () => document.body.classList.add('touch'),
});
wirePageTools(sound, {
  chat: openChat,
  respawn,
  scores: () => {
    showStandings = !showStandings;
    return showStandings;
  },
});

window.addEventListener('keyup', (event) => {
  keys.delete(event.code);
  if (event.code === 'Tab') showStandings = false;
});
window.addEventListener('blur', () => {
  keys.clear();
  showStandings = false;
});

chat.addEventListener('keydown', (event) => {
  const enter = isEnter(event);
  if (enter || event.code === 'Escape') {
    if (enter && chat.value !== '') send(command.playerMessage(chat.value));
    flush();
    chat.value = '';
    chat.hidden = true;
    canvas.focus();
    event.preventDefault();
  }
});

canvas.addEventListener('mousemove', (event) => {
  mouse.x = event.offsetX;
  mouse.y = event.offsetY;
  aimByMouse = true;
});
canvas.addEventListener('mousedown', (event) => {
  if (event.button === 0 && game && game.link === Link.playing) {
    send(command.fire());
    flush();
  }
});

joinForm.addEventListener('submit', (event) => {
  event.preventDefault();
  const name = document.getElementById('name').value.trim();
  if (name !== '') join(name);
});

const named = new URLSearchParams(location.search).get('name');
if (named) join(named);
else joinForm.hidden = false;
