#!/usr/bin/env bash
# Times kelindex against what a user could do instead with the same data
# file: read it (cat, wc -l), sort its keys with GNU sort, or load it into
# SQLite and index it. Every tool runs on the same file in the same run,
# round after round, so that a change in machine load hits all alike; the
# table shows medians. Each index kelindex builds is checked with
# `kelisi check data.isi data.txt`, and a wrong one is reported as FAILED,
# never as a time; the check of the default build is timed too. Then
# bm_lookup, when it was built, times lookups and a scan of a 1M-key index
# through libkelisi against SQLite and LMDB, and its summary ends the report.
#
#   bench/run_bench.sh BUILD_DIR
#
# Environment: BENCH_RUNS (rounds, default 5), BENCH_LARGE=1 (add the
# 10,000,000-record set), BENCH_LOOKUP=0 (leave bm_lookup out),
# BENCH_AGAINST=PATH (another kelindex, say the build before a change, timed
# in the same rounds with the default options), TMPDIR (where the scratch
# data goes).
set -euo pipefail
export LC_ALL=C  # the sort under test compares bytes; '.' in EPOCHREALTIME

build_dir="${1:?usage: bench/run_bench.sh BUILD_DIR}"
build_dir="$(cd "$build_dir" && pwd)"
runs="${BENCH_RUNS:-5}"
large="${BENCH_LARGE:-0}"
lookup="${BENCH_LOOKUP:-1}"
against="${BENCH_AGAINST:-}"
kelindex="$build_dir/kelindex"
gen_data="$build_dir/gen_data"
kelisi="$build_dir/kelisi"
bm_lookup="$build_dir/bm_lookup"

readonly rec_len=99        # + LF = 100 bytes a record
readonly key_cols="1-10"
readonly big_mem=268435456 # the -m run: 256 MiB of sort memory

die() { echo "run_bench: $*" >&2; exit 1; }

[[ "$runs" =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number, not '$runs'"
if [ -n "$against" ]; then
  against="$(cd "$(dirname "$against")" && pwd)/$(basename "$against")"
  [ -x "$against" ] || die "BENCH_AGAINST: $against is not a program"
fi
for tool in "$gen_data" "$kelisi"; do
  [ -x "$tool" ] || die "$tool is missing; build first (make build)"
done
command -v sqlite3 >/dev/null || die "sqlite3 is missing; run scripts/install-deps.sh --bench"
[ -x /usr/bin/time ] || die "/usr/bin/time is missing; run scripts/install-deps.sh --bench"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/kelbench.XXXXXX")"
# shellcheck disable=SC2317  # called by the trap
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
# Every tool runs from here (kelindex writes its index and work files into
# the current directory). No wrapper shell is timed: its own resident set
# would count in the peak RSS of the program it starts.
cd "$scratch"

# ---- measuring ---------------------------------------------------------------

# run_timed OUT CMD...: runs CMD once with its output to OUT; sets T_US (wall
# time in microseconds), RSS_KB (peak resident set) and RC (exit status).
run_timed() {
  local out=$1 t0 t1
  shift
  RC=0
  t0=${EPOCHREALTIME/./}
  /usr/bin/time -f '%e %M' -o "$scratch/time.txt" "$@" >"$out" 2>&1 || RC=$?
  t1=${EPOCHREALTIME/./}
  T_US=$((t1 - t0))
  RSS_KB=$(awk 'END { print $2 + 0 }' "$scratch/time.txt")
}

# Results, keyed "set/tool": run times (µs, space separated), the highest
# peak RSS (KiB), and the first failure.
declare -A times rss failed

note() {  # note KEY: file the last run_timed under KEY
  times[$1]+="$T_US "
  if (( RSS_KB > ${rss[$1]:-0} )); then rss[$1]=$RSS_KB; fi
}
fail() {  # fail KEY REASON: the first reason is kept
  [ -n "${failed[$1]:-}" ] || failed[$1]="$2"
}

median() {  # median of microsecond values, in seconds
  # shellcheck disable=SC2086  # the list is split on purpose
  printf '%s\n' $1 | sort -n | awk '{ v[NR] = $1 }
    END { if (NR == 0) print ""; else if (NR % 2) printf "%.6f", v[(NR + 1) / 2] / 1e6;
          else printf "%.6f", (v[NR / 2] + v[NR / 2 + 1]) / 2e6 }'
}

thousands() { echo "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta'; }

first_line() {  # the first non-blank line of a log, for a FAILED row
  local line
  line=$(grep -v '^[[:space:]]*$' "$1" | head -n 1 | cut -c1-100 || true)
  echo "${line:-(no output)}"
}

# ---- the tools -----------------------------------------------------------------

time_plain() {  # time_plain KEY CMD...: a tool whose output is thrown away
  local key=$1
  shift
  [ -z "${failed[$key]:-}" ] || return 0
  run_timed /dev/null "$@"
  if (( RC != 0 )); then fail "$key" "exit status $RC"; else note "$key"; fi
}

# SQLite: load every record as one text column, then index the key columns
# with an expression index; the two steps are timed apart. No journal and no
# syncs, so that SQLite does no more work than the index needs.
time_sqlite() {
  local set=$1 file=$2 db="$scratch/bench.db" sum
  [ -z "${failed[$set/sqlite]:-}" ] || return 0
  rm -f "$db"
  run_timed "$scratch/sqlite.log" sqlite3 "$db" "PRAGMA journal_mode=OFF;" "PRAGMA synchronous=OFF;" \
    ".mode ascii" '.separator "\037" "\n"' "CREATE TABLE t(r TEXT);" ".import \"$file\" t"
  if (( RC != 0 )); then fail "$set/sqlite" "import: $(first_line "$scratch/sqlite.log")"; return; fi
  note "$set/sqlite_import"
  sum=$T_US
  run_timed "$scratch/sqlite.log" sqlite3 "$db" "PRAGMA synchronous=OFF;" \
    "CREATE INDEX t_key ON t(substr(r, 1, 10));"
  if (( RC != 0 )); then fail "$set/sqlite" "index: $(first_line "$scratch/sqlite.log")"; return; fi
  note "$set/sqlite_index"
  T_US=$((sum + T_US))
  note "$set/sqlite"
  rm -f "$db"
}

# A kelindex (BINARY) builds data.isi in the scratch directory; the index
# must pass `kelisi check data.isi data.txt` (run after the build, outside
# its time) before the run counts. CHECK_KEY, when not "-", files the
# check's own time.
time_kelindex() {  # time_kelindex BINARY KEY CHECK_KEY [LEADING-OPTION...]
  local bin=$1 key=$2 check_key=$3 build_us build_kb
  shift 3
  [ -z "${failed[$key]:-}" ] || return 0
  [ -x "$bin" ] || { fail "$key" "$bin is missing"; return; }
  rm -f "$scratch/data.isi"
  run_timed "$scratch/kelindex.log" "$bin" "$@" data.txt,data.isi "-$key_cols"
  if (( RC != 0 )); then fail "$key" "exit $RC: $(first_line "$scratch/kelindex.log")"; return; fi
  build_us=$T_US build_kb=$RSS_KB
  check_left_behind "$key"
  run_timed "$scratch/check.log" "$kelisi" check data.isi data.txt
  if (( RC != 0 )); then
    fail "$key" "kelisi check: $(first_line "$scratch/check.log")"
    [ "$check_key" = - ] || fail "$check_key" "the index failed its check (see the build's row)"
    return
  fi
  [ "$check_key" = - ] || note "$check_key"
  T_US=$build_us RSS_KB=$build_kb
  note "$key"
}

# A finished run leaves only the index: work files still there are a fault
# worth reporting (and are removed so that later runs start clean).
warnings=()
check_left_behind() {
  local left
  left=$(find "$scratch" -mindepth 1 -maxdepth 1 ! -name data.txt ! -name data.isi \
    ! -name '*.log' ! -name time.txt -printf '%f ')
  if [ -n "$left" ]; then
    warnings+=("$1: kelindex left files behind: $left")
    find "$scratch" -mindepth 1 -maxdepth 1 ! -name data.txt ! -name data.isi \
      ! -name '*.log' ! -name time.txt -exec rm -rf {} +
  fi
}

# ---- one data set --------------------------------------------------------------

set_names=()
declare -A set_desc set_bytes

bench_set() {  # bench_set NAME RECORDS DISTRIBUTION
  local set=$1 records=$2 dist=$3 bytes need avail r
  bytes=$((records * (rec_len + 1)))
  # data, the SQLite database (about 1.3 times the data) and two indexes
  need=$((bytes * 3 / 1024))
  avail=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
  (( avail > need )) || die "need $((need / 1024)) MiB free in $scratch for the $set set"
  set_names+=("$set")
  set_desc[$set]="$(thousands "$records") records x $((rec_len + 1)) bytes, $dist keys"
  set_bytes[$set]=$bytes
  echo "generating $set: ${set_desc[$set]} ..." >&2
  "$gen_data" -n "$records" -l "$rec_len" -k "$key_cols" -d "$dist" -s 1 -o "$scratch/data.txt"
  cat "$scratch/data.txt" >/dev/null  # warm the page cache
  cat "$scratch/data.txt" >/dev/null
  for ((r = 1; r <= runs; r++)); do
    echo "  $set: round $r of $runs" >&2
    time_plain "$set/cat" cat "$scratch/data.txt"
    time_plain "$set/wc" wc -l "$scratch/data.txt"
    time_plain "$set/sort" sort -s --parallel=1 -S1M -k1.1,1.10 -o /dev/null "$scratch/data.txt"
    time_sqlite "$set" "$scratch/data.txt"
    time_kelindex "$kelindex" "$set/kelindex" "$set/check"
    [ -z "$against" ] || time_kelindex "$against" "$set/against" -
    time_kelindex "$kelindex" "$set/kelindex_big" - "-m$big_mem"
    time_kelindex "$kelindex" "$set/kelindex_big_q" - -1 "-m$big_mem"
  done
  rm -f "$scratch/data.txt" "$scratch/data.isi"
}

# ---- lookups --------------------------------------------------------------------

# bm_lookup makes its own 1M-key data file, index, SQLite database and LMDB
# database under the scratch directory, and runs its passes interleaved,
# BENCH_RUNS times each. Its summary is kept for the report.
lookup_note="" lookup_failed=""
run_lookup() {
  local avail
  if [ "$lookup" = 0 ]; then lookup_note="not run (BENCH_LOOKUP=0)"; return; fi
  if [ ! -x "$bm_lookup" ]; then
    lookup_note="not run: $bm_lookup was not built (it needs Google Benchmark, SQLite and LMDB"
    lookup_note+=" development files; scripts/install-deps.sh installs them)"
    return
  fi
  # data, index and the two databases: about 170 MB at their peak
  avail=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
  (( avail > 400 * 1024 )) || die "need 400 MiB free in $scratch for the lookups"
  mkdir "$scratch/lookup"
  echo "lookups: bm_lookup, $runs passes of each system ..." >&2
  if ! TMPDIR="$scratch/lookup" "$bm_lookup" "--benchmark_repetitions=$runs" \
      >"$scratch/lookup.log" 2>&1; then
    lookup_failed=$(grep -v '^[[:space:]]*$' "$scratch/lookup.log" | tail -n 1 | cut -c1-100)
  fi
  rm -rf "$scratch/lookup"
}

print_lookup() {
  echo
  if [ -n "$lookup_note" ]; then
    echo "lookups: $lookup_note"
    return
  fi
  sed -n '/^machine: /,$p' "$scratch/lookup.log"
  if [ -n "$lookup_failed" ]; then echo "lookups: FAILED: $lookup_failed"; fi
}

# ---- the report ----------------------------------------------------------------

declare -A med  # "set/tool" -> median seconds, set by print_set

ratio() {  # ratio A B: A / B to two places, or "-"
  if [ -n "$1" ] && [ -n "$2" ]; then awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
  else echo "-"; fi
}

print_row() {  # print_row SET TOOL LABEL
  local set=$1 key="$1/$2" label=$3 m mbs mib vs_sort="" vs_sql="" reason
  reason="${failed[$key]:-}"
  case $2 in sqlite*) reason="${reason:-${failed[$set/sqlite]:-}}" ;; esac
  if [ -n "$reason" ]; then
    printf '%-26s %9s   %s\n' "$label" FAILED "$reason"
    return
  fi
  if [ -z "${times[$key]:-}" ]; then
    printf '%-26s %9s   %s\n' "$label" - "not run"
    return
  fi
  m=$(median "${times[$key]:-}")
  med[$key]=$m
  mbs=$(awk -v b="${set_bytes[$set]}" -v t="$m" 'BEGIN { if (t > 0) printf "%.0f", b / 1e6 / t }')
  mib=$(awk -v k="${rss[$key]:-0}" 'BEGIN { printf "%.1f", k / 1024 }')
  case $2 in
    kelindex* | against) vs_sort=$(ratio "$m" "${med[$set/sort]:-}"); vs_sql=$(ratio "$m" "${med[$set/sqlite]:-}") ;;
  esac
  printf '%-26s %9.3f %9s %10s %9s %9s\n' "$label" "$m" "$mbs" "$mib" "$vs_sort" "$vs_sql"
}

print_set() {
  local set=$1
  echo
  echo "$set: ${set_desc[$set]} ($(awk -v b="${set_bytes[$set]}" 'BEGIN { printf "%.0f", b / 1e6 }') MB), key $key_cols, median of $runs runs"
  printf '%-26s %9s %9s %10s %9s %9s\n' tool "time s" "MB/s" "RSS MiB" "vs sort" "vs SQLite"
  print_row "$set" cat "cat > /dev/null"
  print_row "$set" wc "wc -l"
  print_row "$set" sort "sort -S1M"
  print_row "$set" sqlite_import "SQLite import"
  print_row "$set" sqlite_index "SQLite CREATE INDEX"
  print_row "$set" sqlite "SQLite import + index"
  print_row "$set" kelindex "kelindex (1 MiB)"
  [ -z "$against" ] || print_row "$set" against "BENCH_AGAINST (1 MiB)"
  print_row "$set" kelindex_big "kelindex -m256MiB"
  print_row "$set" kelindex_big_q "kelindex -1 -m256MiB"
  print_row "$set" check "kelisi check"
}

# target LABEL VALUE LIMIT: "met" when VALUE <= LIMIT
target() {
  local verdict="not measured"
  if [ -n "$2" ] && [ "$2" != "-" ]; then
    verdict=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v <= l) ? "met" : "MISSED" }')
  fi
  printf '  %-56s %6s  (limit %4s)  %s\n' "$1" "${2:-"-"}" "$3" "$verdict"
}

print_targets() {
  local set key
  echo
  echo "targets"
  target "1M random: kelindex / sort" "$(ratio "${med[random/kelindex]:-}" "${med[random/sort]:-}")" 0.15
  target "1M random: kelindex / SQLite import + index" \
    "$(ratio "${med[random/kelindex]:-}" "${med[random/sqlite]:-}")" 0.5
  target "1M sorted: kelindex / sort" "$(ratio "${med[sorted/kelindex]:-}" "${med[sorted/sort]:-}")" 0.08
  if [ "$large" = 1 ]; then
    target "10M random: kelindex / sort" "$(ratio "${med[large/kelindex]:-}" "${med[large/sort]:-}")" 0.2
  fi
  for set in "${set_names[@]}"; do
    key="$set/kelindex"
    target "$set: kelindex peak RSS MiB (1 MiB sort memory)" \
      "$([ -z "${failed[$key]:-}" ] && awk -v k="${rss[$key]:-0}" 'BEGIN { printf "%.1f", k / 1024 }')" 4
    key="$set/kelindex_big"
    target "$set: kelindex -m256MiB peak RSS MiB" \
      "$([ -z "${failed[$key]:-}" ] && awk -v k="${rss[$key]:-0}" 'BEGIN { printf "%.1f", k / 1024 }')" 259
    target "$set: kelindex -m256MiB / kelindex (5% noise allowed)" \
      "$(ratio "${med[$set/kelindex_big]:-}" "${med[$set/kelindex]:-}")" 1.05
    target "$set: kelindex -1 -m256MiB / kelindex (5% noise allowed)" \
      "$(ratio "${med[$set/kelindex_big_q]:-}" "${med[$set/kelindex]:-}")" 1.05
    target "$set: kelisi check / kelindex build" \
      "$(ratio "${med[$set/check]:-}" "${med[$set/kelindex]:-}")" 1
    if [ -n "$against" ]; then
      target "$set: kelindex / BENCH_AGAINST (3% allowed)" \
        "$(ratio "${med[$set/kelindex]:-}" "${med[$set/against]:-}")" 1.03
    fi
  done
}

machine_line() {
  local cpu
  cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null)
  echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null), $(date -u '+%Y-%m-%d %H:%M UTC')"
}

# ---- main ----------------------------------------------------------------------

bench_set random 1000000 random
bench_set sorted 1000000 sorted
if [ "$large" = 1 ]; then bench_set large 10000000 random; fi
run_lookup

echo
machine_line
[ -z "$against" ] || echo "BENCH_AGAINST: $against"
echo "kelindex: $kelindex; sort: $(sort --version | head -n 1); sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
for set in "${set_names[@]}"; do print_set "$set"; done
print_targets
print_lookup
if (( ${#warnings[@]} > 0 )); then
  echo
  echo "warnings"
  printf '  %s\n' "${warnings[@]}" | sort -u
fi
status=0
for key in "${!failed[@]}"; do
  [[ $key == */kelindex* || $key == */check || $key == */against ]] && status=1
done
[ -z "$lookup_failed" ] || status=1
exit $status
