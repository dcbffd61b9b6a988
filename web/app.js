// The page: joins over a WebSocket at /ws, draws the world on #world and turns
// keys and the mouse into commands.
import { command, packPacket } from './codec.js';
import { Link, aimAngle, followView, linkMessage, moveFromKeys, newGame, openLink, wholeMapView } from './game.js';
import { drawFrame, fitCanvas } from './render.js';

const INPUT_PERIOD_MS = 33; // held keys and the aim go out up to 30 times a second

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const chat = document.getElementById('chat');
const joinForm = document.getElementById('join');

let game = null;
let socket = null;
let outgoing = [];
let wholeMap = false;
let showStandings = false; // while Tab is held
let lastAim = null;
const keys = new Set();
const mouse = { x: 0, y: 0 };

function send(message) {
  outgoing.push(message);
}

function flush() {
  if (outgoing.length > 0 && socket && socket.readyState === WebSocket.OPEN) socket.send(packPacket(outgoing));
  outgoing = [];
}

function join(name) {
  joinForm.hidden = true;
  game = newGame(name);
  socket = openLink(game, '/ws');
  socket.onopen = () => {
    send(command.name(name));
    flush();
  };
  setInterval(sendHeldInput, INPUT_PERIOD_MS);
  requestAnimationFrame(draw);
}

function view() {
  return wholeMap
    ? wholeMapView(game, canvas.width, canvas.height)
    : followView(game, canvas.width, canvas.height);
}

function sendHeldInput() {
  if (!game || game.link !== Link.playing || !chat.hidden) return;
  const step = moveFromKeys(keys);
  if (step) send(command.move(step.dx, step.dy));
  const me = game.players.get(game.myId);
  if (me) {
    const v = view();
    const aim = aimAngle(mouse.x / v.scale + v.originX - me.x, mouse.y / v.scale + v.originY - me.y);
    if (lastAim === null || Math.abs(aim - lastAim) > 0.5) {
      lastAim = aim;
      send(command.rotate(aim));
    }
  }
  flush();
}

function draw() {
  if (fitCanvas(canvas)) {
    const shown = game.sizeX > 0 ? view() : null;
    drawFrame(context, game, shown, { now: performance.now(), showStandings, highlightId: game.myId });
  }
  statusLine.textContent = linkMessage(game);
  requestAnimationFrame(draw);
}

window.addEventListener('keydown', (event) => {
  if (!game || event.target === chat) return;
  if (event.code === 'Enter') {
    chat.hidden = false;
    chat.focus();
    event.preventDefault();
  } else if (event.code === 'KeyR') {
    send(command.respawn(0, 0));
    flush();
  } else if (event.code === 'KeyM') {
    wholeMap = !wholeMap;
  } else if (event.code === 'Tab') {
    showStandings = true;
    event.preventDefault();
  } else {
    keys.add(event.code);
  }
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
  if (event.code === 'Enter' || event.code === 'Escape') {
    if (event.code === 'Enter' && chat.value !== '') send(command.playerMessage(chat.value));
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
