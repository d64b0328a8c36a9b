#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# but only those that are missing, so that a machine that has them all is
# left alone and a fresh one is made ready without hand work.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# pkg-config serves the installation test's C client; dpkg-dev (dpkg-shlibdeps)
# and file let CPack work out the Debian package's dependencies.
for pkg in cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev librapidcheck-dev libbenchmark-dev libsqlite3-dev liblmdb-dev libclang-rt-14-dev dpkg-dev file; do
  have_pkg "$pkg" || need+=("$pkg")
done
if [ "${1:-}" = "--bench" ]; then
  for pkg in sqlite3 coreutils time; do have_pkg "$pkg" || need+=("$pkg"); done
fi
if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${need[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
