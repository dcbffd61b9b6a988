// States over a WebRTC data channel: unordered and never resent, so a lost state costs one
// update, not the stall a TCP stream takes to resend it. The WebSocket carries the offer
// and the answer, everything else the game says, and states again whenever the channel
// is not open. Datagrams are a bonus: anything going wrong ends the try for this socket,
// and play goes on over the WebSocket as if it had never been made.

// Long enough for a slow handshake, short enough that a page the server cannot reach
// does not wait long for a channel that will never open.
export const OPEN_WITHIN_MS = 5000;
export const CHANNEL_LABEL = 'state';
const SOCKET_OPEN = 1; // WebSocket.OPEN, which Node has no global for

// Tries datagrams once socket opens (once per socket: a new socket tries afresh). The
// link's status is 'off' (not tried yet, given up, or no WebRTC here), 'trying' or 'open';
// its send(bytes) goes on the channel while it is open, else on the socket; its
// signalled(text) takes the socket's text frames. packet(bytes, now) takes each packet
// the channel brings, as the socket's binary frames are taken.
export function tryDatagrams(socket, packet, {
  RTCPeerConnection = globalThis.RTCPeerConnection,
  setTimeout = globalThis.setTimeout,
  clearTimeout = globalThis.clearTimeout,
  now = () => performance.now(),
} = {}) {
  const link = { status: 'off', signalled: () => {}, send: (bytes) => sendOnSocket(socket, bytes) };
  if (!RTCPeerConnection) return link;
  let pc = null;
  let channel = null;
  let timer = null;

  const giveUp = () => {
    clearTimeout(timer);
    if (channel) channel.onopen = channel.onmessage = channel.onclose = channel.onerror = null;
    if (pc) pc.onconnectionstatechange = null;
    pc?.close();
    pc = channel = null;
    link.status = 'off';
  };

  const start = async () => {
    link.status = 'trying';
    timer = setTimeout(giveUp, OPEN_WITHIN_MS);
    try {
      const mine = (pc = new RTCPeerConnection());
      channel = pc.createDataChannel(CHANNEL_LABEL, { ordered: false, maxRetransmits: 0 });
      channel.binaryType = 'arraybuffer';
      channel.onopen = () => {
        clearTimeout(timer);
        link.status = 'open';
      };
      channel.onmessage = (event) => {
        if (typeof event.data !== 'string') packet(new Uint8Array(event.data), now());
      };
      channel.onclose = channel.onerror = giveUp;
      pc.onconnectionstatechange = () => pc.connectionState === 'failed' && giveUp();
      const offer = await pc.createOffer();
      await pc.setLocalDescription(offer);
      if (pc !== mine) return; // given up while the offer was made
      // No wait for gathering and no trickle: the server is ICE-lite on a public address
      // and reaches the page through the checks the page makes towards it.
      sendOnSocket(socket, JSON.stringify({ offer: offer.sdp }));
    } catch {
      giveUp();
    }
  };

  link.signalled = (text) => {
    if (!pc) return;
    let said = null;
    try {
      said = JSON.parse(text);
    } catch {
      // a word the page cannot read ends the try as an error would
    }
    if (typeof said?.answer === 'string') pc.setRemoteDescription({ type: 'answer', sdp: said.answer }).catch(giveUp);
    else giveUp();
  };

  link.send = (bytes) => {
    if (link.status === 'open' && channel.readyState === 'open') {
      try {
        channel.send(bytes);
        return;
      } catch {
        giveUp(); // the channel broke before it said so
      }
    }
    sendOnSocket(socket, bytes);
  };

  socket.addEventListener('open', start);
  socket.addEventListener('close', giveUp);
  return link;
}

function sendOnSocket(socket, bytes) {
  if (socket.readyState === SOCKET_OPEN) socket.send(bytes);
}
