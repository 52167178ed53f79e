
# The paths stored in ARCHIVE that begin like CUR, one folder at a time: `ls ARCHIVE FOLDER`
# lists the folder CUR has reached (folders end in '/'), so a large archive is never listed
# whole.
_tresmo_cli_stored() {
    local prog=$1 archive=$2 cur=$3 dir="" name
    [[ $cur == */* ]] && dir=${cur%/*}/
    [[ $archive == "~/"* ]] && archive=$HOME/${archive#"~/"}
    "$prog" -q --wait 0 ls "$archive" ${dir:+"$dir"} 2>/dev/null |
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
    # Walk what is typed: the command, the archive, how many positionals, and whether the
    # word being completed is an option's value (skip holds what that value completes).
    local cmd=tresmo-cli archive="" npos=0 i w entry skip="" opt=""
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
                    read -ra kinds <<<"${_tresmo_cli_pos[$cmd]}"
                    [[ ${kinds[npos]} == archive && -z $archive ]] && archive=$w
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
        case ${kinds[npos]} in
            archive) _tresmo_cli_archives "$cur" ;;
            path)
                [[ -n $archive ]] || return 0
                compopt -o filenames -o nospace 2>/dev/null
                mapfile -t COMPREPLY < <(_tresmo_cli_stored "${words[0]}" "$archive" "$cur")
                ;;
            choice:*)
                w=${kinds[npos]#choice:}
                mapfile -t COMPREPLY < <(compgen -W "${w//,/ }" -- "$cur")
                ;;
            "") ;;
            *) compopt -o default 2>/dev/null ;;
        esac
    fi
    return 0
}
complete -F _tresmo_cli tresmo-cli
