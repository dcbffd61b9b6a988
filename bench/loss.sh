# What a player behind a lossy link sees of another's motion, sourced by bench/run (it
# uses start, field, BOT_PIN, WARMUP, MEASURE and what start needs from there). For each
# wire version asked, each loss (0, 2 and 5 % each way, 50 ms each way) and each
# transport: scripts/lossy-link joins two network namespaces; in A a fresh server,
# started as bench/run starts it, and a mover (skirmish-bot, 60 "Move" and "Rotate" and 2
# "Fire" a second) on A's loopback, where nothing is lost; in B build-release/loss-observer
# behind the link, watching the mover's motion ("Moved" or "Rotated") and every projectile's steps.

LOSS_ROWS=()
LOSS_LEVELS=${LOSS_LEVELS:-"0 2 5"}
LOSS_DELAY=${LOSS_DELAY:-50}

# One cell group from the observer's RESULT line: gaps, longest, frozen, projectiles' longest.
loss_cells() {
    if [ "$(field connected "$1")" != 1 ]; then echo "no connection | – | – | –"; return; fi
    if [ "$(field found "$1")" != 1 ]; then echo "mover not seen | – | – | –"; return; fi
    local lost=""
    [ "$(field lost "$1")" = 1 ] && lost=" (connection lost)"
    echo "$(field gaps "$1")$lost | $(field longest_ms "$1") | $(field frozen_pct "$1") | $(field proj_longest_ms "$1")"
}

run_loss() {
    local version loss transport side_a out result
    # The server's side: start and what it needs, then the mover in place of the shell.
    side_a="$(declare -p ANSWERS SEED SERVER_PIN BENCH_DEMOS); $(declare -f start)
        start build-release/skirmish-server --max-per-address 0
        exec $BOT_PIN build-release/skirmish-bot --bots 1 --move-rate 60 --fire-rate 2 --seconds 1000000 --quiet >/dev/null"
    for version in $LOSS_VERSIONS; do
        for loss in $LOSS_LEVELS; do
            local row="| $version | $loss |" served=0
            for transport in "" --websocket; do
                out=$(mktemp)
                scripts/lossy-link --link build-release/skirmish-lossy-link --loss "$loss" --delay "$LOSS_DELAY" --seed 1 \
                    -- bash -c "$side_a" \
                    -- $BOT_PIN build-release/loss-observer --version "$version" $transport \
                    --warmup "$WARMUP" --seconds "$MEASURE" > "$out" 2>/dev/null || true
                result=$(grep '^RESULT' "$out" || echo "RESULT")
                rm -f "$out"
                [ "$(field connected "$result")" = 1 ] && served=1
                row+=" $(loss_cells "$result") |"
            done
            # A version this server does not speak fails alike at every loss: one row says so.
            if [ "$served" = 0 ]; then
                LOSS_ROWS+=("| $version | – | not served: no connection over either transport | | | | | | | |")
                break
            fi
            LOSS_ROWS+=("$row")
        done
    done
}

loss_block() {
    echo "<!-- lossy-link -->"
    echo "Behind a lossy link (\`bench/run --loss\`, $(date -u +%Y-%m-%d)): the server and a mover (\`skirmish-bot\`, 60 \"Move\" and \"Rotate\" and 2 \"Fire\" a second) in one network namespace; an observer (\`build-release/loss-observer\`) in another, behind \`skirmish-lossy-link\` (a TUN device in each namespace, real kernel UDP and TCP), which loses the given share of packets each way and delays each by ${LOSS_DELAY} ms each way; warm-up ${WARMUP} s, ${MEASURE} s measured. A gap is the time between two arrivals of the mover's motion, a \"Moved\" or a \"Rotated\" (the start and end of the measurement counting as arrivals); frozen is the time gaps over 100 ms last beyond their first 100 ms, as a share of the time measured. Projectiles: the longest any live projectile went without a step."
    echo
    echo "| Version | Loss each way (%) | ENet: motion gaps > 100 ms | longest gap ms | frozen % | projectile longest gap ms | WebSocket: motion gaps > 100 ms | longest gap ms | frozen % | projectile longest gap ms |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${LOSS_ROWS[@]}"
    echo
    echo "<!-- /lossy-link -->"
}

# The game page behind the same link: headless Chromium in B plays the page from A and
# measures, from what the canvas draws, the mover's drawn motion (tests/web/drive_browser.py
# gaps). Once with its states as datagrams, once over its WebSocket alone (the server
# names an address nobody answers at for datagrams, as where UDP is blocked).
PAGE_ROWS=()

run_page_loss() {
    local loss path side_a result out extra
    for loss in $LOSS_LEVELS; do
        local row="| $loss |"
        for path in datagrams websocket; do
            extra=""
            [ "$path" = websocket ] && extra="--datagram-address 198.51.100.1"
            side_a="$(declare -p ANSWERS SEED SERVER_PIN BENCH_DEMOS); $(declare -f start)
                start build-release/skirmish-server --max-per-address 0 $extra
                exec $BOT_PIN build-release/skirmish-bot --bots 1 --move-rate 60 --fire-rate 2 --seconds 1000000 --quiet >/dev/null"
            out=$(mktemp)
            scripts/lossy-link --link build-release/skirmish-lossy-link --loss "$loss" --delay "$LOSS_DELAY" --seed 1 \
                -- bash -c "$side_a" \
                -- $BOT_PIN /usr/bin/python3 tests/web/drive_browser.py gaps "http://10.77.0.1:23987/?name=Watcher" bot-1 \
                "$WARMUP" "$MEASURE" > "$out" 2>/dev/null || true
            result=$(grep '^RESULT' "$out" || echo "RESULT")
            rm -f "$out"
            row+=" $(field gaps "$result") | $(field longest_ms "$result") | $(field frozen_pct "$result") | $(field path "$result") |"
        done
        PAGE_ROWS+=("$row")
    done
}

page_loss_block() {
    echo "<!-- page-loss -->"
    echo "The game page behind a lossy link (\`bench/run --page-loss\`, $(date -u +%Y-%m-%d)): as above, the server and the mover in one namespace; in the other, headless Chromium playing the page (version 3) behind \`skirmish-lossy-link\`, ${LOSS_DELAY} ms each way; warm-up ${WARMUP} s, ${MEASURE} s measured. Measured from what the canvas draws: the mover's name, frame by frame; a gap is the time between two frames that drew it somewhere new, frozen the time gaps over 100 ms last beyond their first 100 ms. With datagrams the page's states come on its data channel; over the WebSocket alone the server names an address nobody answers at for datagrams, as where UDP is blocked, and the page falls back. The last column of each is the way the page's P line said states came."
    echo
    echo "| Loss each way (%) | Datagrams: gaps > 100 ms | longest gap ms | frozen % | path | WebSocket alone: gaps > 100 ms | longest gap ms | frozen % | path |"
    echo "|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${PAGE_ROWS[@]}"
    echo
    echo "<!-- /page-loss -->"
}
