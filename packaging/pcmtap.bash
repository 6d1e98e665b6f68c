# SPDX-License-Identifier: GPL-2.0-or-later
# Bash completion for pcmtap: the audio id is offered from the live drivers
# that `pcmtap --help` lists on this machine, each shown with its name.
_pcmtap() {
  COMPREPLY=()
  ((COMP_CWORD == 1)) || return 0
  local cur=${COMP_WORDS[COMP_CWORD]} id name
  local -a matches=()
  while read -r id name; do
    [[ $id == "$cur"* ]] && matches+=("$id  $name")
  done < <("${COMP_WORDS[0]}" --help 2>/dev/null |
    awk '/^Live drivers/ { listing = 1; next } listing && $1 ~ /^[0-9]+$/ { print $1, $2 }')
  [[ -1 == "$cur"* ]] && matches+=("-1  default driver")
  if ((${#matches[@]} == 1)); then
    COMPREPLY=("${matches[0]%%  *}")  # the id alone goes on the line
  else
    COMPREPLY=("${matches[@]}")
  fi
}
complete -F _pcmtap pcmtap
