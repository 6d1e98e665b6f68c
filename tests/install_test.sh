#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Installs the build into a scratch prefix with `cmake --install`, as users
# who build from source do, and checks what it installs: the files, the
# binary's version, the manual and the bash completion. The Debian package's
# own tests are in debian/tests.
# Usage: install_test.sh BUILD_DIR VERSION
set -u
build=$(cd "$1" && pwd)
version=$2
. "$(dirname "$0")/test_lib.sh"
require_tools man /usr/share/bash-completion/bash_completion

# A build with the Debian packaging beside it (a clone, not the release
# tarball) also installs the changelog and copyright.
docs=""
[[ -f $build/changelog.gz ]] &&
  docs="./share/doc/pcmtap/changelog.gz ./share/doc/pcmtap/copyright "
files="./bin/pcmtap ./share/bash-completion/completions/pcmtap \
${docs}./share/man/man1/pcmtap.1.gz"
root=$work/prefix
cmake --install "$build" --prefix "$root" >/dev/null
expect "install: files" "$(cd "$root" && find . -type f | sort | xargs)" "$files"
expect "installed: --version" "$("$root/bin/pcmtap" --version)" "pcmtap $version"
if [[ -n $docs ]]; then
  expect "installed: changelog's newest version" \
    "$(zcat "$root/share/doc/pcmtap/changelog.gz" | sed -n '1s/^pcmtap (\([^)]*\)-[0-9]*).*/\1/p')" \
    "$version"
fi
manual=$root/share/man/man1/pcmtap.1.gz
warnings=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)
expect "installed: manual renders without warnings" "$warnings" ""
expect "installed: manual version and date from the build" \
  "$(MANWIDTH=80 man -l "$manual" 2>/dev/null | tail -n 1 | awk '{print $2, $3}')" \
  "$version $(awk '$1 == ".TH" { gsub(/"/, "", $4); print $4 }' "$build/pcmtap.1")"

# A snapshot of the sources without .git: scripts/package says why it
# cannot build, before it installs anything.
mkdir -p "$work/snapshot/scripts"
cp "$(dirname "$0")/../scripts/package" "$work/snapshot/scripts/"
expect "package without git: message, status" \
  "$("$work/snapshot/scripts/package" 2>&1; echo $?)" \
  "scripts/package: builds from a git clone, since the source release is made with git archive
1"

# pcmtap <TAB> offers the live drivers by name; a number typed completes to
# driver numbers, and a minus sign to the default; after a redirection, file
# names. complete LINE WORD...: the completions of LINE, split into words as
# bash splits it.
touch "$work/stream-file"
complete() {
  (cd "$work" && HOME=$work PATH=$root/bin:$PATH bash -c '
    . /usr/share/bash-completion/bash_completion; . "$1"
    COMP_LINE=$2 COMP_POINT=${#2} COMP_WORDS=("${@:3}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _pcmtap
    printf "%s\n" "${COMPREPLY[@]}"' _ \
    "$root/share/bash-completion/completions/pcmtap" "$@" | xargs)
}
expect "completion: names" "$(complete "pcmtap " pcmtap "" | tr ' ' '\n' | grep -cx null)" 1
expect "completion: nu" "$(complete "pcmtap nu" pcmtap nu)" null
expect "completion: -" "$(complete "pcmtap -" pcmtap -)" -1
expect "completion: < file" "$(complete "pcmtap null < stream-f" pcmtap null "<" stream-f)" stream-file
expect "completion: 2>file" "$(complete "pcmtap null 2>str" pcmtap null 2 ">" str)" stream-file

exit $failed
