// Twin sticks and the sounds the game's messages make, without a browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import { applyMessage, newGame } from '../../web/game.js';
import * as sounds from '../../web/sound.js';
import * as touch from '../../web/touch.js';

test('each half takes one thumb; the move stick steps in eight directions, the aim fires past a third', () => {
  const s = touch.newSticks();
  assert.equal(touch.touchStart(s, 1, 50, 300, 400), true);
  assert.equal(touch.touchStart(s, 2, 180, 300, 400), false); // the left half's stick is taken
  assert.equal(touch.touchStart(s, 3, 300, 300, 400), true);
  const cases = [[10, 0, null], [40, 0, { dx: 6, dy: 0 }], [30, -30, { dx: 6, dy: -6 }], [-5, 40, { dx: 0, dy: 6 }]];
  for (const [dx, dy, step] of cases) {
    touch.touchMove(s, 1, 50 + dx, 300 + dy);
    assert.deepEqual(touch.moveFromStick(s), step, `${dx},${dy}`);
  }
  touch.touchMove(s, 3, 300 + touch.STICK_RADIUS / 3 - 1, 300);
  assert.deepEqual(touch.aimFromStick(s), { angle: 90, firing: false });
  touch.touchMove(s, 3, 300, 300 - touch.STICK_RADIUS);
  assert.deepEqual(touch.aimFromStick(s), { angle: 0, firing: true });
  touch.touchEnd(s, 1);
  assert.equal(touch.moveFromStick(s), null);
  touch.releaseAll(s);
  assert.equal(touch.aimFromStick(s), null);
});

const msg = (name, ints = [], floats = []) => {
  const w = new MessageWriter().text(name);
  ints.forEach((v) => w.int(v));
  floats.forEach((v) => w.float(v));
  return decodeMessage(w.toBytes());
};

test('own shots, hits either way, deaths, kills and respawns each make their sound', () => {
  const game = newGame('me');
  Object.assign(game, { myId: 1 });
  game.players.set(1, { x: 100, y: 100, dead: false });
  game.players.set(2, { x: 200, y: 100, dead: false });
  const sound = sounds.newSound({ getItem: () => null, setItem: () => {} });
  const steps = [
    [msg('NewProjectile', [7], [100, 100, 90]), ['shot']],
    [msg('NewProjectile', [8], [200, 100, 270]), []], // another's
    [msg('ProjMove', [7], [195, 100]), []],
    [msg('ProjDelete', [7]), ['hitDealt']],
    [msg('ProjDelete', [8]), []],
    [msg('Health', [90]), ['hitTaken']],
    [msg('Dead', [2, 1]), ['kill']],
    [msg('Dead', [1, 2]), ['death']],
    [msg('Alive', [1]), ['respawn']],
    [msg('Health', [95]), ['hitTaken']], // counted down from full again
  ];
  for (const [m, expected] of steps) {
    applyMessage(game, m);
    assert.deepEqual(sounds.soundsFor(sound, game, m), expected, m.name);
  }
});

test('mute and volume are kept, and a mangled entry falls back to the defaults', () => {
  const stored = new Map();
  const storage = { getItem: (k) => stored.get(k) ?? null, setItem: (k, v) => stored.set(k, v) };
  const sound = sounds.newSound(storage);
  sounds.setVolume(sound, 1.7);
  sounds.toggleMute(sound);
  assert.deepEqual(sounds.loadSettings(storage), { muted: true, volume: 1 });
  stored.set('skirmish.sound', '{oops');
  assert.deepEqual(sounds.loadSettings(storage), { muted: false, volume: 0.6 });
});
