# What recording costs, sourced by bench/run (it uses start, cleanup, cpu_ticks, percent,
# field, BOT_PIN, WARMUP and MEASURE from there). 126 bots play against a server with
# --no-demos and then against one that records, three times each in turn; the recorder's share
# is the CPU the recording runs took beyond the others, as a part of theirs. Bytes a
# minute are the recording's growth over the measured seconds. The goal: at most 1 MB
# a minute and under 5 % of the server's CPU.

RECORDING_ROWS=()
RECORDING_NOTE=""

run_recording() {
    local cpu_off=0 cpu_on=0 grown=0 demos out t0 t1 size0 size1 demo recorded=0 length
    for round in 1 2 3; do
        for mode in off on; do
            demos=$(mktemp -d); out=$(mktemp)
            if [ "$mode" = off ]; then
                start build-release/skirmish-server --max-per-address 0 --no-demos
            else
                start build-release/skirmish-server --max-per-address 0 --demo-dir "$demos"
            fi
            $BOT_PIN build-release/skirmish-bot --bots 126 --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$out" &
            local bots=$!
            sleep "$WARMUP"
            demo=$(ls "$demos"/*.demo 2>/dev/null | head -1 || true)
            size0=$([ -n "$demo" ] && stat -c %s "$demo" || echo 0)
            t0=$(cpu_ticks); sleep "$MEASURE"; t1=$(cpu_ticks)
            size1=$([ -n "$demo" ] && stat -c %s "$demo" || echo 0)
            wait "$bots" || true
            cleanup
            if [ "$mode" = off ]; then
                cpu_off=$((cpu_off + t1 - t0))
            else
                cpu_on=$((cpu_on + t1 - t0)); grown=$((grown + size1 - size0))
                build-release/skirmish-demo verify "$demo" > /dev/null || RECORDING_NOTE="A recording did not verify. "
                length=$(build-release/skirmish-demo info "$demo" | sed -n 's/^length_s: //p')
                recorded=$(build-release/skirmish-demo info "$demo" | awk -v s="$length" '/^messages: / { printf "%.0f", $2 / s }')
            fi
            rm -rf "$demos" "$out"
        done
    done
    # The same for bots paced more like people: 10 moves and 2 shots a second each.
    local paced_size=0 paced_recorded=0
    demos=$(mktemp -d); out=$(mktemp)
    start build-release/skirmish-server --max-per-address 0 --demo-dir "$demos"
    $BOT_PIN build-release/skirmish-bot --bots 126 --move-rate 10 --fire-rate 2 --warmup "$WARMUP" --seconds "$MEASURE" --quiet > "$out" &
    local paced=$!
    sleep "$WARMUP"
    demo=$(ls "$demos"/*.demo 2>/dev/null | head -1 || true)
    size0=$(stat -c %s "$demo"); sleep "$MEASURE"; size1=$(stat -c %s "$demo")
    wait "$paced" || true
    cleanup
    length=$(build-release/skirmish-demo info "$demo" | sed -n 's/^length_s: //p')
    paced_recorded=$(build-release/skirmish-demo info "$demo" | awk -v s="$length" '/^messages: / { printf "%.0f", $2 / s }')
    paced_size=$(awk -v g=$((size1 - size0)) -v s="$MEASURE" 'BEGIN { printf "%.2f", g / s * 60 / 1e6 }')
    rm -rf "$demos" "$out"
    local per_message
    per_message=$(build-release/skirmish-micro-bench --benchmark_filter=BM_RecordStream --benchmark_min_time=0.5 2>/dev/null |
        awk '/^BM_RecordStream/ { print $4 }')
    RECORDING_ROWS+=("| $(percent $((cpu_off / 3)) "$MEASURE") | $(percent $((cpu_on / 3)) "$MEASURE") | $(awk -v a="$cpu_off" -v b="$cpu_on" 'BEGIN { printf "%.1f", 100 * (b - a) / b }') | $(awk -v r="$recorded" -v ns="$per_message" -v b="$cpu_on" -v hz="$TICKS" -v s="$MEASURE" 'BEGIN { printf "%.1f", 100 * r * ns * 1e-9 / (b / 3 / hz / s) }') | $recorded | $(awk -v g="$grown" -v s="$MEASURE" 'BEGIN { printf "%.2f", g / 3 / s * 60 / 1e6 }') |")
    RECORDING_NOTE+="The recorder's own cost per message, from \`BM_RecordStream\`: ${per_message} ns. Bots paced more like people (\`--move-rate 10 --fire-rate 2\`): ${paced_recorded} messages recorded a second, ${paced_size} MB a minute."
}
recording_block() {
    echo "<!-- recording -->"
    echo "Recordings ($(date -u +%Y-%m-%d)): 126 bots (as in the table above) against a server with \`--no-demos\`, then one recording, three times each in turn; warm-up ${WARMUP} s, ${MEASURE} s measured. *Share by A/B* is the CPU the recording runs took beyond the others, as a part of theirs (noisy: runs differ by a few percent); *share by cost* is the messages recorded a second times the recorder's cost per message, as a part of the server's CPU."
    echo
    echo "| Server CPU without recording (% of a core) | with recording | Recorder's share by A/B (% of the server's) | by cost (%) | Messages recorded/s | Recording MB/min |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${RECORDING_ROWS[@]}"
    echo
    echo "$RECORDING_NOTE"
    echo
    echo "<!-- /recording -->"
}
