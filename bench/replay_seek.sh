# Seeking in a long recording, sourced by bench/run (it uses start, cleanup, field and
# BOT_PIN from there). 126 bots play for REPLAY_RECORD seconds while the server records;
# build-release/demo-repeat repeats that recording end to end to REPLAY_MINUTES; a server
# with no players serves it, and bench/seek_replay.py opens it on the replay page in
# headless Chromium and seeks to REPLAY_SEEKS moments across it as a viewer drags the
# seek bar. The goal: the world at any moment within 200 ms of the seek.

REPLAY_RECORD=${REPLAY_RECORD:-30}
REPLAY_MINUTES=${REPLAY_MINUTES:-30}
REPLAY_SEEKS=${REPLAY_SEEKS:-20}
REPLAY_SEED=${REPLAY_SEED:-1}
REPLAY_BLOCK=""

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

run_replay() {
    local recorded long out demo name result repeat source_ms played verdict="no"
    recorded=$(mktemp -d); long=$(mktemp -d); out=$(mktemp)
    start build-release/skirmish-server --max-per-address 0 --demo-dir "$recorded"
    $BOT_PIN build-release/skirmish-bot --bots 126 --warmup 0 --seconds "$REPLAY_RECORD" --quiet > "$out" || true
    played=$(grep '^RESULT' "$out" || echo "RESULT")
    cleanup # SIGTERM: the server writes its last block and closes the file
    demo=$(ls "$recorded"/*.demo | head -1)
    name=$(basename "$demo")
    source_ms=$(build-release/skirmish-demo info "$demo" | sed -n 's/^length_s: //p')
    repeat=$(build-release/demo-repeat "$demo" "$REPLAY_MINUTES" "$long/$name")
    build-release/skirmish-demo verify "$long/$name" > /dev/null

    start build-release/skirmish-server --demo-dir "$long"
    for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:23987/demos" && break; sleep 0.2; done
    $BOT_PIN /usr/bin/python3 bench/seek_replay.py http://127.0.0.1:23987 "$name" "$REPLAY_SEEKS" "$REPLAY_SEED" > "$out" 2>&1 || true
    cleanup
    result=$(grep '^RESULT' "$out" || echo "RESULT")
    local failed=""
    [ "$result" = RESULT ] && failed="The page gave no figures: $(grep -E 'Exception|Error|^the replay page' "$out" | tail -1)"

    local length_ms; length_ms=$(field length_ms "$repeat")
    if awk -v m="$(field max "$result")" 'BEGIN { exit !(m != "" && m <= 200) }'; then verdict="yes"; fi
    REPLAY_BLOCK=$(
        echo "<!-- replay-seek -->"
        echo "Seeking in a long recording (\`bench/seek_replay.py\`, $(date -u +%Y-%m-%d)): ${source_ms} s of 126 bots recorded by the server ($(mib "$(stat -c %s "$demo")") MiB), repeated end to end by \`build-release/demo-repeat\` into $(awk -v m="$length_ms" 'BEGIN { printf "%.1f", m / 60000 }') minutes ($(field blocks "$repeat") blocks, $(mib "$(stat -c %s "$long/$name")") MiB), served by a server with no players and opened at \`/replay?demo=NAME\` in headless Chromium on the bots' core; then $(field seeks "$result") seeks to moments drawn across the whole recording (seed $REPLAY_SEED), each set on the seek bar with its 'input' event, the page paused. *Rebuild* is the page's own \`lastSeekMs\`: from the seek to the world built at the moment, whatever the page reads first; *shown* runs from the event to the end of the first frame drawn at the new moment. The heap is the page's JavaScript heap once loaded."
        echo
        echo "| Recording | Loaded (navigation → first moment built) | Page heap | Seek rebuild ms p50 / p99 / max | Seek shown ms p50 / p99 / max | Within 200 ms |"
        echo "|---|---|---|---|---|---|"
        echo "| $(awk -v m="$length_ms" 'BEGIN { printf "%.1f min", m / 60000 }'), $(mib "$(field bytes "$result")") MiB fetched, $(field blocks "$result") blocks | $(field load_ms "$result") ms | $(field heap_mb "$result") MB | $(field rebuild_p50 "$result") / $(field rebuild_p99 "$result") / $(field rebuild_max "$result") | $(field p50 "$result") / $(field p99 "$result") / $(field max "$result") | $verdict (every seek shown by $(field max "$result") ms; $(field misses "$result") missed their moment, fewest players at one $(field players_min "$result")) |"
        echo
        echo "While the server recorded, the bots had $(field bots "$played") connected, $(field lost "$played") lost, Move→Moved p99 $(field echo_p99 "$played") ms, $(field msgs_per_s "$played") messages/s received in all."
        [ -n "$failed" ] && { echo; echo "$failed"; }
        echo
        echo "<!-- /replay-seek -->"
    )
    rm -rf "$recorded" "$long" "$out"
}
replay_block() { echo "$REPLAY_BLOCK"; }
