#!/usr/bin/env bash
# The demo behind `./run demo`: Tidewipe's main jobs on the built-in samples, in a
# throw-away settings store and log folder, touching nothing of this machine.
set -uo pipefail
BIN=${1:?usage: demo.sh BUILD_BIN_FOLDER}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d /tmp/tidewipe-demo-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export TIDEWIPE_CONFIG_HOME=$WORK/config
export TIDEWIPE_POWEROFF_COMMAND=true
CLI="$BIN/tidewipe-cli"
mkdir -p "$WORK/logs"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ tidewipe-cli %s\n' "$*"; "$CLI" "$@"; }

step "A fresh settings store: every value is created with its default"
"$CLI" settings set LogLocation "$WORK/logs" >/dev/null
run settings list | head -12
echo "   ... ($("$CLI" settings list | wc -l) values in $TIDEWIPE_CONFIG_HOME/registry.db)"

step "Changing a setting keeps its type"
run settings set NumOverwrites 4
run settings get NumOverwrites

for part in "$ROOT"/tests/data/demo.d/*.sh; do
  [ -f "$part" ] || continue
  # shellcheck source=/dev/null
  source "$part"
done

step "Every operation above wrote its lines to today's activity log"
run log write "Demo finished"
run log show
