#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the Debian package,
# checks their contents and metadata, and runs the binary extracted from the
# package through libao's null driver.
# Usage: package_test.sh BUILD_DIR MAKE_STREAM VERSION
set -u
build=$(cd "$1" && pwd)
make_stream=$2
version=$3
. "$(dirname "$0")/test_lib.sh"
require_tools cpack dpkg-deb man


cmake --install "$build" --prefix "$work/prefix" >/dev/null
expect "install: files" "$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')" \
  "./bin/pcmtap ./share/man/man1/pcmtap.1 "

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pcmtap_*.deb)
expect "package: name" "$(dpkg-deb -f "$deb" Package)" pcmtap
expect "package: version" "$(dpkg-deb -f "$deb" Version)" "$version"
expect "package: section" "$(dpkg-deb -f "$deb" Section)" sound
depends=$(dpkg-deb -f "$deb" Depends)
expect "package: depends on libao4" "$([[ $depends == *libao4* ]] && echo yes)" yes
expect "package: depends on libc6" "$([[ $depends == *libc6* ]] && echo yes)" yes
expect "package: long description" "$(dpkg-deb -f "$deb" Description | wc -l | awk '{print ($1 > 3)}')" 1
expect "package: files" \
  "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sort | tr '\n' ' ')" \
  "./usr/bin/pcmtap ./usr/share/man/man1/pcmtap.1 "

dpkg-deb -x "$deb" "$work/root"
pcmtap=$work/root/usr/bin/pcmtap
expect "extracted: --version" "$("$pcmtap" --version)" "pcmtap $version"
"$make_stream" --tone 440 --seconds 1 | HOME=$work "$pcmtap" -1 2>"$work/err"
expect "extracted: plays through the null driver" "$? $(cat "$work/err")" \
  "0 Opening audio id: -1"
warnings=$(MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/pcmtap.1" 2>&1 >/dev/null)
expect "extracted: man page renders without warnings" "$warnings" ""
expect "extracted: man page version" \
  "$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/pcmtap.1" 2>/dev/null | tail -n 1 | awk '{print $2}')" \
  "$version"

exit $failed
