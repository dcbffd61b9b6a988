// Everyone else, drawn smoothly from what the server said: other players a little behind
// real time, between their last two known positions; projectiles carried forward at the
// display's rate between their flight steps. Nothing here decides what exists: players and
// projectiles appear and vanish with the server's messages.

export const MIN_DELAY_MS = 35;
export const MAX_DELAY_MS = 120;
export const SNAP_DISTANCE = 64; // map units: a jump past this is a teleport, not a walk
export const TICK_MS = 1000 / 60; // one flight step of a projectile
const GAP_WEIGHT = 0.25; // of each new gap in a player's recent gap between updates
// Updates of one player heard closer than this came together: the server answers a client's
// moves at most 120 a second, so these were held back on the way (a segment resent on a lossy
// link brings several within a fraction of a millisecond) and say nothing of its pace.
export const TOGETHER_MS = 4;

export function newSmoothing() {
  return { players: new Map(), projectiles: new Map() };
}

// A player's delay behind real time: about twice its recent gap between updates.
export function delayOf(track) {
  const wanted = track.gap === null ? MAX_DELAY_MS : 2 * track.gap;
  return Math.min(MAX_DELAY_MS, Math.max(MIN_DELAY_MS, wanted));
}

function heardPlayer(smoothing, id, x, y, now) {
  const track = smoothing.players.get(id);
  if (!track) {
    smoothing.players.set(id, { samples: [{ t: now, x, y }], gap: null });
    return;
  }
  const last = track.samples[track.samples.length - 1];
  if (Math.hypot(x - last.x, y - last.y) > SNAP_DISTANCE) {
    track.samples = [{ t: now, x, y }];
    return;
  }
  if (now - last.t < TOGETHER_MS) {
    Object.assign(last, { x, y }); // the latest counts, at the time the first of them came
    return;
  }
  // A pause longer than the longest delay says nothing about how often it moves.
  const gap = Math.min(now - last.t, MAX_DELAY_MS);
  track.gap = track.gap === null ? gap : track.gap + GAP_WEIGHT * (gap - track.gap);
  track.samples.push({ t: now, x, y });
}

// Where player id is drawn at now; null when the server has placed it nowhere yet.
export function playerPosition(smoothing, id, now) {
  const track = smoothing.players.get(id);
  if (!track) return null;
  const { samples } = track;
  const t = now - delayOf(track);
  while (samples.length > 2 && samples[1].t <= t) samples.shift(); // keep one sample before t
  const [first] = samples;
  if (t <= first.t || samples.length === 1) return { x: first.x, y: first.y };
  const after = samples.findIndex((s) => s.t > t);
  if (after > 0) {
    const [a, b] = [samples[after - 1], samples[after]];
    const k = (t - a.t) / (b.t - a.t);
    return { x: a.x + (b.x - a.x) * k, y: a.y + (b.y - a.y) * k };
  }
  // Past the last update: carry on for at most one gap, then settle back where it was last
  // seen, so a player who stopped is not left drawn beyond its stop. Its pace is its last step
  // over the sender's cadence (its recent gap) when the two came closer than that: however
  // late its updates come, it is never drawn more than one step beyond the last.
  const [a, b] = samples.slice(-2);
  const gap = track.gap ?? MAX_DELAY_MS;
  const late = t - b.t;
  const ahead = late <= gap ? late : Math.max(0, 2 * gap - late);
  const k = ahead / Math.max(b.t - a.t, gap);
  return { x: b.x + (b.x - a.x) * k, y: b.y + (b.y - a.y) * k };
}

// Where projectile id is drawn at now, given its last known position: one step further per
// tick since its last step was heard, at most one step ahead of the server.
export function projectilePosition(smoothing, id, known, now) {
  const track = smoothing.projectiles.get(id);
  if (!track || !track.step) return { x: known.x, y: known.y };
  const k = Math.min(1, Math.max(0, (now - track.t) / TICK_MS));
  return { x: track.x + track.step.x * k, y: track.y + track.step.y * k };
}

const handlers = {
  LevelInfo: (smoothing) => {
    smoothing.players.clear();
    smoothing.projectiles.clear();
  },
  Player: (smoothing, m, now) => heardPlayer(smoothing, m.int(1), m.float(3), m.float(4), now),
  Moved: (smoothing, m, now) => heardPlayer(smoothing, m.int(1), m.float(2), m.float(3), now),
  Left: (smoothing, m) => smoothing.players.delete(m.int(1)),
  NewProjectile: (smoothing, m, now) => {
    smoothing.projectiles.set(m.int(1), { x: m.float(2), y: m.float(3), t: now, step: null });
  },
  // Speed and heading come from the last step: a shot's announcement carries the shooter's
  // facing, not the projectile's own heading.
  ProjMove: (smoothing, m, now) => {
    const track = smoothing.projectiles.get(m.int(1));
    if (!track) return;
    const [x, y] = [m.float(2), m.float(3)];
    Object.assign(track, { step: { x: x - track.x, y: y - track.y }, x, y, t: now });
  },
  ProjDelete: (smoothing, m) => smoothing.projectiles.delete(m.int(1)),
};

// Every message from the server, in order, heard at now.
export function heard(smoothing, m, now) {
  if (Object.hasOwn(handlers, m.name)) handlers[m.name](smoothing, m, now);
}
