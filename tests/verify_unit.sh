#!/usr/bin/env bash
# Checks systemd units with systemd's own verifier: verify_unit.sh SERVER UNIT...
# Each unit's /usr/bin/skirmish-server is pointed at SERVER (the verifier insists
# that the program exists); a template is checked as its instance "check". Man pages
# are not looked for: they exist once the package is installed.
set -euo pipefail
server=$1
shift
unit_dir=$(mktemp -d)
trap 'rm -rf "$unit_dir"' EXIT
units=()
for unit in "$@"; do
    name=$(basename "$unit")
    sed "s|/usr/bin/skirmish-server|$server|" "$unit" > "$unit_dir/$name"
    units+=("$unit_dir/${name/@./@check.}")
done
output=$(systemd-analyze verify --man=no "${units[@]}" 2>&1) || { echo "$output"; exit 1; }
# Warnings about the units themselves fail too; notes about the machine (no running systemd) do not.
if grep -F "$unit_dir" <<< "$output"; then exit 1; fi
echo "units verified"
