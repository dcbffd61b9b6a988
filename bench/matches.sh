# How many matches one machine holds, sourced by bench/run (it uses cpu_ticks' clock
# ticks, percent, field, WARMUP, MEASURE and SEED from there). For each M,
# M servers on ports of their own, each a match of eight of its own bots and one
# outside player (skirmish-bot, one move and one shot a second) measuring the gap
# between two "ProjMove" of one projectile: the tick cadence a player sees. With 10
# seats and --bots 9, the observer and eight bots make the nine. (A spectator would
# see the spectators' feed, gathered for 16 ms, not the tick; and the observer speaks
# version 2: over version 3 it flies projectiles itself, a state's worth at a time.)
# Servers and observers share both cores as they like. The figure: the largest M
# whose median match keeps its cadence p99 at or under 20 ms (the worst of M matches
# is shown too; it rises with M by sampling alone).

MATCH_ROWS=()
MATCH_NOTE=""
MATCH_PIDS=()

stop_matches() {
    for pid in "${MATCH_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${MATCH_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    MATCH_PIDS=()
}

# Clock ticks all the match servers have used so far.
match_ticks() {
    local total=0 pid
    for pid in "${MATCH_PIDS[@]}"; do
        total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)))
    done
    echo "$total"
}

run_matches() {
    local base=24100 state best=0
    state=$(mktemp -d)
    trap 'stop_matches; rm -rf "$state"' RETURN
    for M in ${MATCH_COUNTS:-1 8 32 64 96 128}; do
        local i outs=() watchers=() t0 t1 worst=0 median all=() gone=0
        for ((i = 0; i < M; i++)); do
            build-release/skirmish-server --seed "$SEED" --players 10 --width 32 --height 24 --rooms 6 --weapons 12 \
                --port $((base + i)) --no-demos --bots 9 --ban-file "$state/bans-$i.txt" \
                < /dev/null > /dev/null 2>&1 &
            MATCH_PIDS+=($!)
        done
        sleep 2
        for ((i = 0; i < M; i++)); do
            outs+=("$state/watch-$i")
            build-release/skirmish-bot --bots 1 --v2 --move-rate 1 --fire-rate 1 --port $((base + i)) --warmup "$WARMUP" \
                --seconds "$MEASURE" --quiet > "$state/watch-$i" 2>&1 &
            watchers+=($!)
        done
        sleep "$WARMUP"
        t0=$(match_ticks); sleep "$MEASURE"; t1=$(match_ticks)
        for pid in "${watchers[@]}"; do wait "$pid" || true; done
        stop_matches
        for out in "${outs[@]}"; do
            local result p99
            result=$(grep '^RESULT' "$out" || echo "RESULT")
            p99=$(field cadence_p99 "$result")
            if [ -z "$p99" ] || [ "$(field bots "$result")" != 1 ]; then gone=$((gone + 1)); continue; fi
            all+=("$p99")
        done
        worst=$(printf '%s\n' "${all[@]}" | sort -g | tail -1)
        median=$(printf '%s\n' "${all[@]}" | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
        local ok=no
        if [ "$gone" = 0 ] && awk -v w="${median:-999}" 'BEGIN { exit !(w <= 20) }'; then ok=yes; best=$M; fi
        MATCH_ROWS+=("| $M | ${median:-–} | ${worst:-–} | $(percent $((t1 - t0)) "$MEASURE") | $(awk -v t=$((t1 - t0)) -v hz="$TICKS" -v s="$MEASURE" -v m="$M" 'BEGIN { printf "%.2f", 100 * t / hz / s / m }') | $gone | $ok |")
        rm -f "${outs[@]}"
    done
    MATCH_NOTE="The largest M whose median match kept its cadence p99 at or under 20 ms: **$best**."
}

matches_block() {
    echo "<!-- matches -->"
    echo "Matches per machine (\`bench/run --matches\`, $(date -u +%Y-%m-%d), $(nproc) cores): M servers, each \`--players 10 --bots 9\`: eight of its own bots (which walk, aim and fire ten times a second) and one outside player (\`skirmish-bot --v2\`, a move and a shot a second) measuring the gap between two \"ProjMove\" of one projectile; servers and observers share the cores; warm-up ${WARMUP} s, ${MEASURE} s measured. A movement tick is due every 17 ms."
    echo
    echo "| Matches | Cadence p99 ms: median match | worst match | All servers' CPU (% of a core) | CPU per match (% of a core) | Observers that saw nothing | Median p99 ≤ 20 ms |"
    echo "|---|---|---|---|---|---|---|"
    printf '%s\n' "${MATCH_ROWS[@]}"
    echo
    echo "$MATCH_NOTE"
    echo
    echo "<!-- /matches -->"
}
