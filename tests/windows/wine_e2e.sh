#!/usr/bin/env bash
# The 64-bit Windows build run for real under Wine: the Windows host loads
# Tessaly.dll by path (checking its exports by name and by ordinal) and runs
# every command on generated files; its printed output, exit status and every
# file it writes must be identical to the Linux build's on the same inputs.
#
# usage: wine_e2e.sh LINUX_HOST LINUX_SAMPLES WINDOWS_HOST WINEPREFIX
set -u
linux_host=$(realpath "$1")
samples=$(realpath "$2")
windows_host=$(realpath "$3")
mkdir -p "$4"
export WINEPREFIX=$(realpath "$4") WINEDEBUG=-all
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/linux" "$work/windows"
shopt -s nullglob
"$samples" "$work/in"
"$wine" "$windows_host" about >/dev/null 2>&1  # the first start sets the prefix up
/usr/lib/wine/wineserver64 -w                   # and lets its background set-up finish before the runs

failures=0
steps=0
both() {  # both COMMAND ARGS...: the same command in each build, outputs compared
    steps=$((steps + 1))
    (cd "$work/linux" && "$linux_host" "$@" >"$work/linux.out" 2>"$work/linux.err"; echo "exit $?" >>"$work/linux.out")
    for attempt in 1 2; do
        (cd "$work/windows" && "$wine" "$windows_host" "$@" >"$work/windows.out" 2>"$work/windows.err"; echo "exit $?" >>"$work/windows.out")
        # A lost connection to the Wine server is Wine's own failure, not the plug-in's: run it again once.
        grep -q "wine client error" "$work/windows.err" || break
    done
    if ! diff <(tr -d '\r' <"$work/linux.out") <(tr -d '\r' <"$work/windows.out") >"$work/diff"; then
        echo "DIFFERENT output: $*"; cat "$work/diff"; cat "$work/windows.err"; failures=$((failures + 1))
    fi
}

both about
both info ../in/*.bmp
for f in "$work"/in/*.bmp; do
    name=$(basename "$f" .bmp)
    both load "../in/$name.bmp" -o "$name.raw"
    both load "../in/$name.bmp" -o "$name-77x41.raw" --size 77x41
    for form in 32 24 8; do
        both convert "../in/$name.bmp" "$name-$form.bmp" --bits $form
        both load "$name-$form.bmp" -o "$name-$form.raw"
    done
    both convert "../in/$name.bmp" "$name-rle.bmp" --bits 8 --rle
    both isgray "$name-rle.bmp"
done
both savegray ../in/gray.pgm gray.bmp
both isgray gray.bmp ../in/card-8bit.bmp
both loadgray gray.bmp -o gray-back.pgm
both info missing.bmp
both load ../in/gray.pgm -o junk.raw

# Saves over what exists: a file (replaced), a file with two names and a
# symbolic link (both must stay), a read-only file and a folder (refused).
for side in linux windows; do
    (cd "$work/$side" && cp ../in/card-8bit.bmp replaced.bmp && cp ../in/card-8bit.bmp linked.bmp &&
        ln linked.bmp linked-too.bmp && cp ../in/card-8bit.bmp target.bmp && ln -s target.bmp symlink.bmp &&
        cp ../in/card-8bit.bmp read-only.bmp && chmod 444 read-only.bmp && mkdir folder.bmp)
done
for dest in replaced linked symlink read-only folder; do both convert ../in/card-24bit.bmp $dest.bmp --bits 24; done
both savegray ../in/gray.pgm read-only.bmp
if [ ! -L "$work/windows/symlink.bmp" ] || [ "$(stat -c %h "$work/windows/linked.bmp")" != 2 ]; then
    echo "DIFFERENT links: the Windows build broke a link"; failures=$((failures + 1))
fi

# Every file either build wrote must exist in the other, byte for byte.
for f in "$work"/linux/* "$work"/windows/*; do
    [ -d "$f" ] && continue
    name=$(basename "$f")
    if ! cmp -s "$work/linux/$name" "$work/windows/$name"; then
        echo "DIFFERENT file: $name"; failures=$((failures + 1))
    fi
done
files=$(ls "$work/linux" | wc -l)
if [ "$failures" = 0 ]; then
    echo "Wine run: $steps commands and $files output files identical to the Linux build"
else
    echo "Wine run: $failures differences"; exit 1
fi
