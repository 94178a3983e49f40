#!/usr/bin/env bash
# The example host (examples/host.c) as a host author first runs it: a good
# file prints its size, row order and top-left pixel; a plug-in that cannot be
# loaded and a file the plug-in cannot read each print one line saying what
# failed, and exit 1. HOST... is the Linux build, or a Windows build under Wine.
#
# usage: example_host_test.sh PLUGIN CARD HOST...
#   CARD: the samples' card-24bit-topdown.bmp (its top-left pixel is white)
set -u
plugin=$1 card=$2
shift 2
failures=0
# row STATUS PATTERN ARGS...: the host given ARGS exits STATUS and prints a line matching PATTERN.
row() {
    local want=$1 pattern=$2 out status
    shift 2
    out=$("${host[@]}" "$@" 2>&1 </dev/null)
    status=$?
    out=$(printf '%s\n' "$out" | tr -d '\r')
    if [ "$status" != "$want" ] || ! printf '%s\n' "$out" | grep -qE -- "$pattern"; then
        echo "FAIL example host $*: exit $status (expected $want), output:"
        printf '%s\n' "$out"
        failures=$((failures + 1))
    fi
}
host=("$@")
row 0 '^160 x 96, top-down, top-left pixel 0xFFFFFFFF ' "$plugin" "$card"
row 1 '^host: cannot load the plug-in missing-Tessaly: .+' missing-Tessaly "$card"
row 1 '^host: .+: the plug-in cannot read it \(ImageCmdGetInfo failed\)$' "$plugin" "$plugin"
[ "$failures" = 0 ] && echo "example host: 3 runs as expected ($*)"
[ "$failures" = 0 ]
