#!/usr/bin/env bash
# The host's header in every dialect a host may use: include/tessaly/plugin.h
# compiled as C89, C99, C11, C++98 and C++20, by GCC and Clang, for 64-bit and
# 32-bit x86 (and by mingw-w64 for 32-bit Windows, when installed), with every
# warning an error. Each way the layout assertions must also be able to fail
# (a false one must stop the compile), and TESSALY_PLUGIN_H_VERSION must be
# the project's version.
#
# usage: header_test.sh SOURCE_DIR
set -u
src=$(cd "${1:-.}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 compiles=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

version=$(sed -n 's/^set(TESSALY_VERSION \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\))$/\1 \2 \3/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "FAIL no set(TESSALY_VERSION X.Y.Z) in CMakeLists.txt"; exit 1; }
read -r major minor patch <<<"$version"
want=$((major * 10000 + minor * 100 + patch))

# A host's translation unit: the header first (it includes what it needs), its
# types and macros used, and the version compared.
cat >"$work/host.c" <<EOF
#include "tessaly/plugin.h"
#include <string.h>
#if TESSALY_PLUGIN_H_VERSION != $want
#error "TESSALY_PLUGIN_H_VERSION is not the project's version ($major.$minor.$patch)"
#endif
int32_t CallEach(TessalyBaseProc base, TessalyParamProc param, TessalyImageProc image);
int32_t CallEach(TessalyBaseProc base, TessalyParamProc param, TessalyImageProc image) {
    PluginDescriptor descriptor;
    ImageRequest request;
    ImageRecord record;
    memset(&request, 0, sizeof request);
    memset(&record, 0, sizeof record);
    request.filePath[ImageRequestPathMax] = 0;
    request.compression = ImageCompressionRle8;
    return base(0, 0, &descriptor) + param() + image(ImageCmdGetInfo, &request, &record);
}
EOF
# The same with one false assertion, which must not compile.
{ echo '#include "tessaly/plugin.h"'; echo 'TESSALY_STATIC_ASSERT(sizeof(ImageRequest) == 0x121, ImageRequest_too_big);'; } >"$work/wrong.c"

flags=(-Wall -Wextra -pedantic -Wundef -Wconversion -Wsign-conversion -Wshadow -Wcast-align -Werror -I"$src/include")
# compile NAME COMPILER ARGS...: the host unit must compile cleanly, the wrong one must not.
compile() {
    local name=$1 compiler=$2 lang
    shift 2
    case "$compiler" in *++) lang=(-x c++) ;; *) lang=(-x c -Wstrict-prototypes) ;; esac
    compiles=$((compiles + 1))
    if ! "$compiler" "${lang[@]}" "$@" "${flags[@]}" -c "$work/host.c" -o "$work/host.o" 2>"$work/err"; then
        fail "$name: the header does not compile cleanly"
        head -n 20 "$work/err"
    fi
    if "$compiler" "${lang[@]}" "$@" "${flags[@]}" -c "$work/wrong.c" -o "$work/wrong.o" 2>/dev/null; then
        fail "$name: a false TESSALY_STATIC_ASSERT compiles"
    fi
}

for bits in 64 32; do
    arch=()
    [ "$bits" = 32 ] && arch=(-m32)
    for std in c89 c99 c11; do
        compile "gcc -std=$std ${arch[*]}" gcc -std=$std "${arch[@]}"
        compile "clang -std=$std ${arch[*]}" clang -std=$std "${arch[@]}"
    done
    for std in c++98 c++20; do
        compile "g++ -std=$std ${arch[*]}" g++ -std=$std "${arch[@]}"
        compile "clang++ -std=$std ${arch[*]}" clang++ -std=$std "${arch[@]}"
    done
done
# 32-bit Windows: the stdcall and cdecl attributes as a Windows host's compiler sees them.
if command -v i686-w64-mingw32-gcc >/dev/null; then
    compile "i686-w64-mingw32-gcc -std=c89" i686-w64-mingw32-gcc -std=c89
    compile "i686-w64-mingw32-g++ -std=c++98" i686-w64-mingw32-g++ -std=c++98
fi

if [ "$failures" = 0 ]; then
    echo "header: plugin.h compiles cleanly $compiles ways, its assertions fail when false, version $want"
else
    echo "header: $failures failures in $compiles ways"
    exit 1
fi
