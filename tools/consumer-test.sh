#!/usr/bin/env bash
# Installs the Release build into a temporary prefix and builds the program
# in tests/consumer/ against it from outside the source tree, twice: with
# the README's CMake commands (find_package) and with its pkg-config
# commands. Both builds must run and exchange a frame over loopback. The
# commands run are the README's own, taken from the blocks marked
# "consumer-test: ..."; its CMakeLists.txt must be tests/consumer's. The
# installed files must be the expected ones, bin/qvcat among them, and
# bin/qvcat must run from the prefix, and leave the log of the folder it
# runs in alone.
#
#   tools/consumer-test.sh            (build directory: build/consumer)
#   QVNET_CONSUMER_BUILD=DIR tools/consumer-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QVNET_CONSUMER_BUILD:-build/consumer}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "consumer-test: $*" >&2; exit 1; }

# The fenced block that follows the line "<!-- consumer-test: NAME -->".
readme_block() {
  awk -v marker="<!-- consumer-test: $1 -->" '
    $0 == marker { found = 1; next }
    found && !inside && /^```/ { inside = 1; next }
    inside && /^```/ { exit }
    inside { print }' README.md
}

echo "== build (Release) and install into $prefix"
cmake --preset release -B "$build" -DQVNET_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== what was installed"
expected="bin/qvcat
include/qvnet/qvaccepthandler.h
include/qvnet/qvconnectionsink.h
include/qvnet/qvdestructor.h
include/qvnet/qvlistenerapi.h
include/qvnet/qvnet.h
include/qvnet/qvnetclient.h
include/qvnet/qvnetmodule.h
include/qvnet/qvpacketcodec.h
include/qvnet/qvsocket.h
lib/cmake/QvWinNetModule/QvWinNetModuleConfig.cmake
lib/cmake/QvWinNetModule/QvWinNetModuleConfigVersion.cmake
lib/cmake/QvWinNetModule/QvWinNetModuleTargets-release.cmake
lib/cmake/QvWinNetModule/QvWinNetModuleTargets.cmake
lib/libQvWinNetModule.so
lib/libQvWinNetModule.so.1
lib/libQvWinNetModule.so.1.0.0
lib/pkgconfig/qvwinnetmodule.pc"
installed=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$installed") >&2 || true
  fail "the installed files differ from the list above (< expected, > installed)"
fi
[ "$(readlink "$prefix/lib/libQvWinNetModule.so")" = libQvWinNetModule.so.1 ] || fail "libQvWinNetModule.so does not point at .so.1"
[ "$(readlink "$prefix/lib/libQvWinNetModule.so.1")" = libQvWinNetModule.so.1.0.0 ] || fail ".so.1 does not point at .so.1.0.0"
soname=$(objdump -p "$prefix/lib/libQvWinNetModule.so.1.0.0" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libQvWinNetModule.so.1 ] || fail "SONAME is '$soname'"
exports=$(nm -D --defined-only "$prefix/lib/libQvWinNetModule.so.1.0.0" | awk '{print $3}')
[ "$exports" = CreateNetModule ] || fail "the installed library exports: $exports"
# qvcat runs from the prefix as installed (it finds the library beside it,
# in lib/), and its help names the library's settings.
help=$(cd "$work" && env -u LD_LIBRARY_PATH QVNET_LOG=off "$prefix/bin/qvcat" --help) || fail "bin/qvcat --help failed"
for setting in QVNET_TRACE= QVNET_TRACE_ENCODING= QVNET_LOG= QVNET_LOG_FILE= QVNET_SEND_LIMIT QVNET_LINGER_SECONDS; do
  grep -qF -- "$setting" <<<"$help" || fail "bin/qvcat --help does not name $setting"
done
# Its log is off by default, as the library looks it up at load: run in a
# server's folder, it leaves the server's log as it was.
mkdir -p "$work/server/Log"
echo "a line of the server's" >"$work/server/Log/Network.log"
(cd "$work/server" && env -u LD_LIBRARY_PATH -u QVNET_LOG -u QVNET_LOG_FILE "$prefix/bin/qvcat" --help >/dev/null) ||
  fail "bin/qvcat --help failed in a server's folder"
[ "$(cat "$work/server/Log/Network.log")" = "a line of the server's" ] ||
  fail "bin/qvcat --help emptied the log of the folder it ran in"
loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/qvcat" | awk '$1 == "libQvWinNetModule.so.1" {print $3}')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$prefix/lib/libQvWinNetModule.so.1")" ] ||
  fail "bin/qvcat does not load the installed library (it loads '$loaded')"
echo "installed: the library (SONAME $soname, exports CreateNetModule only), headers, CMake package, .pc file, bin/qvcat"

echo "== README snippets"
readme_cmake=$(awk '
  $0 == "<!-- snippet: tests/consumer/CMakeLists.txt (checked by tools/consumer-test.sh) -->" { found = 1; next }
  found && !inside && /^```/ { inside = 1; next }
  inside && /^```/ { exit }
  inside { print }' README.md)
[ "$readme_cmake" = "$(cat tests/consumer/CMakeLists.txt)" ] ||
  fail "README.md does not show tests/consumer/CMakeLists.txt as it is"
cmake_commands=$(readme_block cmake)
pkgconfig_commands=$(readme_block pkg-config)
[ -n "$cmake_commands" ] || fail "README.md has no block marked consumer-test: cmake"
[ -n "$pkgconfig_commands" ] || fail "README.md has no block marked consumer-test: pkg-config"

# Runs README commands in a fresh copy of tests/consumer, with PREFIX set;
# the program they build must use the installed library.
run_snippet() {  # name, commands, program built, LD_LIBRARY_PATH it runs with
  local name=$1 commands=$2 program=$3 libpath=$4 dir=$work/$1
  mkdir -p "$dir"
  cp tests/consumer/hello.cpp tests/consumer/CMakeLists.txt "$dir"
  echo "-- $name:"
  echo "$commands" | sed 's/^/   $ /'
  # The output (the library's traces among it, GBK text) is shown on failure.
  if ! (cd "$dir" && PREFIX=$prefix timeout 300 bash -euo pipefail -c "$commands") >"$dir.log" 2>&1; then
    iconv -f GBK -t UTF-8 -c "$dir.log" >&2 || cat -v "$dir.log" >&2
    fail "the $name commands failed"
  fi
  grep -a '^hello: ' "$dir.log" | sed 's/^/   /' || true
  LD_LIBRARY_PATH=$libpath ldd "$dir/$program" | grep -F "=> $prefix/lib/libQvWinNetModule.so.1 " >/dev/null ||
    fail "$dir/$program does not load the installed library"
}
run_snippet cmake "$cmake_commands" build/hello ""  # CMake's build RPATH finds it
run_snippet pkg-config "$pkgconfig_commands" hello "$prefix/lib"
cd "$root"
echo "consumer-test: both builds ran against the installed library"
