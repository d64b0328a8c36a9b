#!/usr/bin/env bash
# make uninstall: removes every file the last make install of BUILD wrote
# (under the same DESTDIR), then every directory it made that is empty
# now, deepest first (scripts/install.sh recorded them).
#
#   scripts/uninstall.sh BUILD
set -euo pipefail
build=${1:?usage: uninstall.sh BUILD}
manifest=$build/install_manifest.txt
if [[ ! -f $manifest ]]; then
  echo "uninstall: no installation from $build is recorded"
  exit 1
fi
while IFS= read -r file || [[ -n $file ]]; do
  rm -fv "${DESTDIR:-}$file"
done < "$manifest"
if [[ -f $build/install_dirs.txt ]]; then
  while IFS= read -r dir; do
    [[ -d $dir ]] && rmdir --ignore-fail-on-non-empty -v "$dir"
  done < "$build/install_dirs.txt"
fi
rm -f "$manifest" "$build/install_dirs.txt"
