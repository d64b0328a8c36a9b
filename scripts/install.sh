#!/usr/bin/env bash
# make install: installs a build into PREFIX (under DESTDIR when it is set)
# and records, beside the list of installed files CMake keeps
# (BUILD/install_manifest.txt), the directories the installation made
# (BUILD/install_dirs.txt, deepest first), so that make uninstall
# (scripts/uninstall.sh) removes them again and leaves no folder empty.
#
#   scripts/install.sh BUILD PREFIX
set -euo pipefail
build=${1:?usage: install.sh BUILD PREFIX}
prefix=${2:?usage: install.sh BUILD PREFIX}
dest=${DESTDIR:-}
# The directories there before: PREFIX, the folders above it and those in it.
declare -A existed
for ((d = 0; ; d++)); do
  dir=$prefix
  for ((i = 0; i < d; i++)); do dir=$(dirname "$dir"); done
  [[ -d $dest$dir ]] && existed[$dest$dir]=1
  [[ $dir == / || $dir == . ]] && break
done
if [[ -d $dest$prefix ]]; then
  while IFS= read -r dir; do existed[$dir]=1; done < <(find "$dest$prefix" -type d)
fi
cmake --install "$build" --strip --prefix "$prefix"
declare -A made
while IFS= read -r file || [[ -n $file ]]; do
  dir=$(dirname "$dest$file")
  while [[ -z ${existed[$dir]:-} && -z ${made[$dir]:-} && $dir != / && $dir != . ]]; do
    made[$dir]=1
    dir=$(dirname "$dir")
  done
done < "$build/install_manifest.txt"
printf '%s\n' "${!made[@]}" | awk 'NF' | sort -r > "$build/install_dirs.txt"
