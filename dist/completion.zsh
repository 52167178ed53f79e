
_tresmo_cli_archives() {
  _files -g '*.trsm(-.)'
}

# The paths stored in ARCHIVE ('' the archive the program finds by itself), one folder at a
# time: `ls FOLDER` lists the folder the word has reached (folders end in '/'), so a large
# archive is never listed whole. Inside the watched folder the paths start from the current
# folder, as the program reads them.
_tresmo_cli_stored() {
  local dir=""
  [[ $PREFIX == */* ]] && dir=${PREFIX%/*}/
  local -a archive entries folders files
  [[ -n $1 ]] && archive=(-a ${~1})
  entries=(${(f)"$(${_tresmo_cli_prog:-tresmo-cli} -q --wait 0 $archive ls ${dir:+$dir} \
    2>/dev/null |
    sed -E 's/^.  +(- {23}|[0-9]+  .{19}  )//')"})
  folders=(${(M)entries:#*/})
  files=(${entries:#*/})
  compadd -S '' -- ${dir}${^folders}
  compadd -- ${dir}${^files}
}

# Completes positional N of a command whose positionals are KINDS, the first an archive the
# program finds by itself when it is left out; ARCHIVE is the one -a names, FIRST the first
# positional typed. Without -a the first word is the archive when it is named like one or more
# words follow than the command takes; while it is being typed it may be either.
_tresmo_cli_positional() {
  local n=$1 archive=$2 first=$3 ret=1 kind
  shift 3
  if [[ -n $archive ]]; then
    kind=$@[n+1]
  elif (( n == 1 )); then
    _tresmo_cli_archives && ret=0
    kind=$2
  elif [[ $first == *.(trsm|sel) ]] || (( n >= $# )); then
    archive=$first kind=$@[n]
  else
    kind=$@[n+1]
  fi
  case $kind in
    path) _tresmo_cli_stored "$archive" && ret=0 ;;
    file) _files && ret=0 ;;
  esac
  return ret
}

if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
  _tresmo_cli "$@"
else
  compdef _tresmo_cli tresmo-cli
fi
