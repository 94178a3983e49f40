#!/usr/bin/env bash
# The release packages are reproducible and work: `make dist` in two fresh
# clones of HEAD, at different paths, with different umasks and time zones,
# must give byte-identical archives. Then the first clone's packages are
# opened as a user would: the zip's DLL passes the PE checks as stripped with
# its debug file; the tarball's host runs from where it is unpacked, finds its
# plug-in, and the example host loads a file through it; every file matches
# its package's SHA256SUMS.
#
# usage: dist_test.sh SOURCE_DIR   (what is committed is built, not the work tree)
set -u
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
one=$work/one/tessaly
two=$work/the/second/clone
git clone -q "$src" "$one" && (umask 077 && git clone -q "$src" "$two") || exit 1
started=$(date +%s)
(cd "$one" && umask 022 && TZ=UTC make --no-print-directory dist) >"$work/one.log" 2>&1 ||
    { tail -n 30 "$work/one.log"; exit 1; }
(cd "$two" && umask 077 && TZ=Pacific/Chatham make --no-print-directory dist) >"$work/two.log" 2>&1 ||
    { tail -n 30 "$work/two.log"; exit 1; }
echo "dist: two builds in $(($(date +%s) - started)) s"
if ! cmp -s "$one/dist/SHA256SUMS" "$two/dist/SHA256SUMS"; then
    fail "the two clones' packages differ:"
    diff "$one/dist/SHA256SUMS" "$two/dist/SHA256SUMS"
fi
for f in "$one"/dist/*; do cmp -s "$f" "$two/dist/${f##*/}" || fail "${f##*/} differs"; done

version=$(sed -n 's/^set(TESSALY_VERSION \(.*\))$/\1/p' "$one/CMakeLists.txt")
unpacked=$work/unpacked
mkdir -p "$unpacked"
(cd "$one/dist" && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not match the archives"
tar -C "$unpacked" -xzf "$one/dist/tessaly-$version-linux-x86_64.tar.gz" || fail "the tarball does not unpack"
unzip -q -d "$unpacked" "$one/dist/tessaly-$version-win32.zip" || fail "the zip does not unpack"
for package in "tessaly-$version-linux-x86_64" "tessaly-$version-win32"; do
    (cd "$unpacked/$package" && sha256sum --quiet -c SHA256SUMS) || fail "$package: files do not match SHA256SUMS"
done

windows=$unpacked/tessaly-$version-win32
/usr/bin/python3 "$src/tests/windows/check_pe.py" "$windows/Tessaly.dll" i686-w64-mingw32-objdump \
    --stripped "$windows/Tessaly.dll.debug" >"$work/pe.out" || { fail "the zip's DLL fails the PE checks"; cat "$work/pe.out"; }

linux=$unpacked/tessaly-$version-linux-x86_64
if readelf -S "$linux/lib/tessaly/Tessaly.so" | grep -q '\.debug_'; then fail "Tessaly.so has debug sections"; fi
readelf -S "$linux/lib/tessaly/Tessaly.so.debug" | grep -q '\.debug_info' || fail "Tessaly.so.debug holds no debug information"
[ "$(readelf -p .gnu_debuglink "$linux/lib/tessaly/Tessaly.so" 2>/dev/null | grep -o 'Tessaly\.so\.debug')" = Tessaly.so.debug ] ||
    fail "Tessaly.so does not link to Tessaly.so.debug"
out=$(env -u TESSALY_PLUGIN "$linux/bin/tessaly" --version 2>&1) &&
    [[ "$out" == *"tessaly $version (reference host)"*"Tessaly plug-in 1.0.0.1 ($linux/lib/tessaly/Tessaly.so)"* ]] ||
    fail "the unpacked host does not find its plug-in: $out"
printf 'P5\n2 1\n255\n\377\0' >"$work/in.pgm"
"$linux/bin/tessaly" --plugin "$linux/lib/tessaly/Tessaly.so" savegray "$work/in.pgm" "$work/gray.bmp" ||
    fail "the unpacked host cannot save"
out=$("$linux/examples/host" "$linux/lib/tessaly/Tessaly.so" "$work/gray.bmp" 2>&1)
[[ "$out" == "2 x 1, bottom-up, top-left pixel 0xFFFFFFFF "* ]] || fail "the packaged example host: $out"

if [ "$failures" = 0 ]; then
    echo "dist: identical packages from two clones, and they work:"
    cat "$one/dist/SHA256SUMS"
else
    echo "dist: $failures failures"
    exit 1
fi
