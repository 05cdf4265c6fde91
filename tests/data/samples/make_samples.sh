#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the two sample volumes the demo works on, with the real tools: an NTFS image
# (mkntfs, populated and partly deleted through an ntfs-3g mount: needs root and
# /dev/fuse) and a FAT32 image (mkfs.fat and mtools, no root). Both are compressed
# with xz beside this script, and samples.manifest lists every deleted file with its
# SHA-256 and the recoverability the search should report.
#
# The images are committed, so the demo runs without root, FUSE or these tools; run
# this script again only to change the samples.
#
# usage: make_samples.sh [OUT_DIR]   (default: the folder of this script)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
for tool in mkntfs ntfs-3g fusermount mkfs.fat mcopy mmd mdel xz sha256sum; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done
[ "$(id -u)" = 0 ] || { echo "needs root for the ntfs-3g mount" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tw-samples.XXXXXX")
mnt="$work/mnt"
mkdir "$mnt" "$work/src"
mounted=0
cleanup() {
    if [ "$mounted" = 1 ]; then fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- file contents
# Readable text, so that the demo's dump of a cluster shows something a person knows.
letter() {  # letter LINES
    i=1
    while [ "$i" -le "$1" ]; do
        printf 'Line %03d: Dear Ada, the quarterly figures are attached; please keep them private.\n' "$i"
        i=$((i + 1))
    done
}
csv() {  # csv ROWS
    echo "month,region,income,expenses"
    i=1
    while [ "$i" -le "$1" ]; do
        echo "$((i % 12 + 1)),region-$((i % 7)),$((i * 37 % 9000 + 1000)),$((i * 53 % 7000 + 500))"
        i=$((i + 1))
    done
}
# A valid 1x1 PNG, small enough to live inside an NTFS file record.
png() { printf 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==' | base64 -d; }
# Bytes that are not one repeated value (an all-zero first sector is never listed).
binary() {  # binary SEED SIZE
    yes "$1 0123456789abcdef" | head -c "$2"
}

src=$work/src
letter 80 > "$src/letter.txt"          # 6,560 bytes
csv 600 > "$src/budget.csv"
png > "$src/logo.png"
printf 'Buy milk. Call the bank about the card ending 4421.\n' > "$src/notes.txt"
binary holiday 40960 > "$src/holiday.bmp"
yes "Shopping list kept on purpose: bread, apples, tea." | head -n 40 > "$src/keep_me.txt"
printf 'This file stays. Wiping traces must leave it byte for byte.\n' > "$src/readme.txt"

# ---------------------------------------------------------------- NTFS
ntfs=$work/sample-ntfs.img
truncate -s 8M "$ntfs"
mkntfs -F -f -q -c 4096 -L SAMPLE "$ntfs" >/dev/null 2>&1
ntfs-3g -o big_writes "$ntfs" "$mnt"
mounted=1
mkdir "$mnt/Documents" "$mnt/Pictures"
cp "$src/readme.txt" "$mnt/readme.txt"
cp "$src/keep_me.txt" "$mnt/Documents/keep_me.txt"
cp "$src/letter.txt" "$mnt/Documents/letter.txt"
cp "$src/budget.csv" "$mnt/Documents/budget.csv"
cp "$src/logo.png" "$mnt/Pictures/logo.png"
cp "$src/notes.txt" "$mnt/notes.txt"
# holiday.bmp lies right behind album.dat; once it is deleted, album.dat grows into
# 4 of its 10 clusters (ntfs-3g extends a file from the cluster after its last one).
binary album 4096 > "$mnt/Pictures/album.dat"
cp "$src/holiday.bmp" "$mnt/Pictures/holiday.bmp"
sync
rm "$mnt/Documents/letter.txt" "$mnt/Documents/budget.csv" "$mnt/Pictures/logo.png" \
   "$mnt/notes.txt" "$mnt/Pictures/holiday.bmp"
binary album 16384 >> "$mnt/Pictures/album.dat"
sync
fusermount -u "$mnt"
mounted=0

# ---------------------------------------------------------------- FAT32
fat=$work/sample-fat32.img
# 512-byte clusters: FAT32 needs at least 65525 clusters, and 40 MiB of them is enough.
mkfs.fat -F 32 -C -S 512 -s 1 -n SAMPLE -i 5A3B1E00 "$fat" 40960 >/dev/null 2>&1
export MTOOLS_SKIP_CHECK=1
m() { cmd=$1; shift; "$cmd" -i "$fat" "$@"; }
for f in letter.txt budget.csv notes.txt holiday.bmp keep_me.txt readme.txt; do
    up=$(echo "$f" | tr a-z A-Z)
    cp "$src/$f" "$work/$up"
done
m mmd ::/DOCS ::/PICS
m mcopy "$work/README.TXT" "$work/NOTES.TXT" ::/
m mcopy "$work/KEEP_ME.TXT" "$work/LETTER.TXT" "$work/BUDGET.CSV" ::/DOCS/
m mcopy "$work/HOLIDAY.BMP" ::/PICS/
m mdel ::/NOTES.TXT ::/DOCS/LETTER.TXT ::/DOCS/BUDGET.CSV ::/PICS/HOLIDAY.BMP

# ---------------------------------------------------------------- manifest
sum() { sha256sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
{
    echo "# The deleted files on the sample images, as the search lists them and as"
    echo "# recovery writes them. Made by make_samples.sh; the demo checks against it."
    echo "# image               listed name   recovered as   rec%  bytes  sha256 (\"-\": not compared)"
    echo "sample-ntfs.img      letter.txt    #etter.txt     100   $(size "$src/letter.txt")  $(sum "$src/letter.txt")"
    echo "sample-ntfs.img      budget.csv    #udget.csv     100   $(size "$src/budget.csv")  $(sum "$src/budget.csv")"
    echo "sample-ntfs.img      logo.png      #ogo.png       100   $(size "$src/logo.png")  $(sum "$src/logo.png")"
    echo "sample-ntfs.img      notes.txt     #otes.txt      100   $(size "$src/notes.txt")  $(sum "$src/notes.txt")"
    echo "sample-ntfs.img      holiday.bmp   #oliday.bmp    60    $(size "$src/holiday.bmp")  -"
    echo "sample-fat32.img     ?OTES.TXT     #OTES.TXT      100   $(size "$src/notes.txt")  $(sum "$src/notes.txt")"
    echo "sample-fat32.img     ?ETTER.TXT    #ETTER.TXT     100   $(size "$src/letter.txt")  $(sum "$src/letter.txt")"
    echo "sample-fat32.img     ?UDGET.CSV    #UDGET.CSV     100   $(size "$src/budget.csv")  $(sum "$src/budget.csv")"
    echo "sample-fat32.img     ?OLIDAY.BMP   #OLIDAY.BMP    100   $(size "$src/holiday.bmp")  $(sum "$src/holiday.bmp")"
} > "$work/samples.manifest"
# Live files and their sums: the demo checks them after the traces are wiped.
{
    echo "# live files: image path sha256"
    echo "sample-ntfs.img /readme.txt $(sum "$src/readme.txt")"
    echo "sample-ntfs.img /Documents/keep_me.txt $(sum "$src/keep_me.txt")"
    echo "sample-fat32.img ::/README.TXT $(sum "$src/readme.txt")"
    echo "sample-fat32.img ::/DOCS/KEEP_ME.TXT $(sum "$src/keep_me.txt")"
} > "$work/samples.live"

xz -9 -c "$ntfs" > "$out/sample-ntfs.img.xz"
xz -9 -c "$fat" > "$out/sample-fat32.img.xz"
cp "$work/samples.manifest" "$work/samples.live" "$out/"
ls -l "$out"/sample-*.img.xz
