// What the play page tells its player, where its respawn lands and the keys that open the chat.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import { applyMessage, newGame } from '../../web/game.js';
import { hudHeard, isEnter, newHud, respawnOffsets, statusLines } from '../../web/hud.js';
const heard = (game, hud, now, build, m = decodeMessage(build(new MessageWriter()).toBytes())) => applyMessage(game, m, now) ?? hudHeard(hud, game, m, now);

test('a respawn lands inside the map as the server moves it, spread out and away from the living', () => {
  const game = Object.assign(newGame('Me'), { myId: 1, sizeX: 40, sizeY: 30, rooms: [{}, { x: 7, y: 5 }], players: new Map([[2, { x: 640, y: 480 }]]) });
  const spots = Array.from({ length: 40 }, (_, i) => {
    const { a, b } = respawnOffsets(game, () => ((i = (i * 16807 + 7) % 2147483647) / 2147483647));
    const cut = a !== 0 && b !== 0 ? 1.141 : 1; // from entry 1's tiles as map units, b on x and a on y as one "Move"
    return { x: 7 + b / cut, y: 5 + a / cut };
  });
  for (const { x, y } of spots) assert.ok(Math.min(x, y, 1248 - x, 928 - y) > 0 && Math.hypot(x - 640, y - 480) > 200, `${x} ${y}`);
  assert.equal(new Set(spots.map(({ x, y }) => `${x < 640} ${y < 480}`)).size, 4);
});

test('the page greets, counts down to coming back, names who got you (after it left too), then shows health', () => {
  const [game, hud, hear] = [newGame('Me'), newHud(), (now, build) => build.forEach((b) => heard(game, hud, now, b))];
  hear(0, [(w) => w.text('MOTD Goes Here'), (w) => w.text('PlayerMessage').int(0).text('Be nice')]);
  hear(5, [(w) => w.text('Player').int(3).text('Bot').float(0).float(0).byte(0).int(0), (w) => w.text('ProjDone'), (w) => w.text('Joined').int(2).text('Me')]);
  assert.deepEqual(statusLines(hud, game, 1000, false), ['Be nice', 'Back in 3 s', 'Press R to come back now']);
  hear(11000, [(w) => w.text('Alive').int(2), (w) => w.text('Left').int(3), (w) => w.text('Dead').int(2).int(3)]);
  assert.deepEqual(statusLines(hud, game, 13500, true), ['Bot got you', 'Back in 1 s', 'Tap Respawn to come back now']);
  assert.deepEqual([game.killFeed[0].line, game.log.at(-1)], ['Bot fragged Me', 'Bot left']);
  hear(15000, [(w) => w.text('Alive').int(2)]);
  assert.deepEqual(statusLines(hud, game, 15000, false), ['Health 100 / 100']);
});

test('Enter on either part of the keyboard opens the chat; other keys do not', () => {
  assert.deepEqual([{ code: 'Enter' }, { code: 'NumpadEnter' }, { code: '', key: 'Enter' }, { code: 'KeyM', key: 'm' }].map(isEnter), [true, true, true, false]);
});
