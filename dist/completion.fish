
# Walks what is typed: the command, the archive named by -a, the first positional, how many
# positionals, and (in skip) the option whose value the word being completed is.
function __tresmo_cli_parse
    set -g __tresmo_cli_cmd tresmo-cli
    set -g __tresmo_cli_archive
    set -g __tresmo_cli_first
    set -g __tresmo_cli_npos 0
    set -g __tresmo_cli_skip
    for w in (commandline -opc)[2..-1]
        if test -n "$__tresmo_cli_skip"
            contains -- $__tresmo_cli_skip -a --archive; and set __tresmo_cli_archive $w
            set __tresmo_cli_skip
            continue
        end
        switch $w
            case '--archive=*'
                set __tresmo_cli_archive (string replace -- --archive= '' $w)
            case '--*=*'
            case '-*'
                contains -- $w (string split ' ' -- (__tresmo_cli_table vals $__tresmo_cli_cmd))
                and set __tresmo_cli_skip $w
            case '*'
                if test $__tresmo_cli_npos = 0
                    and contains -- $w (string split ' ' -- (__tresmo_cli_table cmds $__tresmo_cli_cmd))
                    set __tresmo_cli_cmd "$__tresmo_cli_cmd $w"
                else
                    test $__tresmo_cli_npos = 0; and set __tresmo_cli_first $w
                    set __tresmo_cli_npos (math $__tresmo_cli_npos + 1)
                end
        end
    end
end

# What the word being completed is (found:KIND: the archive or the command's first word), with
# the archive its stored paths come from in __tresmo_cli_from ('' the one the program finds).
# An archive the program finds by itself may be left out. Without -a the first word is the
# archive when it is named like one or more words follow than the command takes.
function __tresmo_cli_kind
    set -l kinds (string split ' ' -- (__tresmo_cli_table pos $__tresmo_cli_cmd))
    set -l n (math $__tresmo_cli_npos + 1)
    set -g __tresmo_cli_from $__tresmo_cli_archive
    if test "$kinds[1]" = found
        if test -n "$__tresmo_cli_archive"
            set n (math $n + 1)
        else if test $n = 1
            echo found:$kinds[2]
            return
        else if string match -qr '\.(trsm|sel)$' -- $__tresmo_cli_first
            or test $n -ge (count $kinds)
            set __tresmo_cli_from $__tresmo_cli_first
        else
            set n (math $n + 1)
        end
    end
    echo $kinds[$n]
end

# True when the command typed is CMD ('' any) and, with KIND, the word being completed is a
# positional of that kind (command: a subcommand's name).
function __tresmo_cli_wants --argument-names cmd kind
    __tresmo_cli_parse
    test -z "$cmd" -o "$__tresmo_cli_cmd" = "$cmd"; or return 1
    test -z "$kind"; and return 0
    test -z "$__tresmo_cli_skip"; or return 1
    set -l cmds (__tresmo_cli_table cmds $__tresmo_cli_cmd)
    if test $__tresmo_cli_npos = 0 -a -n "$cmds"
        test $kind = command
        return
    end
    set -l k (__tresmo_cli_kind)
    switch $kind
        case archive
            contains -- $k archive found found: found:path
        case path
            contains -- $k path found:path
        case '*'
            string match -q -- "$kind*" (string replace found: '' -- $k)
    end
end

# The paths stored in the archive, one folder at a time: `ls FOLDER` lists the folder the word
# has reached (folders end in '/'), so a large archive is never listed whole. Inside the watched
# folder the paths start from the current folder, as the program reads them.
function __tresmo_cli_stored
    __tresmo_cli_parse
    __tresmo_cli_kind >/dev/null
    set -l archive
    test -n "$__tresmo_cli_from"
    and set archive -a (string replace -r '^~/' "$HOME/" -- $__tresmo_cli_from)
    set -l dir (string match -r '.*/' -- (commandline -ct))
    set -l prog (commandline -opc)[1]
    $prog -q --wait 0 $archive ls $dir 2>/dev/null |
        string replace -r '^.  +(- {23}|[0-9]+  .{19}  )' "$dir"
end

# Archive files and the folders that may hold one.
function __tresmo_cli_archives
    __fish_complete_path (commandline -ct) | string match -r '^[^\t]*(/|\.trsm)(\t.*)?$'
end

function __tresmo_cli_choices
    __tresmo_cli_parse
    string split , -- (string replace choice: '' -- (__tresmo_cli_kind))
end

complete -c tresmo-cli -n '__tresmo_cli_wants "" archive' -a '(__tresmo_cli_archives)'
complete -c tresmo-cli -n '__tresmo_cli_wants "" path' -a '(__tresmo_cli_stored)'
complete -c tresmo-cli -n '__tresmo_cli_wants "" choice' -a '(__tresmo_cli_choices)'
complete -c tresmo-cli -n '__tresmo_cli_wants "" file' -F
