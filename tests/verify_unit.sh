#!/usr/bin/env bash
# Checks systemd units with systemd's own verifier, their ExecStart pointed at the
# binary just built (the verifier insists that the program exists): SERVER UNIT...
# A template is checked as an instance; man pages exist only once installed.
set -euo pipefail
unit_dir=$(mktemp -d)
trap 'rm -rf "$unit_dir"' EXIT
for unit in "${@:2}"; do sed "s|/usr/bin/skirmish-server|$1|" "$unit" > "$unit_dir/$(basename "$unit")"; done
units=$(ls "$unit_dir" | sed "s|@\.|@check.|; s|^|$unit_dir/|")
output=$(systemd-analyze verify --man=no $units 2>&1) || { echo "$output"; exit 1; }
# Warnings about the units themselves fail too; notes about the machine (no running systemd) do not.
if grep -F "$unit_dir" <<< "$output"; then exit 1; fi
echo "units verified"
