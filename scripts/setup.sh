#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing.
# Usage: scripts/setup.sh [build|cross|browser|fuzz|valgrind|kernel]...
# (no argument: build, cross and browser: what the two README commands need)
set -euo pipefail

want_build=(cmake ninja-build g++ lld googletest libgtest-dev libgmock-dev nlohmann-json3-dev libpng-dev
            libcpp-httplib-dev libbenchmark-dev)
want_cross=(g++-mipsel-linux-gnu qemu-user)
want_browser=(chromium nodejs npm)
want_fuzz=(clang-14 libclang-rt-14-dev)
want_valgrind=(valgrind)
# The kernel lane: the whole-system emulator, the cross compiler and make for
# the guest's modules, python for the lane's checks.
want_kernel=(qemu-system-mips g++-mipsel-linux-gnu make xz-utils python3)

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build cross browser)
pkgs=()
for g in "${groups[@]}"; do
  case "$g" in
    build) pkgs+=("${want_build[@]}") ;;
    cross) pkgs+=("${want_cross[@]}") ;;
    browser) pkgs+=("${want_browser[@]}") ;;
    fuzz) pkgs+=("${want_fuzz[@]}") ;;
    valgrind) pkgs+=("${want_valgrind[@]}") ;;
    kernel) pkgs+=("${want_kernel[@]}") ;;
    *) echo "setup.sh: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${pkgs[@]}"; do
  # A tool that is already there (node from another source, say) is enough.
  case "$p" in
    nodejs) command -v node >/dev/null 2>&1 && continue ;;
    npm) command -v npm >/dev/null 2>&1 && continue ;;
  esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
