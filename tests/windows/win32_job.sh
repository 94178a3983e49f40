#!/usr/bin/env bash
# The 32-bit lane's job, run inside the guest with the job's folder at /job
# (see win32_e2e.sh): a 32-bit Wine prefix (the machine's kept one, or a new
# one handed back in /job/wineprefix.tar), the ABI host, the example host,
# the command list in one tessaly.exe process and each hostile load in its
# own. Results go to /job.
set -u
source /job/bin/lane.sh
source /job/env
# A crash ends the process at once instead of starting Wine's debugger.
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES=winedbg.exe=d
wine=/usr/lib/wine/wine
# Programs run from the guest's memory: a PE file mapped straight from the
# share came back partly zero.
mkdir -p /tmp/run/out /tmp/run/abi
cp -r /job/in /job/bin /tmp/run/
step=$(date +%s)
deadline=$((step + budget))
elapsed() { local now; now=$(date +%s); echo "guest: $1 in $((now - step)) s"; step=$now; }

if [ -d "$prefix" ]; then
    export WINEPREFIX=$prefix  # read through the overlay: the guest's writes stay in its memory
else
    export WINEPREFIX=/tmp/wineprefix
    if "$wine" wineboot -i >/dev/null 2>&1 && /usr/lib/wine/wineserver32 -w; then
        elapsed "a new Wine prefix"
        tar -C /tmp -cf /job/wineprefix.tar wineprefix
        elapsed "the prefix handed back"
    else
        echo "guest: wineboot failed"
    fi
fi
/usr/lib/wine/wineserver32 -p

(cd /tmp/run/abi && timeout -k 5 120 "$wine" ../bin/abi_host.exe ../bin/Tessaly.dll </dev/null >/job/abi.out 2>&1
    echo $? >/job/abi.status)
elapsed "ABI host"
(cd /tmp/run/bin && bash ./example_host_test.sh Tessaly.dll ../in/card-24bit-topdown.bmp \
    timeout -k 5 120 "$wine" ./tessaly_host_example.exe >/job/example.out 2>&1
    echo $? >/job/example.status)
elapsed "example host"
cd /tmp/run/out
run_batch /job/commands ../windows.out timeout -k 5 300 "$wine" ../bin/tessaly.exe </dev/null
elapsed "$(grep -c . /job/commands) commands"
# Each hostile load has two minutes, less when the job's budget is running out.
while read -r line; do
    echo "$line" >../one
    limit=$((deadline - $(date +%s)))
    [ $limit -le 120 ] || limit=120
    [ $limit -ge 5 ] || limit=5
    run_batch ../one ../windows.out timeout -k 5 $limit "$wine" ../bin/tessaly.exe </dev/null
done </job/hostile
elapsed "$(grep -c . /job/hostile) hostile loads"
cp ../windows.out* /job/
tar -cf /job/windows.tar .
/usr/lib/wine/wineserver32 -k
