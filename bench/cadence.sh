# The movement tick's cadence on the wire, sourced by bench/run (it uses start, cleanup,
# cpu_ticks, percent, field, BOT_PIN, WARMUP, MEASURE and TICKS from there). For 16 and
# 126 players, version 1 and version 2, each on a fresh server pinned to core 0: the
# bots on core 1, one player apart at a higher priority (its Move→Moved), and
# build-release/tick-capture on loopback taking the time the kernel saw each datagram
# carrying a tick's "ProjMove" leave the server. Version 2 carries no message name, so
# in its runs one of the players speaks version 1 for the capture to find the ticks in
# (a spectator would not do: its feed is packed for several milliseconds).

CADENCE_ROWS=()

run_cadence() {
    local players version
    for players in 16 126; do
        for version in v1 v2; do
            local out probe_out capture_out watch_out bots probe capture t0 t1 result probed captured
            start build-release/skirmish-server --max-per-address 0
            out=$(mktemp); probe_out=$(mktemp); capture_out=$(mktemp); watch_out=$(mktemp)
            nice -n -10 $BOT_PIN build-release/skirmish-bot --bots 1 "--$version" --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$probe_out" &
            probe=$!
            sleep 0.5
            local others=$((players - 1)) watcher=""
            if [ "$version" = v2 ]; then
                others=$((players - 2))
                $BOT_PIN build-release/skirmish-bot --bots 1 --v1 --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$watch_out" &
                watcher=$!
            fi
            $BOT_PIN build-release/skirmish-bot --bots "$others" "--$version" --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$out" &
            bots=$!
            sleep "$WARMUP"
            $BOT_PIN build-release/tick-capture --seconds "$MEASURE" > "$capture_out" &
            capture=$!
            t0=$(cpu_ticks); sleep "$MEASURE"; t1=$(cpu_ticks)
            wait "$capture" "$bots" "$probe" $watcher || true
            result=$(grep '^RESULT' "$out" || echo "RESULT")
            probed=$(grep '^RESULT' "$probe_out" || echo "RESULT")
            captured=$(grep '^RESULT' "$capture_out" || echo "RESULT")
            rm -f "$out" "$probe_out" "$capture_out" "$watch_out"
            cleanup
            CADENCE_ROWS+=("| $players | $version | $(percent $((t1 - t0)) "$MEASURE") | $(field gap_p50 "$captured") / $(field gap_p99 "$captured") / $(field gap_max "$captured") | $(field over20_pct "$captured") | $(field echo_p50 "$probed") / $(field echo_p99 "$probed") / $(field echo_max "$probed") | $(field destinations "$captured") | $(field live_max "$result") |")
        done
    done
}

cadence_block() {
    echo "<!-- cadence -->"
    echo "Tick cadence on the wire (\`bench/run --cadence\`, $(date -u +%Y-%m-%d), $(git rev-parse --short HEAD)): 16 and 126 players (\`skirmish-bot\` at its default rates), each version on a fresh server pinned to core 0, the bots on core 1, one player apart at a higher priority; \`build-release/tick-capture\` takes the kernel's time of every datagram leaving the server that carries a tick's \"ProjMove\" (in version 2 runs one player speaks version 1 for it to read); to each destination, a pause over 4 ms starts a new tick, and a gap is the time between two tick starts. A tick is due 17 ms after the last one ended. Warm-up ${WARMUP} s, ${MEASURE} s measured.${CADENCE_NOTE:+ $CADENCE_NOTE}"
    echo
    echo "| Players | Version | Server CPU (% of a core) | Tick gap on the wire ms p50 / p99 / max | Gaps over 20 ms (%) | Move→Moved ms p50 / p99 / max (player apart) | Destinations captured | Live projectiles (most one bot saw) |"
    echo "|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${CADENCE_ROWS[@]}"
    echo
    echo "<!-- /cadence -->"
}
