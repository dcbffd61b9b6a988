// Version 3 on the page: projectiles flown to the server's own bits, states followed as the server means them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { MessageWriter, codecFor, decodeMessage } from '../../web/codec.js';
import { TICK_MS, flyOn, follow, newFollower, takeState } from '../../web/follow.js';

const cpp = JSON.parse(execFileSync(process.env.SKIRMISH_CODEC_FIXTURES, { encoding: 'utf8' }));
const v3 = codecFor(3);
const said = (messages) => messages.map((m) => m.fields.map((f) => f.value).join(' '));
const msg = (build, flight) => Object.assign(decodeMessage(build(new MessageWriter()).toBytes()), flight && { flight });
const state = (number, tick, poses = [], whole = true) => ({ number, tick, whole, poses: poses.map(([id, x]) => ({ id, hasPosition: true, hasFacing: x < 0, x, y: 1, facing: -x })) });

test('every heading flies to the server\'s bits for 10,000 ticks, across the wrap of the tick count', () => {
  const [follower, flown, f32] = [newFollower(), [], new Float32Array(2)];
  const [bytes, words] = [new Uint8Array(f32.buffer), new Uint32Array(f32.buffer)];
  for (let i = 0; cpp[`flight${i}`]; i++) flown.push({ told: cpp[`flown${i}`], hash: 2166136261 });
  flown.forEach((_, i) => follow(follower, v3.decodeMessage(Buffer.from(cpp[`flight${i}`], 'hex')), 0));
  for (let tick = 0, first = follower.flown[0].next; tick < 10000; tick++) {
    for (const m of takeState(follower, state(tick + 1, (first + tick) | 0), 0).messages) {
      const one = flown[m.int(1) - 1];
      [f32[0], f32[1]] = [m.float(2), m.float(3)];
      for (const byte of bytes) one.hash = Math.imul(one.hash ^ byte, 16777619) >>> 0;
      one.last = [...words];
    }
  }
  assert.deepEqual(flown.map((one) => [one.hash, ...one.last]), flown.map((one) => one.told));
});

test('a newer state supersedes, a late or repeated one is ignored, and only one whole and of known players is acknowledged', () => {
  const [follower, joined] = [newFollower(), (id) => msg((w) => w.text('Joined').int(id).text('p'))];
  const script = [joined(2), state(1, 0, [[2, 5]]), state(3, 0, [[2, -7], [4, 9]]), state(2, 0, [[2, 6]]), state(3, 0, [[2, 8]]),
    joined(4), state(4, 0, [[4, 9]], false), state(5, 0, [[4, 10]]), msg((w) => w.text('Left').int(4)), state(6, 0, [[4, 11]])];
  const heard = script.map((step) => (step.poses ? takeState(follower, step, 0) : { messages: follow(follower, step, 0) }));
  assert.deepEqual(heard.map(({ ack }) => ack), [undefined, 1, null, null, null, undefined, null, 5, undefined, null]);
  assert.deepEqual(said(heard.flatMap(({ messages }) => messages)),
    ['Joined 2 p', 'Moved 2 5 1', 'Moved 2 -7 1', 'Rotated 2 7', 'Joined 4 p', 'Moved 4 9 1', 'Moved 4 10 1', 'Left 4']);
});

test('a projectile flies to the newest tick told, by the clock at most three ticks past it, and through its last tick before it goes', () => {
  const [follower, shot] = [newFollower(), (id, tick) => msg((w) => w.text('NewProjectile').int(id).float(0).float(0).float(90), { dx: 1.5, dy: 0, tick })];
  takeState(follower, state(1, 10), 0);
  const steps = [follow(follower, shot(1, 11), 0), flyOn(follower, 2.5 * TICK_MS), flyOn(follower, 100 * TICK_MS),
    takeState(follower, state(2, 12), 101 * TICK_MS).messages, follow(follower, shot(2, 5), 101 * TICK_MS), follow(follower, shot(3, -70000), 101 * TICK_MS),
    follow(follower, v3.decodeMessage(Uint8Array.from([21, 2, 28])), 102 * TICK_MS), flyOn(follower, 200 * TICK_MS)];
  assert.deepEqual(steps.map(said), [['NewProjectile 1 0 0 90'], ['ProjMove 1 1.5 0', 'ProjMove 1 3 0'], ['ProjMove 1 4.5 0'], [],
    ['NewProjectile 2 0 0 90', ...[1.5, 3, 4.5, 6, 7.5, 9, 10.5, 12].map((x) => `ProjMove 2 ${x} 0`)],
    ['NewProjectile 3 0 0 90'], ['ProjMove 1 6 0', 'ProjDelete 1'], ['ProjMove 2 13.5 0', 'ProjMove 2 15 0', 'ProjMove 2 16.5 0']]);
  assert.deepEqual(follower.flown.map((flown) => flown.id), [2]); // one far behind the ticks is dropped, not flown
});

test('a state reads as the server wrote it, a pose cut short or flagged unknown ends it, and its acknowledgement is the server\'s', () => {
  const read = (bytes) => Object.values(v3.decodeMessage(Uint8Array.from(bytes)).state).map((v) => (v.map ? v.map(Object.values) : v));
  const [whole, poses] = [[...Buffer.from(cpp.state, 'hex')], [[2, true, false, 10, -20, 0], [3, true, true, 1.5, 2.25, 90.5], [129, false, true, 0, 0, -1]]];
  assert.deepEqual([whole, whole.slice(0, 28), whole.slice(0, 21), whole.slice(0, 7), [...whole, 5, 4], [...whole, 5]].map(read),
    [[300, -5, poses, true], [300, -5, poses.slice(0, 2), false], [300, -5, poses.slice(0, 1), false], [300, -5, [], false], ...Array(2).fill([300, -5, poses, false])]);
  assert.equal(Buffer.from(v3.command.stateAck(300)).toString('hex'), cpp.stateAck);
});
