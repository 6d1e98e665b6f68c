# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Sourced by scripts/demo and the package's tests (debian/tests): a private
# PulseAudio server, configured by sound_server_config.sh beside this file
# (one null sink "pcmtap_test" at the stream's rate), and a recording of the
# sink's monitor with parec.
# - `pulse_server_start RATE`: starts the server in a scratch folder, exports
#   the environment that sends clients to it and waits until it answers.
# - `pulse_record_start FILE PAREC_OPTION...`: records the monitor into FILE
#   and returns once the sink delivers to it (an idle null sink can take up
#   to two seconds to wake).
# - `pulse_record_until FILE BYTES`: waits until FILE holds BYTES, then stops
#   the recording.
# - `pulse_server_stop`: stops the recording and the server and removes the
#   scratch folder; the caller's EXIT trap runs it.
pulse_server_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
pulse_runtime= pulse_server= pulse_recorder=

pulse_server_stop() {
  [[ -z $pulse_recorder ]] || kill "$pulse_recorder" 2>/dev/null || true
  [[ -z $pulse_server ]] || kill "$pulse_server" 2>/dev/null || true
  wait 2>/dev/null || true
  [[ -z $pulse_runtime ]] || rm -rf "$pulse_runtime"
  pulse_runtime= pulse_server= pulse_recorder=
}

# wait_until SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds;
# fails after SECONDS.
wait_until() {
  local tries=$(($1 * 20))
  shift
  until "$@"; do
    ((--tries > 0)) || return 1
    sleep 0.05
  done
}

pulse_server_start() {
  pulse_runtime=$(mktemp -d)
  "$pulse_server_dir/sound_server_config.sh" pulseaudio "$1" "$pulse_runtime"
  export HOME=$pulse_runtime XDG_RUNTIME_DIR=$pulse_runtime \
    XDG_CONFIG_HOME=$pulse_runtime PULSE_SINK=pcmtap_test
  pulseaudio -n --daemonize=no --use-pid-file=no --system=no \
    --disable-shm=yes --log-target=stderr --log-level=error \
    -F "$pulse_runtime/pulse/default.pa" 2>"$pulse_runtime/server.log" &
  pulse_server=$!
  export PULSE_SERVER=unix:$pulse_runtime/native
  wait_until 120 pactl info >/dev/null 2>&1 ||
    { cat "$pulse_runtime/server.log" >&2; return 1; }
}

file_size() { stat -c %s "$1" 2>/dev/null || echo 0; }
holds() { [[ $(file_size "$1") -ge $2 ]]; }
recorder_ended() { ! kill -0 "$pulse_recorder" 2>/dev/null; }

pulse_record_start() {
  local file=$1
  shift
  rm -f "$file"
  parec --latency-msec=10 --device=pcmtap_test.monitor "$@" "$file" &
  pulse_recorder=$!
  # Some frames past any file header: the sink delivers.
  wait_until 120 holds "$file" 4096 && ! recorder_ended ||
    { echo "parec recorded nothing" >&2; return 1; }
}

pulse_record_until() {
  wait_until 120 holds "$1" "$2" || echo "parec recorded too little" >&2
  kill -INT "$pulse_recorder"
  wait "$pulse_recorder" || true
  pulse_recorder=
}
