
_tresmo_cli_archives() {
  _files -g '*.trsm(-.)'
}

# The paths stored in the archive, one folder at a time: `ls ARCHIVE FOLDER` lists the folder
# the word has reached (folders end in '/'), so a large archive is never listed whole.
_tresmo_cli_stored() {
  local archive=${~1} dir=""
  [[ -n $archive ]] || return 1
  [[ $PREFIX == */* ]] && dir=${PREFIX%/*}/
  local -a entries folders files
  entries=(${(f)"$(${_tresmo_cli_prog:-tresmo-cli} -q --wait 0 ls $archive ${dir:+$dir} 2>/dev/null |
    sed -E 's/^.  +(- {23}|[0-9]+  .{19}  )//')"})
  folders=(${(M)entries:#*/})
  files=(${entries:#*/})
  compadd -S '' -- ${dir}${^folders}
  compadd -- ${dir}${^files}
}

if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
  _tresmo_cli "$@"
else
  compdef _tresmo_cli tresmo-cli
fi
