#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The recoverable-file search against its peers on one NTFS image of 1 GiB with about
# 40,000 files, half of them deleted: `tidewipe-cli search` (the whole process) vs
# `ntfsundelete -s` and `fls -r -d`, and vs reading the $MFT's bytes with dd.
# Needs root and /dev/fuse (the image is populated through ntfs-3g).
#
# usage: bench/search_ntfs.sh [BUILD_DIR [IMAGE]]
#   BUILD_DIR defaults to ./build; IMAGE (kept between runs) to
#   /tmp/tw-bench/ntfs-40k.img. Prints the best of 3 warm runs of each and the ratios.
set -eu

build=${1:-build}
image=${2:-/tmp/tw-bench/ntfs-40k.img}
cli="$build/bin/tidewipe-cli"
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
for tool in mkntfs ntfs-3g ntfsundelete fls istat; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done

if [ ! -f "$image" ]; then
    [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] || { echo "needs root and /dev/fuse" >&2; exit 77; }
    mkdir -p "$(dirname "$image")"
    work=$(mktemp -d "${TMPDIR:-/tmp}/tw-bench.XXXXXX")
    trap 'fusermount -u "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
    mkdir "$work/mnt"
    truncate -s 1G "$image.tmp"
    mkntfs -F -f -q -L BENCH "$image.tmp" >/dev/null 2>&1
    ntfs-3g -o big_writes "$image.tmp" "$work/mnt"
    # 40,000 files in 40 folders, four sizes (resident and not), made by split so
    # that one process writes each folder.
    d=0
    while [ $d -lt 40 ]; do
        mkdir "$work/mnt/d$d"
        case $((d % 4)) in
            0) size=600 ;;
            1) size=3000 ;;
            2) size=9000 ;;
            3) size=20000 ;;
        esac
        head -c $((size * 1000)) /dev/urandom | (cd "$work/mnt/d$d" && split -a 4 -d -b "$size" - f)
        d=$((d + 1))
    done
    sync
    # Half of them deleted: the names ending in an even digit.
    d=0
    while [ $d -lt 40 ]; do
        rm "$work/mnt/d$d"/f*[02468]
        d=$((d + 1))
    done
    fusermount -u "$work/mnt"
    mv "$image.tmp" "$image"
fi

. "$(dirname "$0")/common.sh"
private_settings "$cli"

# The $MFT's first cluster and size, for the dd baseline.
cs=$(istat "$image" 0 | awk '/Cluster Size:/ {print $3}')
[ -n "$cs" ] || cs=$(fsstat "$image" | awk '/Cluster Size:/ {print $3}')
mftsize=$(istat "$image" 0 | awk '/\$DATA/ && /size:/ {for (i=1;i<=NF;i++) if ($i=="size:") print $(i+1); exit}')
mftlcn=$(istat "$image" 0 | awk 'f && NF {print $1; exit} /\$DATA/ && /size:/ {f=1}')
ddread() {
    dd if="$image" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
        skip=$((mftlcn * cs)) count="$mftsize" 2>/dev/null
}

found=$("$cli" search --json "$image" 2>/dev/null | grep -c '"name"' || true)
t_tw=$(best "$cli" search --json "$image")
t_nu=$(best ntfsundelete -s "$image")
t_fls=$(best fls -r -d "$image")
t_dd=$(best ddread)

rm -rf "$cfg"
echo "image: $image ($(du -h --apparent-size "$image" | cut -f1)), \$MFT $mftsize bytes, found $found"
echo "tidewipe-cli search --json   ${t_tw} ms"
echo "ntfsundelete -s              ${t_nu} ms"
echo "fls -r -d                    ${t_fls} ms"
echo "dd of the \$MFT bytes         ${t_dd} ms"
awk -v a="$t_tw" -v b="$t_nu" -v c="$t_fls" -v d="$t_dd" 'BEGIN {
    if (a < 1) a = 1; if (d < 1) d = 1;
    printf "ratio ntfsundelete / search  %.2f\n", b / a;
    printf "ratio fls / search           %.2f\n", c / a;
    printf "ratio search / dd            %.2f\n", a / d;
}'
