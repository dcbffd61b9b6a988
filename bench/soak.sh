#!/usr/bin/env bash
# A long run of churn against one server, for leaks and slow growth: every cycle
# outside bots join and leave (people, so recordings start), spectators come and go,
# recordings are downloaded, a ban is added and lifted, SIGHUP reloads the bans and
# the page is loaded in headless Chromium; after each cycle's players have gone, a
# quiet spell longer than a recording's empty end lets the recording rotate under
# --demo-keep. RSS, descriptors, threads, the demo folder's size and the players'
# Move→Moved p99 are printed at every cycle, as one table row. The downloads and the
# browser run niced: they are load on the server, not a rival for the machine's cores.
# usage: bench/soak.sh BUILD_DIR MINUTES
set -euo pipefail
BUILD=${1:-build-release}
MINUTES=${2:-60}
PORT=${PORT:-24950}
DIR=$(mktemp -d)
SERVER=""
cleanup() {
    [ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$DIR"
}
trap cleanup EXIT
mkdir "$DIR/demos"
"$BUILD/skirmish-server" --players 32 --width 64 --height 64 --rooms 8 --weapons 20 \
    --port "$PORT" --demo-dir "$DIR/demos" --demo-keep 2 --bots 4 --ban-file "$DIR/bans.txt" \
    --admin-socket "$DIR/admin" < /dev/null > "$DIR/console" 2>&1 &
SERVER=$!
sleep 1
BROWSER=$(command -v chromium || command -v chromium-browser || true)
sample() { # minute, then the server's figures
    local rss fds threads size
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$SERVER/status")
    threads=$(awk '/Threads/ {print $2}' "/proc/$SERVER/status")
    fds=$(ls "/proc/$SERVER/fd" | wc -l)
    size=$(du -sk "$DIR/demos" | cut -f1)
    echo "| $1 | $((rss / 1024)) MiB | $fds | $threads | $size KiB | $2 | $3 |"
}
echo "| minute | RSS | descriptors | threads | demo folder | recordings | Move→Moved p99 (ms) |"
echo "|---|---|---|---|---|---|---|"
sample 0 0 -
START=$(date +%s)
END=$((START + MINUTES * 60))
cycle=0
while [ "$(date +%s)" -lt "$END" ]; do
    cycle=$((cycle + 1))
    # 60 s of churn: two waves of players, spectators throughout.
    "$BUILD/skirmish-bot" --quiet --bots 4 --watch --seconds 60 --port "$PORT" > /dev/null 2>&1 &
    WATCH=$!
    worst=0
    for wave in 1 2; do
        "$BUILD/skirmish-bot" --quiet --bots 6 --seconds 25 --port "$PORT" > "$DIR/enet" 2>&1 &
        E=$!
        "$BUILD/skirmish-bot" --quiet --bots 4 --seconds 25 --port "$PORT" --websocket > "$DIR/ws" 2>&1 &
        W=$!
        sleep 5
        for name in $(curl -s "http://127.0.0.1:$PORT/demos" | grep -o '/demos/[0-9TZ-]*\.demo' | sort -u); do
            nice -n 10 curl -s -o /dev/null "http://127.0.0.1:$PORT$name" &
        done
        build_admin="$BUILD/skirmish-admin"
        "$build_admin" "$DIR/admin" ban 10.20.30.$cycle 5 soak > /dev/null || true
        kill -HUP "$SERVER"
        [ -n "$BROWSER" ] && nice -n 10 timeout 20 "$BROWSER" --headless --no-sandbox --disable-gpu --dump-dom \
            "http://127.0.0.1:$PORT/?name=Soak" > /dev/null 2>&1 || true
        "$build_admin" "$DIR/admin" unban 10.20.30.$cycle > /dev/null || true
        wait $E $W || true
        for f in "$DIR/enet" "$DIR/ws"; do
            p=$(grep -o 'echo_p99=[0-9.]*' "$f" | cut -d= -f2 || true)
            worst=$(awk -v a="$worst" -v b="${p:-0}" 'BEGIN {print (b > a) ? b : a}')
        done
    done
    wait $WATCH || true
    recordings=$(ls "$DIR/demos" | wc -l)
    sample "$(( ($(date +%s) - START) / 60 ))" "$recordings" "$worst"
    # No people for longer than a recording's empty end: it ends, the next one rotates.
    sleep 65
done
grep -c "Recording stopped" "$DIR/console" | sed 's/^/recordings stopped by a failure: /'
