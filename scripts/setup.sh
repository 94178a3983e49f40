#!/usr/bin/env bash
# Installs the Debian packages a task needs, and nothing when they are present.
#   scripts/setup.sh base    build, unit tests, sanitizer lane, demo (libpng for the host's PNG files,
#                            Chromium for the demo page's check)
#   scripts/setup.sh cross   the Windows (mingw-w64, Wine) and i386 (multilib, qemu) lanes
#   scripts/setup.sh bench   benchmark peers (OpenCV, stb, Google Benchmark)
#   scripts/setup.sh fuzz    libFuzzer (clang and its runtime)
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
    base) packages+=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libstb-dev libpng-dev python3-pil binutils chromium) ;;
    cross) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine qemu-user g++-multilib) ;;
    bench) packages+=(libopencv-dev libstb-dev libbenchmark-dev) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "setup.sh: missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
