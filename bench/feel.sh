# How play feels in the browser, sourced by bench/run (it uses start, cleanup and SERVER_PID
# from there). For each round trip (0, 100 and 200 ms, ± 20 ms jitter: half each way through
# `skirmish-relay --tcp`), with prediction on and off (the page's ?predict=0), headless Chromium
# plays the game page through the relay while build-release/steady-walker walks to and fro
# beside it on the server directly; tests/web/feel.py measures from the canvas what the page
# drew. Goals: the own player moves on the first frame after the key (under 20 ms), no backward
# jump over 1 px, at most 10 % frozen frames of a steadily moving player, frame time p99 ≤ 20 ms.

FEEL_ROWS=()
FEEL_LOAD=
FEEL_PORT=${FEEL_PORT:-24187}
FEEL_RELAY_PORT=${FEEL_RELAY_PORT:-24188}

feel_value() { # key json: shares to two places, times and pixels to one
    /usr/bin/python3 -c '
import json, sys
key, value = sys.argv[1], json.loads(sys.argv[2]).get(sys.argv[1])
print("–" if value is None else round(float(value), 2 if key.endswith("share") else 1))' "$1" "$2"
}

run_feel() {
    local rtt predict out relay walker figures
    FEEL_LOAD=$(cut -d' ' -f1 /proc/loadavg)
    for rtt in 0 100 200; do
        for predict in 0 1; do
            start build-release/skirmish-server --players 4 --width 40 --height 10 --rooms 2 --weapons 1 \
                --port "$FEEL_PORT" --no-demos
            sleep 1
            local jitter=0; [ "$rtt" -gt 0 ] && jitter=10
            build-release/skirmish-relay --tcp --listen "$FEEL_RELAY_PORT" --server "$FEEL_PORT" \
                --delay $((rtt / 2)) --jitter "$jitter" > /dev/null &
            relay=$!
            build-release/steady-walker "$FEEL_PORT" Walker 60 > /dev/null &
            walker=$!
            out=$(mktemp)
            /usr/bin/python3 tests/web/drive_browser.py feel \
                "http://127.0.0.1:$FEEL_RELAY_PORT/?name=Feel&predict=$predict" > "$out" 2>&1 || true
            figures=$(grep '^{' "$out" | head -1); [ -n "$figures" ] || figures='{}'
            kill "$walker" "$relay" 2>/dev/null || true
            wait "$walker" "$relay" 2>/dev/null || true
            cleanup
            rm -f "$out"
            FEEL_ROWS+=("| $rtt ± $([ "$rtt" -gt 0 ] && echo 20 || echo 0) | $([ "$predict" = 1 ] && echo on || echo off) | $(feel_value key_ms_median "$figures") / $(feel_value key_ms_max "$figures") | $(feel_value back_px "$figures") | $(feel_value frozen_share "$figures") | $(feel_value frame_ms_p50 "$figures") / $(feel_value frame_ms_p99 "$figures") |")
        done
    done
}

feel_block() {
    echo "<!-- feel -->"
    echo "Feel (\`bench/run --feel\`, $(date -u +%Y-%m-%d)): headless Chromium plays the game page through \`skirmish-relay --tcp\` (half the round trip each way, ± 10 ms each way) while \`steady-walker\` walks to and fro at 30 moves a second; everything is measured from the pixels the page drew (\`tests/web/feel.py\`). Prediction off is the page drawing only what the server said (\`?predict=0\`), as before. Key → drawn: from the key press to the first frame showing the own player moved, median / worst of 5 presses. Backward: the largest step back of the own player while walking steadily. Frozen: the share of frames in which the walking player did not move. Goals: under 20 ms, at most 1 px, at most 0.10, p99 at most 20 ms. Machine: $(nproc) cores, load average ${FEEL_LOAD} when it started (frame times suffer from a loaded machine, prediction or not)."
    echo
    echo "| Round trip ms | Prediction | Key → drawn ms median / max | Backward px | Frozen share | Frame ms p50 / p99 |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${FEEL_ROWS[@]}"
    echo
    echo "<!-- /feel -->"
}
