// The own player's movement, drawn before the server answers. Every "Move" sent is
// applied at once with the server's own float arithmetic; every own "Moved" the server
// sends back settles the oldest command still waiting for one, and the moves still
// waiting are replayed on top of the server's word.
//
// What makes an own "Moved":
//   - a "Move": exactly one, with the whole-number position (truncated toward zero);
//   - a "Respawn": two, the room-table spot as it is, then the whole-number position
//     after the offsets (a "Move" of b on x and a on y); an "Alive" follows the second;
//   - an automatic respawn: one, a whole-number spot, with an "Alive" right after it.
// "Moved" carries no sequence number, so the only way to tell an automatic respawn from
// the answer to a "Move" is the "Alive" that follows it at once in the stream.

export const DIAGONAL = 1.141; // a diagonal step is shortened by 1/1.141 on each axis
export const SNAP_DISTANCE = 64; // map units: a correction past this is a teleport, drawn at once
export const CORRECTION_MS = 100; // a smaller correction fades out over this long
const PING_WEIGHT = 0.2; // of each new sample in the smoothed ping

const f32 = Math.fround;

// One step as the server takes it: every result a 32-bit float. Doubles would drift
// away from the server's position within a few hundred steps.
export function step(at, dx, dy) {
  const [sx, sy] = [f32(dx), f32(dy)];
  if (sx === 0 || sy === 0) return { x: f32(at.x + sx), y: f32(at.y + sy) };
  return { x: f32(at.x + f32(sx / DIAGONAL)), y: f32(at.y + f32(sy / DIAGONAL)) };
}

// The whole-number position the server's answers carry: truncated toward zero, saturating at
// the 32-bit range, NaN as 0.
export function wholeNumber(value) {
  if (Number.isNaN(value)) return 0;
  return f32(Math.min(2147483647, Math.max(-2147483648, Math.trunc(value))));
}

export function newPrediction() {
  return {
    base: null, // where the server left us after the last command it answered; null while unknown
    pending: [], // commands sent and not yet answered, oldest first, each with its predicted result
    at: null, // the predicted position: base with every pending command replayed
    correction: { x: 0, y: 0, since: 0 }, // what is still drawn off the prediction, fading out
    aim: null, // the own facing angle as last sent
    ping: null, // ms from a "Move" to its "Moved", smoothed
    lastPing: null,
    justTaken: undefined, // the command the last message (an own "Moved") settled, until the next message
  };
}

// Where the pending commands take a player standing at from.
function replay(prediction, from) {
  let at = from;
  for (const command of prediction.pending) {
    if (command.kind === 'place') at = command.spot ?? at;
    else if (at) at = step(at, command.dx, command.dy);
    command.result = at;
  }
  return at;
}

// The position drawn at now: the prediction and what is left of the last correction.
export function shownPosition(prediction, now) {
  if (!prediction.at) return null;
  const { x, y, since } = prediction.correction;
  const left = Math.max(0, 1 - (now - since) / CORRECTION_MS);
  return { x: prediction.at.x + x * left, y: prediction.at.y + y * left };
}

// The base moved to where the server says; the new prediction is drawn from where the old
// one was drawn, the difference fading out, unless it is a teleport.
function rebase(prediction, base, now) {
  const shown = shownPosition(prediction, now);
  const before = prediction.at;
  prediction.base = base;
  prediction.at = replay(prediction, base);
  if (!shown || !prediction.at || (before && before.x === prediction.at.x && before.y === prediction.at.y)) return;
  const [dx, dy] = [shown.x - prediction.at.x, shown.y - prediction.at.y];
  const snap = Math.hypot(dx, dy) > SNAP_DISTANCE;
  prediction.correction = snap ? { x: 0, y: 0, since: now } : { x: dx, y: dy, since: now };
}

// The server's whole-number answer for a position we predicted: our own fractions where
// they truncate to it (the server holds the same floats), else the server's numbers.
function settle(predicted, x, y) {
  return predicted && wholeNumber(predicted.x) === x && wholeNumber(predicted.y) === y ? predicted : { x, y };
}

// A "Move" of (dx, dy) sent at now.
export function sentMove(prediction, dx, dy, now) {
  const command = { kind: 'move', dx, dy, sent: now, result: null };
  prediction.pending.push(command);
  if (prediction.at) prediction.at = command.result = step(prediction.at, dx, dy);
}

// A "Respawn" with the integers a and b sent; spot is room-table entry 1 as map units,
// or null while the rooms are unknown.
export function sentRespawn(prediction, a, b, spot, now) {
  const place = { kind: 'place', spot: spot ? { x: f32(spot.x), y: f32(spot.y) } : null, sent: now };
  const offset = { kind: 'offset', dx: b, dy: a, sent: now }; // the first integer moves y
  prediction.pending.push(place, offset);
  const before = prediction.at;
  prediction.at = replay(prediction, prediction.base);
  if (before && prediction.at) prediction.correction = { x: 0, y: 0, since: now };
}

// Where the server last placed us, learnt otherwise (the snapshot came before our id did).
export function seed(prediction, x, y, now) {
  if (!prediction.base) rebase(prediction, { x, y }, now);
}

export function sentRotate(prediction, angle) {
  prediction.aim = angle;
}

// Every message from the server, in order, heard at now, for player myId (0 while unknown).
export function heard(prediction, m, myId, now) {
  const taken = prediction.justTaken;
  prediction.justTaken = undefined;
  if (myId === 0 || m.int(1) !== myId) return;
  if (m.name === 'Moved') movedHere(prediction, m.float(2), m.float(3), now);
  else if (m.name === 'Alive' && taken !== undefined && taken?.kind !== 'offset') respawnedHere(prediction, taken, now);
  else if (m.name === 'Player') rebase(prediction, settle(prediction.base, m.float(3), m.float(4)), now);
}

function movedHere(prediction, x, y, now) {
  const command = prediction.pending.shift() ?? null;
  prediction.justTaken = command;
  prediction.lastMoved = { x, y };
  prediction.pingBefore = [prediction.ping, prediction.lastPing];
  if (command?.kind === 'move') {
    prediction.lastPing = now - command.sent;
    prediction.ping = prediction.ping === null ? prediction.lastPing
      : prediction.ping + PING_WEIGHT * (prediction.lastPing - prediction.ping);
  }
  // The room-table spot comes as stored; a move's or an offset's result as a whole number.
  const exact = command === null || command.kind === 'place';
  rebase(prediction, exact ? { x, y } : settle(command.result, x, y), now);
}

// The "Moved" just before was an automatic respawn, not the answer to the command it was
// taken for: that command is still waiting, and the spot is exact. A respawn is drawn at once.
function respawnedHere(prediction, taken, now) {
  if (taken) prediction.pending.unshift(taken);
  [prediction.ping, prediction.lastPing] = prediction.pingBefore; // it was not that move's answer
  rebase(prediction, prediction.lastMoved, now);
  prediction.correction = { x: 0, y: 0, since: now };
}
