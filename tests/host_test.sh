#!/usr/bin/env bash
# The reference host end to end: every command on files it makes itself, one
# table of failing invocations (exit status and the reason's words), pipes,
# the picture files it writes read back by Pillow, long paths, outputs written
# aside, and `info` on the BMP suite's good files against the suite's own manifest.
set -u
host=$1
shared=${2:-}
samples_bin=$(dirname "$host")/tessaly_samples
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
export TMPDIR=$work/tmp  # where the host's temporary files go: empty again after every command
mkdir -p "$TMPDIR"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
check() {  # check NAME EXPECTED-STATUS COMMAND...
    local name=$1 want=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" != "$want" ]; then fail "$name: exit $got, expected $want"; cat "$work/out" "$work/err"; fi
}
contains() {  # contains NAME FILE TEXT
    if ! grep -qF -- "$3" "$2"; then fail "$1: '$3' not in output"; cat "$2"; fi
}

# BMP files byte by byte: le VALUE BYTES writes a little-endian number.
le() { local i; for ((i = 0; i < $2; i++)); do printf "\\$(printf %03o $((($1 >> (8 * i)) & 255)))"; done; }
bmp() {  # bmp FILE HEADER-SIZE WIDTH HEIGHT BITS COMPRESSION COLOURS PIXELS [ZERO-BYTES]: a gray colour table
    local i
    { printf BM; le 0 8; le $((14 + $2 + 4 * $7)) 4
      le "$2" 4; le "$3" 4; le "$4" 4; le 1 2; le "$5" 2; le "$6" 4; le 0 12; le "$7" 4; le 0 4
      head -c $(($2 - 40)) /dev/zero
      for ((i = 0; i < $7; i++)); do le $((i * 0x010101)) 4; done
      printf "$8"; head -c "${9:-0}" /dev/zero; } >"$1"
}
w=$work
bmp "$w/png.bmp" 40 2 2 0 5 0 '\x89PNG\r\n'
bmp "$w/rgba64.bmp" 40 2 2 64 0 0 '' 32
bmp "$w/rle24.bmp" 64 2 2 24 4 0 '\0\1'
bmp "$w/huffman.bmp" 64 2 2 1 3 2 '' 8
bmp "$w/topdown-rle.bmp" 40 2 -2 8 1 2 '\0\1'
bmp "$w/bits30000.bmp" 40 2 2 30000 0 0 '' 16
bmp "$w/big.bmp" 40 131168 4096 24 0 0 '' 5000  # 5 KB declaring 2^29 pixels
bmp "$w/colour.bmp" 40 1 1 24 0 0 '\1\2\3' 1
bmp "$w/short24.bmp" 40 2 3 24 0 0 '' 12  # the top row's pixel data missing
printf 'not a bmp at all, no' >"$w/junk.bmp"
mkdir "$w/folder.bmp"
printf 'P5\n2 1\n65535\n\0\x81\xff\xff' >"$w/g16.pgm"
/usr/bin/python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d[:-5] + bytes([d[-5] ^ 1]) + d[-4:])' \
    "$(dirname "$0")/../demo/make_samples.cpp" /dev/null  # (python is at hand; the damaged PNG is made below)

check "about" 0 "$host" about
contains "about id" "$work/out" "{E3F4187E-DADC-4477-866F-970DE54F0980}"
contains "about name" "$work/out" "Bitmap Plugin"
contains "about description" "$work/out" "This Plug In is Use to operate bmp file"
check "version" 0 "$host" --version
contains "host version" "$work/out" "tessaly 1.0.0 (reference host)"
contains "plug-in version" "$work/out" "Tessaly plug-in 1.0.0.1 ("
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
cmp -s "$work/g.pgm" "$work/back.pgm" || fail "gray round trip"
check "info" 0 "$host" info "$work/g.bmp"
contains "info line" "$work/out" "g.bmp: Windows 3.x, 3 x 2 bottom-up, 8 bits, uncompressed, 256 colours, loads"
# A maxval of 15 is scaled: 15 is white.
printf 'P5\n3 1\n15\n\000\007\017' >"$work/g15.pgm"
check "savegray maxval 15" 0 "$host" savegray "$work/g15.pgm" "$work/g15.bmp"
check "loadgray maxval 15" 0 "$host" loadgray "$work/g15.bmp" -o "$work/g15.raw"
[ "$(od -An -tu1 "$work/g15.raw" | tr -s ' ')" = " 0 119 255" ] || fail "maxval 15 not scaled to 0-255"
# 16-bit samples are rounded: 129 / 257 is 0.502.
check "savegray 16-bit" 0 "$host" savegray "$w/g16.pgm" "$w/g16.bmp"
check "loadgray 16-bit" 0 "$host" loadgray "$w/g16.bmp" -o "$w/g16.raw"
[ "$(od -An -tu1 "$w/g16.raw" | tr -s ' ')" = " 1 255" ] || fail "16-bit PGM not rounded to 8 bits"

# Convert to every form and load each back through the plug-in.
for form in "32" "24" "8" "8 --rle"; do
    set -- $form
    out="$work/c$1${2:-}.bmp"
    check "convert $form" 0 "$host" convert "$work/g.bmp" "$out" --bits $form
    check "load $form" 0 "$host" load "$out" -o "$work/c.raw"
    [ "$(stat -c %s "$work/c.raw")" = 24 ] || fail "raw size for $form"
done
cp "$work/g.bmp" "$work/ro.bmp"
chmod 444 "$work/ro.bmp"
"$host" convert "$work/g.bmp" /dev/stdout --bits 24 | cmp -s - "$work/c24.bmp" || fail "convert to a pipe"
check "scaled load" 0 "$host" load "$work/g.bmp" -o "$work/s.png" --size 7x5
# Sizes worked out from the picture (the parser's table is a unit test), and --opt=value.
check "load --size=50%" 0 "$host" --max-pixels=6 load "$w/g.bmp" -o "$w/half.raw" --size=50% --format=raw
check "load --fit" 0 "$host" load "$w/g.bmp" -o "$w/fit.raw" --fit 2x2
[ "$(stat -c %s "$w/half.raw") $(stat -c %s "$w/fit.raw")" = "8 8" ] || fail "50% and --fit 2x2 of 3 x 2 are not 2 x 1"
check "bad size" 2 "$host" load "$work/g.bmp" -o "$work/s.png" --size 0x5
check "-- ends the options" 0 "$host" info -- "$work/g.bmp"

# Standard input and output: the same bytes as through files, and no temporary file left.
"$host" load - -o - <"$work/g.bmp" >"$work/piped.png" && "$host" load "$work/g.bmp" -o "$work/named.png" &&
    cmp -s "$work/piped.png" "$work/named.png" || fail "load - -o - differs from a load of the file"
"$host" convert - - --bits 24 <"$work/g.bmp" | cmp -s - "$work/c24.bmp" || fail "convert - - differs"
"$host" savegray - - <"$work/g.pgm" | cmp -s - "$work/g.bmp" || fail "savegray - - differs"
[ -z "$(ls -A "$TMPDIR")" ] || fail "temporary files left: $(ls "$TMPDIR")"

"$host" load "$w/g.bmp" -o "$w/g.png" &&
    /usr/bin/python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[-13] ^= 1; open(sys.argv[2], "wb").write(d)' \
        "$w/g.png" "$w/bad.png" || fail "damaged PNG not made"  # the last byte of IDAT's CRC
cp "$w/g.bmp" "$w/old.bmp"

# Failing invocations: exit status, the words of the reason, and for a failure
# (1) of anything but info one line "tessaly: FILE: REASON" on standard error.
while IFS='|' read -r want words command; do
    eval "\"\$host\" $command" >"$work/out" 2>"$work/err" </dev/null
    got=$?
    if [ "$got" != "$want" ] || ! cat "$work/out" "$work/err" | grep -qF -- "$words"; then
        fail "tessaly $command: exit $got (expected $want), expected '$words'"; cat "$work/out" "$work/err"
    elif [ "$want" = 1 ] && [ "${command%% *}" != info ] &&
        { [ "$(wc -l <"$work/err")" != 1 ] || ! grep -q '^tessaly: .*: ' "$work/err"; }; then
        fail "tessaly $command: not one line 'tessaly: FILE: REASON'"; cat "$work/err"
    fi
done <<EOF
1|missing.bmp: No such file or directory|load $w/missing.bmp -o $w/o.png
1|missing.bmp: No such file or directory|isgray $w/missing.bmp
1|missing.bmp: No such file or directory|info $w/missing.bmp
1|missing.bmp: No such file or directory|info $w/g.bmp $w/missing.bmp
1|: Is a directory|load $w -o $w/o.png
1|folder.bmp: Is a directory|convert $w/g.bmp $w/folder.bmp --bits 24
1|x.bmp: No such file or directory|convert $w/g.bmp $w/no/x.bmp --bits 24
1|ro.bmp: read-only file|convert $w/g.bmp $w/ro.bmp --bits 24
1|ro.bmp: read-only file|savegray $w/g15.pgm $w/ro.bmp
1|png.bmp: embedded PNG stream|load $w/png.bmp -o $w/o.png
0|Windows 3.x, 2 x 2 bottom-up, 64 bits, uncompressed, loads|info $w/rgba64.bmp
0|OS/2 2.x, 2 x 2 bottom-up, 24 bits, RLE24, loads|info $w/rle24.bmp
0|OS/2 2.x, 2 x 2 bottom-up, 1 bit, Huffman 1-D, 2 colours, loads|info $w/huffman.bmp
1|topdown-rle.bmp: top-down RLE|load $w/topdown-rle.bmp -o $w/o.png
1|30000 bits, uncompressed, refused: unsupported bit count|info $w/bits30000.bmp
1|loads":false,"reason":"embedded PNG stream"|info --json $w/png.bmp
1|c24.bmp: not an 8-bit gray image|loadgray $w/c24.bmp -o $w/x.pgm
2|o.jpg: unknown output type: name it .png, .raw, .pgm, .ppm or .pam|load $w/g.bmp -o $w/o.jpg
2|c.png: convert writes BMP files only|convert $w/g.bmp $w/c.png --bits 24
2|unknown option --frobnicate|info --frobnicate $w/g.bmp
1|/dev/full: No space left on device|savegray $w/g15.pgm /dev/full
1|/dev/full: No space left on device|convert $w/g.bmp /dev/full --bits 24
1|/dev/full: No space left on device|load $w/g.bmp -o /dev/full --format raw
1|(standard input): not a BMP file|load - -o $w/o.png < /etc/passwd
1|(standard input): embedded PNG stream|convert - - --bits 24 < $w/png.bmp
1|(standard input): unsupported bit count|load - -o - < $w/bits30000.bmp
1|big.bmp: 131168 x 4096 = 537264128 pixels, over the host's limit of 268435456|load $w/big.bmp -o $w/o.raw
1|g.bmp: 3 x 2 = 6 pixels, over the host's limit of 5|--max-pixels 5 load $w/g.bmp -o $w/o.raw
1|g.bmp: 3 x 2 = 6 pixels, over the host's limit of 5|loadgray $w/g.bmp -o $w/o.raw --max-pixels 5
1|junk.bmp: not a BMP file|isgray $w/g.bmp $w/junk.bmp
1|junk.bmp: not a BMP, PNG, PGM, PPM or PAM file|convert $w/junk.bmp $w/x.bmp --bits 24
1|bad.png: damaged PNG: its IDAT chunk fails its CRC|convert $w/bad.png $w/old.bmp --bits 24
1|bad.png: damaged PNG: its IDAT chunk fails its CRC|savegray $w/bad.png $w/old.bmp
1|colour.bmp: the picture has colour|savegray $w/colour.bmp $w/x.bmp
1|g.pgm: 3 x 2 = 6 pixels, over the host's limit of 5|convert $w/g.pgm $w/x.bmp --bits 24 --max-pixels=5
2|--rle takes no value|convert $w/g.bmp $w/x.bmp --bits 8 --rle=1
2|--size takes WxH, Wx, xH, N% or WxH>|load $w/g.bmp -o $w/o.png --size 5
2|give --size or --fit, not both|load $w/g.bmp -o $w/o.png --size 5x5 --fit 5x5
0|loads, damaged: pixel data ends at row 2 of 3, 12 of 22 bytes (rows above show black)|info $w/short24.bmp
0|"damaged":true,"damage":[{"kind":"pixelDataShort","note":false,"text":"pixel data ends|info --json $w/short24.bmp
1|refused: damaged: pixel data ends at row 2|info --strict $w/short24.bmp
0|short24.bmp: warning: damaged: pixel data ends at row 2|load $w/short24.bmp -o $w/damaged.raw
1|short24.bmp: damaged: pixel data ends at row 2|load $w/short24.bmp -o $w/o.raw --strict
1|short24.bmp: damaged: pixel data ends at row 2|convert $w/short24.bmp $w/x.bmp --bits 24 --strict
EOF
[ ! -e "$work/o.png" ] && [ ! -e "$work/o.raw" ] && [ ! -e "$work/x.bmp" ] && [ ! -e "-" ] || fail "a failed command left an output"
cmp -s "$w/old.bmp" "$w/g.bmp" || fail "a refused input touched the old output"

# What the host writes, read by Pillow: every loadable sample (and every good and
# questionable suite file) as PNG and PPM holds exactly the pixels of the raw load.
mkdir "$work/samples" "$work/pictures"
"$samples_bin" "$work/samples"
files=("$work"/samples/*.bmp "$work/g.bmp")
[ -n "$shared" ] && files+=("$shared"/corpus/bmpsuite/[gq]/*.bmp)
for f in "${files[@]}"; do
    n=$work/pictures/$(basename "$(dirname "$f")")-$(basename "$f" .bmp)
    "$host" load "$f" -o "$n.raw" 2>/dev/null || continue
    "$host" load "$f" -o "$n.png" && "$host" load "$f" -o "$n.pam" || fail "load $f"
    "$host" load "$f" -o "$n.ppm" 2>/dev/null  # refused for a picture with transparency
done
/usr/bin/python3 - "$work/pictures" <<'PY' || failures=$((failures + 1))
import glob, sys
from PIL import Image
bad = 0
for raw in sorted(glob.glob(sys.argv[1] + "/*.raw")):
    stem = raw[:-4]
    data = open(raw, "rb").read()
    rgba = bytes(b for i in range(0, len(data), 4) for b in (data[i + 2], data[i + 1], data[i], data[i + 3]))
    png = Image.open(stem + ".png")
    if png.convert("RGBA").tobytes() != rgba:
        print("FAIL PNG pixels differ:", stem); bad += 1
    opaque = all(rgba[i] == 255 for i in range(3, len(rgba), 4))
    gray = all(rgba[i] == rgba[i + 1] == rgba[i + 2] for i in range(0, len(rgba), 4))
    colours = len(set(rgba[i:i + 4] for i in range(0, len(rgba), 4)))
    want = "L" if gray and opaque else "P" if colours <= 256 else "LA" if gray else "RGB" if opaque else "RGBA"
    if png.mode not in (want, "1" if want == "L" else want):
        print("FAIL PNG colour type", png.mode, "where", want, "holds the picture:", stem); bad += 1
    try:
        ppm = Image.open(stem + ".ppm").convert("RGBA").tobytes()
        if not opaque or ppm != rgba:
            print("FAIL PPM differs:", stem); bad += 1
    except FileNotFoundError:
        if opaque:
            print("FAIL no PPM of an opaque picture:", stem); bad += 1
    header, pam = open(stem + ".pam", "rb").read().split(b"ENDHDR\n", 1)
    depth = (1 if gray else 3) + (0 if opaque else 1)
    channels = [(0,), (0, 3), (0, 1, 2), (0, 1, 2, 3)][depth - 1]
    if b"DEPTH %d\n" % depth not in header or pam != bytes(rgba[i + c] for i in range(0, len(rgba), 4) for c in channels):
        print("FAIL PAM differs:", stem); bad += 1
print(len(glob.glob(sys.argv[1] + "/*.raw")), "pictures read back by Pillow")
sys.exit(1 if bad else 0)
PY

# Pictures into BMP: a PNG from standard input, a PPM and a PAM (Pillow checks every type in pillow_check.py).
"$host" convert - "$w/from-png.bmp" --bits 24 <"$w/g.png" && cmp -s "$w/from-png.bmp" "$w/c24.bmp" ||
    fail "a PNG from standard input"
printf 'P6\n1 1\n255\n\1\2\3' >"$w/p.ppm"
printf 'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n\1\2\3\4' >"$w/p.pam"
check "convert PPM" 0 "$host" convert "$w/p.ppm" "$w/p-ppm.bmp" --bits 24
check "convert PAM" 0 "$host" convert "$w/p.pam" "$w/p-pam.bmp" --bits 32
[ "$(tail -c 4 "$w/p-ppm.bmp" | od -An -tu1 | tr -s ' ')" = " 3 2 1 0" ] &&
    [ "$(tail -c 4 "$w/p-pam.bmp" | od -An -tu1 | tr -s ' ')" = " 3 2 1 4" ] || fail "PPM or PAM pixel not saved as B, G, R (, A)"

# A path of 300 bytes (and one past PATH_MAX): the host reaches it through its folder for every command.
long=$w/$(printf 'd%.0s' {1..150})/$(printf 'n%.0s' {1..130})
mkdir -p "${long%/*}" && cp "$w/g.bmp" "$long.bmp"
check "info, long path" 0 "$host" info "$long.bmp"
contains "info, long path" "$work/out" "nnn.bmp: Windows 3.x, 3 x 2 bottom-up, 8 bits, uncompressed, 256 colours, loads"
check "isgray, long path" 0 "$host" isgray "$long.bmp"
contains "isgray, long path" "$work/out" "nnn.bmp: gray"
check "load, long path" 0 "$host" load "$long.bmp" -o "$long.png"
check "convert, long paths" 0 "$host" convert "$long.png" "$long-24.bmp" --bits 24
cmp -s "$long-24.bmp" "$w/c24.bmp" || fail "convert between long paths"
check "loadgray, long path" 0 "$host" loadgray "$long.bmp" -o "$long.pgm"
check "savegray, long paths" 0 "$host" savegray "$long.pgm" "$long-gray.bmp"
cmp -s "$long.pgm" "$w/g.pgm" && cmp -s "$long-gray.bmp" "$w/g.bmp" || fail "gray round trip between long paths"
x250=$(printf 'x%.0s' {1..250})
deep=$w
for i in {1..20}; do deep=$deep/$x250; done
(cd "$w" && for i in {1..20}; do mkdir "$x250" && cd "$x250" || exit 1; done && cp "$w/g.bmp" g.bmp) || fail "deep folders not made"
check "load past PATH_MAX" 0 "$host" load "$deep/g.bmp" -o "$deep/g.png"
check "convert past PATH_MAX" 0 "$host" convert "$deep/g.png" "$deep/c.bmp" --bits 24
[ "$(cd "$w" && for i in {1..20}; do cd "$x250"; done && cksum <c.bmp)" = "$(cksum <"$w/c24.bmp")" ] ||
    fail "convert past PATH_MAX"

# A name that is not UTF-8: its JSON parses with a strict parser, each stray byte as \u00XX.
odd=$(printf 'caf\xe9-\xc3\xa9-"\x01')
cp "$w/g.bmp" "$w/$odd.bmp"
"$host" info --json "$w/$odd.bmp" | /usr/bin/python3 -c 'import json, sys
sys.exit(0 if json.loads(sys.stdin.read())["file"].endswith("/caf\u00e9-\u00e9-\"\u0001.bmp") else 1)' ||
    fail "JSON of a name that is not UTF-8"

# Outputs the host writes itself go aside first: past the file-size limit the old file stays, the reason
# is given, nothing is left behind. A symbolic link and a file of two names are written in place.
printf 'old' >"$w/old.raw"
(ulimit -f 4; "$host" load "$w/samples/card-24bit.bmp" -o "$w/old.raw") >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 1 ] && grep -qF "old.raw: File too large" "$work/err" && [ "$(cat "$w/old.raw")" = old ] ||
    { fail "an output past the file-size limit: exit $status"; cat "$work/err"; }
! ls -a "$w" | grep -q tessaly || fail "a temporary output was left: $(ls -a "$w" | grep tessaly)"
printf 'old' >"$w/target.raw" && ln -s target.raw "$w/link.raw" && ln "$w/target.raw" "$w/second.raw"
check "load -o a symbolic link" 0 "$host" load "$w/g.bmp" -o "$w/link.raw"
check "loadgray -o a file of two names" 0 "$host" loadgray "$w/g.bmp" -o "$w/second.raw"
[ -L "$w/link.raw" ] && [ "$(stat -c %h "$w/target.raw")" = 2 ] && [ "$(stat -c %s "$w/target.raw")" = 6 ] ||
    fail "writing through a link or a second name broke it"

# A file another user planted in a sticky folder is refused where the kernel refuses a plain writer, root included.
if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1 && [ -w /proc/sys/fs/protected_regular ]; then
    was=$(cat /proc/sys/fs/protected_regular)
    echo 1 >/proc/sys/fs/protected_regular
    mkdir -m 1777 "$w/sticky" && printf 'theirs' >"$w/sticky/p.raw" && chown nobody "$w/sticky/p.raw" && chmod 666 "$w/sticky/p.raw"
    check "load -o another user's file in a sticky folder" 1 "$host" load "$w/g.bmp" -o "$w/sticky/p.raw"
    contains "planted file" "$work/err" "Permission denied"
    [ "$(cat "$w/sticky/p.raw")" = theirs ] && [ "$(stat -c %U "$w/sticky/p.raw")" = nobody ] || fail "a planted file was written"
    echo "$was" >/proc/sys/fs/protected_regular
fi

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
    # Every line states the manifest's header kind, width, row count and order, bit count and compression.
    while IFS=$'\t' read -r path cat size sha desc ref w h bits comp hs; do
        [ "$cat" = good ] || continue
        rows=${h#-}; order=bottom-up; [ "${h:0:1}" = - ] && order=top-down
        case $hs in 12) kind="OS/2 1.x" ;; 16 | 64) kind="OS/2 2.x" ;; 40) kind="Windows 3.x" ;; 52) kind=V2 ;;
            56) kind=V3 ;; 108) kind=V4 ;; 124) kind=V5 ;; *) kind="Windows ($hs-byte header)" ;; esac
        case ${comp#*:} in RGB) comp=uncompressed ;; BITFIELDS) comp="bit fields" ;; *) comp=${comp#*:} ;; esac
        [ "$bits" = 1 ] && unit=bit || unit=bits
        contains "info $path" "$work/out" "$suite/$path: $kind, $w x $rows $order, $bits $unit, $comp"
    done <"$suite/MANIFEST.tsv"
fi

if [ "$failures" = 0 ]; then echo "host tests passed"; else echo "$failures host checks failed"; exit 1; fi
