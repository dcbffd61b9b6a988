#!/usr/bin/env bash
# What one loud client and a vanishing crowd cost the honest players (build/under-attack
# --case loud|vanish): the two honest players' Move→Moved, what each is sent a second,
# and, beside the loud client, whether an honest browser reading 1 Mbit/s is dropped;
# while 64 addresses in 8 subnets hold every web slot, how soon a visitor gets the page.
# Prints one Markdown row per case.
# usage: bench/fairness.sh SERVER_BUILD_DIR TOOL_BUILD_DIR LABEL [SECONDS]
set -euo pipefail
SERVER_BUILD=${1:?server build folder}
TOOL_BUILD=${2:?under-attack build folder}
LABEL=${3:?label of the rows}
MEASURE=${4:-12}
PORT=${PORT:-24970}
if [ "$(nproc)" -ge 2 ]; then SERVER_PIN="taskset -c 0"; TOOL_PIN="taskset -c 1"; else SERVER_PIN=""; TOOL_PIN=""; fi
SERVER=""
cleanup() { [ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null; wait 2>/dev/null || true; SERVER=""; }
trap cleanup EXIT
field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2"; }
moves() { echo "$(field "$1_p50" "$2") / $(field "$1_p99" "$2") / $(field "$1_max" "$2") ($(field "$1_missing" "$2") of $(field "$1_moves" "$2") missing)"; }

# name | server flags | tool flags
CASES=(
    "loud: 1,000 chat lines/s, no bots|--bots 0|--case loud"
    "subnets: 64 addresses in 8 subnets hold every web slot|--bots 0|--case subnets"
    "none: 100 bots, no crowd|--bots 100|--case none"
    "vanish: 256 spectators, 100 bots|--bots 100 --max-spectators-per-address 0|--case vanish --crowd 256"
    "vanish: 1,500 spectators, 100 bots|--bots 100 --max-spectators 1500 --max-spectators-per-address 0|--case vanish --crowd 1500"
    "vanish: 256 WebSocket spectators, 100 bots|--bots 100 --max-spectators-per-address 0|--case vanish --crowd 256 --crowd-websockets"
    "vanish: 25 players, 100 bots|--bots 100 --max-per-address 0|--case vanish --crowd 25 --crowd-players"
)
for c in "${CASES[@]}"; do
    IFS='|' read -r name server_flags tool_flags <<< "$c"
    # shellcheck disable=SC2086 # the flags are words
    $SERVER_PIN "$SERVER_BUILD/skirmish-server" --players 127 --width 64 --height 64 --rooms 8 --weapons 20 \
        --port "$PORT" --no-demos $server_flags < /dev/null > /dev/null 2>&1 &
    SERVER=$!
    sleep 1
    # shellcheck disable=SC2086
    result=$($TOOL_PIN "$TOOL_BUILD/under-attack" --port "$PORT" --warmup 3 --seconds "$MEASURE" $tool_flags | grep '^RESULT' || echo RESULT)
    cleanup
    extra=""
    [[ "$tool_flags" == *loud* ]] && extra="reader dropped: $(field reader_dropped "$result"), read $(field reader_bytes "$result") bytes"
    [[ "$tool_flags" == *vanish* ]] && extra="crowd connected: $(field crowd_connected "$result")"
    [[ "$tool_flags" == *subnets* ]] && extra="GET / from another subnet p50 / p99: $(field get_p50 "$result") / $(field get_p99 "$result") ms ($(field get_ok "$result") answered within 2 s)"
    echo "| $name | $LABEL | $(moves enet "$result") | $(moves ws "$result") | $(field enet_kBps "$result") / $(field ws_kBps "$result") kB/s | $extra |"
    PORT=$((PORT + 1))
done
