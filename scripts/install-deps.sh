#!/usr/bin/env bash
# Installs the Debian packages that a make target needs, but only those that
# are missing, so that a machine that has them is left alone and a fresh one
# is made ready without hand work.
#
#   scripts/install-deps.sh [TARGET...]
#
# demo     the compiler, CMake and Ninja (also what `make install` needs)
# test     the test suites: GoogleTest, RapidCheck, pkg-config for the
#          installation test's C client, SQLite's headers and library for
#          the SQLite extension and its tests, the sqlite3 shell for the
#          README's SQL example, python3 and its headers
#          (python3-dev) for the Python module and its tests
# fuzz     clang and its sanitizer run-times, for the libFuzzer targets
# bench    Google Benchmark, the SQLite and LMDB libraries the lookup
#          benchmark compares with, LMDB's Python module for the bindings'
#          benchmark, sqlite3 and time (--bench: the same)
# package  dpkg-dev (dpkg-shlibdeps) and file for CPack's Debian packages,
#          lintian, Debian's package checker, pkg-config, and the headers of
#          SQLite and Python for the bindings' packages
# bigendian  the s390x cross compiler, qemu's user-mode emulator to run what
#          it builds, and GoogleTest's sources for the compiler to build
# Without a target: all of them, as CI wants.
set -euo pipefail

packages_of() {
  case $1 in
    demo) echo cmake ninja-build g++ ;;
    test) echo cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev librapidcheck-dev libsqlite3-dev sqlite3 python3 python3-dev ;;
    fuzz) echo cmake ninja-build clang libclang-rt-14-dev ;;
    bench | --bench) echo cmake ninja-build g++ libbenchmark-dev libsqlite3-dev liblmdb-dev python3-lmdb sqlite3 coreutils time ;;
    package) echo cmake ninja-build g++ dpkg-dev file lintian pkg-config libsqlite3-dev python3-dev ;;
    bigendian) echo cmake ninja-build g++-s390x-linux-gnu qemu-user-static googletest ;;
    *)
      echo "install-deps: unknown target '$1' (demo, test, fuzz, bench, package, bigendian)" >&2
      return 1
      ;;
  esac
}

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(demo test fuzz bench package bigendian)
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for target in "${targets[@]}"; do
  list=$(packages_of "$target")
  for pkg in $list; do
    if ! have_pkg "$pkg" && [[ " ${need[*]} " != *" $pkg "* ]]; then need+=("$pkg"); fi
  done
done
if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${need[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
