#!/usr/bin/env bash
# Boots the guest that runs 32-bit Windows programs: Debian's kernel under
# QEMU's full-system emulation (the machine's own kernel cannot execute 32-bit
# code), with the machine's root shared read-only under a tmpfs overlay, so the
# 32-bit Wine installed here runs there. The guest runs JOB_DIR/job.sh (JOB_DIR
# is shared writable at /job) and powers off; its console goes to stdout.
#
# usage: boot.sh GUEST_DIR JOB_DIR TIME_LIMIT_SECONDS
# Exit status: the job's, or 1 when the guest could not be booted or the job
# did not finish (never a skip).
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin  # depmod
guest=$1 job=$2 limit=$3
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "win32 guest: $*" >&2; exit 1; }
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 not found (scripts/setup.sh win32 installs it)"
kernel=$(ls "$guest"/kernel/boot/vmlinuz-* 2>/dev/null | head -n 1) || true
[ -n "$kernel" ] || fail "no kernel in $guest/kernel (scripts/setup.sh win32 unpacks it)"
[ -x /bin/busybox ] && command -v depmod >/dev/null || fail "busybox-static and kmod are needed (scripts/setup.sh win32)"
version=${kernel##*/vmlinuz-}
initramfs=$guest/initramfs-$version.gz

# The initramfs: static busybox, the init script and the kernel's modules with
# their dependency list. Built once per kernel, again when the init script changes.
if [ ! -s "$initramfs" ] || [ "$here/init" -nt "$initramfs" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree/bin" "$tree/proc" "$tree/sys" "$tree/dev" "$tree/lib/modules"
    cp /bin/busybox "$tree/bin/busybox"
    cp "$here/init" "$tree/init"
    cp -r "$guest/kernel/lib/modules/$version" "$tree/lib/modules/"
    depmod -b "$tree" "$version"
    (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$initramfs.part"
    rm -rf "$tree"
    mv "$initramfs.part" "$initramfs"
fi

rm -f "$job/status"
# -smap,-smep: with them the emulator faults Wine's return to 32-bit user mode.
set +e
timeout -k 10 "$limit" qemu-system-x86_64 -accel tcg,thread=multi -cpu max,-smap,-smep -m 3072 -smp 2 \
    -display none -monitor none -serial stdio -no-reboot \
    -kernel "$kernel" -initrd "$initramfs" -append "console=ttyS0 quiet panic=-1" \
    -virtfs local,path=/,mount_tag=hostroot,readonly=on,security_model=none,multidevs=remap \
    -virtfs "local,path=$job,mount_tag=job,security_model=none,multidevs=remap" </dev/null | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
[ "$status" != 124 ] || fail "the guest ran past its time limit (${limit} s)"
[ -f "$job/status" ] || fail "the guest stopped (QEMU's exit status $status) before its job finished"
exit "$(cat "$job/status")"
