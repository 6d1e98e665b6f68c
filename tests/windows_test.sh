#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# pcmtap.exe under wine says and returns what the Linux build does: the same
# messages (Windows ends them with CR LF) and statuses for every command
# line and every edge of the stream, through libao's null driver; and its
# usage lists Windows' live drivers by name and number.
# Usage: windows_test.sh PCMTAP PCMTAP_EXE
set -u
linux=$1
windows=$2
. "$(dirname "$0")/test_lib.sh"
require_tools wine
export HOME=$work WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian 13's Wine 10 aborts when TMPDIR is set.
unset TMPDIR
# The server of a prefix of the caller's is left up for the caller; one of
# our own goes with $work.
if [[ -z ${WINEPREFIX:-} ]]; then
  export WINEPREFIX=$work/wine
  trap '"$(dirname "$0")/stop_wine.sh"; rm -rf "$work"' EXIT
fi

# outcome PCMTAP ARGS INPUT: the status, standard output and standard error
# of one run, line ends made LF.
outcome() {
  local program=$1 args=$2 input=$3
  # shellcheck disable=SC2086
  printf '%b' "$input" | $program $args >"$work/out" 2>"$work/err"
  echo "status $?"
  tr -d '\r' <"$work/out"
  tr -d '\r' <"$work/err"
}

header='y5X#\0\0\0\0\x44\xac\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
records='\1\2\3\4\5\6\r\n\x1a\0\r\n'
cases=(
  "2|" "2|y5X#" "2|y5X#\1\0\0\0\x44\xac\0\0\0\0\0\0" "-1|y5X#\0\0\0\0"
  "-1|y5X#\0\0\0\0\x43\xac\0\0\0\0\0\0" "-1|y5X#\0\0\0\0\r\n\0\0\0\0\0\0"
  "-1|y5X#\0\0\0\0\x1a\0\0\0\0\0\0\0" "-1|y5X#\0\0\0\0\xff\xff\xff\xff\xff\xff\xff\xff"
  "null|y5X#\0\0\0\0\x44\xac\0\0\0\0\0\0abc" "null|$header" "null 7|$header$records"
  "null|$header$records\1\2\3" "1000|$header$records" "wav|$header"
  "--version|"
)
# One server for every run, kept up with the Windows processes that wineboot
# starts: a server started anew starts them again, and they write to the
# standard error of the program that started them (Wine 10's Wayland
# driver: "error: XDG_RUNTIME_DIR is invalid or not set").
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null
wineboot -i >/dev/null 2>&1
for entry in "${cases[@]}"; do
  args=${entry%%|*} input=${entry#*|}
  expect "pcmtap $args" "$(outcome "wine $windows" "$args" "$input")" \
    "$(outcome "$linux" "$args" "$input")"
done

# Without arguments: the usage on standard error, status 1, with wmm, the
# default, and null among the live drivers; an id is a name or its number.
usage=$(outcome "wine $windows" "" "")
expect "no arguments: status and text" "$(head -n 10 <<<"$usage")" \
  "$(outcome "$linux" "" "" | head -n 10)"
wmm_line=$(grep -E '^ +[0-9]+  wmm +WMM audio driver output  \(default\)$' <<<"$usage")
null_line=$(grep -E '^ +[0-9]+  null +Null output$' <<<"$usage")
expect "no arguments: wmm and null listed" "$([[ -n $wmm_line && -n $null_line ]] && echo yes)" yes
null_id=$(awk '{print $1}' <<<"$null_line")
expect "null by number" "$(outcome "wine $windows" "$null_id" "$header$records")" \
  "$(outcome "$linux" null "$header$records" | sed "s/id: null/id: $null_id/")"
exit "$failed"
