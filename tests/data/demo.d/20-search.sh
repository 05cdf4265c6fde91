# Part of the demo (sourced by demo.sh): search a FAT32 volume image, made here with
# mkfs.fat and mtools (no root needed), for its deleted files.
step "A FAT32 volume image with deleted files, made with mkfs.fat and mtools"
if "$ROOT/tests/data/make_fat_image.sh" "$WORK/fat32.img" >/dev/null 2>&1; then
  echo "   $(du -h --apparent-size "$WORK/fat32.img" | cut -f1) image: $WORK/fat32.img"
  step "Searching it for recoverable files"
  run search "$WORK/fat32.img" | head -8; echo "   ..."; "$CLI" search "$WORK/fat32.img" | tail -1
  step "The same as JSON (first two items)"
  "$CLI" search "$WORK/fat32.img" --json 2>/dev/null | head -3
else
  echo "   (skipped: mkfs.fat or mtools is missing)"
fi
