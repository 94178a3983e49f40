#!/usr/bin/env bash
# The reference host over every file of the BMP suite: info, load, scaled load,
# isgray and loadgray. Each file loads or is refused with a clean exit status;
# anything else (a signal, a sanitizer report) is a crash. Prints per folder.
set -u
host=$1
suite=$2/corpus/bmpsuite
[ -d "$suite" ] || { echo "BMP suite not found; skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
crashes=0
for folder in g q b x; do
    loaded=0 refused=0 crashed=0
    for f in "$suite/$folder"/*.bmp; do
        worst=0
        for cmd in "info $f" "load $f -o $work/o.raw" "load $f -o $work/s.raw --size 33x17" "isgray $f" "loadgray $f -o $work/g.pgm"; do
            $host $cmd >/dev/null 2>"$work/err"
            rc=$?
            if [ $rc -gt 1 ] || grep -q "Sanitizer" "$work/err"; then
                echo "CRASH: tessaly $cmd (exit $rc)"; cat "$work/err"; worst=2
            fi
            [ "$cmd" = "load $f -o $work/o.raw" ] && load_rc=$rc
        done
        if [ $worst = 2 ]; then crashed=$((crashed + 1)); elif [ "$load_rc" = 0 ]; then loaded=$((loaded + 1)); else refused=$((refused + 1)); fi
    done
    echo "$folder/: $loaded load, $refused refused, $crashed crashed"
    crashes=$((crashes + crashed))
done
[ $crashes = 0 ]
