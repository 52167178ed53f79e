
# The paths stored in ARCHIVE ('' the archive tresmo-cli finds by itself) that begin like CUR,
# one folder at a time: `ls FOLDER` lists the folder CUR has reached (folders end in '/'), so a
# large archive is never listed whole. Inside the watched folder the paths start from the
# current folder, as the program reads them.
_tresmo_cli_stored() {
    local prog=$1 archive=$2 cur=$3 dir="" name
    [[ $cur == */* ]] && dir=${cur%/*}/
    [[ $archive == "~/"* ]] && archive=$HOME/${archive#"~/"}
    "$prog" -q --wait 0 ${archive:+-a "$archive"} ls ${dir:+"$dir"} 2>/dev/null |
        sed -E 's/^.  +(- {23}|[0-9]+  .{19}  )//' |
        while IFS= read -r name; do
            [[ $dir$name == "$cur"* ]] && printf '%s\n' "$dir$name"
        done
}

_tresmo_cli_archives() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X '!*.trsm' -- "$1"; compgen -d -- "$1")
}

_tresmo_cli() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion -n = || return
    else
        words=("${COMP_WORDS[@]}") cword=$COMP_CWORD cur=${COMP_WORDS[COMP_CWORD]}
    fi
    # Walk what is typed: the command, the archive named by -a, the first positional, how many
    # positionals, and whether the word being completed is an option's value (skip holds what
    # that value completes).
    local cmd=tresmo-cli archive="" first="" npos=0 i w entry skip="" opt="" kind
    local -a kinds
    for ((i = 1; i < cword; i++)); do
        w=${words[i]}
        if [[ -n $skip ]]; then
            [[ $w == = ]] && continue
            [[ $skip == archive ]] && archive=$w
            skip=""
            continue
        fi
        case $w in
            --*=*) [[ ${w%%=*} == --archive ]] && archive=${w#*=} ;;
            -*)
                opt=$w
                for entry in ${_tresmo_cli_vals[$cmd]}; do
                    [[ ${entry%%=*} == "$w" ]] && skip=${entry#*=}
                done
                ;;
            *)
                if ((npos == 0)) && [[ " ${_tresmo_cli_cmds[$cmd]} " == *" $w "* ]]; then
                    cmd+=" $w"
                else
                    ((npos == 0)) && first=$w
                    ((npos++))
                fi
                ;;
        esac
    done
    if [[ $cur == --*=* ]]; then
        opt=${cur%%=*} cur=${cur#*=}
        for entry in ${_tresmo_cli_vals[$cmd]}; do
            [[ ${entry%%=*} == "$opt" ]] && skip=${entry#*=}
        done
    fi
    [[ $cur == = ]] && cur=""
    COMPREPLY=()
    if [[ -n $skip ]]; then
        case $skip in
            choice) mapfile -t COMPREPLY < <(compgen -W "${_tresmo_cli_choice[$cmd $opt]}" -- "$cur") ;;
            archive) _tresmo_cli_archives "$cur" ;;
            dir) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
        esac
        return 0
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${_tresmo_cli_opts[$cmd]}" -- "$cur")
    elif ((npos == 0)) && [[ -n ${_tresmo_cli_cmds[$cmd]} ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${_tresmo_cli_cmds[$cmd]}" -- "$cur")
    else
        read -ra kinds <<<"${_tresmo_cli_pos[$cmd]}"
        kind=${kinds[npos]}
        # An archive the program finds by itself may be left out. Without -a the first word is
        # the archive when it is named like one or more words follow than the command takes;
        # while it is being typed it may be either.
        if [[ ${kinds[0]} == found ]]; then
            if [[ -n $archive ]]; then
                kind=${kinds[npos + 1]}
            elif ((npos == 0)); then
                kind=found:${kinds[1]}
            elif [[ $first == *.trsm || $first == *.sel ]] || ((npos >= ${#kinds[@]} - 1)); then
                archive=$first
            else
                kind=${kinds[npos + 1]}
            fi
        fi
        case $kind in
            archive | found | found:) _tresmo_cli_archives "$cur" ;;
            path | found:path)
                [[ $kind == found:path ]] && _tresmo_cli_archives "$cur"
                compopt -o filenames -o nospace 2>/dev/null
                mapfile -t -O ${#COMPREPLY[@]} COMPREPLY \
                    < <(_tresmo_cli_stored "${words[0]}" "$archive" "$cur")
                ;;
            choice:*)
                w=${kind#choice:}
                mapfile -t COMPREPLY < <(compgen -W "${w//,/ }" -- "$cur")
                ;;
            "") ;;
            *) compopt -o default 2>/dev/null ;;
        esac
    fi
    return 0
}
complete -F _tresmo_cli tresmo-cli
