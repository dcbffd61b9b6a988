// The own player's predicted movement against the server's float results and its answers.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import * as predict from '../../web/predict.js';

const f = Math.fround;
const moved = (id, x, y) => decodeMessage(new MessageWriter().text('Moved').int(id).float(x).float(y).toBytes());
const named = (name, id) => decodeMessage(new MessageWriter().text(name).int(id).toBytes());

test('steps are the server\'s 32-bit float results, straight, diagonal and over long runs', () => {
  // [start, move, times, end] as the server's movePlayer leaves them; doubles drift by 0.5 in 3000 steps.
  const runs = [
    [[10, 0], [3, 4], 1, [12.6292725, 3.50569677]], [[10, 5], [0, 5], 1, [10, 10]],
    [[100, 200], [6, -6], 1000, [5358.60352, -5058.58984]], [[5358.60352, -5058.58984], [6, 0], 500, [8358.60352, -5058.58984]],
    [[0, 0], [-6, 6], 3000, [-15776.1768, 15776.1768]],
  ];
  for (const [[x, y], [dx, dy], times, [ex, ey]] of runs) {
    let at = { x: f(x), y: f(y) };
    for (let i = 0; i < times; i++) at = predict.step(at, dx, dy);
    assert.deepEqual(at, { x: f(ex), y: f(ey) }, `${times} × (${dx}, ${dy})`);
  }
  assert.deepEqual([27.9, -3.5, 3e38, NaN].map(predict.wholeNumber), [27, -3, 2147483648, 0]);
});

// A player at (100, 200) walking right, its answers heard in order; shown positions at each time.
function walking() {
  const p = predict.newPrediction();
  predict.seed(p, 100, 200, 0);
  for (const t of [0, 33, 66]) predict.sentMove(p, 6, 0, t);
  return p;
}

test('answers within the whole-number rounding change nothing; a small difference fades; a teleport snaps', () => {
  const p = walking();
  predict.heard(p, moved(1, 106, 200), 1, 80);
  assert.deepEqual([predict.shownPosition(p, 80), p.pending.length, p.lastPing], [{ x: 118, y: 200 }, 2, 80]);
  predict.sentMove(p, 3, 4, 90); // diagonal: 120.629..., kept to the fraction though answered 120
  predict.heard(p, moved(1, 112, 200), 1, 100);
  predict.heard(p, moved(1, 118, 200), 1, 110);
  predict.heard(p, moved(1, 120, 203), 1, 120);
  assert.deepEqual(predict.shownPosition(p, 120), { x: f(118 + f(3 / 1.141)), y: f(200 + f(4 / 1.141)) });
  // The server says one unit further on x: drawn from where it was, the difference gone in 100 ms.
  predict.sentMove(p, 6, 0, 130);
  predict.heard(p, moved(1, 127, 203), 1, 150);
  const at = (t) => Math.round(predict.shownPosition(p, t).x * 1000) / 1000;
  assert.deepEqual([at(150), at(200), Math.round(predict.shownPosition(p, 200).y * 100) / 100], [126.629, 126.815, 203.25]);
  predict.sentMove(p, 0, 0, 160);
  predict.heard(p, moved(1, 127, 203), 1, 200); // no news: the fading goes on as it was
  assert.deepEqual([at(250), predict.shownPosition(p, 250).y, Math.round(p.ping * 100) / 100], [127, 203, 51.25]);
  predict.heard(p, moved(1, 900, 203), 1, 410); // nothing was waiting: the server placed us
  assert.deepEqual(predict.shownPosition(p, 410), { x: 900, y: 203 });
});

test('an automatic respawn between answers keeps the moves waiting; a death changes nothing', () => {
  const p = walking();
  predict.heard(p, named('Dead', 1), 1, 40); // a dead player's moves are still handled
  predict.heard(p, moved(1, 106, 200), 1, 50);
  predict.heard(p, moved(1, 40, 7), 1, 60); // taken for the second move's answer ...
  predict.heard(p, named('Alive', 1), 1, 60); // ... until the "Alive" right after it
  assert.deepEqual([p.pending.length, predict.shownPosition(p, 60), p.lastPing], [2, { x: 52, y: 7 }, 50]);
  predict.heard(p, moved(1, 46, 7), 1, 90);
  predict.heard(p, moved(1, 52, 7), 1, 95);
  assert.deepEqual([p.pending.length, predict.shownPosition(p, 95)], [0, { x: 52, y: 7 }]);
});

test('"Respawn" is drawn at once at the room spot and its two answers and "Alive" are not a respawn of ours', () => {
  const p = walking();
  predict.sentRespawn(p, 5, 0, { x: 3, y: 2 }, 70);
  predict.sentMove(p, 0, -6, 80);
  assert.deepEqual(predict.shownPosition(p, 70), { x: 3, y: 1 });
  for (const [x, y] of [[106, 200], [112, 200], [118, 200], [3, 2], [3, 7]]) predict.heard(p, moved(1, x, y), 1, 100);
  predict.heard(p, named('Alive', 1), 1, 100);
  assert.deepEqual([p.pending.length, predict.shownPosition(p, 100)], [1, { x: 3, y: 1 }]);
  predict.heard(p, moved(2, 0, 0), 1, 110); // someone else's
  predict.heard(p, moved(1, 3, 1), 1, 120);
  assert.deepEqual([p.pending.length, predict.shownPosition(p, 120)], [0, { x: 3, y: 1 }]);
});
