#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# pcmtap at the end of real pipelines, null driver, with the recording
# library counting the blocks:
#  - a producer killed in the middle of a record: the whole records before it
#    are played and the status is 0;
#  - a stream longer than 4 GiB: played to its end, every block counted, and
#    peak memory no higher than for a short stream;
#  - a stream made from a WAV file by scripts/sox-to-stream: played unchanged.
# Usage: pipeline_test.sh PCMTAP AO_RECORDER [on|off]
# The last argument turns the memory check off for sanitized builds.
set -u
pcmtap=$1
recorder=$2
memory_check=${3:-on}
. "$(dirname "$0")/test_lib.sh"
require_tools /usr/bin/time sox
export HOME=$work LD_PRELOAD=$recorder ASAN_OPTIONS=verify_asan_link_order=0


# A producer that writes 2000 whole records and half of the next, then dies.
stream 2001 | head -c $((24 + 2000 * 6 + 3)) >"$work/cut"
(cat "$work/cut"; kill -KILL $BASHPID) |
  AO_RECORDER_PCM=$work/played "$pcmtap" -1 2>"$work/err"
expect "killed producer: status" "${PIPESTATUS[1]}" 0
expect "killed producer: bytes played" "$(stat -c %s "$work/played")" 8000
head -c $((24 + 2000 * 6)) "$work/cut" |
  AO_RECORDER_PCM=$work/expected "$pcmtap" -1 2>/dev/null
cmp -s "$work/played" "$work/expected"
expect "killed producer: played bytes equal those of the 2000 records" $? 0

# The sox recipe: every sample of a 16-bit WAV file arrives unchanged. A rate
# that is not a plain number (sox's 48k) and an input sox cannot read give a
# non-zero status and no stream at all; an input without samples, the header
# alone.
to_stream=$(dirname "$0")/../scripts/sox-to-stream
sox -n -b 16 -c 2 -r 48000 "$work/tone.wav" synth 0.5 sine 440 sine 660
"$to_stream" 48000 "$work/tone.wav" |
  AO_RECORDER_PCM=$work/sox-played "$pcmtap" -1 2>/dev/null
sox "$work/tone.wav" -t raw - | cmp -s - "$work/sox-played"
expect "sox recipe: the file's samples are played unchanged" $? 0
sox -n -b 16 -c 2 -r 48000 "$work/empty.wav" trim 0 0
for case in "48k $work/tone.wav:0 1" "48000 $work/missing.wav:0 1" \
  "48000 $work/empty.wav:24 0"; do
  # shellcheck disable=SC2086
  bytes=$("$to_stream" ${case%:*} 2>/dev/null | wc -c; echo "${PIPESTATUS[0]}")
  expect "sox recipe: ${case%:*}: bytes written, failed" \
    "$(echo $bytes | awk '{print $1, ($2 != 0)}')" "${case#*:}"
done

# peak_kib RECORDS: plays RECORDS records; prints pcmtap's peak memory.
peak_kib() {
  rm -f "$work/calls"
  stream "$1" /dev/zero |
    AO_RECORDER_LOG=$work/calls /usr/bin/time -f %M -o "$work/rss" "$pcmtap" -1 2>/dev/null
  echo "$? $(cat "$work/rss")"
}

records=716000000  # 4,296,000,024 bytes with the header: more than 4 GiB
read -r status long_peak < <(peak_kib $records)
expect "4 GiB stream: status" "$status" 0
expect "4 GiB stream: full blocks" "$(grep -c '^ao_play 4096 -> 1$' "$work/calls")" \
  $((records * 4 / 4096))
expect "4 GiB stream: last block" "$(grep '^ao_play' "$work/calls" | tail -n 1)" \
  "ao_play $((records * 4 % 4096)) -> 1"
read -r _ short_peak < <(peak_kib 1000)
echo "peak memory: ${long_peak} KiB for 4 GiB, ${short_peak} KiB for 6 KB"
if [[ $memory_check == on ]]; then
  expect "4 GiB stream: memory flat (within 1 MiB)" \
    "$((long_peak - short_peak <= 1024))" 1
fi

exit $failed
