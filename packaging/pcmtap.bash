# SPDX-License-Identifier: GPL-2.0-or-later
# Copyright 2026 pcmtap maintainers
# Bash completion for pcmtap: the audio id is offered from the live drivers
# that `pcmtap --help` lists on this machine, by name; a word that starts
# with a digit or a minus sign completes to driver numbers and -1 instead.
# After a redirection (<, >, 2>...) bash-completion completes file names.
_pcmtap() {
  local cur prev words cword
  _init_completion || return
  ((cword == 1)) || return 0
  local id name
  local -a names=()
  while read -r id name; do
    if [[ $cur == [0-9-]* ]]; then names+=("$id"); else names+=("$name"); fi
  done < <("${words[0]}" --help 2>/dev/null |
    awk '/^Live drivers/ { listing = 1; next } listing && $1 ~ /^[0-9]+$/ { print $1, $2 }')
  [[ $cur == [0-9-]* ]] && names+=(-1)
  mapfile -t COMPREPLY < <(compgen -W "${names[*]}" -- "$cur")
}
complete -F _pcmtap pcmtap
