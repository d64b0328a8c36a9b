# bash completion for kelindex: the leading options before the data file,
# file names for the file fields, and the option letters after the marker.
_kelindex() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i seen_file=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} != -* ]] && seen_file=1
  done
  case $cur in
    -l* | -q* | -i*)
      # A log or profile name written on to the option letter.
      local opt=${cur:0:2}
      COMPREPLY=($(compgen -f -P "$opt" -- "${cur:2}"))
      return
      ;;
    -*)
      if ((seen_file)); then
        # After the file fields: the commands on an existing index (the
        # letters and key specifications of a build are typed as one word;
        # kelindex -? lists them).
        COMPREPLY=($(compgen -W "-i -r -r0 -c -c=0 -c=1" -- "$cur"))
      elif ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "-l -q -0 -1 -d -i -m -t --help --version" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "-l -q -0 -1 -d -i -m -t" -- "$cur"))
      fi
      return
      ;;
  esac
  # data[,isi[,Lnnn[,tmppath]]]: complete the file name after the last comma.
  local head="" tail=$cur
  if [[ $cur == *,* ]]; then
    head=${cur%,*},
    tail=${cur##*,}
  fi
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -f -P "$head" -- "$tail"))
}
complete -F _kelindex kelindex
