#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, seeded with the BMP suite, the demo's
# samples and the saved crash inputs. A finding is copied to tests/data/crashers/
# (to be fixed and kept as a regression test) and fails the run.
#
# usage: fuzz/run_fuzzers.sh BUILD_DIR SECONDS [SHARED_DIR]
set -u
build=$(realpath "$1")
seconds=$2
shared=${3:-$(dirname "$0")/../../shared}
root=$(realpath "$(dirname "$0")/..")
corpus=$build/corpus
seeds=$build/seeds
mkdir -p "$corpus" "$seeds"
cp "$root"/tests/data/crashers/* "$seeds"/ 2>/dev/null || true
if [ -d "$shared/corpus/bmpsuite" ]; then cp "$shared"/corpus/bmpsuite/{g,q,b,x}/*.bmp "$seeds"/; fi
[ -x "$root/build/tessaly_samples" ] && "$root/build/tessaly_samples" "$seeds"

status=0
for target in probe load gray roundtrip rle plain; do
    rm -rf "$build/findings/$target"  # findings of an earlier run are already kept
    mkdir -p "$corpus/$target" "$build/findings/$target"
    log=$build/fuzz_$target.log
    (cd "$build/findings/$target" &&
        ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
        "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
            -print_final_stats=1 "$corpus/$target" "$seeds" >"$log" 2>&1)
    rc=$?
    runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    speed=$(grep -m1 -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$')
    echo "fuzz_$target: ${seconds}s, ${runs:-?} runs, ${speed:-?} exec/s, exit $rc"
    for f in "$build/findings/$target"/crash-* "$build/findings/$target"/timeout-* "$build/findings/$target"/leak-* "$build/findings/$target"/oom-*; do
        [ -e "$f" ] || continue
        cp "$f" "$root/tests/data/crashers/${target}-$(basename "$f")"
        echo "  finding kept as tests/data/crashers/${target}-$(basename "$f")"
        status=1
    done
    if [ "$rc" != 0 ]; then tail -30 "$log"; status=1; fi
done
exit $status
