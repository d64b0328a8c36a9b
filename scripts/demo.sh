#!/usr/bin/env bash
# Builds an index over the sample data shipped in examples/ and shows what
# it stored, in a scratch directory so that the checkout stays clean.
set -euo pipefail
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/customers.txt "$work"/
cd "$work"
echo "\$ kelindex customers.txt,customers.isi -1-8,10-29"
"$bin" customers.txt,customers.isi -1-8,10-29 || true
echo
echo "\$ kelindex customers.isi -i"
"$bin" customers.isi -i || true
