#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs pcmtap under valgrind memcheck on a normal stream, each header error,
# a failed device open and the no-argument path: no memory error and no
# definite leak may be reported.
# Usage: memcheck_test.sh PCMTAP MAKE_STREAM
set -u
pcmtap=$1
make_stream=$2
. "$(dirname "$0")/test_lib.sh"
require_tools valgrind

magic='y5X#\0\0\0\0'
rate='\x44\xac\0\0\0\0\0\0'  # 44100

# check NAME EXPECTED_STATUS INPUT_FILE ARG...
check() {
  local name=$1 expected=$2 input=$3 status
  shift 3
  HOME=$work valgrind -q --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    "$pcmtap" "$@" <"$input" >/dev/null 2>"$work/err"
  status=$?
  if [[ $status -eq $expected ]]; then
    echo "ok: $name"
  else
    echo "FAIL: $name: status $status, expected $expected"
    cat "$work/err"
    failed=1
  fi
}

"$make_stream" --tone 440 --seconds 0.5 >"$work/tone"
check "normal stream" 0 "$work/tone" -1

printf '' >"$work/empty"
check "no input" 1 "$work/empty" -1
printf 'RIFF\0\0\0\0' >"$work/bad-magic"
check "bad magic" 1 "$work/bad-magic" -1
printf "$magic" >"$work/no-rate"
check "no sample rate" 1 "$work/no-rate" -1
printf "${magic}\x10\0\0\0\0\0\0\0" >"$work/bad-rate"
check "bad sample rate" 1 "$work/bad-rate" -1
printf "${magic}${rate}1234" >"$work/no-aux"
check "no aux control data" 1 "$work/no-aux" -1

check "device does not open" 1 "$work/tone" 1000
check "no argument" 1 "$work/tone"

exit $failed
