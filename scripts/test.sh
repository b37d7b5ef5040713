#!/usr/bin/env bash
# Runs the whole test suite: formatting, the host build with warnings as
# errors, and the same suite under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" clang-format

echo "== formatting"
git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror

# As root the end-to-end tests can and must build their namespaces.
if [ "$(id -u)" -eq 0 ]; then
  export QUELMAR_REQUIRE_SANDBOX=1
fi

for preset in default tsan; do
  echo "== build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j"$(nproc)"
done
