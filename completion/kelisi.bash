# bash completion for kelisi: the command, then each command's options and
# file names (ISI files first).
_kelisi() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  if ((COMP_CWORD == 1)); then
    COMPREPLY=($(compgen -W "info find range dump count check insert delete indexes --help --version" -- "$cur"))
    return
  fi
  local opts
  case ${COMP_WORDS[1]} in
    info) opts="--json" ;;
    find) opts="--prefix --data --json" ;;
    range | dump) opts="--data --json" ;;
    count) opts="--prefix" ;;
    check) opts="--records --allow-free --all --strict --json" ;;
    insert) opts="--data-anyway --wait" ;;
    delete) opts="--prefix --keys --at --data-anyway --wait" ;;
    indexes) opts="" ;;
    *) return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$opts --help" -- "$cur"))
    return
  fi
  compopt -o filenames 2>/dev/null
  if [[ ${COMP_WORDS[1]} == indexes ]] && ((COMP_CWORD == 2)); then
    COMPREPLY=($(compgen -f -- "$cur"))  # the data file
  elif [[ $prev == --data || $prev == --keys ]] || ((COMP_CWORD > 2)); then
    COMPREPLY=($(compgen -f -- "$cur"))
  else
    # The index: ISI files and directories.
    COMPREPLY=($(compgen -f -X '!*.[iI][sS][iI]' -- "$cur") $(compgen -d -- "$cur"))
  fi
}
complete -F _kelisi kelisi
