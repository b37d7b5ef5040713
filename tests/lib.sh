# Shared by the shell tests. Sourced, not run.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# need_root WHAT: these tests need root; elsewhere they skip (exit 77),
# unless the run demands that nothing be skipped.
need_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  [ -z "${QUELMAR_REQUIRE_SANDBOX:-}" ] || fail "needs root ($1)"
  echo "needs root ($1): skipped"
  exit 77
}
