#!/usr/bin/env bash
# Installs the Debian packages a task needs, and nothing when they are present.
#   scripts/setup.sh base    build, unit tests, sanitizer lane, demo (libpng for the host's PNG files,
#                            Pillow, gdk-pixbuf and ImageMagick as readers of our saves,
#                            Little CMS as the colour tests' oracle, Chromium for the demo page's check),
#                            install lane (man-db and pkg-config for the installed page and host build)
#   scripts/setup.sh cross   the Windows (mingw-w64, Wine), i386 (multilib, qemu), header and dist lanes
#   scripts/setup.sh arm     the 64-bit Arm lane (clang with the Arm cross libraries and binutils, qemu-user)
#   scripts/setup.sh win32   the 32-bit Windows lane: a QEMU guest running 32-bit Wine,
#                            with Debian's kernel unpacked into build-win32/guest/kernel
#   scripts/setup.sh bench   benchmark peers (OpenCV, stb, SDL2, Google Benchmark)
#   scripts/setup.sh fuzz    libFuzzer (clang and its runtime)
set -euo pipefail

packages=()
kernel=no
for group in "$@"; do
    case "$group" in
    base) packages+=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libstb-dev libpng-dev python3-pil binutils chromium liblcms2-dev man-db pkg-config
                    imagemagick python3-gi gir1.2-gdkpixbuf-2.0) ;;
    cross) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine qemu-user g++-multilib
                      liblcms2-dev:i386 unzip) ;;
    arm) packages+=(clang binutils-aarch64-linux-gnu libstdc++-12-dev-arm64-cross libgcc-12-dev-arm64-cross
                    libc6-dev-arm64-cross qemu-user) ;;
    # The guest runs the machine's own root, so 32-bit Wine is installed here although
    # only the guest's kernel can execute it.
    win32) packages+=(qemu-system-x86 busybox-static kmod wine32:i386); kernel=yes ;;
    bench) packages+=(libopencv-dev libstb-dev libbenchmark-dev libsdl2-dev) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "setup.sh: missing packages: ${missing[*]} (run as root, or install them)" >&2
        exit 1
    fi
    echo "setup.sh: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # 32-bit libraries for the i386 lane (the colour test's oracle) come from the i386 architecture.
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The guest's kernel: Debian's current kernel package, unpacked (not installed). Only the
# kernel and the modules the guest loads (virtio PCI, 9p, overlay) are kept.
guest=$(cd "$(dirname "$0")/.." && pwd)/build-win32/guest
if [ "$kernel" = yes ] && ! ls "$guest"/kernel/boot/vmlinuz-* >/dev/null 2>&1; then
    [ ${#missing[@]} -gt 0 ] || apt-get update -qq
    package=$(apt-cache depends linux-image-amd64 | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    [ -n "$package" ] || { echo "setup.sh: no kernel package behind linux-image-amd64" >&2; exit 1; }
    echo "setup.sh: unpacking $package into $guest/kernel"
    download=$(mktemp -d)
    trap 'rm -rf "$download"' EXIT
    chown _apt "$download" 2>/dev/null || true  # apt downloads as its own user where it can
    (cd "$download" && apt-get download -qq "$package")
    dpkg -x "$download"/*.deb "$download/root"
    rm -rf "$guest/kernel"
    mkdir -p "$guest/kernel.part/boot"
    cp "$download"/root/boot/vmlinuz-* "$guest/kernel.part/boot/"
    (cd "$download/root" && cp -r --parents lib/modules/*/modules.order lib/modules/*/modules.builtin lib/modules/*/modules.builtin.modinfo \
        lib/modules/*/kernel/drivers/virtio lib/modules/*/kernel/net/9p lib/modules/*/kernel/fs/9p \
        lib/modules/*/kernel/fs/netfs lib/modules/*/kernel/fs/fscache lib/modules/*/kernel/fs/overlayfs \
        "$guest/kernel.part/")
    mv "$guest/kernel.part" "$guest/kernel"
fi
