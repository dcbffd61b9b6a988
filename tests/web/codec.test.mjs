// The page's codec against the bytes of the server's own C++ codec.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import {
  codecFor, command, decodeMessage, packPacket, splitPacket, MessageWriter,
} from '../../web/codec.js';

const cpp = JSON.parse(execFileSync(process.env.SKIRMISH_CODEC_FIXTURES, { encoding: 'utf8' }));
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytesOf = (h) => new Uint8Array(Buffer.from(h, 'hex'));
const fieldsOf = (m) => m.fields.map((f) => (f.type === 'text' ? hex(f.raw) : f.value));
const text = (s) => hex(Buffer.from(s, 'utf8'));

test('commands are byte for byte what the C++ client sends', () => {
  const cases = {
    move: command.move(1.5, -3),
    rotate: command.rotate(90.25),
    playerMessage: command.playerMessage('hi\0there, Zoë'),
    respawn: command.respawn(2, -7),
    name: command.name('Browser'),
    fire: command.fire(),
  };
  for (const [key, bytes] of Object.entries(cases)) assert.equal(hex(bytes), cpp[key], key);
});

test('server messages decode field by field, texts keeping every byte', () => {
  const cases = {
    moved: [text('Moved'), 3, 27, -3.5],
    joined: [text('Joined'), 2, text('Zoë')],
    player: [text('Player'), 4, '780079', 64, 96.5, 1, 0],
    levelInfo: [text('LevelInfo'), 6, 32, 24, 9],
    roomRecord: [1, 2, 3, 4],
    dead: [text('Dead'), 2, 1],
  };
  for (const [key, fields] of Object.entries(cases)) assert.deepEqual(fieldsOf(decodeMessage(bytesOf(cpp[key]))), fields, key);
});

test('a packet splits into its messages and packs back into the same bytes', () => {
  const messages = splitPacket(bytesOf(cpp.packet));
  assert.deepEqual(messages.map((m) => decodeMessage(m).name), ['MOTD Goes Here', 'Health', 'ProjDelete']);
  assert.equal(hex(packPacket(messages)), cpp.packet);
});

test('broken input reads as zero values and never past the end', () => {
  const moved = bytesOf(cpp.moved);
  const cases = [
    { bytes: moved.subarray(0, moved.length - 2), fields: 3 }, // truncated float
    { bytes: Uint8Array.from([...moved.subarray(0, 13), 0x09, 1, 2, 3, 4]), fields: 2 }, // unknown tag
    { bytes: Uint8Array.from([0x01, 0xff, 0xff, 0x41]), fields: 0 }, // text longer than the message
  ];
  for (const { bytes, fields } of cases) {
    const m = decodeMessage(bytes);
    assert.equal(m.fields.length, fields);
    assert.equal(m.float(3), 0);
    assert.equal(m.int(9), 0);
  }
  assert.deepEqual(splitPacket(Uint8Array.from([5, 0, 1, 2])).map((m) => m.length), [2]);
  assert.equal(decodeMessage(new MessageWriter().int(1).toBytes()).name, '');
});

test('version 2: commands are the C++ client\'s bytes and messages read as version 1 reads them', () => {
  const v2 = codecFor(2);
  const commands = {
    move: v2.command.move(1.5, -3),
    rotate: v2.command.rotate(90.25),
    playerMessage: v2.command.playerMessage('hi\0there, Zoë'),
    respawn: v2.command.respawn(2, -7),
    name: v2.command.name('Browser'),
    fire: v2.command.fire(),
  };
  for (const [key, bytes] of Object.entries(commands)) assert.equal(hex(bytes), cpp[`${key}_v2`], key);
  for (const key of ['moved', 'joined', 'player', 'levelInfo', 'roomRecord', 'dead', ...Object.keys(commands)]) {
    assert.deepEqual(fieldsOf(v2.decodeMessage(bytesOf(cpp[`${key}_v2`]))), fieldsOf(decodeMessage(bytesOf(cpp[key]))), key);
  }
  const messages = v2.splitPacket(bytesOf(cpp.packet_v2));
  assert.deepEqual(messages.map((m) => v2.decodeMessage(m).name), ['MOTD Goes Here', 'Health', 'ProjDelete']);
  assert.equal(hex(v2.packPacket(messages)), cpp.packet_v2);
  // Read as the server reads: a field cut off is left out, an unknown index is nameless,
  // index 0 is a version 1 message as it is.
  const read = (bytes) => v2.decodeMessage(Uint8Array.from(bytes)).fields.map((f) => f.value);
  assert.deepEqual([read([10, 0x0a, 0, 0, 0x80, 0x3f]), read([200, 1]), read([0, 2, 7, 0, 0, 0])], [['ProjMove', 5, 1], [], [7]]);
});
