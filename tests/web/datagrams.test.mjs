// Version 3 states over a data channel, with the WebSocket as the fallback that never loses the player.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { codecFor } from '../../web/codec.js';
import { tryDatagrams } from '../../web/datagrams.js';
import { newGame, openLink, statePath } from '../../web/game.js';

const settle = () => new Promise(setImmediate);
globalThis.location = { protocol: 'http:', host: 'skirmish.test', search: '' };
globalThis.WebSocket = class extends EventTarget {
  sent = [];
  send(data) { this.sent.push(data); }
  become(readyState, type) { this.readyState = readyState; this.dispatchEvent(new Event(type)); }
};
// Peer connections that do nothing by themselves: tests open, close and fail them by hand.
function fakeRtc(createOffer = async () => ({ type: 'offer', sdp: 'v=0 offer' }), made = []) {
  return { made, RTCPeerConnection: class {
    constructor(...config) { made.push(Object.assign(this, { config, createOffer })); }
    createDataChannel(...as) { return (this.channel = { as, sent: [], send: (d) => this.channel.sent.push(d) }); }
    async setLocalDescription() {}
    async setRemoteDescription(answer) { this.answer = answer; }
    close() { this.closed = true; }
    openChannel() { this.channel.readyState = 'open'; this.channel.onopen(); }
  } };
}
const packed = (...messages) => codecFor(3).packPacket(messages.map((bytes) => Uint8Array.from(bytes))).buffer;
const state = (number) => packed([20, number, 0, 2, 5, 20, 40]); // at tick 0, player 2 at (10, 20)
const acks = (sent) => sent.filter((d) => typeof d !== 'string').map((d) => [...new Uint8Array(d)].join());

test('a version 3 page offers a "state" channel as text, takes states from it as from the socket and acks on it while open', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const [rtc, codec, split, heard, game] = [fakeRtc(), codecFor(3), [], [], newGame('Me')];
  globalThis.RTCPeerConnection = rtc.RTCPeerConnection;
  const spied = { ...codec, splitPacket: (bytes) => split.push(bytes) && codec.splitPacket(bytes) };
  const socket = openLink(game, '/ws', (m) => heard.push(m), spied);
  socket.become(1, 'open');
  await settle();
  const [pc] = rtc.made;
  for (const data of [packed([8, 4, 1, 65]), '{"answer":"v=0 answer"}', state(1)]) socket.onmessage({ data }); // "Joined" 2 "A", the answer, a state
  const trying = statePath(game);
  pc.openChannel();
  t.mock.timers.tick(5000); // an open channel is kept past the time it had to open in
  pc.channel.onmessage({ data: state(2) });
  socket.onmessage({ data: state(2) }); // the same state, late on the socket
  const open = statePath(game);
  pc.channel.readyState = 'closed';
  pc.channel.onclose();
  socket.onmessage({ data: state(3) });
  assert.deepEqual([pc.config, pc.channel.as, pc.channel.binaryType, pc.answer, socket.sent[0], trying, open, statePath(game)],
    [[], ['state', { ordered: false, maxRetransmits: 0 }], 'arraybuffer', { type: 'answer', sdp: 'v=0 answer' },
      '{"offer":"v=0 offer"}', 'WebSocket', 'datagrams', 'WebSocket']);
  assert.deepEqual([heard.length, acks(socket.sent), acks(pc.channel.sent), split.length, pc.closed], [4, ['2,38,1', '2,38,3'], ['2,38,2'], 5, true]);
});

test('an error, a timeout, a failure or a closed socket closes the peer connection and leaves acks to the socket', async ({ mock }) => {
  mock.timers.enable({ apis: ['setTimeout'] });
  const cases = {
    'an error answer': ({ link }) => link.signalled('{"error":"no datagrams here"}'),
    'an unreadable answer': ({ link }) => link.signalled('answer'),
    'a refused answer': ({ link, pc }) => { pc.setRemoteDescription = () => Promise.reject(); link.signalled('{"answer":"v"}'); },
    'no open channel within 5 s': ({ link }) => { mock.timers.tick(4999); assert.equal(link.status, 'trying'); mock.timers.tick(1); },
    'a failed connection': ({ pc }) => { pc.connectionState = 'failed'; pc.onconnectionstatechange(); },
    'a closed socket': ({ socket }) => socket.become(3, 'close'),
    'a channel error': ({ pc }) => { pc.openChannel(); pc.channel.onerror(); },
    'a channel that throws': ({ link, pc }) => { pc.openChannel(); pc.channel.send = () => { throw new Error(); }; link.send('lost'); },
    'a thrown offer': () => {},
  };
  for (const [name, fail] of Object.entries(cases)) {
    const [socket, rtc] = [new WebSocket(), fakeRtc(name === 'a thrown offer' ? () => Promise.reject() : undefined)];
    const link = tryDatagrams(socket, () => {}, rtc);
    socket.become(1, 'open');
    await settle();
    const pc = rtc.made[0];
    fail({ socket, link, pc });
    await settle();
    pc.channel.readyState = 'open'; // too late: nothing more goes on it
    link.send('ack');
    assert.deepEqual([pc.closed, link.status, pc.channel.sent, socket.sent.at(-1) === 'ack'], [true, 'off', [], name !== 'a closed socket'], name);
  }
});

test('version 1 and 2 pages, and browsers without WebRTC, never make a peer connection', async () => {
  for (const [version, rtc] of [[1, fakeRtc()], [2, fakeRtc()], [3, { made: [] }]]) {
    globalThis.RTCPeerConnection = rtc.RTCPeerConnection;
    const [heard, socket] = [[], openLink(newGame('Me'), '/ws', (m) => heard.push(m), codecFor(version))];
    socket.become(1, 'open');
    socket.onmessage({ data: '{"answer":"v=0"}' });
    await settle();
    assert.deepEqual([rtc.made.length, socket.sent, heard], [0, [], []], `version ${version}`);
  }
});
