#!/usr/bin/env bash
# The 32-bit Windows build run for real: tessaly.exe and Tessaly.dll (i686,
# mingw-w64) under 32-bit Wine, in an emulated x86-64 guest (guest/boot.sh),
# since this machine's kernel cannot execute 32-bit code. In the guest
# (win32_job.sh) abi_host.exe checks the calling conventions and every record
# byte around each command; the example host in C loads the DLL with
# LoadLibraryA and calls its stdcall ImageProc; tessaly.exe runs every host
# command on the samples and the BMP suite (lane.sh) in one process, and each
# hostile scaled load below in a process of its own. Output, exit statuses
# and files must be identical to the Linux build's; a crash, a page fault or a
# load over the time limit fails the lane, and so does a guest that cannot boot.
#
# usage: win32_e2e.sh LINUX_HOST LINUX_SAMPLES WIN32_BUILD SHARED GUEST_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lane.sh"
linux_host=$(realpath "$1")
build=$(realpath "$3")
guest=$(realpath "$5")
job=$(mktemp -d)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/linux" "$job/bin" "$job/in/hostile"
started=$(date +%s)
make_inputs "$2" "$4" "$job/in" || exit 1
host_commands "$job/in" >"$job/commands"

# Scaled loads of 24-bit files that declare a huge source in a few bytes (the
# pixel data are short): WIDTH HEIGHT FILE_BYTES, then the target sizes.
while read -r width height bytes targets; do
    file=hostile-${width}x$height.bmp
    /usr/bin/python3 -c '
import struct, sys
width, height, size = (int(a) for a in sys.argv[2:5])
header = struct.pack("<2sIII", b"BM", size, 0, 54) + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)
open(sys.argv[1], "wb").write(header + bytes(i * 37 % 256 for i in range(size - 54)))
' "$job/in/hostile/$file" "$width" "$height" "$bytes"
    for target in $targets; do echo "load ../in/hostile/$file -o ${file%.bmp}-$target.raw --size $target"; done
done >"$job/hostile" <<'TABLE'
1 1048576 310 1024x1 1025x1 1x1 1x4096 4096x4096
1048576 1 310 1x1 1024x1 4096x4096
1073741823 1 262200 1000x1 1x1 4096x4096
1 1073741823 262200 1x1
1073741824 1 262200 1x1 4096x4096
TABLE

# The Linux run has the address space of a 32-bit process (2 GiB), so both
# builds meet the same limit: a load that needs more must be refused cleanly.
(
    ulimit -v $((2 << 20))
    cd "$job/linux"
    run_batch ../commands ../linux.out "$linux_host"
    while read -r line; do
        echo "$line" >../one
        run_batch ../one ../linux.out timeout -k 5 30 "$linux_host" </dev/null
    done <../hostile
)

cp "$build/tessaly.exe" "$build/Tessaly.dll" "$build/abi_host.exe" "$build/examples/tessaly_host_example.exe" \
    "$here/lane.sh" "$here/../example_host_test.sh" "$job/bin/"
cp "$here/win32_job.sh" "$job/job.sh"
# A Wine prefix set up in the guest is kept here and reused while Wine's version stays
# (setting one up takes the guest minutes).
prefix=$guest/wineprefix-$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null)
# The guest's time limit; the job keeps the last minute of it for handing its results back.
limit=840
printf 'prefix=%s\nbudget=%s\n' "$prefix" $((limit - 60)) >"$job/env"
"$here/guest/boot.sh" "$guest" "$job" $limit || { echo "Win32 run: the guest failed"; exit 1; }
if [ -f "$job/wineprefix.tar" ]; then
    rm -rf "$guest"/wineprefix-* && mkdir -p "$prefix.part"
    tar -C "$prefix.part" --strip-components=1 -xf "$job/wineprefix.tar" && mv "$prefix.part" "$prefix"
fi

mkdir -p "$job/windows"
tar -C "$job/windows" -xf "$job/windows.tar" || exit 1
cat "$job/abi.out"
status=0
[ "$(cat "$job/abi.status")" = 0 ] || { echo "ABI host: exit status $(cat "$job/abi.status")"; status=1; }
cat "$job/example.out"
[ "$(cat "$job/example.status")" = 0 ] || { echo "example host: exit status $(cat "$job/example.status")"; status=1; }
compare_runs "$job" "Win32 run" || status=1
echo "Win32 run: $(($(date +%s) - started)) s"
exit $status
