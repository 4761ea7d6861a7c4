#!/usr/bin/env bash
# A recording that fills its file system (a 2 MiB tmpfs) fails with exit status 1 and the cause,
# and leaves the file it was to replace exactly as it was, with no temporary file beside it.
# Needs a private mount namespace for the tmpfs (root, or user namespaces); skips (77) where
# neither is allowed.
set -u
program=$1
if [ "${2:-}" != --inside ]; then
  for flags in -m -rm; do
    unshare "$flags" true 2>/dev/null && exec unshare "$flags" bash "$0" "$program" --inside
  done
  echo "SKIP: no private mount namespace here (unshare -m and -rm refused), so no small tmpfs"
  exit 77
fi

disk=$(mktemp -d)
if ! mount -t tmpfs -o size=2m tmpfs "$disk" 2>"$disk.log"; then
  echo "SKIP: cannot mount a 2 MiB tmpfs here: $(cat "$disk.log")"
  rm -rf "$disk" "$disk.log"
  exit 77
fi
work=$(mktemp -d)
trap 'umount "$disk"; rm -rf "$disk" "$disk.log" "$work"' EXIT
fail=0

head -c 4096 /dev/urandom >"$disk/precious.avi"
cp "$disk/precious.avi" "$work/copy"
"$program" --headless --frames 100 --out "$disk/precious.avi" >"$work/out" 2>"$work/err"
status=$?
echo "100 frames onto a 2 MiB file system: exit status $status; $(cat "$work/err")"
if [ "$status" -ne 1 ]; then echo "  expected exit status 1"; fail=1; fi
if ! grep -q "cannot write '$disk/precious.avi': No space left on device" "$work/err"; then
  echo "  the cause is not on standard error"; fail=1
fi
if ! cmp -s "$disk/precious.avi" "$work/copy"; then
  echo "  the existing file changed"; fail=1
fi
if [ "$(ls -A "$disk")" != precious.avi ]; then
  echo "  files left on the file system:"; ls -la "$disk"; fail=1
fi
exit $fail
