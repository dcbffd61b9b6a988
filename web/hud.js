// What the play page tells a player about their own state (the greeting, a countdown while
// they wait to come back, who got them), where a respawn puts them, and the keys that
// open the chat. Nothing here touches the page: Node's test runner loads it as it is.
import { FULL_HEALTH, TILE } from './game.js';
import { step } from './predict.js';

export const RESPAWN_MS = 3000; // the server brings the dead and the newly joined back this long after
export const GREETING_MS = 10000; // how long the greeting stays up after arriving
const EDGE = 48; // map units a respawn keeps from the map's edge, so the name above stays on the floor
const TRIES = 16; // random spots weighed for each respawn
const MOST = 1e9; // map units: an offset stays a 32-bit integer however large the map

// Enter on either part of the keyboard; a phone's keyboard may leave code empty, its key still says Enter.
export function isEnter(event) {
  return event.code === 'Enter' || event.code === 'NumpadEnter' || event.key === 'Enter';
}

export function newHud() {
  return {
    arrivedAt: null, // when the greeting came
    motd: '', // the operator's words that followed it
    // { at, by, arriving } while the own player waits to come back: by says who got it ('' for
    // no one), arriving that it has just joined and has not yet been alive.
    down: null,
  };
}

// Every message, after the world has taken it, heard at now.
export function hudHeard(hud, game, m, now) {
  const own = game.myId !== 0 && m.int(1) === game.myId;
  if (m.name === 'MOTD Goes Here') [hud.arrivedAt, hud.motd] = [now, ''];
  // The server's words before our own "Joined" are what it greets each newcomer with.
  else if (m.name === 'PlayerMessage' && m.int(1) === 0 && game.myId === 0 && hud.arrivedAt !== null) hud.motd = m.text(2);
  else if (own && m.name === 'Joined') hud.down = { at: now, by: '', arriving: true };
  else if (own && m.name === 'Alive') hud.down = null;
  else if (own && m.name === 'Dead') hud.down = { at: now, by: shooterWords(game, m.int(2)) };
}

function shooterWords(game, shooter) {
  if (shooter === game.myId) return 'You got yourself';
  const name = game.players.get(shooter)?.name ?? game.formerNames.get(shooter); // a shot outlives its shooter
  return shooter !== 0 && name ? `${name} got you` : 'You died';
}

// The lines at the top left of the play page at now: the greeting for a while, then health,
// or while waiting to come back who got you, the countdown and how to come back at once.
export function statusLines(hud, game, now, touch) {
  const lines = [];
  if (hud.arrivedAt !== null && now - hud.arrivedAt < GREETING_MS) lines.push(hud.motd || `Welcome, ${game.myName}`);
  if (game.myId === 0) return lines;
  if (!hud.down) return [...lines, `Health ${game.myHealth} / ${FULL_HEALTH}`];
  if (hud.down.by) lines.push(hud.down.by);
  const left = Math.ceil((RESPAWN_MS - (now - hud.down.at)) / 1000);
  lines.push(left > 0 ? `Back in ${left} s` : 'Coming back…');
  lines.push(touch ? 'Tap Respawn to come back now' : 'Press R to come back now');
  return lines;
}

// A "Respawn"'s two integers (a moves y, b moves x) that land the own player at a random
// spot inside the map, the one of several farthest from every other living player, and
// that spot. The server first puts the player at room-table entry 1, its tiles taken as
// map units, then moves it as one "Move": a diagonal one is shortened by 1/1.141.
export function respawnOffsets(game, random = Math.random) {
  const from = game.rooms.length > 1 ? { x: game.rooms[1].x, y: game.rooms[1].y } : { x: 0, y: 0 };
  const others = [...game.players].filter(([id, p]) => id !== game.myId && !p.dead).map(([, p]) => p);
  const inside = (extent) => {
    const size = Math.min(extent * TILE, MOST);
    return size > 2 * EDGE ? EDGE + random() * (size - 2 * EDGE) : size / 2;
  };
  let best = null;
  for (let i = 0; i < TRIES; i++) {
    const want = { x: inside(game.sizeX), y: inside(game.sizeY) };
    let b = Math.round(want.x - from.x);
    let a = Math.round(want.y - from.y);
    if (a !== 0 && b !== 0) [a, b] = [Math.round(a * 1.141), Math.round(b * 1.141)];
    const at = step(from, b, a);
    const room = Math.min(...others.map((p) => Math.hypot(p.x - at.x, p.y - at.y)));
    if (!best || room > best.room) best = { a, b, at, room };
  }
  return { a: best.a, b: best.b, at: best.at };
}
