# The three wire versions side by side, sourced by bench/run (it uses start, cleanup,
# cpu_ticks, percent, field, BOT_PIN, WARMUP, MEASURE and TICKS from there). For 16
# and 126 players, each version in turn on a fresh server: one player apart at a
# higher priority (its Move→Moved and the "ProjMove" cadence are the server's and the
# network's, not the crowded core's) and the rest as one bot process, every client
# speaking the version measured. Bytes are packet bytes as the clients received
# them (framing included, below ENet's and UDP's own headers). The kernel's share is
# the server's system time over its user and system time (/proc/PID/stat): most of
# it is sending datagrams.

WIRE_ROWS=()

# User and system clock ticks of the server so far.
wire_times() { awk '{print $14, $15}' "/proc/$SERVER_PID/stat"; }

run_wire() {
    local players version
    for players in 16 126; do
        for version in v1 v2 v3; do
            local flag="" out probe_out bots probe u0 s0 u1 s1 result probed user sys
            [ "$version" = v3 ] || flag="--$version"
            start build-release/skirmish-server --max-per-address 0
            out=$(mktemp); probe_out=$(mktemp)
            nice -n -10 $BOT_PIN build-release/skirmish-bot --bots 1 $flag --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$probe_out" &
            probe=$!
            sleep 0.5
            $BOT_PIN build-release/skirmish-bot --bots $((players - 1)) $flag --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$out" &
            bots=$!
            sleep "$WARMUP"
            read -r u0 s0 < <(wire_times); sleep "$MEASURE"; read -r u1 s1 < <(wire_times)
            wait "$bots" "$probe" || true
            result=$(grep '^RESULT' "$out" || echo "RESULT")
            probed=$(grep '^RESULT' "$probe_out" || echo "RESULT")
            rm -f "$out" "$probe_out"
            cleanup
            user=$((u1 - u0)); sys=$((s1 - s0))
            local per_player share
            per_player=$(awk -v a="$(field bytes_per_s "$result")" -v b="$(field bytes_per_s "$probed")" \
                -v n="$(field bots "$result")" 'BEGIN { printf "%.0f", (a + b) / (n + 1) }')
            share=$(awk -v u="$user" -v s="$sys" 'BEGIN { if (u + s > 0) printf "%.0f", 100 * s / (u + s); else print "n/a" }')
            WIRE_ROWS+=("| $players | $version | $per_player | $(percent $((user + sys)) "$MEASURE") | $share | $(field cadence_p50 "$probed") / $(field cadence_p99 "$probed") | $(field echo_p50 "$probed") / $(field echo_p99 "$probed") / $(field echo_max "$probed") | $(field live_max "$result") |")
        done
    done
}

wire_block() {
    echo "<!-- wire -->"
    echo "Wire versions (\`bench/run --wire\`, $(date -u +%Y-%m-%d)): 16 and 126 players (\`skirmish-bot\` at its default rates: 30 moves and rotations and 10 shots a second each), each version on a fresh server, every client speaking it (\`--v1\`, \`--v2\`; version 3 by default); the server on one core, the bots on the other, one player apart at a higher priority; warm-up ${WARMUP} s, ${MEASURE} s measured. Bytes are packet bytes received, framing included. Kernel share: the server's system time over its user and system time."
    echo
    echo "| Players | Version | Bytes/s each player receives | Server CPU (% of a core) | Kernel share of it (%) | ProjMove cadence ms p50 / p99 (player apart; version 3 flies them from states) | Move→Moved ms p50 / p99 / max (player apart) | Live projectiles (most one bot saw) |"
    echo "|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${WIRE_ROWS[@]}"
    echo
    echo "<!-- /wire -->"
}
