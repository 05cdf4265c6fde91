#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The NTFS recoverable-file search at scale, against its peers and against the cost of
# reading the file table itself:
#
#   tidewipe-cli search --json IMAGE   vs  ntfsundelete -s IMAGE
#                                      vs  fls -r -d IMAGE
#                                      vs  dd reading exactly the $MFT's bytes (the limit)
#
# on 8 GiB sparse NTFS images made by mkntfs and filled through ntfs-3g with N small
# files in folders of 1000 (600 and 2000 bytes, folder by folder: resident and not),
# every second file deleted. Each figure is the median of 5 warm runs of the whole
# process: wall time and peak resident memory (/usr/bin/time). The load average is
# printed with each image's figures: the machine is shared, so the ratios between
# tools measured in the same minute are what counts.
#
# Usage: bench/run_search_scale_bench.sh [BUILD_DIR] [N...]
#   BUILD_DIR  holds bin/tidewipe-cli (default: build)
#   N          file counts (default: 40000 200000)
# Needs root and /dev/fuse. Images go under $TW_BENCH_DIR (default
# /var/tmp/tw-search-bench) and are kept between runs unless TW_BENCH_KEEP=0 (their
# data takes about 2 MiB per 1000 files); TW_BENCH_CLI names another build of the
# command to measure beside the first (a baseline), printed as "baseline";
# TW_BENCH_FLS=0 leaves fls out (a minute a run at 200,000 files on a loaded machine).
set -euo pipefail

BUILD=${1:-build}
shift || true
COUNTS=("$@")
[[ $# -gt 0 ]] || COUNTS=(40000 200000)
CLI=$(readlink -f "$BUILD/bin/tidewipe-cli")
BASE=${TW_BENCH_CLI:-}
DIR=${TW_BENCH_DIR:-/var/tmp/tw-search-bench}
[[ $(id -u) -eq 0 && -c /dev/fuse ]] || { echo "search bench: needs root and /dev/fuse" >&2; exit 77; }
[[ -x $CLI ]] || { echo "search bench: $CLI not built" >&2; exit 3; }
for t in mkntfs ntfs-3g fusermount ntfsundelete fls istat dd split /usr/bin/time; do
    command -v "$t" >/dev/null || { echo "search bench: $t is not installed" >&2; exit 77; }
done
mkdir -p "$DIR"

make_image() {  # make_image IMAGE N
    local image=$1 n=$2 work d folders size
    work=$(mktemp -d "$DIR/fill.XXXXXX")
    trap 'fusermount -u "'"$work"'/mnt" 2>/dev/null || true; rm -rf "'"$work"'"' RETURN
    mkdir "$work/mnt"
    rm -f "$image.tmp"
    truncate -s 8G "$image.tmp"
    mkntfs -F -f -q -L BENCH "$image.tmp" >/dev/null 2>&1
    ntfs-3g -o big_writes "$image.tmp" "$work/mnt"
    folders=$(((n + 999) / 1000))
    for ((d = 0; d < folders; ++d)); do
        mkdir "$work/mnt/d$d"
        size=$((d % 2 ? 2000 : 600))
        # One process writes a folder's 1000 files.
        head -c $((size * 1000)) /dev/urandom | (cd "$work/mnt/d$d" && split -a 3 -d -b "$size" - f)
    done
    sync
    # Every second file: the names ending in an odd digit.
    for ((d = 0; d < folders; ++d)); do rm -f "$work/mnt/d$d"/f*[13579]; done
    fusermount -u "$work/mnt"
    mv "$image.tmp" "$image"
}

# measure NAME CMD...: median of 5 runs after a warm-up; prints "NAME wall_s rss_mb".
measure() {
    local name=$1 i s e rss walls=() rsses=()
    shift
    "$@" >/dev/null 2>&1 || true
    for i in 1 2 3 4 5; do
        s=$(date +%s%N)
        /usr/bin/time -f %M -o "$DIR/rss" "$@" >/dev/null 2>&1 || true
        e=$(date +%s%N)
        walls+=($(((e - s) / 1000)))
        rsses+=("$(tail -1 "$DIR/rss")")
    done
    local w r
    w=$(printf '%s\n' "${walls[@]}" | sort -n | sed -n 3p)
    r=$(printf '%s\n' "${rsses[@]}" | sort -n | sed -n 3p)
    printf '%-30s %8.3f s %7.1f MB\n' "$name" "$(awk -v w="$w" 'BEGIN{print w/1e6}')" \
        "$(awk -v r="$r" 'BEGIN{print r/1024}')"
    eval "wall_${name//[^a-z]/_}=$w"
}

cfg=$(mktemp -d "$DIR/cfg.XXXXXX")
trap 'rm -rf "$cfg" "$DIR/rss"' EXIT
export TIDEWIPE_CONFIG_HOME=$cfg
"$CLI" settings set SaveToLogfile 0 >/dev/null

for n in "${COUNTS[@]}"; do
    image=$DIR/ntfs-$n.img
    if [[ ! -f $image ]]; then
        s=$(date +%s)
        make_image "$image" "$n"
        echo "made $image in $(($(date +%s) - s)) s"
    fi
    # Whole outputs first: an awk that exits early would end istat with SIGPIPE.
    ist=$(istat "$image" 0)
    cs=$(awk '/Cluster Size:/ {print $3}' <<<"$ist")
    [[ -n $cs ]] || cs=$(fsstat "$image" | awk '/Cluster Size:/ {print $3}')
    mftsize=$(awk '/\$DATA/ && /size:/ {for (i=1;i<=NF;i++) if ($i=="size:") print $(i+1); exit}' <<<"$ist")
    mftlcn=$(awk 'f && NF {print $1; exit} /\$DATA/ && /size:/ {f=1}' <<<"$ist")
    found=$("$CLI" search --json "$image" 2>/dev/null | grep -c '"name"' || true)
    undel=$(ntfsundelete -s "$image" 2>/dev/null | grep -c '%' || true)
    [[ -n $cs && -n $mftsize && -n $mftlcn ]] || { echo "search bench: no \$MFT in $image" >&2; exit 3; }
    echo "== $n files: \$MFT $mftsize bytes; found $found (ntfsundelete lists $undel)"
    echo "   load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    measure search "$CLI" search --json "$image"
    [[ -z $BASE ]] || measure baseline "$BASE" search --json "$image"
    measure ntfsundelete ntfsundelete -s "$image"
    wall_fls=0
    [[ ${TW_BENCH_FLS:-1} == 0 ]] || measure fls fls -r -d "$image"
    # dd itself, not a shell function: /usr/bin/time runs a program, and one it cannot
    # find fails at once (which measured the failure, not the read).
    measure dd dd if="$image" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
        skip=$((mftlcn * cs)) count="$mftsize"
    echo "   load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
    # shellcheck disable=SC2154
    awk -v a="$wall_search" -v u="$wall_ntfsundelete" -v f="$wall_fls" -v d="$wall_dd" 'BEGIN {
        printf "   search / dd of the $MFT   %.1f\n", a / d;
        printf "   search / ntfsundelete     %.2f\n", a / u;
        if (f > 0) printf "   search / fls              %.3f\n", a / f;
    }'
    [[ ${TW_BENCH_KEEP:-1} != 0 ]] || rm -f "$image"
done
