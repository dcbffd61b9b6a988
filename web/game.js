// The world as the server has told it: nothing here is decided by the page.

export const TILE = 32; // map units per tile
export const LOG_LINES = 8;
export const FULL_HEALTH = 100;

export const Link = Object.freeze({
  connecting: 'connecting',
  playing: 'playing',
  full: 'full',
  serverQuit: 'serverQuit',
  lost: 'lost',
});

export function newGame(myName) {
  return {
    myName,
    myId: 0,
    myHealth: FULL_HEALTH,
    sizeX: 0, // tiles
    sizeY: 0,
    rooms: [],
    players: new Map(), // id -> { name, x, y, rotation, dead }
    projectiles: new Map(), // id -> { x, y, angle }
    log: [], // chat, kills, joins and leaves; newest last
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

function nameOf(game, id) {
  return game.players.has(id) ? game.players.get(id).name : `player ${id}`;
}

const handlers = {
  'MOTD Goes Here': (game, m) => {
    game.link = Link.playing;
    log(game, m.name);
  },
  LevelInfo: (game, m) => {
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
    if (game.myId === 0 && m.text(2) === game.myName) game.myId = m.int(1);
    log(game, `${m.text(2)} joined`);
  },
  Left: (game, m) => {
    log(game, `${nameOf(game, m.int(1))} left`);
    game.players.delete(m.int(1));
  },
  Dead: (game, m) => {
    player(game, m.int(1)).dead = true;
    if (m.int(1) === game.myId) game.myHealth = 0;
    log(game, `${nameOf(game, m.int(2))} killed ${nameOf(game, m.int(1))}`);
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

// Applies one decoded message from the server.
export function applyMessage(game, m) {
  // Room records carry no name: they are known by their place after "LevelInfo".
  if (game.roomRecordsExpected > 0 && m.fields.length > 0 && m.fields[0].type === 'int') {
    game.rooms.push({ x: m.int(0), y: m.int(1), width: m.int(2), height: m.int(3) });
    game.roomRecordsExpected--;
    return;
  }
  const handler = Object.hasOwn(handlers, m.name) ? handlers[m.name] : null;
  if (handler) handler(game, m);
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
    default:
      return '';
  }
}

// How the world maps to the canvas: screen = (world − origin) × scale.
export function wholeMapView(game, width, height) {
  let left = 0;
  let top = 0;
  let right = Math.max(1, game.sizeX) * TILE;
  let bottom = Math.max(1, game.sizeY) * TILE;
  for (const room of game.rooms) {
    left = Math.min(left, room.x * TILE);
    top = Math.min(top, room.y * TILE);
    right = Math.max(right, (room.x + room.width) * TILE);
    bottom = Math.max(bottom, (room.y + room.height) * TILE);
  }
  const margin = 16;
  const scale = Math.min((width - 2 * margin) / (right - left), (height - 2 * margin) / (bottom - top));
  return {
    scale,
    originX: left - (width / scale - (right - left)) / 2,
    originY: top - (height / scale - (bottom - top)) / 2,
  };
}

export function followView(game, width, height, unitsAcross = 640) {
  const scale = Math.min(width, height) / unitsAcross;
  let centreX = (Math.max(1, game.sizeX) * TILE) / 2;
  let centreY = (Math.max(1, game.sizeY) * TILE) / 2;
  const me = game.players.get(game.myId);
  if (me && Number.isFinite(me.x) && Number.isFinite(me.y)) {
    centreX = me.x;
    centreY = me.y;
  }
  return { scale, originX: centreX - width / (2 * scale), originY: centreY - height / (2 * scale) };
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
