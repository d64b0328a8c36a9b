#!/usr/bin/env bash
# Runs every fuzz target of a KEL_FUZZ build for a while, starting from the
# seed corpus committed under tests/fuzz/corpus/<target>/.
#
#   scripts/run-fuzz.sh <build-dir> [seconds per target, default 30]
#
# New inputs the fuzzer finds go to a scratch corpus, so the committed seeds
# stay as they are; a failing input is kept in <build-dir>/fuzz-artifacts/
# and the script ends with status 1 after trying every target.
set -euo pipefail
build="$(cd "${1:?usage: run-fuzz.sh <build-dir> [seconds]}" && pwd)"
seconds="${2:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
artifacts="$build/fuzz-artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

shopt -s nullglob
targets=("$build"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzz: no fuzz targets in $build (configure with -DKEL_FUZZ=ON)" >&2
  exit 1
fi

# The targets write and delete small files for every input: a file system
# in memory makes them several times faster.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

failed=()
for bin in "${targets[@]}"; do
  [ -x "$bin" ] && [ -f "$bin" ] || continue
  name="$(basename "$bin")"
  seeds="$root/tests/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds=""
  mkdir -p "$scratch/$name" "$artifacts/$name"
  echo "== $name: ${seconds}s"
  # The targets move into a private directory: every path handed to them
  # is absolute.
  if ! (cd "$scratch" && "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
          -print_final_stats=1 -artifact_prefix="$artifacts/$name/" \
          "$scratch/$name" ${seeds:+"$seeds"} 2>"$scratch/$name.log"); then
    failed+=("$name")
    tail -n 60 "$scratch/$name.log" >&2
  else
    grep -E '^(stat::number_of_executed_units|Done )' "$scratch/$name.log" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzz: failing targets: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "run-fuzz: all targets ran clean"
