// The page's side of wire version 3: what the server sends, rebuilt into the version 1
// messages that the page's world, smoothing, prediction and sounds already read. Other
// players' motion comes out of states as "Moved" and "Rotated"; each projectile is flown
// tick by tick from the step it was announced with, each step coming out as the "ProjMove"
// the server would have sent, to the bit.
import { Message } from './codec.js';

export const TICK_MS = 1000 / 60; // the server's movement tick, while anything flies
// Between states the page's clock flies projectiles on, but never more than this many
// ticks past the newest one a state told: when states stop coming, so do projectiles,
// rather than flying on past where the server may have removed them.
export const MOST_TICKS_AHEAD = 3;
// A projectile this far behind the ticks is long expired: it is dropped, not flown.
const MOST_TICKS_BEHIND = 1 << 16;

// Ticks wrap at 32 bits: their difference is taken in 32 bits too.
const ticksFrom = (from, to) => (to - from) | 0;

export function newFollower() {
  return {
    players: new Set(), // ids known from "Player" or "Joined" and not yet "Left"
    flown: [], // { id, x, y, dx, dy, next }: next is the tick of its next step
    newest: null, // the number of the newest state taken
    told: null, // the newest tick a state told
    toldAt: 0, // when the page learnt it (or, after a spell with nothing in flight, when one took off)
  };
}

function made(name, ...fields) {
  return new Message([{ type: 'text', value: name }, ...fields.map(([type, value]) => ({ type, value }))]);
}

// The tick the page's clock says the server has taken at now.
function clockTick(follower, now) {
  const ahead = Math.floor((now - follower.toldAt) / TICK_MS);
  return (follower.told + Math.min(MOST_TICKS_AHEAD, Math.max(0, ahead))) | 0;
}

// Steps a projectile through tick through, as the server does: x = float(double(x) + dx).
// False when it is too far behind to be flown at all.
function fly(flown, through, out) {
  if (ticksFrom(flown.next, through) > MOST_TICKS_BEHIND) return false;
  while (ticksFrom(flown.next, through) >= 0) {
    flown.x = Math.fround(flown.x + flown.dx);
    flown.y = Math.fround(flown.y + flown.dy);
    flown.next = (flown.next + 1) | 0;
    out.push(made('ProjMove', ['int', flown.id], ['float', flown.x], ['float', flown.y]));
  }
  return true;
}

function flyAll(follower, now, out) {
  if (follower.told === null) return;
  const through = clockTick(follower, now);
  follower.flown = follower.flown.filter((flown) => fly(flown, through, out));
}

// A message of the stream, heard at now: the version 1 messages it stands for, in order.
export function follow(follower, m, now) {
  const out = [];
  const id = m.int(1);
  switch (m.name) {
    case 'LevelInfo': // the snapshot restates every player and projectile
      follower.players.clear();
      follower.flown = [];
      break;
    case 'Player':
    case 'Joined':
      follower.players.add(id);
      break;
    case 'Left':
      follower.players.delete(id);
      break;
    case 'NewProjectile': {
      if (!m.flight) break;
      follower.flown = follower.flown.filter((flown) => flown.id !== id);
      // The server's ticks stood still while nothing flew: the clock starts again now.
      if (follower.flown.length === 0) follower.toldAt = now;
      const { dx, dy, tick } = m.flight;
      follower.flown.push({ id, x: m.float(2), y: m.float(3), dx, dy, next: tick });
      out.push(m);
      // Announced with a first tick already passed: flown that far at once.
      flyAll(follower, now, out);
      return out;
    }
    case 'ProjDelete': {
      // Removed after its step of its last tick: flown through that tick first.
      const at = follower.flown.findIndex((flown) => flown.id === id);
      if (at >= 0 && m.flight) fly(follower.flown[at], m.flight.tick, out);
      if (at >= 0) follower.flown.splice(at, 1);
      break;
    }
    default:
  }
  out.push(m);
  return out;
}

// A state, heard at now: the messages it stands for, and the number to acknowledge (that
// of a state read whole naming only known players) or null. A state not newer than the
// newest taken (late, or repeated) is ignored altogether.
export function takeState(follower, state, now) {
  const out = [];
  if (follower.newest !== null && ((state.number - follower.newest) | 0) <= 0) return { messages: out, ack: null };
  follower.newest = state.number;
  let allKnown = true;
  for (const pose of state.poses) {
    if (!follower.players.has(pose.id)) {
      allKnown = false; // its "Joined" is still on the way, or it has left
      continue;
    }
    if (pose.hasPosition) out.push(made('Moved', ['int', pose.id], ['float', pose.x], ['float', pose.y]));
    if (pose.hasFacing) out.push(made('Rotated', ['int', pose.id], ['float', pose.facing]));
  }
  if (follower.told === null || ticksFrom(follower.told, state.tick) > 0) {
    follower.told = state.tick;
    follower.toldAt = now;
  }
  flyAll(follower, now, out);
  return { messages: out, ack: state.whole && allKnown ? state.number : null };
}

// The steps the page's clock has come to at now since the last state.
export function flyOn(follower, now) {
  const out = [];
  flyAll(follower, now, out);
  return out;
}
