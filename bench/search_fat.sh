#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The recoverable-file search on FAT32 against fls: one FAT32 image of 512 MiB with
# 20,000 files in 40 folders, half of them deleted, made with mkfs.fat and mtools (no
# root needed). `tidewipe-cli search --json` (the whole process) vs `fls -r -d`.
#
# usage: bench/search_fat.sh [BUILD_DIR [IMAGE]]
#   BUILD_DIR defaults to ./build; IMAGE (kept between runs) to
#   /tmp/tw-bench/fat-20k.img. Prints the best of 3 warm runs of each and the ratio.
set -eu

build=${1:-build}
image=${2:-/tmp/tw-bench/fat-20k.img}
cli="$build/bin/tidewipe-cli"
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
for tool in mkfs.fat mcopy mmd mdel fls; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done
export MTOOLS_SKIP_CHECK=1

if [ ! -f "$image" ]; then
    mkdir -p "$(dirname "$image")"
    work=$(mktemp -d "${TMPDIR:-/tmp}/tw-bench.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    rm -f "$image.tmp"
    mkfs.fat -F 32 -C -s 8 -n BENCH "$image.tmp" 524288 >/dev/null
    # 500 files in each of 40 folders, four sizes; 8.3 upper-case names.
    d=0
    while [ $d -lt 40 ]; do
        case $((d % 4)) in
            0) size=600 ;;
            1) size=3000 ;;
            2) size=9000 ;;
            3) size=20000 ;;
        esac
        mkdir "$work/D$d"
        head -c $((size * 500)) /dev/urandom | (cd "$work/D$d" && split -a 4 -d -b "$size" - F)
        mmd -i "$image.tmp" "::/D$d"
        mcopy -i "$image.tmp" "$work/D$d"/* "::/D$d/"
        # Half of them deleted: the names ending in an even digit.
        set --
        for f in "$work/D$d"/F*[02468]; do set -- "$@" "::/D$d/$(basename "$f")"; done
        mdel -i "$image.tmp" "$@"
        rm -rf "$work/D$d"
        d=$((d + 1))
    done
    mv "$image.tmp" "$image"
fi

. "$(dirname "$0")/common.sh"
private_settings "$cli"

found=$("$cli" search --json "$image" 2>/dev/null | grep -c '"name"' || true)
flsfound=$(fls -r -d "$image" | grep -vc 'OrphanFiles' || true)
t_tw=$(best "$cli" search --json "$image")
t_fls=$(best fls -r -d "$image")

rm -rf "$cfg"
echo "image: $image ($(du -h --apparent-size "$image" | cut -f1)), found $found (fls lists $flsfound)"
echo "tidewipe-cli search --json   ${t_tw} ms"
echo "fls -r -d                    ${t_fls} ms"
awk -v a="$t_tw" -v c="$t_fls" 'BEGIN {
    if (a < 1) a = 1;
    printf "ratio fls / search           %.2f\n", c / a;
}'
