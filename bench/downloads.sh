#!/usr/bin/env bash
# Players while a crowd downloads recordings: 64 curl downloads of a 300 MB recording
# from 8 addresses other than the players' (8 each, the per-address cap), again and again, while 8 ENet and
# 8 WebSocket bots measure Move→Moved. Prints one Markdown row per transport.
# usage: bench/downloads.sh BUILD_DIR [SECONDS]
set -euo pipefail
BUILD=${1:-build-release}
SECONDS_MEASURED=${2:-20}
PORT=${PORT:-24900}
DIR=$(mktemp -d)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$DIR"
}
trap cleanup EXIT
mkdir "$DIR/demos"
head -c 300000000 /dev/zero > "$DIR/demos/20200101T000000Z-1.demo"
"$BUILD/skirmish-server" --players 20 --width 64 --height 64 --rooms 8 --weapons 20 \
    --port "$PORT" --demo-dir "$DIR/demos" --ban-file "$DIR/bans.txt" < /dev/null > "$DIR/console" 2>&1 &
PIDS+=($!)
sleep 1
download() { # loops one download from one address until killed
    while :; do curl -s -o /dev/null --interface "127.0.0.$1" "http://127.0.0.1:$PORT/demos/20200101T000000Z-1.demo" || sleep 0.1; done
}
if [ "${DOWNLOADS:-64}" -gt 0 ]; then
    for i in $(seq 0 $(( ${DOWNLOADS:-64} - 1 ))); do download $(( i % 8 + 2 )) & PIDS+=($!); done
fi
sleep 2
"$BUILD/skirmish-bot" --quiet --bots 8 --seconds "$SECONDS_MEASURED" --port "$PORT" > "$DIR/enet" &
ENET=$!
"$BUILD/skirmish-bot" --quiet --bots 8 --seconds "$SECONDS_MEASURED" --port "$PORT" --websocket > "$DIR/ws" &
WS=$!
wait $ENET $WS || true
for t in enet ws; do
    r=$(grep RESULT "$DIR/$t" || echo "RESULT none")
    echo "| ${DOWNLOADS:-64} downloads | $t | $(echo "$r" | tr ' ' '\n' | grep -E '^(bots|lost|echo_p50|echo_p99|echo_max)=' | tr '\n' ' ') |"
done
