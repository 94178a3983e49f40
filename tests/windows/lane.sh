# Shared by the Windows lanes (sourced): the inputs, the command list both
# builds run, running a list through the host's batch mode, and the
# comparison of the two runs. Each run works in a folder beside in/, so every
# path a command names or prints is the same in both.

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
long_folder=$(printf 'd%.0s' {1..150})
long_name=$(printf 'n%.0s' {1..130})

# make_inputs SAMPLES_PROGRAM SHARED IN: the generated samples, the BMP suite under IN/suite,
# pictures of the other types the host reads under IN/pictures (every PNG colour type and
# depth, PPM, PGM, PAM; and a PNG whose IDAT fails its CRC), and a sample under a path of
# about 300 bytes (IN/long/...).
make_inputs() {
    mkdir -p "$3/suite" "$3/long/$long_folder"
    "$1" "$3" || return 1
    cp -r "$2/corpus/bmpsuite/g" "$2/corpus/bmpsuite/q" "$2/corpus/bmpsuite/b" "$2/corpus/bmpsuite/x" "$3/suite/"
    /usr/bin/python3 "$lane_dir/../pillow_check.py" --inputs "$3/pictures" || return 1
    /usr/bin/python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[-13] ^= 1; open(sys.argv[2], "wb").write(d)' \
        "$3/pictures/rgb8.png" "$3/pictures/damaged.png" || return 1
    cp "$3/card-8bit.bmp" "$3/long/$long_folder/$long_name.bmp"
}

# host_commands IN: every host command on every input, one a line.
host_commands() {
    local in=$1 f name src form
    echo about
    echo "info $(cd "$in" && ls *.bmp | sed 's|^|../in/|' | tr '\n' ' ')"
    for f in "$in"/*.bmp; do
        name=$(basename "$f" .bmp)
        echo "load ../in/$name.bmp -o $name.raw"
        echo "load ../in/$name.bmp -o $name-77x41.raw --size 77x41"
        for form in 32 24 8; do
            echo "convert ../in/$name.bmp $name-$form.bmp --bits $form"
            echo "load $name-$form.bmp -o $name-$form.raw"
        done
        echo "convert ../in/$name.bmp $name-rle.bmp --bits 8 --rle"
        echo "isgray $name-rle.bmp"
    done
    echo "savegray ../in/gray.pgm gray.bmp"
    echo "isgray gray.bmp ../in/card-8bit.bmp"
    echo "isgray ../in/gray.pgm"
    echo "loadgray gray.bmp -o gray-back.pgm"
    echo "info missing.bmp"
    echo "load ../in/gray.pgm -o junk.raw"
    for size in 64x x30 12.5% 1000x50\> --fit=100x100 --size=200%; do
        case $size in --*) option=$size ;; *) option="--size $size" ;; esac
        value=${size#--*=}
        echo "load ../in/card-24bit.bmp -o card-${value//[^0-9x.]/_}.raw $option"  # no '>' in a Windows name
    done
    echo "convert ../in/pictures/damaged.png damaged.bmp --bits 24"
    echo "savegray ../in/pictures/damaged.png damaged-gray.bmp"
    for f in "$in"/pictures/*; do
        name=$(basename "$f")
        [ "$name" = damaged.png ] && continue
        for form in 32 24 8; do echo "convert ../in/pictures/$name $name-$form.bmp --bits $form"; done
        echo "convert ../in/pictures/$name $name-rle.bmp --bits 8 --rle"
        echo "savegray ../in/pictures/$name $name-gray.bmp"
        echo "load $name-32.bmp -o $name-32.raw"
    done
    src=../in/long/$long_folder/$long_name.bmp
    echo "info $src"
    echo "isgray $src"
    echo "load $src -o long.raw"
    echo "convert $src long-rle.bmp --bits 8 --rle"
    for f in "$in"/suite/*/*.bmp; do
        src=../in/suite/${f#"$in"/suite/}
        name=$(basename "$(dirname "$f")")-$(basename "$f" .bmp)
        echo "info $src"
        echo "info -v --json --strict $src"
        echo "load $src -o $name.raw"
        echo "load $src -o $name-33x17.raw --size 33x17"
        echo "load $src -o $name-200x90.raw --size 200x90"
        echo "isgray $src"
        echo "loadgray $src -o $name.pgm"
        for form in 32 24 8; do echo "convert $src $name-$form.bmp --bits $form"; done
        echo "convert $src $name-rle.bmp --bits 8 --rle"
    done
}

# run_batch LIST OUT HOST...: LIST's commands through `HOST... batch`, their
# output appended to OUT. A process that dies (any exit status above 2) is
# reported on stdout and in OUT.crashes, its command marked "== exit crashed"
# in OUT, and a new process goes on from the next command. A lost connection
# to the Wine server is Wine's failure, not the plug-in's: that is retried once.
run_batch() {
    local list=$1 out=$2 total done=0 status lines last retried=no what base
    shift 2
    total=$(grep -c . "$list")
    touch "$out"
    base=$(grep -c '^== exit ' "$out")
    while [ "$done" -lt "$total" ]; do
        grep . "$list" | tail -n +$((done + 1)) >"$out.rest"
        lines=$(wc -l <"$out")
        "$@" batch "$out.rest" >>"$out" 2>"$out.err"
        status=$?
        done=$(($(grep -c '^== exit ' "$out") - base))
        [ "$status" -le 2 ] && [ "$done" -eq "$total" ] && break
        if [ "$(wc -l <"$out")" = "$lines" ]; then
            echo "HOST DID NOT START (exit $status): $*" | tee -a "$out.crashes"
            head -n 5 "$out.err"
            break
        fi
        if [ "$retried" = no ] && grep -q "wine client error" "$out.err"; then
            retried=yes
            last=$(grep -n '^== ' "$out" | tail -n 1)
            case ${last#*:} in "== exit "*) ;; *) sed -i "${last%%:*},\$d" "$out" ;; esac
            done=$(($(grep -c '^== exit ' "$out") - base))
            continue
        fi
        what="CRASH (exit $status)"
        [ "$status" = 124 ] && what="TIME LIMIT"
        if [ "$done" -lt "$total" ]; then
            echo "== exit crashed" >>"$out"
            done=$((done + 1))
            what="$what in: $(grep . "$list" | sed -n "${done}p")"
        else
            what="$what on leaving, after: $(grep . "$list" | tail -n 1)"
        fi
        echo "$what" | tee -a "$out.crashes"
        grep -v '^$' "$out.err" | head -n 3
    done
    rm -f "$out.rest" "$out.err"
}

# compare_runs DIR NAME: DIR/linux.out against DIR/windows.out (line ends
# aside), and every file in DIR/linux against DIR/windows, byte for byte.
# Prints the differences and a summary; fails on any difference or crash.
compare_runs() {
    local dir=$1 lane=$2 failures=0 f file
    if ! diff -U 3 <(tr -d '\r' <"$dir/linux.out") <(tr -d '\r' <"$dir/windows.out") >"$dir/diff"; then
        echo "DIFFERENT output (- Linux, + Windows):"
        head -n 200 "$dir/diff"
        failures=$((failures + 1))
    fi
    for file in $({ ls "$dir/linux"; ls "$dir/windows"; } | sort -u); do
        [ -d "$dir/linux/$file" ] && [ -d "$dir/windows/$file" ] && continue  # folders a test made in both
        if ! cmp -s "$dir/linux/$file" "$dir/windows/$file"; then
            echo "DIFFERENT file: $file"
            failures=$((failures + 1))
        fi
    done
    local crashes=0 commands files
    for f in "$dir"/*.crashes; do
        [ -f "$f" ] || continue
        sed "s/^/$(basename "$f" .out.crashes): /" "$f"
        crashes=$((crashes + $(wc -l <"$f")))
    done
    commands=$(grep -c '^== exit ' "$dir/linux.out")
    files=$(ls "$dir/linux" | wc -l)
    if [ "$failures" = 0 ] && [ "$crashes" = 0 ]; then
        echo "$lane: $commands commands and $files output files identical to the Linux build"
    else
        echo "$lane: $failures differences, and $crashes processes that crashed or ran out of time, in $commands commands and $files output files"
        return 1
    fi
}
