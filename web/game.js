// The world as the server has told it: nothing here is decided by the page.
import { codecFor } from './codec.js';
import { tryDatagrams } from './datagrams.js';
import { flyOn, follow, newFollower, takeState } from './follow.js';

export const TILE = 32; // map units per tile
export const LOG_LINES = 8;
export const FULL_HEALTH = 100;
export const PLAYER_RADIUS = 12; // map units, as drawn and as clicked
export const KILL_FEED_LINES = 5;
export const KILL_FEED_MS = 6000; // how long a kill stays in the feed

export const Link = Object.freeze({
  connecting: 'connecting',
  playing: 'playing',
  watching: 'watching', // a spectator: the world streams in, nothing is sent
  full: 'full',
  serverQuit: 'serverQuit',
  lost: 'lost',
  reconnecting: 'reconnecting', // lost, and trying again
  kicked: 'kicked', // an operator ended the connection; game.farewell says why
  banned: 'banned',
});

// WebSocket close codes of an operator's kick and of a banned address.
const CLOSE_KICKED = 4001;
const CLOSE_BANNED = 4003;

// myName is null for a spectator, which never joins and so is never "Joined".
export function newGame(myName = null) {
  return {
    myName,
    myId: 0,
    ownJoinNext: false, // the next "Joined" is our own
    myHealth: FULL_HEALTH,
    sizeX: 0, // tiles
    sizeY: 0,
    rooms: [],
    players: new Map(), // id -> { name, x, y, rotation, dead }
    projectiles: new Map(), // id -> { x, y, angle }
    log: [], // chat, joins and leaves; newest last
    tally: new Map(), // id -> { kills, deaths } from the "Dead" messages seen since the page opened
    killFeed: [], // { line, at } newest last
    formerNames: new Map(), // id -> name of a player who has left, for the lines about it still to come
    link: Link.connecting,
    roomRecordsExpected: 0,
  };
}

function log(game, line) {
  game.log.push(line);
  while (game.log.length > LOG_LINES) game.log.shift();
}

function player(game, id) {
  if (!game.players.has(id)) game.players.set(id, { name: '?', x: 0, y: 0, rotation: 0, dead: true });
  return game.players.get(id);
}

function tallyOf(game, id) {
  if (!game.tally.has(id)) game.tally.set(id, { kills: 0, deaths: 0 });
  return game.tally.get(id);
}

// Id 0 is the server itself: an operator's "say" comes from it.
function nameOf(game, id) {
  if (id === 0) return 'Server';
  return game.players.has(id) ? game.players.get(id).name : game.formerNames.get(id) ?? `player ${id}`;
}

// A leave: its name is kept for lines about it still to come (a shot of its that lands).
// One the page never knew, left before its snapshot came, is not worth a line.
function forgetPlayer(game, id) {
  const known = game.players.get(id);
  if (known) game.formerNames.set(id, known.name);
  if (known || game.sizeX > 0) log(game, `${nameOf(game, id)} left`);
}

const handlers = {
  // The greeting's words are a fixed marker, no message for a player (the page greets them itself).
  'MOTD Goes Here': (game) => {
    game.link = Link.playing;
  },
  LevelInfo: (game, m) => {
    // A spectator is greeted by nothing: its snapshot is the first word it hears.
    if (game.link === Link.connecting || game.link === Link.reconnecting) game.link = Link.watching;
    game.sizeX = m.int(2);
    game.sizeY = m.int(3);
    game.rooms = [];
    game.players.clear();
    game.projectiles.clear();
    game.roomRecordsExpected = Math.max(m.int(1) + 1, 0);
  },
  Player: (game, m) => {
    Object.assign(player(game, m.int(1)), { name: m.text(2), x: m.float(3), y: m.float(4), dead: m.byte(5) !== 0 });
  },
  NewProjectile: (game, m) => {
    game.projectiles.set(m.int(1), { x: m.float(2), y: m.float(3), angle: m.float(4) });
  },
  ProjMove: (game, m) => {
    const projectile = game.projectiles.get(m.int(1));
    if (projectile) Object.assign(projectile, { x: m.float(2), y: m.float(3) });
  },
  // The server follows a player's own snapshot at once with its own "Joined": that
  // is its id, even where another player has the same name.
  ProjDone: (game) => {
    game.ownJoinNext = game.myName !== null && game.myId === 0;
  },
  ProjDelete: (game, m) => {
    game.projectiles.delete(m.int(1));
  },
  Moved: (game, m) => {
    Object.assign(player(game, m.int(1)), { x: m.float(2), y: m.float(3) });
  },
  Rotated: (game, m) => {
    player(game, m.int(1)).rotation = m.float(2);
  },
  Alive: (game, m) => {
    player(game, m.int(1)).dead = false;
    if (m.int(1) === game.myId) game.myHealth = FULL_HEALTH;
  },
  Joined: (game, m) => {
    player(game, m.int(1)).name = m.text(2);
    if (game.ownJoinNext) game.myId = m.int(1);
    game.ownJoinNext = false;
    log(game, `${m.text(2)} joined`);
  },
  Left: (game, m) => {
    forgetPlayer(game, m.int(1));
    game.players.delete(m.int(1));
    game.tally.delete(m.int(1)); // its id may go to someone new
  },
  Dead: (game, m, now) => {
    const victim = m.int(1);
    const shooter = m.int(2);
    player(game, victim).dead = true;
    if (victim === game.myId) game.myHealth = 0;
    tallyOf(game, victim).deaths++;
    // A self-kill or a kill by no one (id 0) is a death only; so is one by a shooter
    // who has left, whose id may soon be someone else's.
    const scored = shooter !== victim && shooter !== 0 && game.players.has(shooter);
    if (scored) tallyOf(game, shooter).kills++;
    let line = `${nameOf(game, victim)} died`;
    if (shooter === victim) line = `${nameOf(game, victim)} fragged themselves`;
    else if (shooter !== 0) line = `${nameOf(game, shooter)} fragged ${nameOf(game, victim)}`;
    game.killFeed.push({ line, at: now });
    while (game.killFeed.length > KILL_FEED_LINES) game.killFeed.shift();
  },
  Health: (game, m) => {
    game.myHealth = m.int(1);
  },
  PlayerMessage: (game, m) => {
    log(game, `${nameOf(game, m.int(1))}: ${m.text(2)}`);
  },
  ServerQuit: (game) => {
    game.link = Link.serverQuit;
  },
};

// Applies one decoded message from the server, heard at now (milliseconds, any clock).
export function applyMessage(game, m, now = 0) {
  // Room records carry no name: they are known by their place after "LevelInfo".
  if (game.roomRecordsExpected > 0 && m.fields.length > 0 && m.fields[0].type === 'int') {
    game.rooms.push({ x: m.int(0), y: m.int(1), width: m.int(2), height: m.int(3) });
    game.roomRecordsExpected--;
    return;
  }
  const handler = Object.hasOwn(handlers, m.name) ? handlers[m.name] : null;
  if (handler) handler(game, m, now);
}

// Every player known, with kills and deaths: most kills first, then fewest deaths.
export function standings(game) {
  const rows = [...game.players].map(([id, p]) => ({
    id, name: p.name, dead: p.dead, kills: 0, deaths: 0, ...game.tally.get(id),
  }));
  return rows.sort((a, b) => b.kills - a.kills || a.deaths - b.deaths || a.id - b.id);
}

// The kill-feed lines still shown at now, oldest first.
export function recentKills(game, now) {
  return game.killFeed.filter((kill) => now - kill.at < KILL_FEED_MS).map((kill) => kill.line);
}

// The words shown when the page is not (or no longer) playing, or ''.
export function linkMessage(game) {
  switch (game.link) {
    case Link.connecting:
      return 'Connecting…';
    case Link.full:
      return 'The server is full. Try again later.';
    case Link.serverQuit:
      return 'The server has quit.';
    case Link.lost:
      return 'The connection to the server was lost.';
    case Link.reconnecting:
      return 'Reconnecting…';
    case Link.kicked:
      return `You were kicked: ${game.farewell}`;
    case Link.banned:
      return `You are banned from this server: ${game.farewell}`;
    default:
      return '';
  }
}

// How the world maps to the canvas: screen = (world − origin) × scale. The floor fills
// it; rooms are drawn on the floor only, so what of them lies past its edge is not shown.
export function wholeMapView(game, width, height) {
  const [left, top] = [0, 0];
  const right = Math.max(1, game.sizeX) * TILE;
  const bottom = Math.max(1, game.sizeY) * TILE;
  const margin = 16;
  const scale = Math.min((width - 2 * margin) / (right - left), (height - 2 * margin) / (bottom - top));
  return {
    scale,
    originX: left - (width / scale - (right - left)) / 2,
    originY: top - (height / scale - (bottom - top)) / 2,
  };
}

// The view centred on the own player (the map's middle while it is unknown).
export function followView(game, width, height, unitsAcross = 640) {
  const middle = { x: (Math.max(1, game.sizeX) * TILE) / 2, y: (Math.max(1, game.sizeY) * TILE) / 2 };
  const scale = Math.min(width, height) / unitsAcross;
  return cameraView(followCamera(game, { ...middle, scale }, game.myId), width, height);
}

// A camera is a centre in map units and a scale (pixels per map unit).
export function cameraView(camera, width, height) {
  const { x, y, scale } = camera;
  return { scale, originX: x - width / (2 * scale), originY: y - height / (2 * scale) };
}

export function cameraOf(view, width, height) {
  return { x: view.originX + width / (2 * view.scale), y: view.originY + height / (2 * view.scale), scale: view.scale };
}

// The camera moved onto player id, or as it was when that player is unknown.
export function followCamera(game, camera, id) {
  const p = game.players.get(id);
  return p && Number.isFinite(p.x) && Number.isFinite(p.y) ? { ...camera, x: p.x, y: p.y } : camera;
}

// The camera moved by (dx, dy) pixels on screen.
export function panCamera(camera, dx, dy) {
  return { ...camera, x: camera.x + dx / camera.scale, y: camera.y + dy / camera.scale };
}

// The camera zoomed by factor, keeping the map point under the pixel (sx, sy) where it is.
export function zoomCamera(camera, factor, width, height, sx, sy, minScale = 0.05, maxScale = 8) {
  const scale = Math.min(maxScale, Math.max(minScale, camera.scale * factor));
  const at = screenToWorld(cameraView(camera, width, height), sx, sy);
  return { scale, x: at.x + (width / 2 - sx) / scale, y: at.y + (height / 2 - sy) / scale };
}

export function screenToWorld(view, sx, sy) {
  return { x: sx / view.scale + view.originX, y: sy / view.scale + view.originY };
}

// The id of the player drawn nearest the pixel (sx, sy), within a few pixels of its disc; 0 for none.
export function playerAt(game, view, sx, sy, slackPixels = 6) {
  let best = 0;
  let bestDistance = Math.max(PLAYER_RADIUS, 4 / view.scale) + slackPixels / view.scale;
  const at = screenToWorld(view, sx, sy);
  for (const [id, p] of game.players) {
    const distance = Math.hypot(p.x - at.x, p.y - at.y);
    if (distance <= bestDistance) [best, bestDistance] = [id, distance];
  }
  return best;
}

// The next (step 1) or previous (step −1) player after id in id order, round and round;
// from 0 the first or the last; 0 when there is no one.
export function stepPlayer(game, id, step) {
  const ids = [...game.players.keys()].sort((a, b) => a - b);
  if (ids.length === 0) return 0;
  const at = ids.indexOf(id);
  if (at < 0) return step > 0 ? ids[0] : ids[ids.length - 1];
  return ids[(at + step + ids.length) % ids.length];
}

// The facing angle that sends shots along (dx, dy): travel is angle − 90°, from +x towards +y.
export function aimAngle(dx, dy) {
  const angle = (Math.atan2(dy, dx) * 180) / Math.PI + 90;
  return angle < 0 ? angle + 360 : angle;
}

// One "Move" from the held keys: a step of `step` map units on each pressed axis, or null.
export function moveFromKeys(keys, step = 6) {
  const dx = ((keys.has('KeyD') ? 1 : 0) - (keys.has('KeyA') ? 1 : 0)) * step;
  const dy = ((keys.has('KeyS') ? 1 : 0) - (keys.has('KeyW') ? 1 : 0)) * step;
  return dx === 0 && dy === 0 ? null : { dx, dy };
}

// How the link ended, from the WebSocket's close code and reason.
export function closeLink(game, code, reason) {
  if (game.link === Link.serverQuit) return;
  game.farewell = reason;
  if (code === CLOSE_KICKED) game.link = Link.kicked;
  else if (code === CLOSE_BANNED) game.link = Link.banned;
  else game.link = reason === 'Server full' ? Link.full : Link.lost;
}

// The wait before reconnecting after attempt (0 for the first) failed: 1, 2, 4 … 30 s. Only a
// link that was lost is tried again: not one closed by a kick, a ban, a full server or a quit.
export const RECONNECT_MAX_MS = 30000;
export function reconnectDelay(attempt) {
  return Math.min(RECONNECT_MAX_MS, 1000 * 2 ** Math.min(attempt, 15));
}

// The wire layout a live page speaks: version 3, or the older ones with ?v=2 or ?v=1.
export function pageCodec() {
  const asked = new URLSearchParams(location.search).get('v');
  return codecFor(asked === '1' || asked === '2' ? Number(asked) : 3);
}

// Opens the WebSocket at path on the page's own server: every packet it brings is
// applied to game and then told to heard(message, now), and its end says how the link ended.
// A version 3 link also tries datagrams for its states (datagrams.js); statePath says
// which way they come.
export function openLink(game, path, heard = () => {}, codec = pageCodec()) {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  const socket = new WebSocket(`${scheme}://${location.host}${path}${codec.query}`);
  socket.binaryType = 'arraybuffer';
  const told = (message, now) => {
    applyMessage(game, message, now);
    heard(message, now);
  };
  const packet = (bytes, now) => {
    for (const message of codec.splitPacket(bytes)) take(codec.decodeMessage(message), now);
  };
  const datagrams = codec.version === 3 ? tryDatagrams(socket, packet) : null;
  if (datagrams) paths.set(game, datagrams);
  const take = datagrams ? followed(socket, datagrams.send, game, codec, told) : told;
  socket.onmessage = (event) => {
    // Text frames are the datagrams' signalling, never a packet.
    if (typeof event.data === 'string') datagrams?.signalled(event.data);
    else packet(new Uint8Array(event.data), performance.now());
  };
  socket.onclose = (event) => closeLink(game, event.code, event.reason);
  return socket;
}

// The way game's states come now: 'datagrams' while its channel is open, else 'WebSocket'.
const paths = new WeakMap();
export function statePath(game) {
  return paths.get(game)?.status === 'open' ? 'datagrams' : 'WebSocket';
}

// Version 3's projectiles fly on in the page between states. Each drawn frame first
// takes the follower's steps up to its own time (flyFollowed), so what it draws is
// never a frame behind and no animation frame goes by that draws nothing.
const flights = new WeakMap();
export function flyFollowed(game, now) {
  flights.get(game)?.(now);
}

// Version 3 leaves others' motion and the projectiles' flight to the page: the follower
// rebuilds them into the version 1 messages told(message, now) takes, acknowledging each
// state it took whole through send, and flies projectiles on by the clock between states,
// once a frame.
function followed(socket, send, game, codec, told) {
  const follower = newFollower();
  let lastTold = null;
  const tellAll = (messages, now) => {
    for (const message of messages) told(message, now);
    if (messages.length > 0) lastTold = messages[messages.length - 1];
  };
  flights.set(game, (now) => {
    if (socket.readyState === WebSocket.CLOSED) return;
    // An own "Moved" may be an automatic respawn whose "Alive" opens the next packet: the
    // prediction tells the two apart only when nothing comes between them. A frame waits.
    if (lastTold && lastTold.name === 'Moved' && lastTold.int(1) === game.myId) lastTold = null;
    else tellAll(flyOn(follower, now), now);
  });
  return (message, now) => {
    if (!message.state) {
      tellAll(follow(follower, message, now), now);
      return;
    }
    const { messages, ack } = takeState(follower, message.state, now);
    if (ack !== null) send(codec.packPacket([codec.command.stateAck(ack)]));
    tellAll(messages, now);
  };
}

// Keeps a link open: open(attempt) makes a new game and its socket; a lost link is opened
// again after the back-off, the attempts counted until a link gets as far as playing.
export function keepLinked(open, { isUp, isLost, onRetry }) {
  let attempt = 0;
  const connect = (retry) => {
    const socket = open();
    if (retry) onRetry(); // the new world says so too until it is up
    socket.addEventListener('message', () => {
      if (isUp()) attempt = 0;
    });
    socket.addEventListener('close', () => {
      if (!isLost()) return;
      onRetry();
      setTimeout(() => connect(true), reconnectDelay(attempt++));
    });
  };
  connect(false);
}
