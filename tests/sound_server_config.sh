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
    "$dir/wireplumber/main.lua.d" "$dir/wireplumber/bluetooth.lua.d" \
    "$dir/wireplumber/wireplumber.conf.d"
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
  # No session bus, device reservation, portal, login seat, Bluetooth or
  # camera, which all want a desktop session: for WirePlumber 0.5 in its
  # main profile's features, for 0.4 in Lua, after its own settings and
  # before it enables its monitors. 0.4 ignores the fragment; 0.5 warns
  # that it skips the Lua files.
  cat >"$dir/wireplumber/wireplumber.conf.d/51-pcmtap-test.conf" <<CONF
wireplumber.profiles = {
  main = {
    support.dbus = disabled
    support.reserve-device = disabled
    monitor.alsa.reserve-device = disabled
    support.portal-permissionstore = disabled
    script.client.access-portal = disabled
    support.logind = disabled
    monitor.bluez.seat-monitoring = disabled
    hardware.bluetooth = disabled
    hardware.video-capture = disabled
  }
}
CONF
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
