#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Runs pcmtap under valgrind memcheck on a normal stream, each header error,
# a failed device open and the no-argument path: no memory error and no
# definite leak may be reported.
# Usage: memcheck_test.sh PCMTAP
set -u
pcmtap=$1
. "$(dirname "$0")/test_lib.sh"
require_tools valgrind

header='y5X#\0\0\0\0\x44\xac\0\0\0\0\0\0'  # magic and 44100 Hz
stream 22050 >"$work/stream"
# NAME|STATUS|INPUT (printf's format, or a file)|ARGUMENTS
while IFS='|' read -r name expected input args; do
  if [[ ! -f $input ]]; then
    printf "$input" >"$work/input"
    input=$work/input
  fi
  # shellcheck disable=SC2086  # the arguments are words
  HOME=$work valgrind -q --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    "$pcmtap" $args <"$input" >/dev/null 2>"$work/err"
  status=$?
  expect "$name: status" "$status" "$expected"
  [[ $status == "$expected" ]] || cat "$work/err"
done <<CASES
normal stream|0|$work/stream|-1
no input|1||-1
bad magic|1|RIFF\\0\\0\\0\\0|-1
no sample rate|1|y5X#\\0\\0\\0\\0|-1
bad sample rate|1|y5X#\\0\\0\\0\\0\\x10\\0\\0\\0\\0\\0\\0\\0|-1
no aux control data|1|${header}1234|-1
device does not open|1|$work/stream|1000
no argument|1|$work/stream|
CASES

exit $failed
