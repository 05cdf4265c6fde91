#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Wipe benchmarks against peers, on scratch volumes made here (needs root):
#
#   free-space fill of ~1 GiB, ext4 and NTFS (ntfs-3g):
#       tidewipe-cli free-space --passes 1  vs  dd if=/dev/zero bs=4M oflag=direct  (target >= 0.9)
#                                           vs  the same dd with conv=fsync (the clean
#                                               flushes every pass; dd alone does not)
#                                           vs  sfill -l -l -z                       (target >= 10)
#   wipe of a 1 GiB file, ext4 and NTFS:
#       each pass of tidewipe-cli wipe      vs  one in-place dd bs=4M oflag=direct pass (>= 0.9)
#       the whole wipe (count N: N+1 passes) vs shred -n N+1                          (>= 2)
#
# Ratios are throughputs (tool / peer), so above 1 means Tidewipe is faster. Every figure
# comes from the same run on the same file system: the images sit on loop devices with
# direct I/O, so the disk under /tmp is what is measured, not the page cache.
#
# Usage: bench/run_wipe_bench.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  holds bin/tidewipe-cli (default: build)
#   ROUNDS     repetitions; the median is reported (default: 3)
# Images (about 1.2 GiB each, one at a time) go under /tmp and are removed at the end.
set -euo pipefail

BUILD=${1:-build}
ROUNDS=${2:-3}
CLI=$(readlink -f "$BUILD/bin/tidewipe-cli")
[[ $(id -u) -eq 0 ]] || { echo "run_wipe_bench: needs root (loop devices, mounts)" >&2; exit 3; }
[[ -x $CLI ]] || { echo "run_wipe_bench: $CLI not built" >&2; exit 3; }
for t in dd sfill shred mkfs.ext4 mkntfs ntfs-3g losetup; do
    command -v "$t" >/dev/null || { echo "run_wipe_bench: $t is not installed" >&2; exit 3; }
done
AVAIL_KB=$(df -Pk /tmp | awk 'NR==2 {print $4}')
if (( AVAIL_KB < 3 * 1024 * 1024 )); then
    echo "run_wipe_bench: less than 3 GiB free under /tmp ($(df -h /tmp | awk 'NR==2 {print $4}'))" >&2
    exit 3
fi

WORK=$(mktemp -d /tmp/tw-wipe-bench.XXXXXX)
MNT=$WORK/mnt
IMG=$WORK/volume.img
LOOP=""
NTFS_PID=""
mkdir -p "$MNT" "$WORK/config"
export TIDEWIPE_CONFIG_HOME=$WORK/config
"$CLI" settings set SaveToLogfile 0 >/dev/null

unmount() {
    # A FUSE daemon that died leaves a mount that `mountpoint` no longer recognises
    # ("transport endpoint is not connected"): look in the mount table instead.
    if grep -qs " $MNT " /proc/self/mounts; then umount "$MNT" 2>/dev/null || umount -l "$MNT"; fi
    if [[ -n $NTFS_PID ]]; then wait "$NTFS_PID" 2>/dev/null || true; NTFS_PID=""; fi
    if [[ -n $LOOP ]]; then losetup -d "$LOOP" 2>/dev/null || true; LOOP=""; fi
}
cleanup() {
    unmount
    rm -rf "$WORK"
}
trap cleanup EXIT

# make_volume ext4|ntfs SIZE_MIB: a fresh image on a direct-I/O loop device, mounted.
make_volume() {
    unmount
    rm -f "$IMG"
    # Allocated up front: the host file system's block allocation is not measured.
    fallocate -l "$2M" "$IMG"
    LOOP=$(losetup --direct-io=on -f --show "$IMG")
    if [[ $1 == ext4 ]]; then
        mkfs.ext4 -q -F -b 4096 -E nodiscard,lazy_itable_init=0,lazy_journal_init=0 "$LOOP"
        mount "$LOOP" "$MNT"
    else
        mkntfs -q -F -f -c 4096 "$LOOP" >/dev/null 2>&1
        ntfs-3g -o no_detach "$LOOP" "$MNT" >/dev/null 2>&1 &
        NTFS_PID=$!
        for _ in $(seq 200); do mountpoint -q "$MNT" && break; sleep 0.05; done
        mountpoint -q "$MNT" || { echo "ntfs-3g did not mount" >&2; exit 1; }
    fi
}

now() { date +%s.%N; }
# secs CMD...: runs CMD, prints its wall time in seconds.
secs() {
    local t0 t1
    t0=$(now)
    "$@" >/dev/null 2>&1 || true
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }
free_bytes() { stat -f -c '%f * %S' "$MNT" | bc; }
settle() { sync; sleep 1; }

dd_fill() { dd if=/dev/zero of="$MNT/dd.fill" bs=4M oflag=direct; }
# The same with a flush at the end: the durability the clean gives (it syncs each pass).
dd_fill_sync() { dd if=/dev/zero of="$MNT/dd.fill" bs=4M oflag=direct conv=fsync; }
tw_fill() { "$CLI" free-space --yes --passes 1 "$MNT"; }
sfill_run() { sfill -l -l -z "$MNT"; }

# ---------------------------------------------------------------- free-space fills
bench_fill() {
    local fs=$1 ddt=() dst=() twt=() sft=() free
    make_volume "$fs" 1200
    free=$(free_bytes)
    for ((r = 0; r < ROUNDS; r++)); do
        ddt+=("$(secs dd_fill)"); rm -f "$MNT/dd.fill"; settle
        twt+=("$(secs tw_fill)"); settle
        dst+=("$(secs dd_fill_sync)"); rm -f "$MNT/dd.fill"; settle
    done
    # sfill is slow: one run is enough for a ratio of ten or more.
    sft+=("$(secs sfill_run)"); settle
    local d ds t s
    d=$(median "${ddt[@]}"); ds=$(median "${dst[@]}"); t=$(median "${twt[@]}"); s=$(median "${sft[@]}")
    printf '%s fill of %s MiB: dd %.2f s (%.0f MB/s), dd+fsync %.2f s, tidewipe %.2f s (%.0f MB/s), sfill %.2f s (%.0f MB/s)\n' \
        "$fs" "$((free / 1048576))" "$d" "$(echo "$free / $d / 1000000" | bc -l)" "$ds" \
        "$t" "$(echo "$free / $t / 1000000" | bc -l)" "$s" "$(echo "$free / $s / 1000000" | bc -l)"
    echo "  rounds: dd ${ddt[*]} | dd+fsync ${dst[*]} | tidewipe ${twt[*]}"
    echo "RESULT fill $fs tidewipe/dd $(ratio "$d" "$t") tidewipe/dd+fsync $(ratio "$ds" "$t") tidewipe/sfill $(ratio "$s" "$t")"
}

# ---------------------------------------------------------------- file wipe
bench_wipe() {
    local fs=$1 count=$2 passes=$(( $2 + 1 )) ddt=() twt=() sht=()
    local f="$MNT/big.bin"
    make_volume "$fs" 1200
    mkfile() { dd if=/dev/urandom of="$f" bs=4M count=256 oflag=direct 2>/dev/null; sync; }
    dd_pass() { dd if=/dev/zero of="$f" bs=4M count=256 oflag=direct conv=notrunc; }
    tw_wipe() { "$CLI" wipe --yes --passes "$count" "$f"; }
    shred_run() { shred -n "$passes" "$f"; }
    mkfile
    for ((r = 0; r < ROUNDS; r++)); do
        ddt+=("$(secs dd_pass)"); settle
        twt+=("$(secs tw_wipe)"); settle; mkfile
        sht+=("$(secs shred_run)"); settle
    done
    local d t s
    d=$(median "${ddt[@]}"); t=$(median "${twt[@]}"); s=$(median "${sht[@]}")
    printf '%s wipe of 1 GiB, count %d (%d passes): dd pass %.2f s, tidewipe %.2f s (%.2f s/pass), shred -n %d %.2f s\n' \
        "$fs" "$count" "$passes" "$d" "$t" "$(echo "$t / $passes" | bc -l)" "$passes" "$s"
    echo "  rounds: dd ${ddt[*]} | tidewipe ${twt[*]} | shred ${sht[*]}"
    echo "RESULT wipe $fs pass/dd $(ratio "$d * $passes" "$t") whole/shred $(ratio "$s" "$t")"
}

# BENCH_ONLY=fill|wipe and BENCH_FS="ext4 ntfs" narrow the run.
for fs in ${BENCH_FS:-ext4 ntfs}; do
    [[ ${BENCH_ONLY:-fill} == fill ]] && bench_fill "$fs"
    [[ ${BENCH_ONLY:-wipe} == wipe ]] && bench_wipe "$fs" 2
done
