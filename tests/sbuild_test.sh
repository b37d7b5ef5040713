#!/usr/bin/env bash
# The source package builds in a clean system with nothing but its
# Build-Depends: sbuild in unshare mode, in scripts/base-tarball.sh's
# system, natively (running the package's tests) and cross for armhf.
# That the clean build really is one shows in the base system, which
# lacks the build tools, and in the logs, which show them installed.
#
# Usage: sbuild_test.sh   (as root; builds the source package itself)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
need_root sbuild
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/deps.sh"
install_missing sbuild uidmap
tarball=$("$src/scripts/base-tarball.sh")
. /etc/os-release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QUELMAR_PACKAGES_DIR="$work/upload" "$src/scripts/packages.sh" --source >/dev/null ||
  fail "the source package"
dsc=$(ls "$work"/upload/source/*.dsc)

# Unshare mode maps the build's users onto subordinate ids of the caller.
user=$(id -un)
for f in /etc/subuid /etc/subgid; do
  if ! grep -q "^$user:" "$f" 2>/dev/null; then
    echo "$user:100000:65536" >>"$f"
    echo "added $user:100000:65536 to $f, for sbuild's unshare mode"
  fi
done

# build NAME DSC [SBUILD_OPTIONS...]: sbuild's summary, its log kept.
# sbuild fetches apt's lists in its chroot and takes a failed fetch as the
# end; a mirror caught mid-sync fails that a while, then mends itself, so
# that failure alone is built again, twice at most, 30 s apart.
build() {
  local name=$1 dsc=$2 dir="$work/$1" try
  shift 2
  for try in 1 2 3; do
    rm -rf "$dir"
    mkdir -p "$dir"
    (cd "$dir" && sbuild --chroot-mode=unshare --chroot="$tarball" \
      --dist="$VERSION_CODENAME" --arch-any --no-arch-all --no-source \
      --no-run-lintian --no-run-piuparts --no-run-autopkgtest "$@" "$dsc") \
      >"$dir/sbuild.out" 2>&1 && return 0
    grep -q 'apt-get update failed' "$dir/sbuild.out" && [ "$try" -lt 3 ] ||
      return 1
    echo "sbuild, $name: apt could not fetch the archive's lists" \
      "($(cat "$dir"/*.build 2>/dev/null | grep -m1 -o 'Mirror sync in progress?' ||
        echo 'not a mirror mid-sync, by its log')): building again in 30 s"
    sleep 30
  done
}
summary() { # LOG
  sed -n '/^| Summary /,/^Finished at/p' "$1" |
    grep -E '^(Host Architecture|Build Profiles|Build-Time|Install-Time|Status):' |
    sed 's/^/  /'
}

# The clean build really is one: what it builds with is not in the base
# system, so only Build-Depends can bring it.
tools='^\./usr/(bin/ninja|bin/cmake|include/gtest/gtest\.h)$'
! tar -tzf "$tarball" | grep -E "$tools" || fail "the base system holds build tools"

# Both builds side by side: each spends much of its time unpacking the
# system and fetching packages.
start=$(date +%s)
jobs=--jobs=$(nproc)
build native "$dsc" "$jobs" &
native=$!
build cross "$dsc" "$jobs" --host=armhf --profiles=nocheck &
cross=$!
# failed_tests DIR: the tests a failed build's log names, with their output.
failed_tests() {
  grep -h -E -B2 -A30 '\*\*\*(Failed|Timeout)|The following tests FAILED' \
    "$1"/*.build 2>/dev/null | tail -120 || true
}
wait "$native" || {
  tail -60 "$work/native/sbuild.out"
  failed_tests "$work/native"
  fail "sbuild, native"
}
wait "$cross" || { tail -60 "$work/cross/sbuild.out"; fail "sbuild, cross for armhf"; }
echo "sbuild: two builds side by side in $(($(date +%s) - start)) s"
log=$(ls "$work"/native/*_"$(dpkg --print-architecture)".build)
echo "sbuild, native, with the package's tests:"
summary "$log"
grep -E '^[0-9]+% tests passed' "$log" | sed 's/^/  /' || fail "the tests did not run"
echo "sbuild, cross for armhf:"
summary "$(ls "$work"/cross/*_armhf.build)"
for dir in native cross; do
  n=$(ls "$work/$dir"/*.deb | wc -l)
  # probe, probe-static, visca-ipd and sim with their -dbgsym, and dev
  [ "$n" -eq 9 ] || fail "sbuild, $dir, made $n packages, not 9"
  for p in cmake ninja-build; do
    grep -qE "^Setting up $p(:[a-z0-9]+)? " "$work/$dir"/*.build || fail "sbuild, $dir, did not install $p"
  done
done
grep -qE "^Setting up libgtest-dev(:[a-z0-9]+)? " "$log" || fail "sbuild, native, did not install libgtest-dev"
echo "sbuild: the source builds clean, natively and cross, with the tools its Build-Depends bring"
