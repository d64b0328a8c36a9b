#!/usr/bin/env bash
# The Debian packages as a user gets them: lintian's verdict on each, then
# all of them installed with dpkg into a scratch root (their dependencies on
# each other checked, those on the system taken from this machine's dpkg
# database), the files each must hold, the installed programs run, a C
# client built against the installed -dev files, shared, static and through
# CMake, and the Python module and the SQLite extension used from python3.
#
#   scripts/test-package.sh PKG_BUILD_DIR    (where `make package` left them)
#
# Ends with "N passed, N failed" and status 1 when a check failed.
set -uo pipefail
build="$(cd "${1:?usage: test-package.sh PKG_BUILD_DIR}" && pwd)"
root_dir="$(cd "$(dirname "$0")/.." && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...: one check, its output shown when it fails
  local name=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok      $name"
  else
    failed=$((failed + 1))
    echo "FAILED  $name"
    sed 's/^/        /' "$scratch/out"
  fi
}

version=$(sed -n 's/^kelindex (\([^)]*\)).*/\1/p;q' "$root_dir/cmake/debian/changelog")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
packages=(libkelisi1 libkelisi-dev kelindex python3-kelisi libsqlite3-mod-kelisi)
debs=()
for p in "${packages[@]}"; do
  deb="$build/${p}_${version}_${arch}.deb"
  [ -f "$deb" ] || deb="$build/${p}_${version}_all.deb"
  debs+=("$deb")
done

# lintian: its whole output for each package, and no error.
for deb in "${debs[@]}"; do
  echo "lintian $(basename "$deb"):"
  lintian --pedantic --display-info --tag-display-limit 0 --fail-on error "$deb" \
    >"$scratch/lintian" 2>&1
  status=$?
  grep -v '^running with root privileges' "$scratch/lintian" | sed 's/^/    /'
  check "lintian finds no error in $(basename "$deb")" test $status -eq 0
done

# A scratch dpkg database that knows the system packages ours depend on.
root="$scratch/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: >"$admin/status"
for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n' |
  sed 's/^ *//; s/[ (].*//' | sort -u | while read -r dep; do
  [[ " ${packages[*]} " == *" $dep "* ]] || dpkg-query -s "$dep" >>"$admin/status" 2>/dev/null
  echo >>"$admin/status"
done
check "dpkg installs the packages into a scratch root" \
  dpkg --root="$root" --force-not-root --force-script-chrootless -i "${debs[@]}"
check "dpkg keeps libkelisi1 while libkelisi-dev needs it" \
  sh -c "dpkg --root='$root' --force-not-root -r libkelisi1 2>&1 |
         grep -q 'libkelisi-dev depends on libkelisi1'"

lib="usr/lib/$multiarch"
expect_files() {  # expect_files PACKAGE FILE...: the package lists every file
  local p=$1
  shift
  dpkg --root="$root" -L "$p" >"$scratch/list" || return 1
  for f in "$@"; do grep -qx "/$f" "$scratch/list" || { echo "missing: /$f"; return 1; }; done
}
check "libkelisi1 holds the shared library" expect_files libkelisi1 \
  "$lib/libkelisi.so.1" "$lib/libkelisi.so.1.0.0" \
  usr/share/doc/libkelisi1/copyright usr/share/doc/libkelisi1/changelog.gz
check "libkelisi-dev holds what a build against the library needs" expect_files libkelisi-dev \
  usr/include/kelisi.h "$lib/libkelisi.so" "$lib/libkelisi.a" "$lib/pkgconfig/kelisi.pc" \
  "$lib/cmake/kelisi/kelisiConfig.cmake" usr/share/man/man3/kelisi.3.gz \
  usr/share/doc/libkelisi-dev/copyright usr/share/doc/libkelisi-dev/changelog.gz
check "kelindex holds both programs" expect_files kelindex \
  usr/bin/kelindex usr/bin/kelisi usr/share/man/man1/kelindex.1.gz usr/share/man/man1/kelisi.1.gz \
  usr/share/bash-completion/completions/kelindex usr/share/bash-completion/completions/kelisi \
  usr/share/doc/kelindex/copyright usr/share/doc/kelindex/changelog.gz
check "python3-kelisi holds the Python module" expect_files python3-kelisi \
  usr/lib/python3/dist-packages/kelisi/__init__.py \
  "usr/lib/python3/dist-packages/kelisi/_kelisi$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" \
  usr/share/doc/python3-kelisi/copyright
check "python3-kelisi is built for this architecture" \
  sh -c "dpkg-deb -f '${debs[3]}' Architecture | grep -qx '$arch'"
check "libsqlite3-mod-kelisi holds the extension beside the library" \
  expect_files libsqlite3-mod-kelisi "$lib/kelisi_sqlite.so" \
  usr/share/doc/libsqlite3-mod-kelisi/copyright
check "the copyright files carry the MIT licence" \
  grep -q "^MIT License" "$root/usr/share/doc/kelindex/copyright"
check "libkelisi1's shlibs file asks for this version or later" \
  sh -c "dpkg-deb -I '${debs[0]}' shlibs | grep -qx 'libkelisi 1 libkelisi1 (>= $version)'"
check "libkelisi-dev depends on libkelisi1 of the same version" \
  sh -c "dpkg-deb -f '${debs[1]}' Depends | grep -qF 'libkelisi1 (= $version)'"

# The installed programs.
work="$scratch/work"
mkdir -p "$work"
cp "$root_dir/examples/customers.txt" "$work/"
check "kelisi --version names the packages' version" \
  sh -c "'$root/usr/bin/kelisi' --version | grep -qx 'kelisi $version'"
check "the installed kelindex builds an index" \
  sh -c "cd '$work' && '$root/usr/bin/kelindex' customers.txt,c.isi -1-8 >build.log &&
         grep -q 'Version $version ' build.log"
check "the installed kelisi finds it consistent" \
  "$root/usr/bin/kelisi" check "$work/c.isi" "$work/customers.txt"

# The C client against the installed -dev files.
export PKG_CONFIG_PATH="$root/$lib/pkgconfig"
cp "$root_dir/tests/install/client.c" "$work/"
expected="100 C0061750 Moser, Jonas"
client_finds() {  # client_finds BINARY [ENV...]: the client finds a customer
  env "${@:2}" "$1" "$work/c.isi" "$work/customers.txt" C0061750 >"$scratch/client" || return 1
  grep -q "^$expected" "$scratch/client" || { cat "$scratch/client"; return 1; }
}
check "a C client builds with pkg-config against the shared library" \
  sh -c "cc '$work/client.c' -o '$work/client' \$(pkg-config --cflags --libs kelisi)"
check "the client runs against the installed libkelisi.so.1" \
  client_finds "$work/client" LD_LIBRARY_PATH="$root/$lib"
check "a static C client builds with pkg-config --static" \
  sh -c "cc -static '$work/client.c' -o '$work/client_static' \$(pkg-config --static --cflags --libs kelisi)"
check "the static client runs, without any shared library" \
  sh -c "ldd '$work/client_static' 2>&1 | grep -q 'not a dynamic executable'"
check "the static client finds the customer" client_finds "$work/client_static"
mkdir -p "$work/project"
cp "$work/client.c" "$work/project/"
cat >"$work/project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(client C)
find_package(kelisi 1 REQUIRED)
add_executable(client client.c)
target_link_libraries(client PRIVATE kelisi::kelisi)
EOF
check "a CMake project finds the installed package" \
  sh -c "cmake -S '$work/project' -B '$work/project/b' -DCMAKE_PREFIX_PATH='$root/usr' && cmake --build '$work/project/b'"
check "the CMake-built client runs" client_finds "$work/project/b/client" LD_LIBRARY_PATH="$root/$lib"

# The bindings: the installed module, whose compiled part finds the
# installed library through the loader (the scratch root's library
# directory stands for the system's), and the installed extension loaded
# into python3's sqlite3, which finds it beside itself.
check "the installed Python module and SQLite extension read the index" \
  sh -c "cd '$work' && LD_LIBRARY_PATH='$root/$lib' PYTHONPATH='$root/usr/lib/python3/dist-packages' \
         /usr/bin/python3 -c '
import sqlite3, kelisi
with kelisi.open(\"c.isi\") as ix:
    assert ix.record(next(ix.find(\"C0061750\"))).startswith(b\"C0061750 Moser\")
assert kelisi.__version__ == \"$version\"
db = sqlite3.connect(\":memory:\")
db.enable_load_extension(True)
db.load_extension(\"$root/$lib/kelisi_sqlite\")
db.execute(\"CREATE VIRTUAL TABLE t USING kelisi(c.isi)\")
assert db.execute(\"SELECT count(*) FROM t\").fetchone() == (60,)
'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
