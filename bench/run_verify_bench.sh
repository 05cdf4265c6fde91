#!/bin/bash
# The cost of reading the last pass back: a wipe of a 256 MiB file and a free-space
# clean of a scratch loop volume, each with and without --verify, median of RUNS runs
# (default 5; the runs with and without alternate, so that a change in the machine's
# load falls on both), as a ratio. Everything happens on an ext4 image made here and
# mounted through a loop device; nothing else is written. Needs root.
#
# Two loop devices: the default one, which writes the image through the host's page
# cache (the wipe's unbuffered writes end there, and the read-back reads them from
# there), and one with --direct-io=on, where writes and reads reach the host's disk.
# LOOPS=buffered or LOOPS=direct measures one of them only.
# Usage: bench/run_verify_bench.sh [path/to/tidewipe-cli]
set -euo pipefail
CLI=${1:-build/bin/tidewipe-cli}
RUNS=${RUNS:-5}
LOOPS=${LOOPS:-buffered direct}
work=$(mktemp -d)
img=$work/vol.img
mnt=$work/mnt
cfg=$work/cfg
dev=
cleanup() {
    umount "$mnt" 2>/dev/null || true
    [ -n "$dev" ] && losetup -d "$dev" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt" "$cfg"
# The activity log syncs every line it writes: off, so that only the operation counts.
"$CLI" --config-home "$cfg" settings set SaveToLogfile 0 >/dev/null

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
    sync
    local t0 t1
    t0=$(now)
    "$CLI" --config-home "$cfg" free-space --yes --no-trim --passes 1 $1 "$mnt" >/dev/null 2>&1
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}

for loop in $LOOPS; do
    rm -f "$img"
    truncate -s 768M "$img"
    mkfs.ext4 -q -F "$img"
    dev=$(losetup --direct-io=$([ "$loop" = direct ] && echo on || echo off) -f --show "$img")
    mount "$dev" "$mnt"
    for what in wipe free; do
        : >"$work/plain"
        : >"$work/verified"
        for _ in $(seq "$RUNS"); do
            time_$what "" >>"$work/plain"
            time_$what --verify >>"$work/verified"
        done
        plain=$(median <"$work/plain")
        verified=$(median <"$work/verified")
        printf '%s loop, %s: %.2f s, with --verify %.2f s, ratio %.2f\n' "$loop" "$what" \
            "$plain" "$verified" "$(echo "$verified / $plain" | bc -l)"
    done
    umount "$mnt"
    losetup -d "$dev"
    dev=
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
