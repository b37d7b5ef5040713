#!/usr/bin/env bash
# Builds the Debian packages of this source twice for each preset named
# and checks that the two builds are byte for byte the same, though they
# differ in folder, time (a minute apart at least), umask, locale and time
# zone. On a difference it shows diffoscope's report of the pair.
#
# Usage: reproducible_test.sh SOURCE_DIR PRESET...
# Exits 77 (skipped) when a preset's cross compiler is not installed.
set -euo pipefail
src=$(cd "$1" && pwd)
shift
presets=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for preset in "${presets[@]}"; do
  if [[ "$preset" == armhf* ]] && ! command -v arm-linux-gnueabihf-g++ >/dev/null; then
    echo "no cross compiler for $preset: skipped"
    exit 77
  fi
done

# The same source in a folder of its own, without earlier builds.
copy_source() {
  mkdir -p "$1"
  tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$1" -xf -
}

# build N PRESET: one build of the packages, in build N's own conditions.
build() {
  local n=$1 preset=$2 dir
  if [ "$n" = 1 ]; then
    dir="$work/one/quelmar-mcu-probe"
  else
    dir="$work/build-number-two/elsewhere/src"
  fi
  [ -d "$dir" ] || copy_source "$dir"
  (
    if [ "$n" = 1 ]; then
      umask 022
      export LC_ALL=C.UTF-8 TZ=UTC
    else
      umask 077
      export LC_ALL=C TZ=NPT-05:45
    fi
    cd "$dir"
    cmake --preset "$preset" -DQUELMAR_TESTS=OFF >"$work/$preset-$n.log" 2>&1
    cmake --build --preset "$preset" >>"$work/$preset-$n.log" 2>&1
    cd "build/$preset"
    cpack -B "$work/debs-$n/$preset" >>"$work/$preset-$n.log" 2>&1
  ) || { tail -30 "$work/$preset-$n.log"; fail "build $n of $preset"; }
  date +%s >"$work/$preset-$n.done"
}

for preset in "${presets[@]}"; do build 1 "$preset"; done
for preset in "${presets[@]}"; do
  # A minute apart at least, so that any time stamp would show.
  wait_s=$(($(cat "$work/$preset-1.done") + 61 - $(date +%s)))
  [ "$wait_s" -le 0 ] || sleep "$wait_s"
  build 2 "$preset"
done

differ=0
for preset in "${presets[@]}"; do
  one="$work/debs-1/$preset" two="$work/debs-2/$preset"
  [ -n "$(ls "$one"/*.deb 2>/dev/null)" ] || fail "$preset built no packages"
  [ "$(cd "$one" && ls ./*.deb)" = "$(cd "$two" && ls ./*.deb)" ] ||
    fail "$preset: the two builds made different packages"
  for deb in "$one"/*.deb; do
    name=$(basename "$deb")
    if cmp -s "$deb" "$two/$name"; then
      echo "$preset: $(sha256sum <"$deb" | cut -d' ' -f1)  $name (both builds)"
    else
      echo "$preset: $name differs between the two builds"
      differ=1
      . "$src/scripts/deps.sh"
      install_missing diffoscope
      diffoscope --text - "$deb" "$two/$name" || true
    fi
  done
done
[ "$differ" -eq 0 ] || fail "the packages are not reproducible"
echo "reproducible: ${presets[*]}"
