# The bots' ladder, sourced by bench/run: build-release/bot-ladder plays whole matches on the
# fake clock (a generated 32 × 32 map, 8 rooms, 20 weapons; 10 minutes a seed, 5 seeds), so
# the figures are the same on any machine. Three bots of one skill against three of another:
# shots and kills per skill; and a newcomer who never moves nor fires among three bots of a
# skill: how long each of its lives lasts. Goals: hard gets at least twice easy's kills; a
# newcomer among normal bots lives at least 10 s on average.

LADDER_BIN=${LADDER_BIN:-build-release/bot-ladder}
LADDER_ROWS=()
LADDER_NEWCOMER=()

ladder_field() { # skill field json
    /usr/bin/python3 -c 'import json, sys; print(json.loads(sys.argv[3])[sys.argv[1]][sys.argv[2]])' "$1" "$2" "$3"
}

run_ladder() {
    local a b out skill
    for pair in "easy normal" "easy hard" "normal hard"; do
        read -r a b <<< "$pair"
        out=$("$LADDER_BIN" ladder "$a" "$b")
        LADDER_ROWS+=("| $a vs $b | $(ladder_field "$a" shots "$out") / $(ladder_field "$b" shots "$out") | $(ladder_field "$a" kills "$out") / $(ladder_field "$b" kills "$out") | $(/usr/bin/python3 -c 'import json,sys; d=json.loads(sys.argv[3]); k=d[sys.argv[1]]["kills"]; print(round(d[sys.argv[2]]["kills"] / k, 2) if k else "–")' "$a" "$b" "$out") |")
    done
    for skill in easy normal hard; do
        out=$("$LADDER_BIN" newcomer "$skill")
        LADDER_NEWCOMER+=("| $skill | $(/usr/bin/python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(d["mean_s"], "|", d["lives"], "|", d["cut_short"])' "$out") |")
    done
}

ladder_block() {
    echo "<!-- bot-ladder -->"
    echo "Bots' ladder (\`bench/run --bot-ladder\`, $(date -u +%Y-%m-%d)): \`build-release/bot-ladder\` plays on the fake clock over the in-memory transport, the bots acting only through client commands: a generated 32 × 32 map, 8 rooms, 20 weapons, 10 minutes of play for each of 5 seeds. Three bots of one skill against three of another in one match; goal: hard at least twice easy's kills."
    echo
    echo "| Skills A vs B | Shots A / B | Kills A / B | Kills B ÷ A |"
    echo "|---|---|---|---|"
    printf '%s\n' "${LADDER_ROWS[@]}"
    echo
    echo "A newcomer who never moves nor fires among three bots of one skill; goal: at least 10 s on average among normal bots (a visitor once lasted about 5 s among the first bots, today's hard)."
    echo
    echo "| Bots' skill | Mean life s | Lives | Cut short by the run's end |"
    echo "|---|---|---|---|"
    printf '%s\n' "${LADDER_NEWCOMER[@]}"
    echo
    echo "<!-- /bot-ladder -->"
}
