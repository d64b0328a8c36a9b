#!/usr/bin/env bash
# A first run: builds an index over the sample data shipped in examples/ and
# shows the command line it stored, in a scratch directory so that the
# checkout stays clean. The program is run under the name "kelindex", so that
# its echo of the command reads as the command shown.
set -euo pipefail
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/customers.txt "$work"/
cd "$work"
run() {
  echo "\$ kelindex $*"
  (exec -a kelindex "$bin" "$@")
  echo
}
run customers.txt,customers.isi -1-8,10-29
run customers.isi -i
