// Other players and projectiles drawn between the server's updates, on a clock the test sets.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import * as smooth from '../../web/smooth.js';

const msg = (name, id, ...floats) => {
  const w = new MessageWriter().text(name).int(id);
  floats.forEach((v) => w.float(v));
  return decodeMessage(w.toBytes());
};
const at = (s, id, now) => {
  const { x, y } = smooth.playerPosition(s, id, now);
  return [Math.round(x * 100) / 100, Math.round(y * 100) / 100];
};

test('a player is drawn between its updates about two gaps behind, within 35 to 120 ms', () => {
  const s = smooth.newSmoothing();
  for (let t = 0; t <= 300; t += 30) smooth.heard(s, msg('Moved', 2, t / 5, -t / 10), t); // (6, -3) each 30 ms
  const track = s.players.get(2);
  assert.equal(smooth.delayOf(track), 60);
  assert.deepEqual([at(s, 2, 300), at(s, 2, 315), at(s, 2, 345)], [[48, -24], [51, -25.5], [57, -28.5]]);
  // Late updates: one gap carried on, then back to where it was last seen.
  assert.deepEqual([at(s, 2, 390), at(s, 2, 405), at(s, 2, 500)], [[66, -33], [63, -31.5], [60, -30]]);
  // Slow and bunched updates stretch the delay up to its bound; frequent ones shrink it down to its own.
  const delays = [[400, 120], [5, 35]].map(([gap, delay]) => {
    const t2 = smooth.newSmoothing();
    for (let i = 0; i < 40; i++) smooth.heard(t2, msg('Moved', 3, i, 0), i * gap);
    return [smooth.delayOf(t2.players.get(3)), delay];
  });
  for (const [got, wanted] of delays) assert.equal(got, wanted);
  // A segment resent after a loss brings several within a fraction of a millisecond: no fling.
  const lossy = smooth.newSmoothing();
  [0, 33, 66, 400, 405, 405.05].forEach((t, i) => smooth.heard(lossy, msg('Moved', 4, 6 * i, 0), t));
  assert.equal(smooth.delayOf(lossy.players.get(4)), 84.625); // the pair that came together is no gap
  for (let now = 400; now < 900; now += 0.5) assert.ok(Math.abs(at(lossy, 4, now)[0] - 21) <= 21, `at ${now} ms`);
  smooth.heard(s, msg('Moved', 2, 200, 0), 510); // a respawn far away snaps
  assert.deepEqual([at(s, 2, 511), at(s, 2, 900)], [[200, 0], [200, 0]]);
  smooth.heard(s, msg('Left', 2), 520);
  assert.equal(smooth.playerPosition(s, 2, 520), null);
});

test('a projectile flies on between its steps at the speed of its last step, never a step ahead', () => {
  const s = smooth.newSmoothing();
  smooth.heard(s, msg('NewProjectile', 7, 100, 100, 90), 0);
  assert.deepEqual(smooth.projectilePosition(s, 7, { x: 100, y: 100 }, 10), { x: 100, y: 100 });
  smooth.heard(s, msg('ProjMove', 7, 112, 100), 10);
  smooth.heard(s, msg('ProjMove', 7, 112, 88), 20); // turned: the heading of the last step counts
  const shown = (t) => smooth.projectilePosition(s, 7, { x: 112, y: 88 }, t);
  assert.deepEqual([shown(20), shown(20 + smooth.TICK_MS / 2), shown(100)], [{ x: 112, y: 88 }, { x: 112, y: 82 }, { x: 112, y: 76 }]);
  smooth.heard(s, msg('ProjDelete', 7), 30);
  assert.deepEqual(smooth.projectilePosition(s, 7, { x: 1, y: 2 }, 40), { x: 1, y: 2 });
});
