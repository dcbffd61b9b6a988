// What the play page tells its player, where its respawn lands and the keys that open the chat.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import { applyMessage, newGame } from '../../web/game.js';
import { hudHeard, isEnter, newHud, respawnOffsets, statusLines } from '../../web/hud.js';

const hear = (game, hud, now, build) => {
  const m = decodeMessage(build(new MessageWriter()).toBytes());
  applyMessage(game, m, now);
  hudHeard(hud, game, m, now);
};

test('a respawn lands inside the map as the server moves it, spread out and away from the living', () => {
  const game = Object.assign(newGame('Me'), { myId: 1, sizeX: 40, sizeY: 30, rooms: [{}, { x: 7, y: 5 }] });
  game.players.set(2, { x: 640, y: 480, dead: false });
  let seed = 7;
  const random = () => (seed = (seed * 16807) % 2147483647) / 2147483647;
  const spots = Array.from({ length: 40 }, () => {
    const { a, b } = respawnOffsets(game, random); // entry 1's tiles as map units, then b on x and a on y
    const cut = a !== 0 && b !== 0 ? 1.141 : 1;
    return { x: 7 + b / cut, y: 5 + a / cut };
  });
  for (const { x, y } of spots) {
    assert.ok(x > 32 && x < 40 * 32 - 32 && y > 32 && y < 30 * 32 - 32, `${x} ${y}`);
    assert.ok(Math.hypot(x - 640, y - 480) > 200, `${x} ${y}`);
  }
  assert.equal(new Set(spots.map(({ x, y }) => `${x < 640} ${y < 480}`)).size, 4);
});

test('the page greets, counts down to coming back, names who got you and shows health once alive', () => {
  const [game, hud] = [newGame('Me'), newHud()];
  hear(game, hud, 0, (w) => w.text('MOTD Goes Here'));
  hear(game, hud, 0, (w) => w.text('PlayerMessage').int(0).text('Be nice'));
  hear(game, hud, 5, (w) => w.text('Player').int(3).text('Bot').float(0).float(0).byte(0).int(0));
  hear(game, hud, 5, (w) => w.text('ProjDone'));
  hear(game, hud, 5, (w) => w.text('Joined').int(2).text('Me'));
  assert.deepEqual(statusLines(hud, game, 1000, false), ['Be nice', 'Back in 3 s', 'Press R to come back now']);
  hear(game, hud, 4000, (w) => w.text('Alive').int(2));
  hear(game, hud, 11000, (w) => w.text('Dead').int(2).int(3));
  hear(game, hud, 11000, (w) => w.text('Left').int(3));
  assert.deepEqual(statusLines(hud, game, 13500, true), ['Bot got you', 'Back in 1 s', 'Tap Respawn to come back now']);
  hear(game, hud, 14000, (w) => w.text('Dead').int(2).int(3)); // a shot of the one who left
  assert.deepEqual(game.killFeed.map((kill) => kill.line), ['Bot fragged Me', 'Bot fragged Me']);
  hear(game, hud, 15000, (w) => w.text('Alive').int(2));
  assert.deepEqual(statusLines(hud, game, 15000, false), ['Health 100 / 100']);
});

test('Enter on either part of the keyboard opens the chat; other keys do not', () => {
  const cases = [[{ code: 'Enter' }, true], [{ code: 'NumpadEnter' }, true], [{ code: '', key: 'Enter' }, true], [{ code: 'KeyM', key: 'm' }, false]];
  for (const [event, opens] of cases) assert.equal(isEnter(event), opens, JSON.stringify(event));
});
