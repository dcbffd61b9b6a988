#!/bin/sh
# The lossy link end to end: 400 UDP datagrams from namespace B to A at 50 % loss
# arrive about half, and a ping-pong takes at least the two delays of 50 ms. Skipped
# (77) without root, /dev/net/tun, ip or python3.
# Usage: lossy_link.sh SCRIPT LINK_BINARY
[ "$(id -u)" = 0 ] && [ -c /dev/net/tun ] && command -v ip >/dev/null && command -v python3 >/dev/null || exit 77
unshare -n true 2>/dev/null || exit 77
peer=$(mktemp) || exit 1
trap 'rm -f "$peer"' EXIT
cat > "$peer" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
if sys.argv[1] == "a":
    s.setsockopt(socket.SOL_SOCKET, 33, 1 << 22)  # SO_RCVBUFFORCE: a slow reader loses nothing
    s.bind(("10.77.0.1", 47700))
    count = 0
    while True:
        data, sender = s.recvfrom(100)
        count += data == b"d"
        if data != b"d":
            s.sendto(str(count).encode() if data.startswith(b"count?") else data, sender)
    sys.exit(0)
s.settimeout(0.3)
# Each try its own question, so a late answer to an earlier one is never taken for it.
def ask(what):
    for attempt in range(60):
        question = what + b"%d" % attempt
        sent = time.monotonic()
        s.sendto(question, ("10.77.0.1", 47700))
        try:
            while True:
                data, _ = s.recvfrom(100)
                if data == question or (what == b"count?" and data.isdigit()):
                    return data, time.monotonic() - sent
        except socket.timeout:
            pass
    sys.exit("no answer through the link")
# The first answer also says that A listens: nothing is sent to it before.
rtt = ask(b"ping")[1]
for _ in range(400):
    s.sendto(b"d", ("10.77.0.1", 47700))
    time.sleep(0.001)
arrived = int(ask(b"count?")[0])
print(f"{arrived} of 400 arrived; round trip {rtt * 1000:.0f} ms")
sys.exit(0 if 120 <= arrived <= 280 and rtt >= 0.1 else 1)
PY
timeout 20 "$1" --link "$2" --loss 50 --delay 50 --seed 3 -- python3 "$peer" a -- python3 "$peer" b
