#!/usr/bin/env bash
# The demo: makes sample BMP files and the pictures they are meant to show,
# drives the plug-in through the reference host on each of them (identity,
# description, loads at the file's size and scaled, saves in every form, gray
# save/test/load), checks each load at the file's size against the meant
# picture byte for byte, and writes an HTML page that shows each sample's
# meant picture beside its loads. Headless Chromium (when installed) checks
# that the page fits 1400 px and leaves a screenshot beside it.
#
# usage: demo/run_demo.sh HOST OUT_DIR
set -euo pipefail
host=$(realpath "$1")
out=$2
samples_bin=$(dirname "$host")/tessaly_samples
rm -rf "$out"
mkdir -p "$out/samples" "$out/meant" "$out/png" "$out/raw" "$out/saved"
"$samples_bin" "$out/samples" "$out/meant"

ok=0; failed=0
run() {  # run LABEL COMMAND...: runs, counts and reports one step
    local label=$1; shift
    if "$@" >/dev/null 2>"$out/last-error"; then ok=$((ok + 1)); return 0; fi
    failed=$((failed + 1)); echo "  FAILED: $label: $(cat "$out/last-error")"; return 1
}
same() {  # same LABEL A B: counts whether two files hold the same bytes
    if cmp -s "$2" "$3"; then ok=$((ok + 1)); return 0; fi
    failed=$((failed + 1)); echo "  DIFFERENT: $1"; return 1
}

echo "== The plug-in"
"$host" --version | sed 's/^/  /'
"$host" about | sed 's/^/  /'
echo
echo "== Sample files (tessaly info)"
"$host" info "$out"/samples/*.bmp | sed "s|$out/samples/|  |"

html="$out/index.html"
cat >"$html" <<'HEAD'
<!doctype html><html lang="en"><meta charset="utf-8"><title>Tessaly demo</title>
<style>
body{font:14px sans-serif;margin:1.5em;max-width:1360px}
section{border-top:1px solid #ddd;padding:.5em 0 .8em}
h2{font-size:15px;margin:.2em 0}
p.info{font:12px monospace;color:#444;margin:0 0 .5em;overflow-wrap:anywhere}
.row{display:flex;flex-wrap:wrap;gap:12px 28px;align-items:flex-end}
.grid{display:grid;grid-template-columns:repeat(3,auto);gap:8px 12px;align-items:end}
figure{margin:0;text-align:center;max-width:100%}
figure img{display:block;max-width:100%;image-rendering:pixelated;border:1px solid #ccc}
figure.meant img{border-color:#3a7}
figcaption{color:#555;font-size:12px}
.fault{color:#b00;font-weight:bold}
</style>
<script>
// For the page check: how wide and tall the laid-out page is.
addEventListener('load', () => {
  const e = document.documentElement;
  e.dataset.width = e.scrollWidth;
  e.dataset.height = e.scrollHeight;
});
</script>
<h1>Tessaly: BMP plug-in demo</h1>
<p>Each sample beside the picture its generator meant (green frame), then loaded through the plug-in at its own
size (checked byte for byte against the meant picture), scaled (cubic), and saved in every form and loaded back.
8-bit saves are lossy by design: the plug-in's indexer keeps at most 64 colours of an opaque picture.</p>
HEAD

figure() {  # figure IMAGE CAPTION [CLASS]: adds a picture to $cells
    cells+="<figure class=\"${3:-}\"><img src=\"$1\" alt=\"\"><figcaption>$2</figcaption></figure>"
}

echo
echo "== Loads, scaled loads and saves"
for bmp in "$out"/samples/*.bmp; do
    name=$(basename "$bmp" .bmp)
    cells=""  # at the file's size: meant, loaded, and saved in 4 forms then loaded back
    figure "meant/$name.png" "meant" meant
    if run "$name load" "$host" load "$bmp" -o "$out/png/$name.png" &&
        run "$name load raw" "$host" load "$bmp" -o "$out/raw/$name.raw"; then
        if same "$name: load and meant picture" "$out/raw/$name.raw" "$out/meant/$name.raw"; then
            figure "png/$name.png" "loaded: as meant"
        else
            figure "png/$name.png" "<span class=fault>loaded: differs from meant</span>"
        fi
    fi
    for form in "32" "24" "8" "8 --rle"; do
        tag=$(echo "$form" | tr -d ' -')
        saved="$out/saved/$name-$tag.bmp"
        if run "$name save $form" "$host" convert "$bmp" "$saved" --bits $form &&
            run "$name reload $form" "$host" load "$saved" -o "$out/png/$name-$tag.png"; then
            caption="saved ${form%% *}-bit"; [ "$tag" = 8rle ] && caption+=" RLE"
            figure "png/$name-$tag.png" "$caption, $(stat -c %s "$saved") bytes"
        else
            cells+="<figure><figcaption class=fault>save $form failed</figcaption></figure>"
        fi
    done
    row="<div class=grid>$cells</div>"
    cells=""
    run "$name scaled down" "$host" load "$bmp" -o "$out/png/$name-small.png" --size 80x48 &&
        figure "png/$name-small.png" "scaled to 80x48"
    run "$name scaled up" "$host" load "$bmp" -o "$out/png/$name-large.png" --size 400x240 &&
        figure "png/$name-large.png" "scaled to 400x240"
    row+=$cells
    description=$("$host" info "$bmp" | sed "s|^$bmp: ||")
    echo "<section><h2>$name.bmp</h2><p class=info>$description</p><div class=row>$row</div></section>" >>"$html"
    printf '  %-24s loaded as meant, scaled twice, saved and reloaded in 4 forms\n' "$name.bmp"
done

echo
echo "== Gray images"
run "savegray" "$host" savegray "$out/samples/gray.pgm" "$out/saved/gray.bmp"
"$host" isgray "$out/saved/gray.bmp" "$out/samples/card-8bit.bmp" | sed "s|$out/||; s/^/  /"
run "loadgray" "$host" loadgray "$out/saved/gray.bmp" -o "$out/png/gray.png"
run "loadgray raw" "$host" loadgray "$out/saved/gray.bmp" -o "$out/raw/gray.raw"
if same "gray round trip" "$out/raw/gray.raw" "$out/meant/gray.raw"; then
    echo "  gray round trip (PGM -> BMP -> one byte per pixel): identical"
fi
cells=""
figure "meant/gray.png" "meant" meant
figure "png/gray.png" "saved as an 8-bit gray BMP, loaded back"
echo "<section><h2>Gray</h2><p>A one-byte-per-pixel buffer saved as an 8-bit gray BMP, recognised as gray, and loaded back:</p><div class=row>$cells</div></section>" >>"$html"

# The page in headless Chromium at 1400 px: nothing may stand out to the
# right, and a screenshot of the whole page stays beside it.
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -n "$browser" ]; then
    echo
    echo "== The page in headless Chromium"
    profile=$(mktemp -d)
    chrome() {
        timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-background-networking \
            --disable-component-update --disable-sync --no-first-run --hide-scrollbars \
            --user-data-dir="$profile" "$@" 2>/dev/null
    }
    page="file://$(realpath "$html")"
    dom=$(chrome --window-size=1400,1000 --virtual-time-budget=5000 --dump-dom "$page" || true)
    width=$(grep -o 'data-width="[0-9]*"' <<<"$dom" | grep -o '[0-9]*' || true)
    height=$(grep -o 'data-height="[0-9]*"' <<<"$dom" | grep -o '[0-9]*' || true)
    if [ -n "$width" ] && [ "$width" -le 1400 ]; then
        echo "  the page is $width px wide at a 1400 px window: it fits"; ok=$((ok + 1))
    else
        echo "  FAILED: the page is ${width:-of unknown width} px wide at a 1400 px window"; failed=$((failed + 1))
    fi
    if chrome --window-size=1400,"${height:-2000}" --virtual-time-budget=5000 \
        --screenshot="$(realpath "$out")/screenshot.png" "$page" >/dev/null && [ -s "$out/screenshot.png" ]; then
        echo "  screenshot: $out/screenshot.png"; ok=$((ok + 1))
    else
        echo "  FAILED: no screenshot"; failed=$((failed + 1))
    fi
    rm -rf "$profile"
else
    echo
    echo "== Chromium is not installed (scripts/setup.sh base installs it): the page was not checked"
fi

echo
echo "== Summary"
echo "  $ok steps succeeded, $failed failed"
echo "  previews: $out/index.html"
[ "$failed" = 0 ]
