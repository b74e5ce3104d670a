# bash completion for tarn: commands, their options, method names, archives
# (*.trn, *.exe) and, after the archive of a reading command, its entries.

_tarn_entries() {
  # The archive's entry names, one per line; nothing when it cannot be read.
  [ -f "$1" ] || return
  tarn list -q -- "$1" 2>/dev/null
}

_tarn() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n = || return
  else
    COMPREPLY=()
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD - 1]}"
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local commands="create c add a delete d extract x cat list l test t info i bench"
  local command="" archive="" i w ends=0
  for ((i = 1; i < cword; i++)); do
    w="${words[i]}"
    if [ "$ends" -eq 0 ] && [ "$w" = "--" ]; then ends=1; continue; fi
    if [ "$ends" -eq 0 ] && [[ "$w" == -?* ]]; then
      case "$w" in -C | -j | --directory | --threads | --name | --exclude | --method) ((i++)) ;; esac
      continue
    fi
    if [ -z "$command" ]; then command="$w"; elif [ -z "$archive" ]; then archive="$w"; fi
  done

  case "$prev" in
    -C | --directory) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -j | --threads | --name | --exclude) return ;;
    --method) COMPREPLY=($(compgen -W "store quickest fast normal good superb extreme" -- "$cur")); return ;;
  esac
  if [[ "$cur" == --method=* ]]; then
    COMPREPLY=($(compgen -W "store quickest fast normal good superb extreme" -- "${cur#--method=}"))
    return
  fi
  if [[ "$cur" == --directory=* ]]; then
    COMPREPLY=($(compgen -d -- "${cur#--directory=}"))
    return
  fi

  local common="-h --help -V --version -q --quiet -v --verbose"
  local options
  case "$command" in
    create | c) options="-0 -1 -2 -3 -4 -5 -6 --method= --no-solid --exclude= -j --threads= --name=" ;;
    add | a) options="--no-solid --exclude= -j --threads= --name=" ;;
    delete | d) options="--exclude= -j --threads=" ;;
    extract | x) options="-C --directory= --stdout -f --overwrite --skip-existing --keep-newer --exclude= -j --threads=" ;;
    cat | test | t) options="--exclude= -j --threads=" ;;
    list | l) options="-l --long --json --exclude=" ;;
    info | i) options="--json" ;;
    bench) options="-0 -1 -2 -3 -4 -5 -6 --method=" ;;
    *) options="" ;;
  esac
  if [ "$ends" -eq 0 ] && [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$common $options" -- "$cur"))
    [[ "${COMPREPLY[0]:-}" == *= ]] && compopt -o nospace 2>/dev/null
    return
  fi

  if [ -z "$command" ]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    return
  fi
  if [ -z "$archive" ] && [ "$command" != bench ]; then
    # The archive: directories to go down and archives.
    local IFS=$'\n'
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.trn' -- "$cur") $(compgen -f -X '!*.exe' -- "$cur"))
    compopt -o filenames 2>/dev/null
    return
  fi
  case "$command" in
    delete | d | extract | x | cat | list | l | test | t)
      local IFS=$'\n'
      COMPREPLY=($(compgen -W "$(_tarn_entries "$archive")" -- "$cur"))
      ;;
    info | i) ;;
    *)
      local IFS=$'\n'
      COMPREPLY=($(compgen -f -- "$cur"))
      compopt -o filenames 2>/dev/null
      ;;
  esac
}

complete -F _tarn tarn
