#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a FAT32 image for the recovery tests with mkfs.fat and mtools only (no mount,
# no root): 4096-byte clusters, deleted files whose content is known (each file holds
# its own name repeated, as `yes NAME | head -c SIZE` writes it), one of them with its
# second cluster handed to a new file.
#
# usage: make_fat_recovery_image.sh IMAGE
# Exit 77 when a tool is missing (the tests skip then).
#
# What it holds (all in the root unless a folder is named):
#   TENK.BIN 10000 bytes, DOC.TXT 5000, SUB/INSUB.DAT 20000     deleted, 100 %
#   VICTIM.BIN 8000 (two clusters)                             deleted; its second cluster
#                                                              now belongs to KEEP/REUSER.BIN
#   FILLER.BIN 3000 (the cluster after VICTIM.BIN's)           deleted
#   SAME.TXT 300 in the root and in OTHER/ ("other" repeated)  deleted: both "?AME.TXT"
#   CRAFT1.TXT .. CRAFT4.TXT 1000 each                         deleted; tests rewrite
#                                                              their entries' names
#   LIVE.TXT 700, KEEP/REUSER.BIN 100                          live
set -eu

image=$1
for tool in mkfs.fat mcopy mdel mmd od grep dd; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tw-fatrec.XXXXXX")
trap 'rm -rf "$work"' EXIT
export LC_ALL=C MTOOLS_SKIP_CHECK=1

rm -f "$image"
# 300 MiB (sparse): FAT32 with 4096-byte clusters needs more than 65525 of them.
mkfs.fat -F 32 -C -S 512 -s 8 -n TWREC -i 2468ace0 "$image" 307200 >/dev/null
m() { cmd=$1; shift; "$cmd" -i "$image" "$@"; }
mkfile() {  # mkfile PATH SIZE [TEXT]
    yes "${3:-$(basename "$1")}" | head -c "$2" > "$1"
}

m mmd ::/KEEP ::/SUB ::/OTHER
mkfile "$work/TENK.BIN" 10000
mkfile "$work/DOC.TXT" 5000
mkfile "$work/LIVE.TXT" 700
mkfile "$work/INSUB.DAT" 20000
m mcopy "$work/TENK.BIN" "$work/DOC.TXT" "$work/LIVE.TXT" ::/
m mcopy "$work/INSUB.DAT" ::/SUB/
mkfile "$work/SAME.TXT" 300
m mcopy "$work/SAME.TXT" ::/
mkfile "$work/SAME.TXT" 300 other
m mcopy "$work/SAME.TXT" ::/OTHER/
for n in 1 2 3 4; do
    mkfile "$work/CRAFT$n.TXT" 1000
    m mcopy "$work/CRAFT$n.TXT" ::/
done
mkfile "$work/VICTIM.BIN" 8000
mkfile "$work/FILLER.BIN" 3000
m mcopy "$work/VICTIM.BIN" ::/
m mcopy "$work/FILLER.BIN" ::/

m mdel ::/TENK.BIN ::/DOC.TXT ::/SUB/INSUB.DAT ::/SAME.TXT ::/OTHER/SAME.TXT
m mdel ::/CRAFT1.TXT ::/CRAFT2.TXT ::/CRAFT3.TXT ::/CRAFT4.TXT
m mdel ::/VICTIM.BIN ::/FILLER.BIN

# Hand VICTIM.BIN's second cluster to a new file: the FSInfo free-cluster hint is set
# to its first cluster, and mtools allocates from the cluster after the hint. The new
# file goes to a folder without deleted entries, so it takes no deleted entry's slot.
off=$(grep -obUaP '\xe5ICTIM  BIN' "$image" | head -1 | cut -d: -f1)
[ -n "$off" ] || { echo "VICTIM.BIN's entry not found" >&2; exit 1; }
hi=$(od -An -tu2 -j$((off + 20)) -N2 "$image" | tr -d ' ')
lo=$(od -An -tu2 -j$((off + 26)) -N2 "$image" | tr -d ' ')
first=$((hi * 65536 + lo))
bps=$(od -An -tu2 -j11 -N2 "$image" | tr -d ' ')
fsinfo=$(od -An -tu2 -j48 -N2 "$image" | tr -d ' ')
printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((first & 255)) $(((first >> 8) & 255)) \
    $(((first >> 16) & 255)) $(((first >> 24) & 255)))" |
    dd of="$image" bs=1 seek=$((bps * fsinfo + 492)) conv=notrunc 2>/dev/null
mkfile "$work/REUSER.BIN" 100
m mcopy "$work/REUSER.BIN" ::/KEEP/
