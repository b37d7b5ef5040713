#!/usr/bin/env bash
# A program's --help and its manual page list the same options: every
# option --help names has an item of its own in the page's option list,
# and the page describes no option the program lacks.
#
# Usage: manpage_test.sh MANPAGE PROGRAM...   (PROGRAM may be an emulator
#        followed by the program)
set -euo pipefail
page=$1
shift
in_help=$("$@" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
# Items are a .TP line followed by a line naming the option as \-\-name
# (\-\-two\-words).
in_page=$(awk 'item { print } { item = ($0 == ".TP") }' "$page" |
  grep -oE -- '^\.[BIR]+ \\-\\-[a-z]([a-z]|\\-)*' | sed 's/^[^ ]* //; s/\\-/-/g' |
  sort -u)
[ -n "$in_help" ] || { echo "FAIL: no options in --help" >&2; exit 1; }
only_help=$(comm -23 <(echo "$in_help") <(echo "$in_page"))
only_page=$(comm -13 <(echo "$in_help") <(echo "$in_page"))
[ -z "$only_help" ] || echo "FAIL: in --help, not described in $page:" $only_help >&2
[ -z "$only_page" ] || echo "FAIL: described in $page, not in --help:" $only_page >&2
[ -z "$only_help$only_page" ] || exit 1
echo "$(basename "$page") and --help agree on $(wc -l <<<"$in_help") options"
