// The page's model of the world, fed the messages a server sends.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MessageWriter, decodeMessage } from '../../web/codec.js';
import {
  Link, aimAngle, applyMessage, closeLink, cameraOf, cameraView, followCamera, linkMessage, moveFromKeys, newGame, panCamera, playerAt,
  recentKills, screenToWorld, standings, stepPlayer, zoomCamera,
} from '../../web/game.js';

const msg = (build) => decodeMessage(build(new MessageWriter()).toBytes());
const feed = (game, ...builds) => builds.forEach((b) => applyMessage(game, msg(b)));

test('a join, a snapshot, moves, a kill and a leave build the world the server told', () => {
  const game = newGame('Me');
  feed(
    game,
    (w) => w.text('MOTD Goes Here'),
    (w) => w.text('Joined').int(3).text('Me'), // another Me, before our snapshot
    (w) => w.text('LevelInfo').int(1).int(32).int(24).int(9),
    (w) => w.int(1).int(2).int(3).int(4),
    (w) => w.int(0).int(24).int(1).int(1),
    (w) => w.text('Player').int(1).text('Other').float(10).float(20).byte(0).int(0),
    (w) => w.text('ProjDone'),
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
  assert.deepEqual(game.log.slice(-2), ['Me joined', 'Other left']);
  assert.deepEqual(recentKills(game, 0), ['Other fragged Me']);
  feed(game, (w) => w.text('Alive').int(2), (w) => w.text('ServerQuit'));
  assert.equal(game.myHealth, 100);
  assert.equal(linkMessage(game), 'The server has quit.');
});

test("the server's own words and an operator's close are told as such", () => {
  const game = newGame('Me');
  feed(game, (w) => w.text('PlayerMessage').int(0).text('restart in 5'));
  assert.deepEqual(game.log.slice(-1), ['Server: restart in 5']);
  const closes = [[4001, 'spam', 'You were kicked: spam'], [4003, 'Banned', 'You are banned from this server: Banned'],
    [1013, 'Server full', 'The server is full. Try again later.'], [1006, '', 'The connection to the server was lost.']];
  for (const [code, reason, said] of closes) {
    const closed = newGame('Me');
    closeLink(closed, code, reason);
    assert.equal(linkMessage(closed), said);
  }
});

test('the aim angle sends shots toward the mouse, and held keys make one step', () => {
  const aims = [[[1, 0], 90], [[0, 1], 180], [[0, -1], 0], [[-1, 0], 270]];
  for (const [[dx, dy], angle] of aims) assert.equal(aimAngle(dx, dy), angle);
  assert.deepEqual(moveFromKeys(new Set(['KeyD', 'KeyW'])), { dx: 6, dy: -6 });
  assert.equal(moveFromKeys(new Set(['KeyA', 'KeyD'])), null);
});

const playerRecord = (id, name, x) => (w) => w.text('Player').int(id).text(name).float(x).float(100).byte(0).int(0);
const watching = () => {
  const game = newGame();
  feed(game, (w) => w.text('LevelInfo').int(0).int(20).int(20).int(3), (w) => w.int(0).int(0).int(4).int(4));
  feed(game, playerRecord(1, 'Ada', 100), playerRecord(2, 'Bo', 200), playerRecord(3, 'Cy', 300));
  return game;
};

test('a spectator watches from its snapshot; kills and deaths count only what a shooter still here did to another', () => {
  const game = watching();
  assert.equal(game.link, Link.watching);
  const deaths = [
    [2, 1, 'Ada fragged Bo'], [1, 2, 'Bo fragged Ada'], [2, 2, 'Bo fragged themselves'], [3, 0, 'Cy died'],
    [1, 9, 'player 9 fragged Ada'], [3, 1, 'Ada fragged Cy'],
  ];
  deaths.forEach(([victim, shooter], i) => applyMessage(game, msg((w) => w.text('Dead').int(victim).int(shooter)), i * 1000));
  // The feed keeps five lines, each for six seconds.
  for (const [now, first] of [[6500, 1], [7500, 2]]) assert.deepEqual(recentKills(game, now), deaths.slice(first).map(([, , line]) => line));
  feed(game, (w) => w.text('Left').int(2), (w) => w.text('Joined').int(2).text('Di'));
  const table = standings(game).map(({ name, kills, deaths: died }) => [name, kills, died]);
  assert.deepEqual(table, [['Ada', 2, 2], ['Di', 0, 0], ['Cy', 0, 2]]);
});

test('the camera follows, pans, zooms about the pointer, and picks and steps through players', () => {
  const game = watching();
  const camera = { x: 0, y: 0, scale: 2 };
  const view = cameraView(camera, 800, 600);
  assert.deepEqual(cameraOf(view, 800, 600), camera);
  assert.deepEqual(panCamera(camera, 20, -10), { x: 10, y: -5, scale: 2 });
  assert.deepEqual(screenToWorld(cameraView(zoomCamera(camera, 2, 800, 600, 600, 450), 800, 600), 600, 450), screenToWorld(view, 600, 450));
  const onCy = cameraView(followCamera(game, { ...camera, scale: 1 }, 3), 800, 600);
  assert.deepEqual([playerAt(game, onCy, 400, 300), playerAt(game, onCy, 300, 300), playerAt(game, onCy, 400, 330)], [3, 2, 0]);
  const steps = [[0, 1, 1], [0, -1, 3], [1, 1, 2], [3, 1, 1], [1, -1, 3], [7, 1, 1]];
  for (const [from, step, to] of steps) assert.equal(stepPlayer(game, from, step), to, `${from} ${step}`);
});
