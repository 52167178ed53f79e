#!/usr/bin/env bash
# Loads the completions in bash, zsh and fish and completes command lines in each as a user
# types them against a small archive: the command names and options come from the help texts,
# an option's value is not taken for a positional, PATH offers the stored paths one folder at a
# time, and inside the watched folder (or with -a or $TRESMO_ARCHIVE) the archive may be left
# out, the stored paths then starting from the current folder. zsh completes in an interactive
# shell on a pseudo-terminal, with compadd recording what it is given; zsh offers its fallback
# tags' files as well (shown only when nothing else matches), so only what must be offered is
# checked there.
#   check-completion.sh TRESMO_CLI COMPLETION_DIR
set -euo pipefail
cli=$(realpath "$1") comp=$(realpath "$2") here=$(realpath "$(dirname "$0")")
export PATH=$(dirname "$cli"):$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p w/src/sub w/docs
echo a >w/a.txt
echo b >"w/src/b c.txt"
echo c >w/src/sub/x.c
tresmo-cli -q init w >/dev/null
tresmo-cli -q save w.trsm >/dev/null
: >w/src/old.trsm

# LINE (a trailing space starts a new word) | what must be offered | what must not
#   | where it is typed and what is exported there (default: beside w)
cases="
tresmo-cli sa|save
tresmo-cli too|tools
tresmo-cli save --|--dry-run,--time,--json,--wait,--quiet|--version,--force
tresmo-cli ls --changed |today,year|a.txt
tresmo-cli cat |w.trsm|w.sel,save
tresmo-cli cat w.trsm |a.txt,src/,docs/|w.trsm
tresmo-cli history w.trsm src/|src/b c.txt,src/sub/|a.txt
tresmo-cli --wait 5 cat w.trsm src/s|src/sub/|w.trsm
tresmo-cli diff --range 1..2 w.trsm src/sub/|src/sub/x.c|a.txt
tresmo-cli log -n 3 |w.trsm|
tresmo-cli tools add |viewer,diff|list
tresmo-cli tools |add,list,remove|init
tresmo-cli help s|save,status|tools
tresmo-cli cat |b c.txt,sub/,old.trsm|a.txt,src/|w/src
tresmo-cli history sub/|sub/x.c|b c.txt|w/src
tresmo-cli -a ../../w.trsm cat |b c.txt,sub/|old.trsm|w/src
tresmo-cli diff --archive=../../w.trsm sub/|sub/x.c||w/src
tresmo-cli cat |a.txt,src/,w.trsm|w.sel|. TRESMO_ARCHIVE=w.trsm
"

complete_bash() {
    bash -c 'source "$1"; line=$2
             read -ra COMP_WORDS <<<"$line"; [[ $line == *" " ]] && COMP_WORDS+=("")
             COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line
             _tresmo_cli; printf "%s\n" "${COMPREPLY[@]}"' _ "$comp/tresmo-cli" "$1"
}
complete_zsh() {
    timeout 20 zsh -f "$here/zsh-complete.zsh" "$comp" "$work" "$1"
}
complete_fish() {
    fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$comp/tresmo-cli.fish" "$1" |
        cut -f1
}

failed=0
# Loading prints nothing: no syntax error, no unknown builtin.
for load in "bash -c 'source \"$comp/tresmo-cli\"'" \
    "zsh -f -c 'fpath=(\"$comp\" \$fpath); autoload -Uz compinit; compinit -u -d \"$work/zdump\"; source \"$comp/_tresmo-cli\"; (( \$+functions[_tresmo_cli_cat] ))'" \
    "fish --no-config -c 'source \"$comp/tresmo-cli.fish\"'"; do
    if ! err=$(eval "$load" 2>&1) || [ -n "$err" ]; then
        echo "loading failed: $load: $err" >&2
        failed=1
    fi
done
while IFS='|' read -r line want reject where; do
    [ -n "$line" ] || continue
    read -r dir env <<<"${where:-.}"
    for shell in bash zsh fish; do
        got=$(cd "$dir" && if [ -n "$env" ]; then export "${env?}"; fi && complete_$shell "$line")
        IFS=, read -ra wants <<<"$want"
        IFS=, read -ra rejects <<<"$reject"
        [ $shell = zsh ] && rejects=()
        for w in "${wants[@]}"; do
            grep -qxF -- "$w" <<<"$got" || { echo "$shell: '$line' does not offer '$w'" >&2; failed=1; }
        done
        for r in "${rejects[@]}"; do
            ! grep -qxF -- "$r" <<<"$got" || { echo "$shell: '$line' offers '$r'" >&2; failed=1; }
        done
    done
done <<<"$cases"
[ "$failed" = 0 ] && echo "completions load and complete"
exit "$failed"
