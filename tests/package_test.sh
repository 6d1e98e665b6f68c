#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a scratch prefix and builds the Debian package,
# checks their contents and metadata, runs lintian on the package, and runs
# the binary extracted from the package through libao's null driver, its
# manual and its bash completion.
# Usage: package_test.sh BUILD_DIR VERSION
set -u
build=$(cd "$1" && pwd)
version=$2
. "$(dirname "$0")/test_lib.sh"
require_tools cpack dpkg-deb man lintian file

files="./bin/pcmtap ./share/bash-completion/completions/pcmtap \
./share/doc/pcmtap/changelog.gz ./share/doc/pcmtap/copyright \
./share/man/man1/pcmtap.1.gz"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
expect "install: files" "$(cd "$work/prefix" && find . -type f | sort | xargs)" "$files"

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pcmtap_*.deb)
expect "package: name" "$(dpkg-deb -f "$deb" Package)" pcmtap
expect "package: version" "$(dpkg-deb -f "$deb" Version)" "$version"
expect "package: section" "$(dpkg-deb -f "$deb" Section)" sound
depends=$(dpkg-deb -f "$deb" Depends)
expect "package: depends on libao4" "$([[ $depends == *libao4* ]] && echo yes)" yes
expect "package: files" \
  "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sort | xargs)" \
  "${files//.\//./usr/}"

# No error and no warning; the info tags are printed for the record.
# lintian keeps its temporary files in the scratch folder, which goes at exit.
TMPDIR=$work lintian --fail-on error,warning --info --display-info "$deb" >"$work/lintian" 2>&1
expect "lintian: no error or warning" $? 0
sed 's/^/  lintian: /' "$work/lintian"

dpkg-deb -x "$deb" "$work/root"
pcmtap=$work/root/usr/bin/pcmtap
expect "extracted: --version" "$("$pcmtap" --version)" "pcmtap $version"
"$pcmtap" 2>/dev/null </dev/null  # the usage; makes sure the binary loads
{ printf 'y5X#\0\0\0\0\x44\xac\0\0\0\0\0\0'; head -c 24008 /dev/zero; } |
  HOME=$work "$pcmtap" -1 2>"$work/err"
expect "extracted: plays through the null driver" "$? $(cat "$work/err")" \
  "0 Opening audio id: -1"
manual=$work/root/usr/share/man/man1/pcmtap.1.gz
warnings=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)
expect "extracted: manual renders without warnings" "$warnings" ""
expect "extracted: manual version and date from the build" \
  "$(MANWIDTH=80 man -l "$manual" 2>/dev/null | tail -n 1 | awk '{print $2, $3}')" \
  "$version $(awk '$1 == ".TH" { gsub(/"/, "", $4); print $4 }' "$build/pcmtap.1")"

# pcmtap <TAB> offers the live drivers by name; a number typed completes to
# driver numbers, and a minus sign to the default; after a redirection, file
# names. complete LINE WORD...: the completions of LINE, split into words as
# bash splits it.
touch "$work/stream-file"
complete() {
  (cd "$work" && HOME=$work PATH=$work/root/usr/bin:$PATH bash -c '
    . /usr/share/bash-completion/bash_completion; . "$1"
    COMP_LINE=$2 COMP_POINT=${#2} COMP_WORDS=("${@:3}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _pcmtap
    printf "%s\n" "${COMPREPLY[@]}"' _ \
    "$work/root/usr/share/bash-completion/completions/pcmtap" "$@" | xargs)
}
expect "completion: names" "$(complete "pcmtap " pcmtap "" | tr ' ' '\n' | grep -cx null)" 1
expect "completion: nu" "$(complete "pcmtap nu" pcmtap nu)" null
expect "completion: -" "$(complete "pcmtap -" pcmtap -)" -1
expect "completion: < file" "$(complete "pcmtap null < stream-f" pcmtap null "<" stream-f)" stream-file
expect "completion: 2>file" "$(complete "pcmtap null 2>str" pcmtap null 2 ">" str)" stream-file

exit $failed
