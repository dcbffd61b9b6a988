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
