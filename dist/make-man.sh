#!/usr/bin/env bash
# Writes the manual pages of tresmo-cli from its own help texts with help2man: tresmo-cli(1)
# and one page per command, a command's own commands included (tresmo-cli-save(1),
# tresmo-cli-tools-add(1)). The commands are read from the help's "Subcommands:" list, so a
# new command gets its page without a change here.
#   make-man.sh TRESMO_CLI OUT_DIR
set -euo pipefail
cli=$1 out=$2
version=$("$cli" --version | awk '{print $NF}')
mkdir -p "$out"
rm -f "$out"/tresmo-cli*.1

# The "Subcommands:" block of a help text as lines "NAME<TAB>SUMMARY" (CLI11 puts a summary
# on the next line when the name is long).
commands() {
    awk '/^Subcommands:$/ { on = 1; next }
         on && /^$/ { exit }
         on && /^  [^ ]/ { if (name != "") print name "\t" summary
                           name = $1; summary = $0; sub(/^ *[^ ]+ */, "", summary); next }
         on { s = $0; sub(/^ */, "", s); summary = summary s }
         END { if (name != "") print name "\t" summary }'
}

# page WORDS SUMMARY SEE_ALSO: the page of `tresmo-cli WORDS`.
page() {
    local words=$1 summary=$2 see=$3 name
    name=tresmo-cli${words:+-${words// /-}}
    printf '[SEE ALSO]\n%s\n' "$see" > "$out/$name.see"
    help2man --no-info --no-discard-stderr --name="$summary" --include="$out/$name.see" \
        --help-option="${words:+$words }--help" --version-string="$name $version" \
        --output="$out/$name.1" "$cli"
    rm "$out/$name.see"
}

# Every command beneath WORDS, depth first; prints the names of the pages written.
walk() {
    local words=$1 name summary
    "$cli" $words --help | commands | while IFS=$'\t' read -r name summary; do
        [ -z "$words" ] && [ "$name" = help ] && continue
        local sub=${words:+$words }$name
        page "$sub" "$summary" \
            ".BR tresmo\\-cli (1)
for the options every command takes and the exit status."
        echo "tresmo-cli-${sub// /-}"
        walk "$sub"
    done
}

pages=$(walk "")
see=$(for p in $pages; do printf '.BR %s (1),\n' "${p//-/\\-}"; done)
page "" "keep every version of a folder's files in one archive" "$see
.BR tresmo (1)"
