#!/usr/bin/env bash
# The demo: makes sample BMP files, drives the plug-in through the reference
# host on each of them (identity, geometry, loads at the file's size and
# scaled, saves in every form, gray save/test/load) and writes PNG previews
# with an HTML page that shows each sample beside its loads.
#
# usage: demo/run_demo.sh HOST OUT_DIR
set -euo pipefail
host=$(realpath "$1")
out=$2
samples_bin=$(dirname "$host")/tessaly_samples
rm -rf "$out"
mkdir -p "$out/samples" "$out/png" "$out/saved"
"$samples_bin" "$out/samples"

ok=0; failed=0
run() {  # run LABEL COMMAND...: runs, counts and reports one step
    local label=$1; shift
    if "$@" >/dev/null 2>"$out/last-error"; then ok=$((ok + 1)); return 0; fi
    failed=$((failed + 1)); echo "  FAILED: $label: $(cat "$out/last-error")"; return 1
}

echo "== The plug-in"
"$host" about | sed 's/^/  /'
echo
echo "== Sample files (tessaly info)"
"$host" info "$out"/samples/*.bmp | sed "s|$out/samples/|  |"

html="$out/index.html"
cat >"$html" <<'HEAD'
<!doctype html><meta charset="utf-8"><title>Tessaly demo</title>
<style>body{font:14px sans-serif;margin:2em}td,th{padding:6px;text-align:center;vertical-align:bottom}
img{image-rendering:pixelated;border:1px solid #ccc}small{color:#666}</style>
<h1>Tessaly: BMP plug-in demo</h1>
<p>Each sample loaded through the plug-in at its own size, scaled (cubic), and saved in every form then loaded back.</p>
<table><tr><th>sample</th><th>own size</th><th>scaled to 80x48</th><th>scaled to 400x240</th>
<th>saved 32-bit</th><th>saved 24-bit</th><th>saved 8-bit</th><th>saved 8-bit RLE</th></tr>
HEAD

echo
echo "== Loads, scaled loads and saves"
for bmp in "$out"/samples/*.bmp; do
    name=$(basename "$bmp" .bmp)
    row="<tr><td>$name.bmp</td>"
    cell() { row+="<td><img src=\"png/$1.png\"><br><small>$2</small></td>"; }
    run "$name load" "$host" load "$bmp" -o "$out/png/$name.png" && cell "$name" "own size"
    run "$name scaled down" "$host" load "$bmp" -o "$out/png/$name-small.png" --size 80x48 && cell "$name-small" "80x48"
    run "$name scaled up" "$host" load "$bmp" -o "$out/png/$name-large.png" --size 400x240 && cell "$name-large" "400x240"
    for form in "32" "24" "8" "8 --rle"; do
        tag=$(echo "$form" | tr -d ' -')
        saved="$out/saved/$name-$tag.bmp"
        if run "$name save $form" "$host" convert "$bmp" "$saved" --bits $form &&
            run "$name reload $form" "$host" load "$saved" -o "$out/png/$name-$tag.png"; then
            cell "$name-$tag" "$(stat -c %s "$saved") bytes"
        else
            row+="<td>failed</td>"
        fi
    done
    echo "$row</tr>" >>"$html"
    printf '  %-24s loaded, scaled twice, saved and reloaded in 4 forms\n' "$name.bmp"
done
echo "</table>" >>"$html"

echo
echo "== Gray images"
run "savegray" "$host" savegray "$out/samples/gray.pgm" "$out/saved/gray.bmp"
"$host" isgray "$out/saved/gray.bmp" "$out/samples/card-8bit.bmp" | sed "s|$out/||; s/^/  /"
run "loadgray" "$host" loadgray "$out/saved/gray.bmp" -o "$out/png/gray.png"
run "loadgray pgm" "$host" loadgray "$out/saved/gray.bmp" -o "$out/saved/gray-back.pgm"
if cmp -s "$out/samples/gray.pgm" "$out/saved/gray-back.pgm"; then
    echo "  gray round trip (PGM -> BMP -> PGM): identical"; ok=$((ok + 1))
else
    echo "  gray round trip: DIFFERENT"; failed=$((failed + 1))
fi
{
    echo "<h2>Gray</h2><p>A one-byte-per-pixel buffer saved as an 8-bit gray BMP, recognised as gray, and loaded back:</p>"
    echo '<img src="png/gray.png">'
} >>"$html"

echo
echo "== Summary"
echo "  $ok steps succeeded, $failed failed"
echo "  previews: $out/index.html"
[ "$failed" = 0 ]
