# What browsers on data channels cost the server beside as many ENet clients, sourced by
# bench/run (it uses start, cleanup, cpu_ticks, percent, field and SERVER_PID from there).
# A server with eight in-server bots, so that there is motion to send, and either N ENet
# spectators at version 3 (build-release/skirmish-bot --watch, which acknowledges each
# state) or N browsers (build-release/browser-crowd: a WebSocket at /watch?v=3 each, a
# data channel each, every state acknowledged on it). The crowd on the other core; the
# server's CPU over MEASURE s after WARMUP s, once all N are in. Goal: the browsers cost
# the server no more than the ENet clients, within 25 %. N is 500, and 250 beside it: on
# two cores 500 browsers fill both the server's core and the crowd's.

BROWSER_COUNTS=${BROWSER_COUNTS:-250 500}
BROWSER_ROWS=()
BROWSER_NOTE=""

# A server's metric, 0 when it does not answer.
browsers_metric() {
    curl -s --max-time 2 "http://127.0.0.1:23987/metrics" | awk -v m="$1" '$1 == m { print $2; found = 1 } END { if (!found) print 0 }'
}
# Waits up to $2 s for the server to count $1 spectators; false when it never did.
browsers_wait_spectators() {
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt "$deadline" ]; do
        [ "$(curl -s --max-time 2 http://127.0.0.1:23987/spectators)" = "$1" ] && return 0
        sleep 0.2
    done
    return 1
}

run_browsers() {
    local kind out crowd t0 t1 c0 c1 s0 s1 result cpu crowd_cpu channels in BROWSERS ratio
    local -A cpu_of
    BROWSER_LOAD=$(cut -d' ' -f1 /proc/loadavg)
    for BROWSERS in $BROWSER_COUNTS; do
        for kind in enet datachannel; do
            start build-release/skirmish-server --bots 8 --max-per-address 0 --max-spectators 1000 --max-spectators-per-address 0
            out=$(mktemp)
            if [ "$kind" = enet ]; then
                $BOT_PIN build-release/skirmish-bot --watch --bots "$BROWSERS" --warmup "$WARMUP" --seconds $((MEASURE + 3)) --quiet > "$out" &
            else
                $BOT_PIN build-release/browser-crowd --browsers "$BROWSERS" --warmup "$WARMUP" --seconds $((MEASURE + 3)) > "$out" &
            fi
            crowd=$!  # the tools run 3 s past the measurement, so they are there at both ends of it
            # Both tools warm up from the moment the last of them is in.
            in=yes
            if [ "$kind" = enet ]; then
                browsers_wait_spectators "$BROWSERS" 120 || in=no
            else
                until grep -q '^measuring' "$out"; do kill -0 "$crowd" 2>/dev/null || break; sleep 0.2; done
            fi
            sleep "$WARMUP"
            s0=$(browsers_metric skirmish_datagram_states_sent_total)
            channels=$(browsers_metric skirmish_datagram_channels)
            # The crowd's own CPU too: a crowd that runs out of core batches its reading and its acknowledgements.
            c0=$(awk '{print $14 + $15}' "/proc/$crowd/stat" 2>/dev/null || echo 0)
            t0=$(cpu_ticks 2>/dev/null || echo gone); sleep "$MEASURE"; t1=$(cpu_ticks 2>/dev/null || echo gone)
            c1=$(awk '{print $14 + $15}' "/proc/$crowd/stat" 2>/dev/null || echo 0)
            crowd_cpu=$(percent $((c1 - c0)) "$MEASURE")
            s1=$(browsers_metric skirmish_datagram_states_sent_total)
            wait "$crowd" || true
            result=$(grep '^RESULT' "$out" || echo "RESULT")
            rm -f "$out"
            cleanup
            cpu="server gone"
            if [ "$t0" != gone ] && [ "$t1" != gone ]; then cpu=$(percent $((t1 - t0)) "$MEASURE"); fi
            cpu_of[$kind]=$cpu
            if [ "$kind" = enet ]; then
                BROWSER_ROWS+=("| $BROWSERS ENet spectators, version 3 | $cpu | $crowd_cpu | $(field bots "$result") connected, $(field lost "$result") lost$([ "$in" = no ] && echo ", not all in") | $(field msgs_per_s "$result") messages/s received | – |")
            else
                local states_per_s
                states_per_s=$(awk -v a="$s0" -v b="$s1" -v s="$MEASURE" 'BEGIN { printf "%.0f", (b - a) / s }')
                BROWSER_ROWS+=("| $BROWSERS browsers on data channels | $cpu | $crowd_cpu | $(field connected "$result") connected, $(field channels_open "$result") channels open (the server: $channels as it began), $(field lost "$result") lost | $(field states_per_s "$result") states/s received, $(field acks_per_s "$result") acks/s sent; the server sent $states_per_s states/s on channels | $(field socket_frames_per_s "$result") |")
            fi
        done
        ratio=$(awk -v a="${cpu_of[datachannel]}" -v b="${cpu_of[enet]}" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }')
        BROWSER_NOTE+="$BROWSERS: data channels over ENet, server CPU **$ratio**"
        if [ "${cpu_of[datachannel]%.*}" -ge 90 ] 2>/dev/null || [ "${crowd_cpu%.*}" -ge 90 ] 2>/dev/null; then
            BROWSER_NOTE+=" (a floor: a core was all but full, and a full crowd batches its acknowledgements)"
        fi
        BROWSER_NOTE+=". "
    done
    BROWSER_NOTE+="Goal: at most 1.25. Load average at the start: $BROWSER_LOAD."
}

browsers_block() {
    echo "<!-- browsers -->"
    echo "Browsers on data channels (\`build-release/browser-crowd\` against \`build-release/skirmish-bot --watch\`, $(date -u +%Y-%m-%d)): a server with 8 in-server bots (\`--bots 8 --max-spectators 1000 --max-spectators-per-address 0\`) watched by N ENet spectators at version 3, then by N browsers whose states ride WebRTC data channels (a WebSocket at /watch?v=3 each, for everything else); each crowd acknowledges every state, from one process on the other core. Server CPU over ${MEASURE} s after a ${WARMUP} s warm-up once the whole crowd is in."
    echo
    echo "| Crowd | Server CPU (% of a core) | Crowd CPU (% of a core) | Crowd | Received | WebSocket frames/s (all) |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${BROWSER_ROWS[@]}"
    echo
    echo "$BROWSER_NOTE"
    echo
    echo "<!-- /browsers -->"
}
