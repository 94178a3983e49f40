#!/usr/bin/env bash
# Installs the Debian packages a task needs, and nothing when they are present.
#   scripts/setup.sh base    build, unit tests (Little CMS as the colour tests' oracle), sanitizer lane, demo
#   scripts/setup.sh cross   the Windows (mingw-w64, Wine) and i386 (multilib, qemu) lanes
#   scripts/setup.sh bench   benchmark peers (OpenCV, stb, Google Benchmark)
#   scripts/setup.sh fuzz    libFuzzer (clang and its runtime)
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
    base) packages+=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libstb-dev python3-pil binutils liblcms2-dev) ;;
    cross) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine qemu-user g++-multilib
                      liblcms2-dev:i386) ;;
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
# 32-bit libraries for the i386 lane (the colour test's oracle) come from the i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
