# Completes LINE in an interactive zsh on a pseudo-terminal and prints each candidate the
# completion hands to compadd, one a line. Tab runs a widget that completes and then prints an
# end mark; the marks are split in the typed text, so the terminal's echo of it holds none.
#   zsh -f zsh-complete.zsh COMPLETION_DIR SCRATCH_DIR LINE
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PROMPT=; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -d $2/zdump"
zpty -w z 'compadd() {
  [[ " $* " == *" -"[OAD]" "* ]] && { builtin compadd "$@"; return }
  local -a hits; builtin compadd -A hits "$@"; local h
  for h in $hits; do print -r -- "<""hit>${(Q)h}"; done }'
zpty -w z '_capture() { zle complete-word; print -r -- "<""end>" }; zle -N _capture; bindkey "^I" _capture'
zpty -w z "$3"$'\t'
local out line
zpty -r z out '*<end>*'
for line in ${(f)out}; do
  [[ $line == *'<hit>'* ]] && print -r -- "${${line##*<hit>}%%$'\r'*}"
done
zpty -d z
