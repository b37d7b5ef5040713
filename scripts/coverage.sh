#!/usr/bin/env bash
# Builds the host suite with gcov's counters, runs it, and reports the line
# and branch coverage of probe/, visca/ and timer/, and of the network
# service, service/. Fails below 100 % of the lines or branches of the
# first three, or below 100 % of the lines or 95 % of the branches of
# service/ (throw branches and those the compiler marks unreachable not
# counted).
#
# Usage: scripts/coverage.sh [JUNIT_REPORT]
#        scripts/coverage.sh --build-only
#   JUNIT_REPORT  where CTest writes its JUnit report (for the caller's
#                 counts); the coverage figures do not depend on it
#   --build-only  configure and build, nothing more
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" gcovr

# The end-to-end tests give the probe a /tmp of its own, so a build folder
# under /tmp is out of its sight and it could not write its counts there.
dir=$PWD/build/coverage
case "$(pwd -P)/" in
/tmp/*) dir=/var/tmp/quelmar-coverage-$(pwd -P | sha256sum | cut -c1-12) ;;
esac
cmake --preset coverage -B "$dir" >/dev/null
if [ "${1:-}" = --build-only ]; then
  exec cmake --build "$dir"
fi
# Counts from an earlier run would add to this one's, and those of an
# earlier build clash with this one's (the test discovery runs at build
# time).
find "$dir" -name '*.gcda' -delete
cmake --build "$dir"
find "$dir" -name '*.gcda' -delete
junit=()
[ $# -eq 0 ] || junit=(--output-junit "$1")
tests=passed
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure "${junit[@]}" ||
  tests=failed

# gate NAME LINE% BRANCH% FILTER...: reports the folders' coverage and
# fails below either figure.
gate() {
  local name=$1 lines=$2 branches=$3 filters=()
  shift 3
  for f in "$@"; do filters+=(--filter "$f"); done
  local json=$dir/coverage-$name.json
  gcovr --root . --object-directory "$dir" "${filters[@]}" \
    --exclude-throw-branches --exclude-unreachable-branches --json "$json"
  echo "== coverage of $*: lines"
  gcovr --add-tracefile "$json" --txt -
  echo "== coverage of $*: branches"
  gcovr --add-tracefile "$json" --branches --txt -
  # The text report goes to a file of its own: gcovr replaces the file it
  # is given, and given /dev/null it turns the device into a plain file.
  gcovr --add-tracefile "$json" --print-summary --txt "$dir/summary-$name.txt" \
    --fail-under-line "$lines" --fail-under-branch "$branches" || {
    echo "coverage of $* under $lines % of lines or $branches % of branches" >&2
    return 1
  }
}
gates=passed
gate controller 100 100 'probe/' 'visca/' 'timer/' || gates=failed
gate service 100 95 'service/' || gates=failed
[ "$gates" = passed ] || exit 1
[ "$tests" = passed ] || { echo "tests failed in the coverage build" >&2; exit 1; }
