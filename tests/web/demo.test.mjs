// Recordings read as docs/demo-format.md has them, written here with zlib's own deflate and CRC.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import zlib from 'node:zlib';
import { execFileSync } from 'node:child_process';
import { advance, readDemo, seek } from '../../web/demo.js';

const varint = (n) => (n > 0x7f ? [(n & 0x7f) | 0x80, ...varint(Math.floor(n / 128))] : [n]);
const crc = (bytes, at, flip = 0) => bytes.writeUInt32LE((zlib.crc32(bytes.subarray(at + 4), zlib.crc32(bytes.subarray(0, at))) ^ flip) >>> 0, at);
function header({ magic = 'SKIRDEMO', version = 1, flip = 0 } = {}) {
  const head = Buffer.concat([Buffer.from(magic), Buffer.alloc(32)]);
  [version, 1, 17, 23987].forEach((value, i) => head.writeUInt16LE(value, 8 + 2 * i));
  head.writeBigInt64LE(1_800_000_000_000n, 28);
  return crc(head, 36, flip), head;
}
// records: [timeMs, text], the first `keyframe` of them the keyframe; lie: what the head states wrongly.
function block(records, keyframe = 0, lie = {}) {
  // The texts start with no field tag, so each is stored whole in the third stream.
  const shape = records.flatMap(([t, text], i) => [...varint(t - records[Math.max(i - 1, 0)][0]), ...varint(text.length)]);
  const raw = Buffer.from([...varint(shape.length), 0, ...shape, ...Buffer.from(records.map(([, text]) => text).join(''))]);
  const stored = lie.stored ?? zlib.deflateSync(raw);
  const whole = Buffer.concat([Buffer.from(lie.mark ?? 'BLK1'), Buffer.of(keyframe ? 1 : 0), Buffer.alloc(31), stored]);
  const fields = [records[0][0], records.at(-1)[0], keyframe, lie.records ?? records.length, lie.raw ?? raw.length, lie.storedSize ?? stored.length];
  fields.forEach((value, i) => whole.writeUInt32LE(value, 8 + 4 * i));
  return crc(whole, 32, lie.crc), whole;
}
const blocks = [
  block([[0, 'level'], [0, 'ada'], [0, 'done'], [40, 'a1'], [400, 'x'.repeat(200)]], 3),
  block([[2000, 'a2'], [3000, 'a3']]),
  block([[5000, 'level2'], [5000, 'ada2'], [5000, 'b1'], [6000, 'b2']], 2),
  block([[6000, 'c1'], [9000, 'c2']]),
];
const file = Buffer.concat([header(), ...blocks]);
const texts = (records) => records.map((r) => Buffer.from(r.message).toString());

test('a whole recording gives its header and every block with its records and times', async () => {
  const demo = await readDemo(file);
  assert.deepEqual([demo.header.port, demo.header.startMs, demo.used, demo.damage], [23987, 1_800_000_000_000, file.length, null]);
  assert.deepEqual(demo.blocks.map((b) => [b.keyframe, b.keyframeRecords, b.firstMs, b.lastMs]), [[true, 3, 0, 400], [false, 0, 2000, 3000], [true, 2, 5000, 6000], [false, 0, 6000, 9000]]);
  assert.deepEqual(demo.blocks[0].records.map((r) => [r.timeMs, r.message.length]), [[0, 5], [0, 3], [0, 4], [40, 2], [400, 200]]);
});

test('a recording cut at any byte gives exactly the blocks wholly before the cut', async () => {
  for (let cut = 0; cut <= file.length; cut++) {
    const demo = await readDemo(file.subarray(0, cut));
    const whole = blocks.filter((_, i) => 40 + Buffer.concat(blocks.slice(0, i + 1)).length <= cut).length;
    assert.deepEqual([demo.header === null, demo.blocks.length, demo.damage], [cut < 40, whole, null], `cut at ${cut}`);
  }
});

test('reading stops at the first unsound block, and refuses a header it does not know', async () => {
  const lies = [[{ crc: 1 }, /CRC/], [{ mark: 'BLK2' }, /mark/], [{ storedSize: (4 << 20) + 1 }, /size limits/],
    [{ raw: 8 }, /inflate/], [{ stored: Buffer.from('not zlib') }, /inflate/], [{ records: 3 }, /shape runs short/]];
  for (const [lie, damage] of lies) {
    const demo = await readDemo(Buffer.concat([header(), blocks[0], block([[2000, 'a2'], [3000, 'a3']], 0, lie), blocks[2]]));
    assert.deepEqual(demo.blocks.length, 1, JSON.stringify(lie));
    assert.match(demo.damage, damage);
  }
  for (const wrong of [{ magic: 'SKIRDEMX' }, { version: 2 }, { flip: 4 }]) await assert.rejects(readDemo(header(wrong)), JSON.stringify(wrong));
});

test('a seek starts at the last keyframe at or before its time and skips the keyframes it passes', async () => {
  const { blocks: read } = await readDemo(file);
  const first = ['level', 'ada', 'done', 'a1', 'x'.repeat(200)];
  const seeks = [[0, first.slice(0, 3)], [2500, [...first, 'a2']], [4999, [...first, 'a2', 'a3']], [5000, ['level2', 'ada2', 'b1']],
    [6000, ['level2', 'ada2', 'b1', 'b2', 'c1']], [20000, ['level2', 'ada2', 'b1', 'b2', 'c1', 'c2']]];
  for (const [t, expected] of seeks) assert.deepEqual(texts(seek(read, t).records), expected, `at ${t}`);
  const played = advance(read, seek(read, 3000).next, 9000);
  assert.deepEqual([texts(played.records), played.next], [['b1', 'b2', 'c1', 'c2'], { block: 4, record: 0 }]);
});

test("a block our C++ writer made joins back to its messages, every float path included", async (t) => {
  if (!process.env.SKIRMISH_CODEC_FIXTURES) return t.skip('needs the C++ fixtures');
  const cpp = JSON.parse(execFileSync(process.env.SKIRMISH_CODEC_FIXTURES, { encoding: 'utf8' }));
  const framed = Buffer.from(cpp.demoMessages, 'hex');
  const expected = [];
  for (let at = 0; at < framed.length; at += 2 + framed.readUInt16LE(at)) expected.push(framed.subarray(at + 2, at + 2 + framed.readUInt16LE(at)).toString('hex'));
  const demo = await readDemo(new Uint8Array(Buffer.from(cpp.demo, 'hex')));
  assert.equal(demo.damage, null);
  assert.deepEqual(demo.blocks[0].records.map((r) => Buffer.from(r.message).toString('hex')), expected);
});
