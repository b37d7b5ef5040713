#!/usr/bin/env bash
# Runs the whole test suite: formatting; the host build with warnings as
# errors; the same suite under AddressSanitizer with UndefinedBehaviorSanitizer
# and under ThreadSanitizer; the armhf builds, dynamic and static, with
# every test under qemu, and their packages booted on the emulated board
# (label "board"); and a short run of each fuzz target. The host and armhf
# builds also make and check their Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
enable_arch armhf
enable_arch arm64
install_missing "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}" \
  "${ARMHF_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${BOARD_PACKAGES[@]}" \
  "${ROOTFS_PACKAGES[@]}" clang-format

echo "== formatting"
git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror

# As root the end-to-end tests can and must build their namespaces.
if [ "$(id -u)" -eq 0 ]; then
  export QUELMAR_REQUIRE_SANDBOX=1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
for preset in default asan tsan armhf armhf-static; do
  echo "== build and test: $preset"
  start=$(date +%s)
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j"$(nproc)" 2>&1 | tee "$log"
  passed=$((passed + $(grep -oE 'out of [0-9]+' "$log" | tail -1 | cut -d' ' -f3)))
  echo "== $preset: $(($(date +%s) - start)) s"
done

echo "== fuzz"
scripts/fuzz.sh

# Reached only when every preset passed and no fuzz target failed.
echo "suite: $passed passed, 0 failed"
