#!/bin/bash
# The cost of reading the last pass back: a wipe of a 256 MiB file and a free-space
# clean of a scratch loop volume, each with and without --verify, median of RUNS runs
# (default 5), as a ratio. Everything happens on an ext4 image made here and mounted
# through a loop device; nothing else is written. Needs root.
# Usage: bench/run_verify_bench.sh [path/to/tidewipe-cli]
set -euo pipefail
CLI=${1:-build/bin/tidewipe-cli}
RUNS=${RUNS:-5}
work=$(mktemp -d)
img=$work/vol.img
mnt=$work/mnt
cfg=$work/cfg
cleanup() {
    umount "$mnt" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
truncate -s 768M "$img"
mkfs.ext4 -q -F "$img"
mkdir -p "$mnt" "$cfg"
mount -o loop "$img" "$mnt"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

time_wipe() {  # $1: extra option
    head -c 256M /dev/urandom >"$mnt/victim"
    sync
    local t0 t1
    t0=$(now)
    "$CLI" --config-home "$cfg" wipe --yes --passes 1 $1 "$mnt/victim" >/dev/null
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}
time_free() {
    local t0 t1
    t0=$(now)
    "$CLI" --config-home "$cfg" free-space --yes --no-trim --passes 1 $1 "$mnt" >/dev/null
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}

for what in wipe free; do
    plain=$(for _ in $(seq "$RUNS"); do time_$what ""; done | median)
    verified=$(for _ in $(seq "$RUNS"); do time_$what --verify; done | median)
    printf '%s: %.2f s, with --verify %.2f s, ratio %.2f\n' "$what" "$plain" "$verified" \
        "$(echo "$verified / $plain" | bc -l)"
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
