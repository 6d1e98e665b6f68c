#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Stops the wineserver of $WINEPREFIX and removes the folder it leaves its
# socket in, /tmp/wine-XXXXXX/server-DEV-INODE (the prefix's device and
# inode, in hex). It cannot be put elsewhere: Debian 13's Wine 10 aborts
# when TMPDIR is set.
# Usage: WINEPREFIX=PREFIX stop_wine.sh
[[ -d ${WINEPREFIX:-} ]] || exit 0
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
read -r device inode < <(stat -c '%d %i' "$WINEPREFIX")
server=$(printf 'server-%x-%x' "$device" "$inode")
for socket_dir in /tmp/wine-*/"$server"; do
  [[ -d $socket_dir ]] && rm -rf "${socket_dir%/*}"
done
exit 0
