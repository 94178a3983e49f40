#!/usr/bin/env bash
# make dist: the release packages, built from this tree in a clean folder
# (build-dist/, emptied first), written to dist/:
#
#   tessaly-VERSION-win32.zip            Tessaly.dll (i686, stripped) and Tessaly.dll.debug,
#                                        tessaly.exe, include/tessaly/plugin.h, examples/host.c
#                                        and host.exe, LICENSE.txt, README.txt, CHANGELOG.md
#   tessaly-VERSION-linux-x86_64.tar.gz  the installed layout (bin/, lib/, include/, share/) with
#                                        lib/tessaly/Tessaly.so stripped and Tessaly.so.debug
#                                        beside it, examples/host.c and host, LICENSE, README,
#                                        CHANGELOG.md
#   SHA256SUMS                           the archives' sums; each archive also holds a
#                                        SHA256SUMS of its own files
#
# The same commit gives the same bytes wherever and whenever it is built:
# source paths are mapped out of the binaries (TESSALY_REPRODUCIBLE), PE files
# carry no time (the link, strip and objcopy all write 0), the man page's date
# and the archives' times are the last commit's (SOURCE_DATE_EPOCH), and the
# archives list their files in name order with fixed owners and modes.
#
# usage: packaging/dist.sh   (JOBS: parallel build jobs, default 2)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
cd "$src"
version=$(sed -n 's/^set(TESSALY_VERSION \(.*\))$/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist: no set(TESSALY_VERSION ...) in CMakeLists.txt" >&2; exit 1; }
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022
work=$src/build-dist
out=$src/dist
rm -rf "$work" "$out"
mkdir -p "$work" "$out"
common=(-DTESSALY_WERROR=ON -DTESSALY_BUILD_TESTS=OFF -DTESSALY_REPRODUCIBLE=ON)

# split_debug OBJCOPY STRIP FILE: FILE's debug information into FILE.debug, FILE
# stripped and linked to it by name and CRC. binutils stamp the PE files they
# rewrite with SOURCE_DATE_EPOCH: 0, as the link left them.
split_debug() {
    local objcopy=$1 strip=$2 folder name
    folder=$(dirname "$3") name=$(basename "$3")
    (cd "$folder" && export SOURCE_DATE_EPOCH=0 &&
        "$objcopy" --only-keep-debug "$name" "$name.debug" &&
        "$strip" --strip-all "$name" &&
        "$objcopy" --add-gnu-debuglink="$name.debug" "$name" && chmod 644 "$name.debug")
}

# sums FOLDER: FOLDER/SHA256SUMS of every file under it, in name order.
sums() {
    (cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum >SHA256SUMS)
}

# Linux x86-64: the build type the unit suite runs, installed into the package's folder.
linux=tessaly-$version-linux-x86_64
cmake -S . -B "$work/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${common[@]}" >/dev/null
cmake --build "$work/linux" -j "${JOBS:-2}" --target Tessaly tessaly tessaly_host_example tessaly_manpage
cmake --install "$work/linux" --prefix "$work/$linux" >/dev/null
package=$work/$linux
split_debug objcopy strip "$package/lib/tessaly/Tessaly.so"
mkdir -p "$package/examples"
cp examples/host.c "$package/examples/"
cp "$work/linux/examples/tessaly_host_example" "$package/examples/host"
strip --strip-all "$package/bin/tessaly" "$package/examples/host"
cp LICENSE CHANGELOG.md "$package/"
sed "s/@VERSION@/$version/g" packaging/README-linux.txt >"$package/README"
sums "$package"
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --format=gnu \
    --mode=u+rw,go-w,a+rX -C "$work" -cf - "$linux" | gzip -9 -n >"$out/$linux.tar.gz"

# 32-bit Windows: the build the Windows lanes check (Release), with debug information to split off.
win32=tessaly-$version-win32
cmake -S . -B "$work/win32" --toolchain cmake/toolchain-mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_C_FLAGS_RELEASE=-O3 -DNDEBUG -g" "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG -g" "${common[@]}" >/dev/null
cmake --build "$work/win32" -j "${JOBS:-2}" --target Tessaly tessaly tessaly_host_example
package=$work/$win32
mkdir -p "$package/include/tessaly" "$package/examples"
cp "$work/win32/Tessaly.dll" "$work/win32/tessaly.exe" "$package/"
split_debug i686-w64-mingw32-objcopy i686-w64-mingw32-strip "$package/Tessaly.dll"
cp "$work/win32/examples/tessaly_host_example.exe" "$package/examples/host.exe"
(cd "$package" && SOURCE_DATE_EPOCH=0 i686-w64-mingw32-strip --strip-all tessaly.exe examples/host.exe)
cp include/tessaly/plugin.h "$package/include/tessaly/"
cp examples/host.c "$package/examples/"
cp CHANGELOG.md "$package/"
# Text files a Windows user opens: CRLF line ends.
sed 's/$/\r/' LICENSE >"$package/LICENSE.txt"
sed "s/@VERSION@/$version/g; s/\$/\r/" packaging/README-windows.txt >"$package/README.txt"
/usr/bin/python3 tests/windows/check_pe.py "$package/Tessaly.dll" i686-w64-mingw32-objdump \
    --stripped "$package/Tessaly.dll.debug" >"$work/check_pe.out" || { cat "$work/check_pe.out"; exit 1; }
sums "$package"
/usr/bin/python3 packaging/zip_tree.py "$out/$win32.zip" "$work" "$win32"

(cd "$out" && sha256sum "$win32.zip" "$linux.tar.gz" >SHA256SUMS)
echo "dist: $out (commit $(git rev-parse --short HEAD), SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH)"
cat "$out/SHA256SUMS"
