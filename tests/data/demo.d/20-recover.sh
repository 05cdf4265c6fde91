# Part of the demo (sourced by demo.sh): the main job on the built-in samples. Two small
# volume images (NTFS and FAT32, made by tests/data/samples/make_samples.sh with the
# real tools) are searched for deleted files; the files are recovered into a fresh
# folder and checked against the samples' manifest; then, on a copy of each image, the
# traces of the deleted files are wiped and a second search finds nothing left.
SAMPLES=$ROOT/tests/data/samples
MANIFEST=$SAMPLES/samples.manifest
demo_failed=0

# recovered_ok IMAGE FOLDER: every deleted file the manifest lists for IMAGE with a
# checksum is in FOLDER under its recovered name, with that size and checksum.
recovered_ok() {
  local image=$1 folder=$2 ok=0 bad=0 name listed out rec bytes sum got
  while read -r name listed out rec bytes sum; do
    [[ $name == "$image" ]] || continue
    if [[ ! -f $folder/$out ]]; then
      echo "   MISSING  $out"; bad=$((bad + 1)); continue
    fi
    if [[ $sum == - ]]; then
      printf '   partial  %-12s %6s bytes, %s%% of it survived (reused clusters are zeros)\n' \
        "$out" "$(stat -c %s "$folder/$out")" "$rec"
      continue
    fi
    got=$(sha256sum "$folder/$out" | cut -d' ' -f1)
    if [[ $got == "$sum" && $(stat -c %s "$folder/$out") == "$bytes" ]]; then
      printf '   ok       %-12s %6s bytes, SHA-256 matches the original\n' "$out" "$bytes"
      ok=$((ok + 1))
    else
      echo "   WRONG    $out (size or checksum differs from the original)"; bad=$((bad + 1))
    fi
  done < <(grep -v '^#' "$MANIFEST")
  echo "   => $ok files identical to their originals, $bad wrong or missing"
  [[ $bad == 0 ]] || demo_failed=1
}

# live_ok IMAGE_NAME IMAGE: the live files are still byte for byte what they were.
live_ok() {
  local name=$1 image=$2 iname path sum got
  while read -r iname path sum; do
    [[ $iname == "$name" ]] || continue
    if [[ $path == ::* ]]; then
      got=$(MTOOLS_SKIP_CHECK=1 mtype -i "$image" "$path" 2>/dev/null | sha256sum | cut -d' ' -f1)
    else
      got=$(ntfscat "$image" "$path" 2>/dev/null | sha256sum | cut -d' ' -f1)
    fi
    if [[ $got == "$sum" ]]; then echo "   live file $path: unchanged"
    else echo "   live file $path: CHANGED"; demo_failed=1; fi
  done < <(grep -v '^#' "$SAMPLES/samples.live")
}

for sample in sample-ntfs.img sample-fat32.img; do
  img=$WORK/$sample
  xz -dc "$SAMPLES/$sample.xz" > "$img"
  kind=NTFS; [[ $sample == *fat32* ]] && kind=FAT32

  step "$kind sample ($(du -h --apparent-size "$img" | cut -f1)): search it for deleted files"
  run search "$img"

  first=$("$CLI" search "$img" --json 2>/dev/null | grep -o '"location": [0-9]*' | head -1 | grep -o '[0-9]*$')
  if [[ -n $first ]]; then
    step "$kind: where the first file found lies, and its first cluster as text"
    run clusters "$img" --location "$first" | head -6
    cluster=$("$CLI" clusters "$img" --location "$first" --json 2>/dev/null | grep -o '[0-9][0-9]*' | head -1)
    [[ -n $cluster ]] && run dump "$img" --cluster "$cluster" | head -4
  fi

  step "$kind: recover every deleted file into a fresh folder"
  # On FAT32 recovery also clears the directory entries of what it recovered in full,
  # so it works on a copy and the trace wipe below starts from the original.
  cp "$img" "$img.recover"
  run recover "$img.recover" --to "$WORK/recovered-$kind" --all
  ls -l "$WORK/recovered-$kind" | tail -n +2 | sed 's/^/   /'
  step "$kind: the recovered files against the manifest"
  recovered_ok "$sample" "$WORK/recovered-$kind"

  step "$kind: wipe the traces of every deleted file (on a copy of the image)"
  cp "$img" "$img.wiped"
  run wipe-traces "$img.wiped" --all --passes 1 --yes
  step "$kind: search the wiped copy again"
  run search "$img.wiped"
  live_ok "$sample" "$img.wiped"
  # The content of a deleted file must be gone from every byte of the image.
  if grep -q "Dear Ada, the quarterly figures" "$img.wiped"; then
    echo "   the deleted letter's text is STILL in the image"; demo_failed=1
  else
    echo "   no byte of the deleted letter's text is left anywhere in the image"
  fi
done
[[ $demo_failed == 0 ]] || { echo "demo: a check above failed" >&2; exit 1; }
