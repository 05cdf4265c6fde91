#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds an NTFS volume image for the recoverable-file search tests: mkntfs on an image
# file, mounted through ntfs-3g (FUSE, needs root and /dev/fuse), populated, partly
# deleted, unmounted. What the image holds, and what the search is expected to make of
# it, is listed in make_ntfs_image.manifest beside this script.
#
# usage: make_ntfs_image.sh IMAGE [SIZE_MIB [CLUSTER_BYTES]]
#   defaults 32 MiB and 4096-byte clusters. Exit 77 when a tool, root or /dev/fuse is
#   missing (the tests skip then).
set -eu

image=$1
size_mib=${2:-32}
cluster=${3:-4096}

for tool in mkntfs ntfs-3g fusermount; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 77; }
done
[ "$(id -u)" = 0 ] || { echo "needs root for the ntfs-3g mount" >&2; exit 77; }
[ -c /dev/fuse ] || { echo "needs /dev/fuse" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tw-ntfsimg.XXXXXX")
mnt="$work/mnt"
mkdir "$mnt"
mounted=0
cleanup() {
    if [ "$mounted" = 1 ]; then fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

rm -f "$image"
truncate -s "${size_mib}M" "$image"
mkntfs -F -f -q -c "$cluster" -L TWTEST "$image" >/dev/null 2>&1
ntfs-3g -o big_writes "$image" "$mnt"
mounted=1

# Content with a pattern that depends on the name: never one repeated byte.
mkfile() {  # mkfile PATH SIZE
    yes "$(basename "$1")" | head -c "$2" > "$1"
}
dosname() {  # dosname PATH NAME: give the file a DOS (8.3) name as well
    command -v setfattr >/dev/null 2>&1 || return 0
    setfattr -h -n system.ntfs_dos_name -v "$2" "$1"
}

# 0. Clusters reused after deletion: reuse_victim.bin lies right behind grower.bin;
#    once it is deleted (last, so that no new file takes its record), growing
#    grower.bin by 6 clusters takes 6 of its 8 clusters (ntfs-3g extends a file from
#    the cluster after its last one).
mkfile "$mnt/grower.bin" "$cluster"
mkfile "$mnt/reuse_victim.bin" $((cluster * 8))

# 1. Nested folders; a deleted file three levels down, a live one beside it.
mkdir -p "$mnt/dir1/dir2/dir3"
mkfile "$mnt/dir1/dir2/dir3/nested_deleted.txt" 9000
mkfile "$mnt/dir1/dir2/dir3/nested_live.txt" 9000
mkfile "$mnt/dir1/dir1_deleted.dat" 20000

# 2. A folder removed with everything in it.
mkdir -p "$mnt/gone/sub"
mkfile "$mnt/gone/inside_gone.bin" 12000
mkfile "$mnt/gone/sub/deep_gone.bin" 7000

# 3. Small files whose data lives in the record (resident).
mkfile "$mnt/small_resident.txt" 100
mkfile "$mnt/dir1/tiny.txt" 20
: > "$mnt/empty_file.txt"

# 4. Fragmented files: grow two files one cluster at a time while small files take the
#    cluster after each piece, so that they end up in hundreds of runs (ntfs-3g then
#    moves its run list out of the record behind a non-resident attribute list). Every
#    other small file is deleted again: their clusters are free, the file's are not.
mkdir "$mnt/frag" "$mnt/win"
mkfile "$work/piece" "$cluster"
i=0
while [ $i -lt 300 ]; do
    cat "$work/piece" >> "$mnt/fragmented.bin"
    cat "$work/piece" >> "$mnt/win/win_fragmented.bin"
    mkfile "$mnt/frag/s$i" "$cluster"
    i=$((i + 1))
done
i=0
while [ $i -lt 300 ]; do
    rm "$mnt/frag/s$i"
    i=$((i + 2))
done
sync

# 6. Names outside ASCII (UTF-16 surrogate pair included).
mkfile "$mnt/café_deleted.txt" 5000
mkfile "$mnt/日本語ファイル.txt" 6000
mkfile "$mnt/emoji_🎉.bin" 3000

# 7. Namespaces. ntfs-3g names files in the POSIX namespace (0); a DOS name turns the
#    long name into Win32 (1) + DOS (2), or one Win32-and-DOS name (3) when they match.
mkfile "$mnt/posix_name_deleted.txt" 5000
mkfile "$mnt/Long Win32 Name deleted.txt" 5000
dosname "$mnt/Long Win32 Name deleted.txt" "LONGWI~1.TXT"
mkfile "$mnt/SHORT.TXT" 5000
dosname "$mnt/SHORT.TXT" "SHORT.TXT"

# 8. Cases the search passes over on purpose: a file of zeros (its first sector is
#    uniform), and a deleted pagefile.sys.
head -c 16384 /dev/zero > "$mnt/zeros_deleted.bin"
mkfile "$mnt/pagefile.sys" 12000

# 9. Live files the tests turn into "Windows-style" deletions (in-use flag cleared and
#    clusters freed in the image, names and runs left as they are); win_fragmented.bin
#    was made in step 4 and keeps its non-resident attribute list.
mkfile "$mnt/win/win_long_name_file.txt" 9000
dosname "$mnt/win/win_long_name_file.txt" "WIN_LO~1.TXT"
mkfile "$mnt/win/WINDOS.TXT" 5000
dosname "$mnt/win/WINDOS.TXT" "WINDOS.TXT"
mkfile "$mnt/win/win_resident.txt" 300
mkfile "$mnt/win/win_posix.bin" 10000
mkfile "$mnt/win/win_dosonly.txt" 6000
dosname "$mnt/win/win_dosonly.txt" "WINDOS~1.TXT"
mkfile "$mnt/live_keep.txt" 4000

sync
# Deletions through ntfs-3g.
rm "$mnt/reuse_victim.bin"
sync
mkfile "$work/grow" $((cluster * 6))
cat "$work/grow" >> "$mnt/grower.bin"
sync
rm "$mnt/dir1/dir2/dir3/nested_deleted.txt" "$mnt/dir1/dir1_deleted.dat"
rm -r "$mnt/gone"
rm "$mnt/small_resident.txt" "$mnt/dir1/tiny.txt" "$mnt/empty_file.txt"
rm "$mnt/fragmented.bin"
rm "$mnt/café_deleted.txt" "$mnt/日本語ファイル.txt" "$mnt/emoji_🎉.bin"
rm "$mnt/posix_name_deleted.txt" "$mnt/Long Win32 Name deleted.txt" "$mnt/SHORT.TXT"
rm "$mnt/zeros_deleted.bin" "$mnt/pagefile.sys"
sync

fusermount -u "$mnt"
mounted=0
