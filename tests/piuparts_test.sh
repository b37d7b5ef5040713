#!/usr/bin/env bash
# piuparts, Debian's installation tester, on this machine's upload: each
# package installed, removed and purged in a clean system, and upgraded
# from the previous release, which a local repository offers. The two
# probe flavours conflict, so they are tried apart: the static one alone,
# the dynamic one with the rest of the upload. The clean system is
# scripts/base-tarball.sh's, and apt reaches the archive this machine
# uses, and nothing else.
#
# Usage: piuparts_test.sh NEW_UPLOAD_DIR OLD_UPLOAD_DIR   (as root)
set -euo pipefail
new=$(cd "$1" && pwd) old=$(cd "$2" && pwd)
. "$(dirname "$0")/lib.sh"
need_root piuparts
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/deps.sh"
install_missing piuparts apt-utils
tarball=$("$src/scripts/base-tarball.sh")
. /etc/os-release
suite=$VERSION_CODENAME
arch=$(dpkg --print-architecture)

# The archive as this machine's apt reaches it: the suite's own mirror,
# and its other suites (updates, security) as extra lines.
mirror= extra=()
while read -r uri release component; do
  if [ "$release" = "$suite" ] && [ -z "$mirror" ]; then
    mirror=$uri
  else
    extra+=(--extra-repo "deb $uri $release $component")
  fi
done < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
  "Created-By: Packages" | sort -u)
[ -n "$mirror" ] || fail "no $suite mirror in this machine's apt sources"

# The previous release as a local repository, bind-mounted into the chroot.
repo=$(mktemp -d /srv/quelmar-previous.XXXXXX)
logs=$(mktemp -d)
trap 'rm -rf "$repo" "$logs"' EXIT
chmod 755 "$repo"
cp "$old"/*_"$arch".deb "$repo/"
(cd "$repo" && dpkg-scanpackages --multiversion . 2>/dev/null >Packages &&
  gzip -9nk Packages && apt-ftparchive release . >Release)

run() { # NAME LOG DEB...
  local name=$1 log=$2
  shift 2
  local start=$(date +%s)
  if ! piuparts -d "$suite" -m "$mirror" -b "$tarball" "${extra[@]}" \
    --extra-repo "deb [trusted=yes] file://$repo ./" --bindmount "$repo" \
    "$@" >"$log" 2>&1; then
    tail -60 "$log"
    fail "piuparts: $name"
  fi
  grep -q 'PASS: Installation, upgrade and purging tests' "$log" ||
    { tail -30 "$log"; fail "piuparts did not try the upgrade for $name"; }
  {
    echo "piuparts, $name ($(($(date +%s) - start)) s):"
    grep -E 'INFO: (PASS|FAIL)|apt-cache knows' "$log" | sed 's/^[0-9ms.]* INFO: /  /'
  } >"$log.summary"
}
static=("$new"/quelmar-mcu-probe-static_*_"$arch".deb "$new"/quelmar-mcu-probe-static-dbgsym_*_"$arch".deb)
rest=()
for deb in "$new"/*_"$arch".deb; do
  case "$deb" in *quelmar-mcu-probe-static*) ;; *) rest+=("$deb") ;; esac
done
# Side by side: each run is mostly unpacking and fetching.
run "the static probe" "$logs/static" "${static[@]}" &
first=$!
status=0
(run "the dynamic probe, the simulator and the dev package" "$logs/rest" "${rest[@]}") ||
  status=1
wait "$first" || status=1
cat "$logs"/*.summary 2>/dev/null || true
[ "$status" -eq 0 ] || fail "piuparts failed"
echo "piuparts: every package of $(basename "$(ls "$new"/*.changes)") passed"
