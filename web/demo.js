// Reads a recording (docs/demo-format.md) and says which of its records to apply for a
// moment of it. Nothing here touches the page: Node's test runner loads it as it is.

export const HEADER_BYTES = 40;
export const BLOCK_HEAD_BYTES = 36;
export const MAX_PAYLOAD_BYTES = 4 << 20;
const ascii = (text) => Uint8Array.from(text, (c) => c.charCodeAt(0));
const MAGIC = ascii('SKIRDEMO');
const MARK = ascii('BLK1');

const crcTable = Uint32Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});

// zlib's crc32: crc32(b, crc32(a)) is the CRC of a then b.
export function crc32(bytes, crc = 0) {
  let c = ~crc;
  for (const byte of bytes) c = crcTable[(c ^ byte) & 0xff] ^ (c >>> 8);
  return ~c >>> 0;
}

const viewOf = (bytes) => new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
const startsWith = (bytes, at, mark) => mark.every((byte, i) => bytes[at + i] === byte);

// The header of a recording; null while fewer than its bytes are here. Throws for a
// file this reader does not know.
export function readHeader(bytes) {
  if (bytes.length < HEADER_BYTES) return null;
  const view = viewOf(bytes);
  if (!startsWith(bytes, 0, MAGIC)) throw new Error('not a recording (no SKIRDEMO mark)');
  if (view.getUint32(36, true) !== crc32(bytes.subarray(0, 36))) throw new Error("the recording's header is damaged");
  if (view.getUint16(8, true) !== 1 || view.getUint16(10, true) !== 1)
    throw new Error(`a recording of a version this page does not know (${view.getUint16(8, true)}/${view.getUint16(10, true)})`);
  return {
    tickMs: view.getUint16(12, true),
    port: view.getUint16(14, true),
    sizeX: view.getUint32(16, true),
    sizeY: view.getUint32(20, true),
    seed: view.getUint32(24, true),
    startMs: Number(view.getBigInt64(28, true)),
  };
}

// The payload inflated, or null unless it inflates to exactly size bytes.
async function inflate(stored, size) {
  const reader = new Blob([stored]).stream().pipeThrough(new DecompressionStream('deflate')).getReader();
  const raw = new Uint8Array(size);
  let at = 0;
  try {
    for (let part; !(part = await reader.read()).done; at += part.value.length) {
      if (at + part.value.length > size) {
        reader.cancel().catch(() => {});
        return null;
      }
      raw.set(part.value, at);
    }
  } catch {
    return null;
  }
  return at === size ? raw : null;
}

// A varint at raw[at]: [value, next offset], or null past the end or the 5-byte limit.
function varint(raw, at) {
  let value = 0;
  for (let i = 0; i < 5 && at + i < raw.length; i++) {
    value += (raw[at + i] & 0x7f) * 2 ** (7 * i);
    if (!(raw[at + i] & 0x80)) return [value, at + i + 1];
  }
  return null;
}

// A block's payload is three streams: the records' shape (time delta and length each),
// their float fields (each the XOR of its bits with a prediction from the same field's
// last two values in the block, high byte first) and the rest of their bytes. Joined
// back: the records, each { timeMs, message }, or a string saying why they do not join.
const [TEXT, INT, FLOAT, BYTE] = [1, 2, 3, 4];
const scratch = new DataView(new ArrayBuffer(4));
const asFloat = (bits) => (scratch.setUint32(0, bits), scratch.getFloat32(0));
const asBits = (value) => (scratch.setFloat32(0, value), scratch.getUint32(0));

// Straight on from the last two values in float arithmetic; the last value itself where
// either is not finite or the sum would not be (no NaN's bits are ever computed).
function predict(history) {
  if (!history) return 0;
  if (history.seen < 2) return history.last;
  const [last, before] = [asFloat(history.last), asFloat(history.before)];
  if (!Number.isFinite(last) || !Number.isFinite(before)) return history.last;
  const step = Math.fround(last - before);
  const next = Math.fround(last + step);
  return Number.isFinite(step) && Number.isFinite(next) ? asBits(next) : history.last;
}

// The bytes of a field's value after its tag, a text's length counted; null for an
// unknown tag or one running past the left bytes of its message (then the rest of the
// message was stored as it came).
function fieldValueBytes(tag, bytes, at, left) {
  let size;
  if (tag === INT || tag === FLOAT) size = 4;
  else if (tag === BYTE) size = 1;
  else if (tag === TEXT && left >= 2 && at + 2 <= bytes.length) size = 2 + (bytes[at] | (bytes[at + 1] << 8));
  else return null;
  return size <= left ? size : null;
}

// The part of a float's key that names its message: "t" and the text of a first field
// that is a text, "" otherwise (one Map per name, then a number for the id and place).
function nameKey(bytes, at, end) {
  let out = 't';
  for (; at < end; at += 4096) out += String.fromCharCode.apply(null, bytes.subarray(at, Math.min(at + 4096, end)));
  return out;
}

function joinStreams(payload, head) {
  const recordCount = head.recordCount;
  const shapeSize = varint(payload, 0);
  const floatSize = shapeSize && varint(payload, shapeSize[1]);
  if (!floatSize || floatSize[1] + shapeSize[0] + floatSize[0] > payload.length) return 'a block whose streams do not fit';
  const shape = payload.subarray(floatSize[1], floatSize[1] + shapeSize[0]);
  const floats = viewOf(payload.subarray(floatSize[1] + shapeSize[0], floatSize[1] + shapeSize[0] + floatSize[0]));
  const rest = payload.subarray(floatSize[1] + shapeSize[0] + floatSize[0]);
  const joined = new Uint8Array(payload.length); // the messages end to end: never more than the payload
  const records = [];
  let timeMs = head.firstMs;
  const out = viewOf(joined);
  // A float's history by its key: the message's name, then its id (when its second field
  // is an int and the float comes after it) and the float's place, as the writer keys it.
  const names = new Map();
  let [shapeAt, floatAt, restAt, size] = [0, 0, 0, 0];
  const put = (from, count) => {
    if (count > 32) joined.set(rest.subarray(from, from + count), size);
    else for (let i = 0; i < count; i++) joined[size + i] = rest[from + i]; // most fields: no view made
    size += count;
  };
  // The shape's next varint (the writer keeps them within 32 bits); -1 past its end or limit.
  const shapeVarint = () => {
    let value = 0;
    for (let i = 0; i < 5 && shapeAt < shape.length; i++) {
      const byte = shape[shapeAt++];
      value += (byte & 0x7f) * 2 ** (7 * i);
      if (!(byte & 0x80)) return value;
    }
    return -1;
  };
  for (let record = 0; record < recordCount; record++) {
    const delta = shapeVarint();
    const length = delta < 0 ? -1 : shapeVarint();
    if (length < 1 || length > 0xffff || size + length > joined.length) return 'a block whose shape runs short';
    timeMs += delta;
    const start = size;
    let [name, id] = ['', null];
    for (let index = 0; size - start < length; index++) {
      const left = length - (size - start);
      if (restAt >= rest.length) return 'a block whose messages run short';
      const tag = rest[restAt];
      const value = fieldValueBytes(tag, rest, restAt + 1, left - 1);
      if (value === null) {
        if (left > rest.length - restAt) return 'a block whose messages run short';
        put(restAt, left);
        restAt += left;
        break;
      }
      joined[size++] = tag;
      restAt++;
      if (tag === FLOAT) {
        if (floats.byteLength - floatAt < 4) return 'a block whose floats run short';
        let fields = names.get(name);
        if (!fields) names.set(name, (fields = new Map()));
        const place = index & 0xff;
        const key = id === null ? `s${place}` : id * 256 + place;
        let history = fields.get(key);
        const bits = (floats.getUint32(floatAt) ^ predict(history)) >>> 0;
        floatAt += 4;
        if (!history) fields.set(key, (history = { last: 0, before: 0, seen: 0 }));
        [history.before, history.last, history.seen] = [history.last, bits, Math.min(history.seen + 1, 2)];
        out.setUint32(size, bits, true);
        size += 4;
      } else {
        if (value > rest.length - restAt) return 'a block whose messages run short';
        put(restAt, value);
        restAt += value;
      }
      if (index === 0 && tag === TEXT) name = nameKey(joined, size - value + 2, size);
      if (index === 1 && tag === INT) id = out.getInt32(size - 4, true);
    }
    records.push({ timeMs, message: joined.subarray(start, size) });
  }
  if (shapeAt !== shape.length || floatAt !== floats.byteLength || restAt !== rest.length) return 'a block with bytes left over';
  if (timeMs !== head.lastMs) return "the records' times do not end at the block's last time";
  return records;
}

// The block at bytes[at]: { block, next } when it is whole and its head and CRC are
// sound, { damage } when not, null when not all of it is here yet. Its records are
// inflated only when asked for (loadRecords): a long recording is held as it is stored.
function readBlock(bytes, at, previousMs) {
  if (bytes.length - at < BLOCK_HEAD_BYTES) return null;
  const view = viewOf(bytes.subarray(at));
  const flags = view.getUint8(4);
  const head = {
    keyframe: flags === 1,
    players: view.getUint16(6, true),
    firstMs: view.getUint32(8, true),
    lastMs: view.getUint32(12, true),
    keyframeRecords: view.getUint32(16, true),
    recordCount: view.getUint32(20, true),
    rawSize: view.getUint32(24, true),
  };
  const storedSize = view.getUint32(28, true);
  if (!startsWith(bytes, at, MARK) || flags > 1 || view.getUint8(5) !== 0) return { damage: 'no block mark' };
  if (head.rawSize > MAX_PAYLOAD_BYTES || storedSize > MAX_PAYLOAD_BYTES) return { damage: 'a block past the size limits' };
  const end = at + BLOCK_HEAD_BYTES + storedSize;
  if (bytes.length < end) return null;
  const stored = bytes.subarray(at + BLOCK_HEAD_BYTES, end);
  if (view.getUint32(32, true) !== crc32(stored, crc32(bytes.subarray(at, at + 32)))) return { damage: 'a block whose CRC does not match' };
  if (head.recordCount < 1 || head.keyframeRecords > head.recordCount || head.keyframe !== head.keyframeRecords > 0)
    return { damage: 'a block that miscounts its records' };
  if (head.firstMs < previousMs || head.lastMs < head.firstMs) return { damage: 'a block whose time goes backwards' };
  return { block: { ...head, stored, end, records: null }, next: end };
}

// Inflates a block's records into block.records; a string says why they are not sound.
export async function loadRecords(block) {
  if (block.records) return null;
  const raw = await inflate(block.stored, block.rawSize);
  if (!raw) return 'a block that does not inflate to its stated size';
  const records = joinStreams(raw, block);
  if (typeof records === 'string') return records;
  block.records = records;
  return null;
}

// The whole blocks with sound heads at the start of bytes, after a recording's time
// previousMs. used: the bytes they take; damage: why reading stopped short of a block
// that is all here (null when what is left is only the start of one still being written).
export function readBlocks(bytes, previousMs = 0) {
  const blocks = [];
  for (let at = 0; ; ) {
    const read = readBlock(bytes, at, previousMs);
    if (!read || read.damage) return { blocks, used: at, damage: read ? read.damage : null };
    blocks.push(read.block);
    [at, previousMs] = [read.next, read.block.lastMs];
  }
}

// A whole file (or as much of it as is written), every block's records loaded:
// { header, blocks, used, damage }; header is null while the file is shorter than one.
export async function readDemo(bytes) {
  const header = readHeader(bytes);
  if (!header) return { header, blocks: [], used: 0, damage: null };
  const read = readBlocks(bytes.subarray(HEADER_BYTES));
  for (const [i, block] of read.blocks.entries()) {
    const damage = await loadRecords(block);
    if (damage) return { header, blocks: read.blocks.slice(0, i), used: HEADER_BYTES + (i ? read.blocks[i - 1].end : 0), damage };
  }
  return { header, ...read, used: HEADER_BYTES + read.used };
}

// Where playback stands is the next record to apply: blocks[block].records[record].

// The index of the last block whose first record is at or before t (0 when none is).
export function blockAt(blocks, t) {
  let [low, high] = [0, blocks.length]; // the first block starting after t
  while (low < high) {
    const middle = (low + high) >> 1;
    if (blocks[middle].firstMs <= t) low = middle + 1;
    else high = middle;
  }
  return Math.max(low - 1, 0);
}

// The index of the block to start the world at time t from: the last keyframe block
// whose first record is at or before t (the first block when there is none).
export function keyframeBlock(blocks, t) {
  let at = blockAt(blocks, t);
  while (at > 0 && !blocks[at].keyframe) at--;
  return at;
}

// The records after from up to time t, each block's keyframe skipped (what it states the
// world already has), and where playback then stands; the blocks on the way must have
// their records loaded (it stops short at one that has not).
export function advance(blocks, from, t) {
  const records = [];
  for (let { block, record } = from; block < blocks.length; block++, record = 0) {
    const { records: all, keyframeRecords } = blocks[block];
    if (!all) return { records, next: { block, record } };
    for (record = Math.max(record, keyframeRecords); record < all.length; record++) {
      if (all[record].timeMs > t) return { records, next: { block, record } };
      records.push(all[record]);
    }
  }
  return { records, next: { block: blocks.length, record: 0 } };
}

// The records that build the world at time t from a clean state: a keyframe, then what
// followed it up to t; and where playback then stands. The blocks from the keyframe's to
// blockAt(t) must have their records loaded.
export function seek(blocks, t) {
  if (blocks.length === 0) return { records: [], next: { block: 0, record: 0 } };
  const start = keyframeBlock(blocks, t);
  const keyframe = blocks[start].records.slice(0, blocks[start].keyframeRecords);
  const after = advance(blocks, { block: start, record: 0 }, t);
  return { records: [...keyframe, ...after.records], next: after.next };
}
