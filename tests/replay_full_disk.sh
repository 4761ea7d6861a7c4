#!/usr/bin/env bash
# A recording that fills its file system (a 2 MiB tmpfs) fails with exit status 1 and the cause,
# and leaves the file it was to replace exactly as it was, with no temporary file beside it. A
# snapshot on a nearly full one fails with the write's own cause. A file bind-mounted over the
# target, which no rename can replace, is refused before the run. Needs a private mount
# namespace (root, or user namespaces); skips (77) where neither is allowed.
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

# Some 60 kB left: a 1280x720 snapshot's PNG does not fit.
head -c $(((2048 - 60) * 1024)) /dev/zero >"$disk/fill" 2>/dev/null
"$program" --headless --frames 3 --snapshot "2:$disk/shot.png" >"$work/out" 2>"$work/err"
status=$?
echo "a snapshot onto a nearly full file system: exit status $status; $(cat "$work/err")"
if [ "$status" -ne 1 ] || ! grep -q "cannot write '$disk/shot.png': No space left on device" "$work/err"; then
  echo "  expected exit status 1 and the cause"; fail=1
fi
rm -f "$disk/fill"
if [ "$(ls -A "$disk")" != precious.avi ]; then
  echo "  files left on the file system:"; ls -la "$disk"; fail=1
fi

echo "the mounted file" >"$work/source.csv"
echo "the file under the mount" >"$disk/bound.csv"
if mount --bind "$work/source.csv" "$disk/bound.csv" 2>/dev/null; then
  "$program" --headless --frames 3 --stats "$disk/bound.csv" >"$work/out" 2>"$work/err"
  status=$?
  echo "a target with a file bind-mounted over it: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 2 ] || ! grep -q "mount point" "$work/err" ||
    [ "$(cat "$disk/bound.csv")" != "the mounted file" ]; then
    echo "  expected a refusal before the run, exit status 2, and the file as it was"; fail=1
  fi
  umount "$disk/bound.csv"
else
  echo "cannot bind-mount a file here: the mount point case is not checked"
fi
exit $fail
