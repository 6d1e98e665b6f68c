# SPDX-License-Identifier: GPL-2.0-or-later
# Bash completion for pcmtap: the audio id is offered from the live drivers
# that `pcmtap --help` lists on this machine, by name; a word that starts
# with a digit or a minus sign completes to driver numbers and -1 instead.
_pcmtap() {
  COMPREPLY=()
  ((COMP_CWORD == 1)) || return 0
  local cur=${COMP_WORDS[COMP_CWORD]} id name
  local -a words=()
  while read -r id name; do
    if [[ $cur == [0-9-]* ]]; then words+=("$id"); else words+=("$name"); fi
  done < <("${COMP_WORDS[0]}" --help 2>/dev/null |
    awk '/^Live drivers/ { listing = 1; next } listing && $1 ~ /^[0-9]+$/ { print $1, $2 }')
  [[ $cur == [0-9-]* ]] && words+=(-1)
  mapfile -t COMPREPLY < <(compgen -W "${words[*]}" -- "$cur")
}
complete -F _pcmtap pcmtap
