#!/usr/bin/env bash
# The 64-bit Windows build run for real under Wine: the Windows host loads
# Tessaly.dll by path (checking its exports by name and by ordinal) and runs
# every command on generated files and on the BMP suite (lane.sh) in one
# process; its printed output, exit statuses and every file it writes must be
# identical to the Linux build's on the same inputs. Then the example host in C
# (examples/host.c) loads the DLL with LoadLibraryA.
#
# usage: wine_e2e.sh LINUX_HOST LINUX_SAMPLES WINDOWS_HOST WINEPREFIX SHARED
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lane.sh"
linux_host=$(realpath "$1")
windows_host=$(realpath "$3")
mkdir -p "$4"
export WINEPREFIX=$(realpath "$4") WINEDEBUG=-all
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/linux" "$work/windows"
make_inputs "$2" "$5" "$work/in" || exit 1
host_commands "$work/in" >"$work/commands"
"$wine" "$windows_host" about >/dev/null 2>&1  # the first start sets the prefix up
/usr/lib/wine/wineserver64 -w                   # and lets its background set-up finish before the runs

(cd "$work/linux" && run_batch ../commands ../linux.out "$linux_host")
(cd "$work/windows" && run_batch ../commands ../windows.out "$wine" "$windows_host")

# Saves over what exists: a file (replaced), a file with two names and a
# symbolic link (both must stay), a read-only file and a folder (refused).
for side in linux windows; do
    (cd "$work/$side" && cp ../in/card-8bit.bmp replaced.bmp && cp ../in/card-8bit.bmp linked.bmp &&
        ln linked.bmp linked-too.bmp && cp ../in/card-8bit.bmp target.bmp && ln -s target.bmp symlink.bmp &&
        cp ../in/card-8bit.bmp read-only.bmp && chmod 444 read-only.bmp && mkdir folder.bmp)
done
for dest in replaced linked symlink read-only folder; do echo "convert ../in/card-24bit.bmp $dest.bmp --bits 24"; done >"$work/replacements"
echo "savegray ../in/gray.pgm read-only.bmp" >>"$work/replacements"
(cd "$work/linux" && run_batch ../replacements ../linux.out "$linux_host")
(cd "$work/windows" && run_batch ../replacements ../windows.out "$wine" "$windows_host")
links=0
if [ ! -L "$work/windows/symlink.bmp" ] || [ "$(stat -c %h "$work/windows/linked.bmp")" != 2 ]; then
    echo "DIFFERENT links: the Windows build broke a link"; links=1
fi

# The example host in C, built for Windows: LoadLibraryA finds Tessaly.dll beside it.
mkdir -p "$work/example"
cp "$(dirname "$windows_host")/Tessaly.dll" "$(dirname "$windows_host")/examples/tessaly_host_example.exe" \
    "$work/in/card-24bit-topdown.bmp" "$work/example/"
example=0
(cd "$work/example" && "$here/../example_host_test.sh" Tessaly.dll card-24bit-topdown.bmp \
    "$wine" tessaly_host_example.exe) || example=1
compare_runs "$work" "Wine run" && [ "$links" = 0 ] && [ "$example" = 0 ]
