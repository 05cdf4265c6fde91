#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a FAT32 volume image for the recoverable-file search tests with mkfs.fat and
# mtools only (no mounting, no root). What the image holds, and what the search is
# expected to make of it, is listed in make_fat_image.manifest beside this script.
#
# usage: make_fat_image.sh IMAGE [BYTES_PER_SECTOR [SECTORS_PER_CLUSTER]]
#   defaults 512 and 1: the smallest clusters, so that a folder of a few hundred
#   entries spans many clusters. The image is sparse.
set -eu

image=$1
bps=${2:-512}
spc=${3:-1}

for tool in mkfs.fat mcopy mmd mdel mdeltree; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done

# FAT32 wants at least 65525 clusters; leave room above that.
kib=$(( (70000 * bps * spc) / 1024 + 4096 ))
[ "$kib" -lt 40960 ] && kib=40960

work=$(mktemp -d "${TMPDIR:-/tmp}/tw-fatimg.XXXXXX")
trap 'rm -rf "$work"' EXIT

rm -f "$image"
mkfs.fat -F 32 -C -S "$bps" -s "$spc" -n TWTEST -i 12345678 "$image" "$kib" >/dev/null

export MTOOLS_SKIP_CHECK=1
export MTOOLS_NO_VFAT=0
m() { cmd=$1; shift; "$cmd" -i "$image" "$@"; }

# Content with a recognisable pattern per file: name and size decide the bytes.
mkfile() {  # mkfile PATH SIZE
    yes "$(basename "$1")" | head -c "$2" > "$1"
}

# 1. The first file written takes the first free clusters: it is deleted later and its
#    first cluster is handed to a new file (the reused case).
mkfile "$work/VICTIM.TXT" 1500
m mcopy "$work/VICTIM.TXT" ::/VICTIM.TXT

# 2. Files in the root.
mkfile "$work/ROOTDEL.TXT" 1500
mkfile "$work/KEEP.TXT" 700
: > "$work/EMPTY.TXT"
m mcopy "$work/ROOTDEL.TXT" "$work/KEEP.TXT" "$work/EMPTY.TXT" ::/

# 3. Nested folders.
m mmd ::/DIR1 ::/DIR1/SUB ::/DIR1/SUB/DEEP
mkfile "$work/LIVE.DAT" 3000
mkfile "$work/DEEPDEL.BIN" 2000
mkfile "$work/Long name file.txt" 900
mkfile "$work/SUBDEL.DOC" 5000
m mcopy "$work/LIVE.DAT" "$work/Long name file.txt" ::/DIR1/
m mcopy "$work/SUBDEL.DOC" ::/DIR1/SUB/
m mcopy "$work/DEEPDEL.BIN" ::/DIR1/SUB/DEEP/

# 4. A folder with many entries (several clusters of directory), every other one deleted.
mkdir "$work/many"
n=1
while [ $n -le 300 ]; do
    mkfile "$work/many/$(printf 'F%03d.TXT' $n)" $((100 + n))
    n=$((n + 1))
done
m mmd ::/MANY
m mcopy "$work"/many/* ::/MANY/

# 5. A folder removed with everything in it.
m mmd ::/GONE
mkfile "$work/INGONE1.TXT" 600
mkfile "$work/INGONE2.TXT" 1200
m mcopy "$work/INGONE1.TXT" "$work/INGONE2.TXT" ::/GONE/

# The reused case: delete VICTIM.TXT, then point the free-cluster hint of the FSInfo
# sector at the start so that the next file takes VICTIM.TXT's first cluster (mtools
# otherwise allocates past the last cluster it handed out). NEWONE.TXT goes to a folder
# without deleted entries, so that it takes no deleted entry's slot.
m mdel ::/VICTIM.TXT
bps_boot=$(od -An -tu2 -j11 -N2 "$image" | tr -d ' ')
fsinfo=$(od -An -tu2 -j48 -N2 "$image" | tr -d ' ')
printf '\002\000\000\000' | dd of="$image" bs=1 seek=$((bps_boot * fsinfo + 492)) conv=notrunc 2>/dev/null
mkfile "$work/NEWONE.TXT" 700
m mcopy "$work/NEWONE.TXT" ::/DIR1/SUB/NEWONE.TXT

# Deletions.
m mdel ::/ROOTDEL.TXT ::/EMPTY.TXT
m mdel ::/DIR1/SUB/SUBDEL.DOC ::/DIR1/SUB/DEEP/DEEPDEL.BIN "::/DIR1/Long name file.txt"
set --
n=1
while [ $n -le 300 ]; do
    set -- "$@" "::/MANY/$(printf 'F%03d.TXT' $n)"
    n=$((n + 2))
done
m mdel "$@"
m mdeltree ::/GONE
