// The wire codec: messages of tagged little-endian fields, packets of
// length-prefixed messages. One WebSocket binary frame carries one packet.

export const Tag = Object.freeze({ text: 0x01, int: 0x02, float: 0x03, byte: 0x04 });

// The server cuts a message longer than this; a client never needs to send one.
export const MAX_MESSAGE_BYTES = 0xffff;

const utf8 = new TextEncoder();
const utf8Lenient = new TextDecoder('utf-8', { fatal: false });

// Builds one message field by field.
export class MessageWriter {
  constructor() {
    this.bytes = [];
  }
  text(value) {
    const data = typeof value === 'string' ? utf8.encode(value) : value;
    const length = Math.min(data.length, 0xffff);
    this.bytes.push(Tag.text, length & 0xff, length >> 8);
    for (let i = 0; i < length; i++) this.bytes.push(data[i]);
    return this;
  }
  int(value) {
    const view = new DataView(new ArrayBuffer(4));
    view.setInt32(0, value | 0, true);
    return this.raw(Tag.int, view);
  }
  float(value) {
    const view = new DataView(new ArrayBuffer(4));
    view.setFloat32(0, value, true);
    return this.raw(Tag.float, view);
  }
  byte(value) {
    this.bytes.push(Tag.byte, value & 0xff);
    return this;
  }
  raw(tag, view) {
    this.bytes.push(tag, ...new Uint8Array(view.buffer));
    return this;
  }
  toBytes() {
    return Uint8Array.from(this.bytes);
  }
}

// The client's commands, field for field as the server reads them.
export const command = {
  move: (dx, dy) => new MessageWriter().text('Move').float(dx).float(dy).toBytes(),
  rotate: (angle) => new MessageWriter().text('Rotate').float(angle).toBytes(),
  playerMessage: (text) => new MessageWriter().text('PlayerMessage').text(text).toBytes(),
  respawn: (a, b) => new MessageWriter().text('Respawn').int(a).int(b).toBytes(),
  name: (name) => new MessageWriter().text('Name').text(name).toBytes(),
  fire: () => new MessageWriter().text('Fire').toBytes(),
};

// One packet of whole messages, each after its 16-bit length.
export function packPacket(messages) {
  const total = messages.reduce((sum, m) => sum + 2 + m.length, 0);
  const packet = new Uint8Array(total);
  let at = 0;
  for (const message of messages) {
    packet[at] = message.length & 0xff;
    packet[at + 1] = message.length >> 8;
    packet.set(message, at + 2);
    at += 2 + message.length;
  }
  return packet;
}

// Every message of a packet; a length that runs past the end ends the message with the packet.
export function splitPacket(packet) {
  const messages = [];
  let at = 0;
  while (at + 2 <= packet.length) {
    const length = packet[at] | (packet[at + 1] << 8);
    const end = Math.min(at + 2 + length, packet.length);
    messages.push(packet.subarray(at + 2, end));
    at = end;
  }
  return messages;
}

// A message's fields in order. Decoding stops at a truncated field or an unknown
// tag: what follows is not there, as the server's reader sees it.
export function decodeMessage(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const fields = [];
  let at = 0;
  while (at < bytes.length) {
    const tag = bytes[at];
    const left = bytes.length - at - 1;
    if (tag === Tag.text && left >= 2) {
      const length = view.getUint16(at + 1, true);
      if (left < 2 + length) break;
      const raw = bytes.subarray(at + 3, at + 3 + length);
      fields.push({ type: 'text', raw, value: utf8Lenient.decode(raw) });
      at += 3 + length;
    } else if (tag === Tag.int && left >= 4) {
      fields.push({ type: 'int', value: view.getInt32(at + 1, true) });
      at += 5;
    } else if (tag === Tag.float && left >= 4) {
      fields.push({ type: 'float', value: view.getFloat32(at + 1, true) });
      at += 5;
    } else if (tag === Tag.byte && left >= 1) {
      fields.push({ type: 'byte', value: bytes[at + 1] });
      at += 2;
    } else {
      break;
    }
  }
  return new Message(fields);
}

// Field reads by position that give the zero value for a missing field or one of another type.
export class Message {
  constructor(fields) {
    this.fields = fields;
  }
  get name() {
    return this.fields.length > 0 && this.fields[0].type === 'text' ? this.fields[0].value : '';
  }
  #typed(at, type, zero) {
    const field = this.fields[at];
    return field && field.type === type ? field.value : zero;
  }
  int(at) {
    return this.#typed(at, 'int', 0);
  }
  float(at) {
    return this.#typed(at, 'float', 0);
  }
  byte(at) {
    return this.#typed(at, 'byte', 0);
  }
  text(at) {
    return this.#typed(at, 'text', '');
  }
}

// Version 2, the compact layout a client asks for with ?v=2: a message is a one-byte
// index into this table, then its fields with no tags (ints as zigzag varints, floats
// as the same four bytes, bytes as one, texts as a varint length and every byte);
// packets frame messages behind varint lengths. Index 0 carries a version 1 message as
// it is. A row is [index, name ('' for the nameless room record), field types].
export const V2_TABLE = Object.freeze([
  [1, 'MOTD Goes Here', ''],
  [2, 'Left', 'i'],
  [3, 'ServerQuit', ''],
  [4, 'Moved', 'iff'],
  [5, 'Rotated', 'if'],
  [6, 'PlayerMessage', 'it'],
  [7, 'Alive', 'i'],
  [8, 'Joined', 'it'],
  [9, 'NewProjectile', 'ifff'],
  [10, 'ProjMove', 'iff'],
  [11, 'ProjDelete', 'i'],
  [12, 'Dead', 'ii'],
  [13, 'Health', 'i'],
  [14, 'LevelInfo', 'iiii'],
  [15, '', 'iiii'],
  [16, 'Player', 'itffbi'],
  [17, 'PlayersDone', ''],
  [18, 'ProjDone', ''],
  [32, 'Move', 'ff'],
  [33, 'Rotate', 'f'],
  [34, 'PlayerMessage', 't'],
  [35, 'Respawn', 'ii'],
  [36, 'Name', 't'],
  [37, 'Fire', ''],
]);
const ROWS = new Map(V2_TABLE.map(([index, name, types]) => [index, { name, types }]));
const FIELD_TYPE = { i: 'int', f: 'float', d: 'double', b: 'byte', t: 'text' };

// Builds one version 2 message: its index, then its fields.
class CompactWriter {
  constructor(index) {
    this.bytes = [index];
  }
  varint(value) {
    let v = value >>> 0;
    while (v >= 0x80) {
      this.bytes.push((v & 0x7f) | 0x80);
      v >>>= 7;
    }
    this.bytes.push(v);
    return this;
  }
  int(value) {
    return this.varint(((value | 0) << 1) ^ ((value | 0) >> 31));
  }
  float(value) {
    const view = new DataView(new ArrayBuffer(4));
    view.setFloat32(0, value, true);
    this.bytes.push(...new Uint8Array(view.buffer));
    return this;
  }
  text(value) {
    const data = typeof value === 'string' ? utf8.encode(value) : value;
    this.varint(data.length);
    for (const byte of data) this.bytes.push(byte);
    return this;
  }
  toBytes() {
    return Uint8Array.from(this.bytes);
  }
}

export const compactCommand = {
  move: (dx, dy) => new CompactWriter(32).float(dx).float(dy).toBytes(),
  rotate: (angle) => new CompactWriter(33).float(angle).toBytes(),
  playerMessage: (text) => new CompactWriter(34).text(text).toBytes(),
  respawn: (a, b) => new CompactWriter(35).int(a).int(b).toBytes(),
  name: (name) => new CompactWriter(36).text(name).toBytes(),
  fire: () => new CompactWriter(37).toBytes(),
};

// A varint at bytes[at] of at most most bytes: [value, next], or null when cut short or longer.
function readVarint(bytes, at, most = 5) {
  let value = 0;
  for (let i = 0; i < most && at + i < bytes.length; i++) {
    value += (bytes[at + i] & 0x7f) * 2 ** (7 * i);
    if ((bytes[at + i] & 0x80) === 0) return [value % 2 ** 32, at + i + 1];
  }
  return null;
}

export function packCompactPacket(messages) {
  const out = [];
  for (const message of messages) {
    const length = new CompactWriter(0).varint(message.length).bytes.slice(1);
    out.push(...length, ...message);
  }
  return Uint8Array.from(out);
}

// As splitPacket: a length past the end takes the rest; one over three bytes ends the packet.
export function splitCompactPacket(packet) {
  const messages = [];
  let at = 0;
  while (at < packet.length) {
    const length = readVarint(packet, at, 3);
    if (!length) break;
    const end = Math.min(length[1] + length[0], packet.length);
    messages.push(packet.subarray(length[1], end));
    at = end;
  }
  return messages;
}

// A version 2 message read as version 1's reader reads it: its name first, then its
// fields up to the first missing or broken one; an unknown index has no fields at all.
export function decodeCompactMessage(bytes) {
  return decodeRow(bytes, ROWS);
}

function decodeRow(bytes, rows) {
  if (bytes.length === 0) return new Message([]);
  if (bytes[0] === 0) return decodeMessage(bytes.subarray(1));
  const row = rows.get(bytes[0]);
  if (!row) return new Message([]);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const fields = row.name === '' ? [] : [{ type: 'text', raw: utf8.encode(row.name), value: row.name }];
  let at = 1;
  for (const type of row.types) {
    if (type === 'i' || type === 't') {
      const read = readVarint(bytes, at);
      if (!read) break;
      if (type === 'i') {
        fields.push({ type: 'int', value: unZigZag(read[0]) });
        at = read[1];
        continue;
      }
      if (bytes.length - read[1] < read[0]) break;
      const raw = bytes.subarray(read[1], read[1] + read[0]);
      fields.push({ type: 'text', raw, value: utf8Lenient.decode(raw) });
      at = read[1] + read[0];
    } else {
      const size = FIELD_BYTES[type];
      if (bytes.length - at < size) break;
      const value = type === 'f' ? view.getFloat32(at, true) : type === 'd' ? view.getFloat64(at, true) : bytes[at];
      fields.push({ type: FIELD_TYPE[type], value });
      at += size;
    }
  }
  return new Message(fields);
}

const unZigZag = (value) => (value >>> 1) ^ -(value & 1);
const FIELD_BYTES = { f: 4, d: 8, b: 1 };

// Version 3, asked for with ?v=3: version 2, but that other players' motion comes as
// numbered states (row 20) the page acknowledges (row 38), and projectiles are flown by
// the page (follow.js). A flown projectile's rows read as their version 1 message, with
// what the page flies it by in message.flight: its step and the tick of its first step
// (row 19), or the last tick it stepped (row 21). A state reads as a nameless message
// with message.state (readState).
export const STATE_ROW = 20;
const FLOWN = new Map([
  [19, { name: 'NewProjectile', types: 'ifffddi', fields: 5 }],
  [21, { name: 'ProjDelete', types: 'ii', fields: 2 }],
]);
const V3_ROWS = new Map([...ROWS, ...FLOWN]);

export function decodeV3Message(bytes) {
  if (bytes[0] === STATE_ROW) {
    const message = new Message([]);
    message.state = readState(bytes);
    return message;
  }
  const message = decodeRow(bytes, V3_ROWS);
  const flown = FLOWN.get(bytes[0]);
  if (flown) {
    // A field cut short counts as zero, as the server's own reader has it.
    const [a, b, c] = message.fields.splice(flown.fields).map((f) => f.value);
    message.flight = flown.fields === 5 ? { dx: a ?? 0, dy: b ?? 0, tick: c ?? 0 } : { tick: a ?? 0 };
  }
  return message;
}

const HAS_POSITION = 1;
const HAS_FACING = 2;
const WHOLE_POSITION = 4; // the position as two zigzag ints

// A state: { number, tick, poses: [{ id, hasPosition, hasFacing, x, y, facing }], whole },
// or null when it is no state or its number or tick is cut short. A pose cut short or
// with flags unknown here ends it, whole false: the poses before it are whole.
export function readState(bytes) {
  if (bytes.length === 0 || bytes[0] !== STATE_ROW) return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const number = readVarint(bytes, 1);
  const tick = number && readVarint(bytes, number[1]);
  if (!tick) return null;
  const state = { number: number[0], tick: unZigZag(tick[0]), poses: [], whole: true };
  let at = tick[1];
  const int = () => {
    const read = readVarint(bytes, at);
    if (!read) return null;
    at = read[1];
    return Math.fround(unZigZag(read[0]));
  };
  const float = () => {
    if (bytes.length - at < 4) return null;
    at += 4;
    return view.getFloat32(at - 4, true);
  };
  while (at < bytes.length) {
    const id = readVarint(bytes, at);
    const flags = id && id[1] < bytes.length ? bytes[id[1]] : null;
    if (flags === null || (flags & ~7) !== 0 || (flags & (WHOLE_POSITION | HAS_POSITION)) === WHOLE_POSITION) {
      state.whole = false;
      break;
    }
    at = id[1] + 1;
    const pose = { id: id[0] | 0, hasPosition: (flags & HAS_POSITION) !== 0, hasFacing: (flags & HAS_FACING) !== 0 };
    const read = flags & WHOLE_POSITION ? int : float;
    const [x, y] = pose.hasPosition ? [read(), read()] : [0, 0];
    const facing = pose.hasFacing ? float() : 0;
    if (x === null || y === null || facing === null) {
      state.whole = false;
      break;
    }
    state.poses.push(Object.assign(pose, { x, y, facing }));
  }
  return state;
}

const v3Command = { ...compactCommand, stateAck: (number) => new CompactWriter(38).varint(number).toBytes() };

// Everything a client needs of one wire version, by the version's number.
export function codecFor(version) {
  const compact = { command: compactCommand, packPacket: packCompactPacket, splitPacket: splitCompactPacket };
  if (version === 3) return { version: 3, query: '?v=3', ...compact, command: v3Command, decodeMessage: decodeV3Message };
  if (version === 2) return { version: 2, query: '?v=2', ...compact, decodeMessage: decodeCompactMessage };
  return { version: 1, query: '', command, packPacket, splitPacket, decodeMessage };
}
