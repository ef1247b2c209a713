#!/usr/bin/env bash
# The system on a real MIPS Linux kernel: boots Debian's 32-bit little-endian
# MIPS kernel (the Malta board's, mipsel) under qemu-system-mipsel with a
# busybox initramfs, the mipsel build's programs and the kernel's standard
# drivers, and holds the system against it and against boxsim (checks in
# tests/kernel/lane.py). Prints a verdict line and writes a JUnit report.
#
# Usage: scripts/kernel.sh [--fetch-only]
#   --fetch-only  fetch and unpack the guest's packages and build its
#                 modules, nothing else (what scripts/test.sh starts early)
#
# Everything is cached under build/kernel/: the package lists and packages
# (fetched with apt-get into a lists folder of the lane's own, never through
# the host's package configuration), the unpacked kernel, the out-of-tree
# modules. A second run fetches nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
K=$root/build/kernel
mkdir -p "$K"
started=$(date +%s.%N)
fetch_only=0
[ "${1:-}" = --fetch-only ] && fetch_only=1

# One line saying what is wrong, and failure.
die() {
  echo "kernel lane: FAILED: $*" >&2
  mkdir -p "$K"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuite name="kernel" tests="1" failures="1"><testcase classname="kernel" name="setup"><failure message="%s"/></testcase></testsuite>\n' \
    "$(echo "$*" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/"/\&quot;/g')" > "$K/report.xml"
  exit 1
}

# A guest an earlier run left behind (its pid file names it) is ended first.
if [ -f "$K/run/qemu.pid" ]; then
  pid=$(cat "$K/run/qemu.pid")
  if tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q "qemu-system-mipsel.*$K/run"; then
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$K/run/qemu.pid"
fi

# --- Host tools: the whole-system emulator, the cross compiler, python ---
scripts/setup.sh kernel >/dev/null || die "cannot install the host's packages for the lane (scripts/setup.sh kernel)"
command -v qemu-system-mipsel >/dev/null 2>&1 || die "no emulator: qemu-system-mipsel is missing"

# --- The guest's packages, for mipsel, through the lane's own apt folders ---
# The mirrors and suites are the host's own Debian sources (its release);
# only the architecture differs, and only in the lane's own lists folder.
A=$K/apt
mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$K/debs"
if [ ! -s "$A/sources.list" ]; then
  /usr/bin/python3 - "$A/sources.list" <<'PY' || die "no kernel package reachable: the host has no Debian sources in /etc/apt"
import glob, re, sys
key = "/usr/share/keyrings/debian-archive-keyring.gpg"
out = []
def take(uri, suite, comps, signed):
    if "main" in comps and (("debian-archive-keyring" in signed) or (not signed and "debian" in uri)):
        line = "deb [signed-by=%s] %s %s main" % (key, uri, suite)
        if line not in out:
            out.append(line)
for f in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for block in re.split(r"\n\s*\n", open(f).read()):
        fields = {}
        for line in block.splitlines():
            m = re.match(r"([A-Za-z-]+):\s*(.*)", line)
            if m and not line.startswith("#"):
                fields[m.group(1).lower()] = m.group(2)
        if "deb" not in fields.get("types", "").split() or fields.get("enabled", "yes") == "no":
            continue
        for uri in fields.get("uris", "").split():
            for suite in fields.get("suites", "").split():
                take(uri, suite, fields.get("components", "").split(), fields.get("signed-by", ""))
for f in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        lines = open(f).read().splitlines()
    except OSError:
        continue
    for line in lines:
        m = re.match(r"\s*deb\s+(\[[^]]*\]\s+)?(\S+)\s+(\S+)\s+(.*)", line)
        if m:
            take(m.group(2), m.group(3), m.group(4).split(), m.group(1) or "")
if not out:
    sys.exit(1)
open(sys.argv[1], "w").write("\n".join(out) + "\n")
PY
fi
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
APT=(-o "Dir::State::Lists=$A/lists" -o "Dir::Etc::SourceList=$A/sources.list"
     -o "Dir::Etc::SourceParts=/nonexistent" -o "Dir::Cache=$A/cache"
     -o "Dir::State::status=/dev/null" -o "APT::Architecture=mipsel"
     -o "APT::Architectures::=mipsel" -o "APT::Architectures::=amd64"
     -o "APT::Sandbox::User=root" -o "Acquire::Retries=3" -o "Debug::NoLocking=1")

# The kernel release and package version, chosen once from the lists and
# kept in build/kernel/version so that later runs ask no mirror.
update_lists() {
  for try in 1 2 3; do
    # --error-on=any: a mirror that cannot be read is an error, not a warning.
    apt-get "${APT[@]}" update -qq --error-on=any >/dev/null 2>"$K/apt.log" && return 0
    sleep $((try * 2))
  done
  die "no kernel package reachable: apt-get update of the mipsel lists failed ($K/apt.log)"
}
if [ ! -f "$K/version" ]; then
  update_lists
  image=$( (apt-cache "${APT[@]}" depends linux-image-4kc-malta 2>/dev/null || true) |
          sed -n 's/.*Depends: \(linux-image-[0-9].*-4kc-malta\)$/\1/p' | head -1)
  [ -n "$image" ] || die "no kernel package reachable: linux-image-4kc-malta names no kernel in the $suite lists"
  kver=${image#linux-image-}
  pver=$( (apt-cache "${APT[@]}" show "$image" 2>/dev/null || true) | sed -n 's/^Version: //p' | head -1)
  [ -n "$pver" ] || die "no kernel package reachable: no version of $image in the lists"
  major=$(echo "$kver" | cut -d. -f1-2)
  echo "$kver $pver $major" > "$K/version"
fi
read -r kver pver major < "$K/version"
abi=${kver%-4kc-malta}
pkgs=("linux-image-$kver" "linux-headers-$kver" "linux-headers-$abi-common"
      "linux-kbuild-$major:amd64=$pver" "linux-source-$major=$pver" busybox-static)
have_debs() {
  local p
  for p in "linux-image-${kver}_" "linux-headers-${kver}_" "linux-headers-${abi}-common_" \
           "linux-kbuild-${major}_" "linux-source-${major}_" "busybox-static_"; do
    ls "$K/debs/$p"*.deb >/dev/null 2>&1 || return 1
  done
}
if ! have_debs; then
  echo "kernel lane: fetching Debian's mipsel kernel $kver ($pver), headers, source and busybox"
  for try in 1 2 3; do
    (cd "$K/debs" && apt-get "${APT[@]}" download -qq "${pkgs[@]}" >/dev/null 2>"$K/apt.log") && break
    # The lists may be older than the mirror: read them again and retry.
    update_lists
    [ "$try" = 3 ] && die "no kernel package reachable: apt-get download ${pkgs[*]} failed ($K/apt.log)"
  done
fi

# --- Unpacked once: the kernel, its modules, headers, kbuild, busybox ---
R=$K/root
if [ "$(cat "$R/.unpacked" 2>/dev/null)" != "$kver $pver" ]; then
  rm -rf "$R" "$K/src"
  mkdir -p "$R"
  for d in "$K"/debs/linux-image-"$kver"_*.deb "$K"/debs/linux-headers-*.deb \
           "$K"/debs/linux-kbuild-*.deb "$K"/debs/busybox-static_*.deb; do
    dpkg-deb -x "$d" "$R"
  done
  # The headers' Makefile includes the common headers by their absolute
  # place under /usr/src; here they are under build/.
  echo "include $R/usr/src/linux-headers-$abi-common/Makefile" > "$R/usr/src/linux-headers-$kver/Makefile"
  # Only the sources of the two drivers the kernel does not build (vidtv,
  # uinput) are taken from the kernel's source package.
  mkdir -p "$K/src"
  dpkg-deb --fsys-tarfile "$K"/debs/linux-source-"$major"_*.deb |
    tar -xO "./usr/src/linux-source-$major.tar.xz" |
    tar -xJ -C "$K/src" --strip-components=1 \
      "linux-source-$major/drivers/media/test-drivers/vidtv" \
      "linux-source-$major/drivers/input/misc/uinput.c" \
      "linux-source-$major/drivers/input/input-compat.h"
  echo "$kver $pver" > "$R/.unpacked"
fi

# --- Out-of-tree modules, built with the project's cross compiler ---
M=$K/mod
kmake() {
  make -s -C "$R/usr/src/linux-headers-$kver" ARCH=mips CROSS_COMPILE=mipsel-linux-gnu- \
    CC=mipsel-linux-gnu-gcc-12 "$@" modules -j2
}
mods_stamp="$kver $(cat tests/kernel/stb_proc.c | md5sum | cut -c1-12)"
if [ "$(cat "$M/.built" 2>/dev/null)" != "$mods_stamp" ]; then
  rm -rf "$M"
  mkdir -p "$M/vidtv" "$M/uinput" "$M/stb"
  cp "$K"/src/drivers/media/test-drivers/vidtv/*.[ch] "$M/vidtv/"
  cp "$K/src/drivers/media/test-drivers/vidtv/Makefile" "$M/vidtv/Kbuild"
  cp "$K/src/drivers/input/misc/uinput.c" "$M/uinput/"
  cp "$K/src/drivers/input/input-compat.h" "$M/"
  echo 'obj-m += uinput.o' > "$M/uinput/Kbuild"
  cp tests/kernel/stb_proc.c "$M/stb/"
  echo 'obj-m += stb_proc.o' > "$M/stb/Kbuild"
  kmake M="$M/vidtv" CONFIG_DVB_VIDTV=m > "$K/modules.log" 2>&1 || die "vidtv did not build ($K/modules.log)"
  kmake M="$M/uinput" CONFIG_INPUT_UINPUT=m >> "$K/modules.log" 2>&1 || die "uinput did not build ($K/modules.log)"
  kmake M="$M/stb" >> "$K/modules.log" 2>&1 || die "stb_proc did not build ($K/modules.log)"
  echo "$mods_stamp" > "$M/.built"
fi
[ "$fetch_only" = 1 ] && { echo "kernel lane: packages and modules ready in build/kernel ($kver)"; exit 0; }

# --- The system's mipsel build and the host's boxsim (no-ops when built) ---
if [ -z "${KERNEL_LANE_NO_BUILD:-}" ]; then
  for p in mipsel host; do
    [ -f "build/$p/build.ninja" ] || cmake --preset "$p" >/dev/null || die "cannot configure the $p build"
  done
  cmake --build build/mipsel --target testui testconsole >"$K/build.log" 2>&1 || die "the mipsel build failed ($K/build.log)"
  cmake --build build/host --target boxsim >>"$K/build.log" 2>&1 || die "boxsim did not build ($K/build.log)"
fi
for t in build/mipsel/testui build/mipsel/testconsole build/host/boxsim; do
  [ -x "$t" ] || die "$t is missing"
done

exec /usr/bin/python3 tests/kernel/lane.py --kernel-dir "$K" --kver "$kver" --started "$started"
