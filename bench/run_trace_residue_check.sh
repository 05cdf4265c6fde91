#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# What trace wiping leaves of deleted files on a volume, counted in the raw image.
#
# Builds two 64 MiB volumes with the real tools and the same kind of data on each:
#   NTFS  (mkntfs + an ntfs-3g mount, needs root and /dev/fuse): a folder
#         "SecretProjectFolder" with 20 files "confidential-report-N.docx", deleted;
#         a file at the top, deleted; live files beside them.
#   FAT32 (mkfs.fat + mtools, no root): a folder with 4 files, deleted with mdeltree; a
#         file at the top, deleted; live files beside them.
# Then runs `search`, `wipe-traces --all` (on FAT32 with --deleted-folders, on NTFS
# followed by `scrub-mft`; `--journal` where the CLI offers it, from its --help) and
# counts, before and after, the raw hits of every deleted name (UTF-16 and 8.3 forms)
# and content marker, and what the peers still list (fls -r -d on both, ntfsundelete
# on NTFS). Prints one table; a volume whose tools are missing is reported as skipped.
#
# usage: bench/run_trace_residue_check.sh [BUILD_DIR]
set -eu

build=${1:-build}
cli="$build/bin/tidewipe-cli"
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
command -v python3 >/dev/null 2>&1 || { echo "missing tool: python3" >&2; exit 77; }
export MTOOLS_SKIP_CHECK=1
work=$(mktemp -d "${TMPDIR:-/tmp}/tw-residue.XXXXXX")
mnt=
cleanup() {
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
cfg="$work/cfg"
mkdir "$cfg"
"$cli" --config-home "$cfg" settings set SaveToLogfile 0 >/dev/null

has() { command -v "$1" >/dev/null 2>&1; }
# Whether `tidewipe-cli COMMAND --help` mentions OPTION.
offers() { "$cli" "$1" --help 2>/dev/null | grep -q -- "$2"; }

# count IMAGE NEEDLES: per needle line "label<TAB>form<TAB>text" (form: ascii, utf16
# for a name stored whole, lfn for a FAT long name stored 13 characters a slot in
# pieces of 5, 6 and 2), prints "label<TAB>hits"; the hits of a lfn name are those of
# its pieces of 5 and 6 characters.
count() {
    python3 - "$1" "$2" <<'EOF'
import sys
data = open(sys.argv[1], 'rb').read()
totals = {}
for line in open(sys.argv[2], encoding='utf-8'):
    label, form, text = line.rstrip('\n').split('\t')
    if form == 'ascii':
        pieces = [text.encode()]
    elif form == 'utf16':
        pieces = [text.encode('utf-16-le')]
    else:
        pieces = []
        for at in range(0, len(text), 13):
            slot = text[at:at + 13]
            if len(slot) >= 5: pieces.append(slot[:5].encode('utf-16-le'))
            if len(slot) >= 11: pieces.append(slot[5:11].encode('utf-16-le'))
    totals[label] = totals.get(label, 0) + sum(data.count(p) for p in pieces)
for label, n in totals.items():
    print(f"{label}\t{n}")
EOF
}

# peers IMAGE PATTERN: lines fls -r -d (and on NTFS ntfsundelete) list that match.
peers() {
    n=0
    if has fls; then n=$( (fls -r -d "$1" 2>/dev/null || true) | grep -c -E "$2" || true); fi
    u=-
    if [ "$3" = ntfs ] && has ntfsundelete; then
        u=$( (ntfsundelete -s "$1" 2>/dev/null || true) | grep -c -E "$2" || true)
    fi
    echo "$n $u"
}

rows="$work/rows"
: >"$rows"
# table FS NEEDLES BEFORE AFTER: one row per label.
table() {
    join -t "$(printf '\t')" "$3" "$4" | while IFS="$(printf '\t')" read -r label b a; do
        printf '%-6s %-34s %8s %8s\n' "$1" "$label" "$b" "$a" >>"$rows"
    done
}

# ---------------------------------------------------------------------------- FAT32
fat_check() {
    for t in mkfs.fat mcopy mmd mdel mdeltree; do
        has "$t" || { echo "FAT32: skipped (missing tool: $t)"; return 0; }
    done
    img="$work/fat32.img"
    mkfs.fat -F 32 -C "$img" 65536 >/dev/null
    mmd -i "$img" ::/SecretProjectFolder ::/LiveFolder
    i=1
    while [ $i -le 4 ]; do
        python3 -c "import sys; sys.stdout.write('TW-FAT-CONTENT-$i ' * 400)" >"$work/f"
        mcopy -i "$img" "$work/f" "::/SecretProjectFolder/confidential-report-$i.docx"
        i=$((i + 1))
    done
    python3 -c "import sys; sys.stdout.write('TW-FAT-TOP-CONTENT ' * 400)" >"$work/f"
    mcopy -i "$img" "$work/f" "::/top-secret-letter.txt"
    python3 -c "import sys; sys.stdout.write('live ' * 900)" >"$work/f"
    mcopy -i "$img" "$work/f" "::/LiveFolder/live-notes.docx"
    mcopy -i "$img" "$work/f" "::/live-top.txt"
    mdeltree -i "$img" ::/SecretProjectFolder
    mdel -i "$img" ::/top-secret-letter.txt
    needles="$work/fat-needles"
    {
        printf 'long name confidential-report-N\tlfn\tconfidential-report-%s.docx\n' 1 2 3 4
        printf 'long name SecretProjectFolder\tlfn\tSecretProjectFolder\n'
        printf 'long name top-secret-letter\tlfn\ttop-secret-letter.txt\n'
        printf '8.3 name CONFID~N\tascii\tONFID~\n'
        printf '8.3 name SECRET~1\tascii\tECRET~1\n'
        printf '8.3 name TOP-SE~1\tascii\tOP-SE~1\n'
        printf 'content TW-FAT-CONTENT-N\tascii\tTW-FAT-CONTENT-%s\n' 1 2 3 4
        printf 'content TW-FAT-TOP-CONTENT\tascii\tTW-FAT-TOP-CONTENT\n'
    } >"$needles"
    count "$img" "$needles" | sort >"$work/fat-before"
    pb=$(peers "$img" "onfid|ecret|ONFID|ECRET|OP-SE|op-se" fat)
    walk=
    offers wipe-traces --deleted-folders && walk=--deleted-folders
    "$cli" --config-home "$cfg" search "$img" $walk >/dev/null
    "$cli" --config-home "$cfg" wipe-traces "$img" --all $walk --passes 1 --yes \
        >"$work/fat-wipe.txt" 2>&1 || true
    count "$img" "$needles" | sort >"$work/fat-after"
    pa=$(peers "$img" "onfid|ecret|ONFID|ECRET|OP-SE|op-se" fat)
    table FAT32 "$needles" "$work/fat-before" "$work/fat-after"
    printf '%-6s %-34s %8s %8s\n' FAT32 "fls -r -d: our names" "${pb% *}" "${pa% *}" >>"$rows"
    if has fsck.fat; then
        fsck.fat -n "$img" >/dev/null 2>&1 && ok=clean || ok="reports faults"
        printf '%-6s %-34s %17s\n' FAT32 "fsck.fat -n after" "$ok" >>"$rows"
    fi
    live=$(mtype -i "$img" ::/LiveFolder/live-notes.docx | cmp -s - "$work/f" && echo same || echo CHANGED)
    printf '%-6s %-34s %17s\n' FAT32 "live file after" "$live" >>"$rows"
}

# ----------------------------------------------------------------------------- NTFS
ntfs_check() {
    for t in mkntfs ntfs-3g; do
        has "$t" || { echo "NTFS: skipped (missing tool: $t)"; return 0; }
    done
    if [ "$(id -u)" != 0 ] || [ ! -e /dev/fuse ]; then
        echo "NTFS: skipped (needs root and /dev/fuse)"
        return 0
    fi
    img="$work/ntfs.img"
    truncate -s 64M "$img"
    mkntfs -q -F -f "$img" >/dev/null 2>&1
    mnt="$work/mnt"
    mkdir "$mnt"
    ntfs-3g "$img" "$mnt"
    mkdir "$mnt/SecretProjectFolder" "$mnt/LiveFolder"
    i=1
    while [ $i -le 20 ]; do
        python3 -c "import sys; sys.stdout.write('TW-NTFS-CONTENT-$i ' * 400)" \
            >"$mnt/SecretProjectFolder/confidential-report-$i.docx"
        i=$((i + 1))
    done
    python3 -c "import sys; sys.stdout.write('TW-NTFS-TOP-CONTENT ' * 400)" \
        >"$mnt/top-secret-letter.txt"
    python3 -c "import sys; sys.stdout.write('live ' * 900)" >"$mnt/LiveFolder/live-notes.docx"
    rm -rf "$mnt/SecretProjectFolder" "$mnt/top-secret-letter.txt"
    umount "$mnt"
    needles="$work/ntfs-needles"
    {
        printf 'name confidential-report\tutf16\tconfidential-report\n'
        printf 'name SecretProjectFolder\tutf16\tSecretProjectFolder\n'
        printf 'name top-secret-letter\tutf16\ttop-secret-letter\n'
        printf '8.3 name CONFID~N\tutf16\tCONFID~\n'
        printf 'content TW-NTFS-CONTENT-N\tascii\tTW-NTFS-CONTENT-%s \n' $(seq 1 20)
        printf 'content TW-NTFS-TOP-CONTENT\tascii\tTW-NTFS-TOP-CONTENT\n'
    } >"$needles"
    count "$img" "$needles" | sort >"$work/ntfs-before"
    pb=$(peers "$img" "confidential|SecretProject|top-secret" ntfs)
    "$cli" --config-home "$cfg" search "$img" >/dev/null
    "$cli" --config-home "$cfg" wipe-traces "$img" --all --passes 1 --yes \
        >"$work/ntfs-wipe.txt" 2>&1 || true
    journal=
    offers scrub-mft --journal && journal=--journal
    "$cli" --config-home "$cfg" scrub-mft "$img" $journal --yes >/dev/null 2>&1 || true
    count "$img" "$needles" | sort >"$work/ntfs-after"
    pa=$(peers "$img" "confidential|SecretProject|top-secret" ntfs)
    table NTFS "$needles" "$work/ntfs-before" "$work/ntfs-after"
    printf '%-6s %-34s %8s %8s\n' NTFS "fls -r -d: our names" "${pb% *}" "${pa% *}" >>"$rows"
    printf '%-6s %-34s %8s %8s\n' NTFS "ntfsundelete: our names" "${pb#* }" "${pa#* }" >>"$rows"
    if has ntfsfix; then
        ntfsfix -n "$img" >/dev/null 2>&1 && ok=clean || ok="reports faults"
        printf '%-6s %-34s %17s\n' NTFS "ntfsfix -n after" "$ok" >>"$rows"
    fi
    ntfs-3g -o ro "$img" "$mnt"
    live=$(python3 -c "import sys; sys.stdout.write('live ' * 900)" |
        cmp -s - "$mnt/LiveFolder/live-notes.docx" && echo same || echo CHANGED)
    umount "$mnt"
    printf '%-6s %-34s %17s\n' NTFS "live file after" "$live" >>"$rows"
}

fat_check
ntfs_check
printf '%-6s %-34s %8s %8s\n' FS "raw hits of / peers listing" before after
cat "$rows"
