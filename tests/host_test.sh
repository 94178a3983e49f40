#!/usr/bin/env bash
# The reference host end to end: every command on files it makes itself, the
# exit status scripts rely on, and `info` on the BMP suite's good files.
set -u
host=$1
shared=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check NAME EXPECTED-STATUS COMMAND...
    local name=$1 want=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" != "$want" ]; then
        echo "FAIL $name: exit $got, expected $want"; cat "$work/out" "$work/err"; failures=$((failures + 1))
    fi
}
contains() {  # contains NAME FILE TEXT
    if ! grep -qF -- "$3" "$2"; then echo "FAIL $1: '$3' not in output"; cat "$2"; failures=$((failures + 1)); fi
}

check "about" 0 "$host" about
contains "about id" "$work/out" "{E3F4187E-DADC-4477-866F-970DE54F0980}"
contains "about name" "$work/out" "Bitmap Plugin"
contains "about description" "$work/out" "This Plug In is Use to operate bmp file"
check "help" 0 "$host" --help
for c in about info load convert isgray loadgray savegray; do check "$c --help" 0 "$host" "$c" --help; done
check "unknown command" 2 "$host" frobnicate
check "missing plug-in" 1 "$host" --plugin "$work/none.so" about

# A 3 x 2 gray image as PGM, saved as BMP through the plug-in, tested and loaded back.
printf 'P5\n3 2\n255\n\001\002\003\004\005\006' >"$work/g.pgm"
check "savegray" 0 "$host" savegray "$work/g.pgm" "$work/g.bmp"
check "isgray" 0 "$host" isgray "$work/g.bmp"
contains "isgray says gray" "$work/out" "g.bmp: gray"
check "loadgray" 0 "$host" loadgray "$work/g.bmp" -o "$work/back.pgm"
if ! cmp -s "$work/g.pgm" "$work/back.pgm"; then echo "FAIL gray round trip"; failures=$((failures + 1)); fi
check "info" 0 "$host" info "$work/g.bmp"
contains "info line" "$work/out" "g.bmp: 3 x 2 bottom-up, 8 bits, RGB"

# Convert to every form and load each back through the plug-in.
for form in "32" "24" "8" "8 --rle"; do
    set -- $form
    out="$work/c$1${2:-}.bmp"
    check "convert $form" 0 "$host" convert "$work/g.bmp" "$out" --bits $form
    check "load $form" 0 "$host" load "$out" -o "$work/c.raw"
    [ "$(stat -c %s "$work/c.raw")" = 24 ] || { echo "FAIL raw size for $form"; failures=$((failures + 1)); }
done
# A save the plug-in refused is reported (a file with no write permission bit
# is read-only even for root); a pipe receives the file itself.
cp "$work/g.bmp" "$work/ro.bmp"
chmod 444 "$work/ro.bmp"
{ printf 'P5\n8 8\n255\n'; head -c 64 /dev/zero; } >"$work/g8.pgm"
check "savegray over a read-only file" 1 "$host" savegray "$work/g8.pgm" "$work/ro.bmp"
check "convert over a read-only file" 1 "$host" convert "$work/g.bmp" "$work/ro.bmp" --bits 24
cmp -s "$work/g.bmp" "$work/ro.bmp" || { echo "FAIL read-only file changed"; failures=$((failures + 1)); }
"$host" convert "$work/g.bmp" /dev/stdout --bits 24 | cmp -s - "$work/c24.bmp" ||
    { echo "FAIL convert to a pipe"; failures=$((failures + 1)); }
check "scaled load" 0 "$host" load "$work/g.bmp" -o "$work/s.png" --size 7x5
check "bad size" 2 "$host" load "$work/g.bmp" -o "$work/s.png" --size 0x5

# Failures: non-zero status and one line on stderr.
check "info on a missing file" 1 "$host" info "$work/missing.bmp"
[ "$(wc -l <"$work/err")" = 1 ] || { echo "FAIL error is not one line"; failures=$((failures + 1)); }
check "info, one good one missing" 1 "$host" info "$work/g.bmp" "$work/missing.bmp"
printf 'not a bmp at all, no' >"$work/junk.bmp"
check "load junk" 1 "$host" load "$work/junk.bmp" -o "$work/j.png"
check "loadgray on colour" 1 "$host" loadgray "$work/c24.bmp" -o "$work/x.pgm"
check "convert to a missing folder" 1 "$host" convert "$work/g.bmp" "$work/no/dir.bmp" --bits 24
check "isgray not gray" 0 "$host" isgray "$work/c24.bmp"
contains "isgray says not gray" "$work/out" "c24.bmp: not gray"

# A batch runs each line as that command run alone would: the same output and
# messages, and its exit status; the batch exits with the highest.
lines=("info $work/g.bmp" "load $work/junk.bmp -o $work/j.png" "savegray $work/g.pgm" "isgray $work/g.bmp")
printf '%s\n' "${lines[@]}" >"$work/list"
check "batch" 2 "$host" batch "$work/list"
for line in "${lines[@]}"; do echo "== $line"; $host $line 2>&1; echo "== exit $?"; done >"$work/alone"
cmp -s "$work/out" "$work/alone" || { echo "FAIL batch output"; diff "$work/alone" "$work/out"; failures=$((failures + 1)); }

if [ -n "$shared" ] && [ -d "$shared/corpus/bmpsuite/g" ]; then
    suite=$shared/corpus/bmpsuite
    check "info on the suite" 0 "$host" info "$suite"/g/*.bmp
    # Every line states the manifest's width, row count and order, and bit count.
    while IFS=$'\t' read -r path cat size sha desc ref w h bits comp hs; do
        [ "$cat" = good ] || continue
        rows=${h#-}; order=bottom-up; [ "${h:0:1}" = - ] && order=top-down
        contains "info $path" "$work/out" "$suite/$path: $w x $rows $order, $bits bits, ${comp#*:}"
    done <"$suite/MANIFEST.tsv"
fi

if [ "$failures" = 0 ]; then echo "host tests passed"; else echo "$failures host checks failed"; exit 1; fi
