# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Sourced by the shell tests.
# - `work`: a scratch folder, removed on exit, that serves as HOME with a
#   libao configuration whose default driver is null.
# - `expect NAME ACTUAL EXPECTED` prints an ok or FAIL line and sets
#   `failed` on a mismatch.
# - `require_tools TOOL...` (commands, or files by path) skips the whole
#   test (status 77) when a tool is missing; with PCMTAP_TESTS_NEED_TOOLS set
#   (scripts/test, which installs every tool) it fails it instead.
# - `stream RECORDS [SOURCE]` writes a stream at 44100 Hz of RECORDS records
#   taken from SOURCE (default /dev/urandom).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "default_driver=null" >"$work/.libao"

failed=0
expect() {
  if [[ $2 == "$3" ]]; then
    echo "ok: $1"
  else
    echo "FAIL: $1: got '$2', expected '$3'"
    failed=1
  fi
}

stream() {
  printf 'y5X#\0\0\0\0\x44\xac\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
  head -c $(($1 * 6)) "${2:-/dev/urandom}"
}

require_tools() {
  local tool
  for tool in "$@"; do
    if [[ $tool == */* ]]; then
      [[ -e $tool ]] && continue
    else
      command -v "$tool" >/dev/null && continue
    fi
    if [[ -n ${PCMTAP_TESTS_NEED_TOOLS:-} ]]; then
      echo "FAIL: $tool is not installed"
      exit 1
    fi
    echo "skipped: $tool is not installed"
    exit 77
  done
}
