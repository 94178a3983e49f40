#!/usr/bin/env bash
# An installed Tessaly as its users meet it (after `make install DESTDIR=ROOT
# PREFIX=PREFIX`): the installed host finds the installed plug-in, a host
# without one says where it looked and how to name one, the man page renders
# with every command's help, and a host builds against the header through
# pkg-config and through find_package(Tessaly), then loads the installed plug-in.
#
# usage: install_test.sh ROOT PREFIX SOURCE_DIR
set -u
root=$(cd "$1" && pwd) prefix=$2 src=$(cd "$3" && pwd)
installed=$root$prefix
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset TESSALY_PLUGIN
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
run() {  # run NAME EXPECTED-STATUS COMMAND...: output in $work/out
    local name=$1 want=$2 got
    shift 2
    "$@" >"$work/out" 2>&1
    got=$?
    [ "$got" = "$want" ] || { fail "$name: exit $got, expected $want"; cat "$work/out"; }
}
contains() {  # contains NAME TEXT: in the last run's output
    grep -qF -- "$2" "$work/out" || { fail "$1: '$2' not in the output"; cat "$work/out"; }
}

version=$(sed -n 's/^set(TESSALY_VERSION \(.*\))$/\1/p' "$src/CMakeLists.txt")
tessaly=$installed/bin/tessaly
run "installed about" 0 "$tessaly" about
contains "installed about" "{E3F4187E-DADC-4477-866F-970DE54F0980}"
run "installed --version" 0 "$tessaly" --version
contains "release version" "tessaly $version (reference host)"
contains "installed plug-in" "Tessaly plug-in 1.0.0.1 ($installed/lib/tessaly/Tessaly.so)"

mkdir -p "$work/lonely/bin"
cp "$tessaly" "$work/lonely/bin/"
run "host without a plug-in" 1 "$work/lonely/bin/tessaly" about
contains "paths tried" "no plug-in at $work/lonely/bin/Tessaly.so or $work/lonely/lib/tessaly/Tessaly.so"
contains "hint" "--plugin PATH"

# The page: no groff warnings, and each command --help lists has its usage there.
page=$installed/share/man/man1/tessaly.1
run "man page warnings" 0 groff -man -Tutf8 -ww -z "$page"
[ -s "$work/out" ] && { fail "groff warns about the man page"; cat "$work/out"; }
run "man -l" 0 env MANWIDTH=100 man -l "$page"
contains "man page" "tessaly - drives the Tessaly BMP plug-in"
for command in $("$tessaly" --help | awk '/^commands:$/ { on = 1; next } /^$/ { on = 0 } on && /^  [a-z]/ { print $1 }'); do
    contains "man page: $command" "usage: tessaly $command"
done

# A picture made by the installed host, for the hosts built below: 2 x 1 gray, white first.
printf 'P5\n2 1\n255\n\377\0' >"$work/in.pgm"
run "installed savegray" 0 "$tessaly" savegray "$work/in.pgm" "$work/gray.bmp"
want="2 x 1, bottom-up, top-left pixel 0xFFFFFFFF "

export PKG_CONFIG_PATH=$installed/lib/pkgconfig
run "pkg-config version" 0 pkg-config --modversion tessaly
contains "pkg-config version" "$version"
plugin=$(pkg-config --variable=plugin tessaly)
# shellcheck disable=SC2046 # the flags are words
run "host built with pkg-config" 0 cc -std=c99 -Wall -Werror $(pkg-config --cflags tessaly) \
    "$src/examples/host.c" -o "$work/host-pc" -ldl
run "host built with pkg-config runs" 0 "$work/host-pc" "$plugin" "$work/gray.bmp"
contains "host built with pkg-config runs" "$want"

mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(Tessaly 1.0 REQUIRED CONFIG)
if(NOT EXISTS "\${TESSALY_PLUGIN}")
  message(FATAL_ERROR "TESSALY_PLUGIN names no file: \${TESSALY_PLUGIN}")
endif()
file(WRITE \${PROJECT_BINARY_DIR}/plugin.txt "\${TESSALY_PLUGIN}")
add_executable(host "$src/examples/host.c")
target_link_libraries(host PRIVATE Tessaly::Header \${CMAKE_DL_LIBS})
EOF
run "find_package(Tessaly)" 0 cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$installed"
run "host built with find_package" 0 cmake --build "$work/consumer/build"
run "host built with find_package runs" 0 "$work/consumer/build/host" "$(cat "$work/consumer/build/plugin.txt")" "$work/gray.bmp"
contains "host built with find_package runs" "$want"

if [ "$failures" = 0 ]; then
    echo "install: the installed host, plug-in, man page, pkg-config file and CMake package work ($installed)"
else
    echo "install: $failures failures"
    exit 1
fi
