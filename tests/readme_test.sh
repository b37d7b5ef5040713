#!/usr/bin/env bash
# The README's first command on a fresh Debian machine: scripts/demo.sh,
# which ends with board/camera.sh, run as root in a clean system
# (scripts/base-tarball.sh's minbase: essential packages and apt) from a
# copy of this source, with nothing installed but what the scripts install
# themselves. Shared with the system, as they change nothing it proves:
# apt's downloaded packages (apt still checks each against the archive's
# lists), and the board's cache (the kernel), which the system sees through
# an overlay, so it can never write to it.
#
# Usage: readme_test.sh [SOURCE_DIR]   (as root; this source by default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
need_root "a chroot"
src=$(cd "${1:-$here/..}" && pwd)
. "$here/../board/lib.sh" # cache_dir

if [ -z "${QUELMAR_README_WORK:-}" ]; then
  tarball=$("$here/../scripts/base-tarball.sh" minbase)
  # The kernel, built here if the cache lacks it, as the board's tests would
  # build it: the system gets the same one from the same packages.
  load_machine "$default_machine"
  machine_kernel >/dev/null
  work=$(mktemp -d)
  # The mounts live in the namespace below only, and are gone with it: what
  # is removed here is the system's own files, never the shared caches.
  trap 'rm -rf "$work"' EXIT
  root=$work/root
  mkdir -p "$root" "$work/cache" "$work/cache-work"
  tar -C "$root" -xzf "$tarball"
  # The cache keys the kernel by its source's version. This machine's
  # lists can lag the archive's (apt keeps a suite's old lists when one of
  # its files cannot be fetched), and the system would then install a newer
  # source and build its own kernel, six minutes of both cores. So apt
  # there prefers the version this machine built from, when it has it:
  # a preference installs nothing.
  v=$(dpkg-query -W -f='${Version}' linux-source-6.1)
  printf 'Package: linux-source-6.1\nPin: version %s\nPin-Priority: 1001\n' "$v" \
    >"$root/etc/apt/preferences.d/quelmar-shared-kernel"
  mkdir -p "$root/root/quelmar"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z -co --exclude-standard |
      tar -C "$src" --null -T - -cf - | tar -C "$root/root/quelmar" -xf -
  else
    tar -C "$src" --exclude=./build --exclude=./.git -cf - . |
      tar -C "$root/root/quelmar" -xf -
  fi
  status=0
  QUELMAR_README_WORK=$work unshare --mount --propagation private \
    "$0" "$src" || status=$?
  exit "$status"
fi

work=$QUELMAR_README_WORK root=$QUELMAR_README_WORK/root
# A mount point, as a machine's root is (the simulator's sandbox makes it
# private).
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount --bind /var/cache/apt/archives "$root/var/cache/apt/archives"
mkdir -p "$root$cache_dir"
mount -t overlay overlay -o "lowerdir=$cache_dir,upperdir=$work/cache,workdir=$work/cache-work" \
  "$root$cache_dir"
cp /etc/resolv.conf "$root/etc/resolv.conf"

base=$(chroot "$root" dpkg-query -W | wc -l)
start=$(date +%s)
log=$root/demo.log
status=0
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb \
  chroot "$root" bash -c 'cd /root/quelmar && ./scripts/demo.sh' >"$log" 2>&1 ||
  status=$?
took=$(($(date +%s) - start))
if [ "$status" -ne 0 ]; then
  tail -40 "$log"
  fail "scripts/demo.sh in a fresh system: exit status $status after $took s"
fi
# What the demo shows: the probe's version at both speeds, the network
# camera's replies (the zoom's position after it moved to 0x1000), and the
# emulated board's.
for expected in '"22"' '"-2"' 'QUELMAR: ready' '90 50 00 20 00 01 00 16 02 FF' \
  'reply: 90 50 01 00 00 00 FF (sequence 3, inquiry reply)'; do
  grep -qF -- "$expected" "$log" || { cat "$log"; fail "the demo did not show $expected"; }
done
echo "readme: scripts/demo.sh, the board included, ran as root in a fresh" \
  "minbase system in $took s, installing $(($(chroot "$root" dpkg-query -W | wc -l) - base)) packages"
! grep -q '^board: kernel: ' "$log" ||
  echo "readme: the system built its own kernel: the shared cache had none for" \
    "its kernel source ($(chroot "$root" dpkg-query -W -f='${Version}' linux-source-6.1))"
