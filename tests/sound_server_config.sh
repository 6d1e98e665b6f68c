#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Writes the private configuration of a test sound server into DIR, which
# then serves as its HOME, XDG_RUNTIME_DIR and XDG_CONFIG_HOME: no session
# bus, no real device, one null sink named pcmtap_test running at RATE, so
# that nothing is resampled.
# Usage: sound_server_config.sh pulseaudio|pipewire RATE DIR
set -euo pipefail
kind=$1 rate=$2 dir=$3

mkdir -p "$dir/pulse"
# No client started with this HOME may spawn a server of its own.
echo "autospawn = no" >"$dir/pulse/client.conf"

case $kind in
pulseaudio)
  cat >"$dir/pulse/default.pa" <<CONF
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=pcmtap_test rate=$rate channels=2 format=s16le
set-default-sink pcmtap_test
CONF
  cat >"$dir/pulse/daemon.conf" <<CONF
default-sample-rate = $rate
avoid-resampling = yes
exit-idle-time = -1
CONF
  ;;
pipewire)
  mkdir -p "$dir/pipewire/pipewire.conf.d" "$dir/pipewire/pipewire-pulse.conf.d" \
    "$dir/wireplumber/main.lua.d" "$dir/wireplumber/bluetooth.lua.d"
  # Graph cycles of at least 1024 frames at 48 kHz, as long in time at
  # higher rates: at 192 kHz cycles of 1024 frames (5.3 ms) often came late
  # on a 2-core machine, and a late cycle loses its frames.
  quantum=$((1024 * ((rate + 47999) / 48000)))
  cat >"$dir/pipewire/pipewire.conf.d/pcmtap-test.conf" <<CONF
context.properties = {
  default.clock.rate = $rate
  default.clock.allowed-rates = [ 44100 48000 96000 192000 193000 ]
  default.clock.min-quantum = $quantum
  default.clock.max-quantum = 8192
}
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = pcmtap_test
      media.class = Audio/Sink
      audio.position = [ FL FR ]
      audio.format = S16LE
      audio.rate = $rate
      object.linger = true
    }
  }
]
CONF
  cat >"$dir/pipewire/pipewire-pulse.conf.d/pcmtap-test.conf" <<CONF
pulse.properties = {
  server.address = [ "unix:$dir/native" ]
}
CONF
  # After WirePlumber's own settings, before it enables its monitors: no
  # device reservation, portal or Bluetooth, which all want a session bus.
  cat >"$dir/wireplumber/main.lua.d/51-pcmtap-test.lua" <<CONF
alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
CONF
  echo "bluez_monitor.enabled = false" \
    >"$dir/wireplumber/bluetooth.lua.d/51-pcmtap-test.lua"
  ;;
*)
  echo "usage: $0 pulseaudio|pipewire RATE DIR" >&2
  exit 2
  ;;
esac
