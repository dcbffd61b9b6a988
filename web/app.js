// The page: joins over a WebSocket at /ws, draws the world on #world and turns
// keys and the mouse into commands.
import { command, decodeMessage, packPacket, splitPacket } from './codec.js';
import {
  FULL_HEALTH, Link, TILE, aimAngle, applyMessage, followView, linkMessage, moveFromKeys, newGame, wholeMapView,
} from './game.js';

const INPUT_PERIOD_MS = 33; // held keys and the aim go out up to 30 times a second
const PLAYER_RADIUS = 12; // map units
const colours = {
  background: '#14161a', floor: '#1f2228', roomFill: '#3a3f4b', roomEdge: '#59606f',
  player: '#4fa3e0', own: '#6ad17a', dead: '#777', projectile: '#ffd24a', text: '#e6e6e6',
};

const canvas = document.getElementById('world');
const context = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const chat = document.getElementById('chat');
const joinForm = document.getElementById('join');

let game = null;
let socket = null;
let outgoing = [];
let wholeMap = false;
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
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  socket = new WebSocket(`${scheme}://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    send(command.name(name));
    flush();
  };
  socket.onmessage = (event) => {
    for (const message of splitPacket(new Uint8Array(event.data))) applyMessage(game, decodeMessage(message));
  };
  socket.onclose = (event) => {
    if (game.link === Link.serverQuit) return;
    game.link = event.reason === 'Server full' ? Link.full : Link.lost;
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

function drawWorld(v) {
  const x = (wx) => (wx - v.originX) * v.scale;
  const y = (wy) => (wy - v.originY) * v.scale;
  context.fillStyle = colours.floor;
  context.fillRect(x(0), y(0), game.sizeX * TILE * v.scale, game.sizeY * TILE * v.scale);
  for (const room of game.rooms) {
    context.fillStyle = colours.roomFill;
    context.strokeStyle = colours.roomEdge;
    const w = room.width * TILE * v.scale;
    const h = room.height * TILE * v.scale;
    context.fillRect(x(room.x * TILE), y(room.y * TILE), w, h);
    context.strokeRect(x(room.x * TILE), y(room.y * TILE), w, h);
  }
  context.fillStyle = colours.projectile;
  const size = Math.max(3, 4 * v.scale);
  for (const projectile of game.projectiles.values())
    context.fillRect(x(projectile.x) - size / 2, y(projectile.y) - size / 2, size, size);
  context.font = '14px system-ui, sans-serif';
  context.textAlign = 'center';
  for (const [id, player] of game.players) {
    const px = x(player.x);
    const py = y(player.y);
    const radius = Math.max(4, PLAYER_RADIUS * v.scale);
    context.fillStyle = player.dead ? colours.dead : id === game.myId ? colours.own : colours.player;
    context.beginPath();
    context.arc(px, py, radius, 0, 2 * Math.PI);
    context.fill();
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

function drawHud() {
  context.textAlign = 'left';
  context.fillStyle = colours.text;
  context.font = '16px system-ui, sans-serif';
  if (game.link === Link.playing) context.fillText(`Health ${game.myHealth} / ${FULL_HEALTH}`, 10, 22);
  let lineY = canvas.height - 24 * (game.log.length + 1) - 8;
  for (const line of game.log) {
    context.fillText(line, 10, lineY);
    lineY += 24;
  }
}

function draw() {
  canvas.width = canvas.clientWidth;
  canvas.height = canvas.clientHeight;
  context.fillStyle = colours.background;
  context.fillRect(0, 0, canvas.width, canvas.height);
  if (game.sizeX > 0) drawWorld(view());
  drawHud();
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
  } else if (event.code === 'Tab') {
    wholeMap = !wholeMap;
    event.preventDefault();
  } else {
    keys.add(event.code);
  }
});
window.addEventListener('keyup', (event) => keys.delete(event.code));
window.addEventListener('blur', () => keys.clear());

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
