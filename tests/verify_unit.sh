#!/usr/bin/env bash
# Checks deploy/skirmish.service with systemd's own verifier, its ExecStart pointed
# at the binary just built (the verifier insists that the program exists).
set -euo pipefail
unit_dir=$(mktemp -d)
trap 'rm -rf "$unit_dir"' EXIT
sed "s|/usr/local/bin/skirmish-server|$2|" "$1" > "$unit_dir/skirmish.service"
output=$(systemd-analyze verify "$unit_dir/skirmish.service" 2>&1) || { echo "$output"; exit 1; }
# Warnings about the unit itself fail too; notes about the machine (no running systemd) do not.
if grep -i "skirmish.service" <<< "$output"; then exit 1; fi
echo "unit verified"
