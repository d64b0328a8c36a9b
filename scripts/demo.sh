#!/usr/bin/env bash
# A first run: builds an index over the sample data shipped in examples/,
# shows the command line it stored, then looks at the index through kelisi
# (what its header says, and one key found with its record), in a scratch
# directory so that the checkout stays clean. kelindex is run under the
# name "kelindex", so that its echo of the command reads as the command
# shown.
#
#   scripts/demo.sh BUILD_DIR    (the folder holding kelindex and kelisi)
set -euo pipefail
build="$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/customers.txt "$work"/
cd "$work"
run() {
  echo "\$ $*"
  local program=$1
  shift
  (exec -a "$program" "$build/$program" "$@")
  echo
}
run kelindex customers.txt,customers.isi -1-8,10-29
run kelindex customers.isi -i
run kelisi info customers.isi
run kelisi find customers.isi C0052445 --prefix --data customers.txt
