// The page's model of the world, fed the messages a server sends.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import { Link, aimAngle, applyMessage, linkMessage, moveFromKeys, newGame } from '../../web/game.js';

const msg = (build) => decodeMessage(build(new MessageWriter()).toBytes());
const feed = (game, ...builds) => builds.forEach((b) => applyMessage(game, msg(b)));

test('a join, a snapshot, moves, a kill and a leave build the world the server told', () => {
  const game = newGame('Me');
  feed(
    game,
    (w) => w.text('MOTD Goes Here'),
    (w) => w.text('LevelInfo').int(1).int(32).int(24).int(9),
    (w) => w.int(1).int(2).int(3).int(4),
    (w) => w.int(0).int(24).int(1).int(1),
    (w) => w.text('Player').int(1).text('Other').float(10).float(20).byte(0).int(0),
    (w) => w.text('Joined').int(2).text('Me'),
    (w) => w.text('Moved').int(2).float(64).float(96),
    (w) => w.text('NewProjectile').int(0).float(64).float(96).float(90),
    (w) => w.text('ProjMove').int(0).float(76).float(96),
    (w) => w.text('Dead').int(2).int(1),
    (w) => w.text('ProjDelete').int(0),
    (w) => w.text('Left').int(1),
  );
  assert.equal(game.link, Link.playing);
  assert.deepEqual([game.sizeX, game.sizeY, game.rooms.length], [32, 24, 2]);
  assert.equal(game.myId, 2);
  assert.deepEqual(game.players.get(2), { name: 'Me', x: 64, y: 96, rotation: 0, dead: true });
  assert.equal(game.myHealth, 0);
  assert.equal(game.players.has(1), false);
  assert.equal(game.projectiles.size, 0);
  assert.deepEqual(game.log.slice(-3), ['Me joined', 'Other killed Me', 'Other left']);
  feed(game, (w) => w.text('Alive').int(2), (w) => w.text('ServerQuit'));
  assert.equal(game.myHealth, 100);
  assert.equal(linkMessage(game), 'The server has quit.');
});

test('the aim angle sends shots toward the mouse, and held keys make one step', () => {
  const aims = [[[1, 0], 90], [[0, 1], 180], [[0, -1], 0], [[-1, 0], 270]];
  for (const [[dx, dy], angle] of aims) assert.equal(aimAngle(dx, dy), angle);
  assert.deepEqual(moveFromKeys(new Set(['KeyD', 'KeyW'])), { dx: 6, dy: -6 });
  assert.equal(moveFromKeys(new Set(['KeyA', 'KeyD'])), null);
});
