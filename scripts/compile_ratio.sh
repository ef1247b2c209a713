#!/usr/bin/env bash
# Measures the build's compile time as a ratio that the machine's load
# cancels: a clean build of a preset in a temporary directory, its compile
# time summed over .ninja_log, divided by the compile time of a reference
# unit (the JSON library, GoogleTest and GoogleMock with one test, -O2
# -std=c++20; median of three) compiled in the same run.
#
# Wall time per unit (what .ninja_log holds) grows with whatever else the
# machine runs, and that load moves during a build, so the script also sums
# the processor time of every compile (user + system, recorded by a compiler
# launcher) and divides it by the reference's processor time: that second
# ratio stays put on a shared machine.
#
# Usage: scripts/compile_ratio.sh [--headers] [--keep] [PRESET]   (default: host)
#   --headers  also prints the ten headers that cost the build the most:
#              how many units read each (gcc -H) times what the header
#              alone costs to compile (median of three)
#   --keep     leaves the build directory in place and prints where it is
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

headers=false keep=false preset=host
for a in "$@"; do
  case $a in
    --headers) headers=true ;;
    --keep) keep=true ;;
    -*) echo "usage: $0 [--headers] [--keep] [PRESET]" >&2; exit 2 ;;
    *) preset=$a ;;
  esac
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/compile_ratio.XXXXXX")
cleanup() { if $keep; then echo "build directory kept: $tmp/build"; else rm -rf "$tmp"; fi; }
trap cleanup EXIT

# `times` prints the children's user and system time as "0m1.234s 0m0.056s".
cpu_of() { awk '{ gsub(/s/, "", $1); gsub(/s/, "", $2); split($1, u, "m"); split($2, y, "m")
  printf "%.3f\n", u[1] * 60 + u[2] + y[1] * 60 + y[2] }'; }

# Runs a command; prints its wall and processor (user + system) seconds.
timed() {
  local s e w c
  s=$(date +%s.%N)
  # `times` in the shell that ran the compile (a pipeline's subshell would
  # report its own children: none).
  c=$(bash -c '"$@" >/dev/null || exit 1; times' timed "$@" | tail -1 | cpu_of) || true
  e=$(date +%s.%N)
  w=$(echo "$e - $s" | bc)
  echo "$w $c"
}

# The median of three compiles of one unit: wall and processor seconds.
median3() {
  local runs
  runs=$(timed "$@"; timed "$@"; timed "$@")
  echo "$(echo "$runs" | awk '{ print $1 }' | sort -n | sed -n 2p)" \
       "$(echo "$runs" | awk '{ print $2 }' | sort -n | sed -n 2p)"
}

cat >"$tmp/reference.cpp" <<'REF'
#include <nlohmann/json.hpp>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

TEST(Reference, ParsesAndMatches) {
    auto j = nlohmann::json::parse(R"({"a":[1,2,3]})");
    EXPECT_THAT(j["a"].get<std::vector<int>>(), ::testing::ElementsAre(1, 2, 3));
}
REF

# The launcher records each compile's processor time beside its output.
cat >"$tmp/launcher" <<LAUNCHER
#!/usr/bin/env bash
out=?
prev=
for a in "\$@"; do [ "\$prev" = -o ] && out=\$a; prev=\$a; done
"\$@"
rc=\$?
times >"$tmp/cpu.\$\$"
echo "\$(tail -1 "$tmp/cpu.\$\$") \$out" >>"$tmp/cpu.log"
rm -f "$tmp/cpu.\$\$"
exit \$rc
LAUNCHER
chmod +x "$tmp/launcher"
: >"$tmp/cpu.log"

cmake --preset "$preset" -B "$tmp/build" -DCMAKE_CXX_COMPILER_LAUNCHER="$tmp/launcher" \
  -DCMAKE_C_COMPILER_LAUNCHER="$tmp/launcher" >"$tmp/configure.log"
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$tmp/build/CMakeCache.txt")

s=$(date +%s)
cmake --build "$tmp/build" >"$tmp/build.log" || { tail -40 "$tmp/build.log"; exit 1; }
wall=$(( $(date +%s) - s ))

# .ninja_log (v5): start end mtime output hash, times in ms. An edge with
# several outputs is listed once per output; count it once. Compiles are the
# edges that make object files or precompiled headers.
read -r compile_ms units < <(awk '
  /^#/ { next }
  { key = $1 " " $2 " " $5; if (seen[key]++) next
    if ($4 ~ /\.(o|obj|gch|pch)$/) { compile += $2 - $1; n++ } }
  END { printf "%d %d\n", compile, n }' "$tmp/build/.ninja_log")
cpu_s=$(awk '{ print $1, $2 }' "$tmp/cpu.log" | cpu_of | awk '{ t += $1 } END { printf "%.1f\n", t }')

echo "slowest units (processor seconds):"
paste -d' ' <(awk '{ print $1, $2 }' "$tmp/cpu.log" | cpu_of) <(awk '{ print $3 }' "$tmp/cpu.log") |
  sort -rn | head -10 | sed "s|$tmp/build/||; s|CMakeFiles/||" | awk '{ printf "%8.2f s  %s\n", $1, $2 }'

if $headers; then
  # Which headers each unit reads (preprocessing only), from the build's own
  # compile commands, counted once per unit.
  python3 - "$tmp/build/compile_commands.json" >"$tmp/includes.txt" <<'PY'
import json, shlex, subprocess, sys
counts = {}
for e in json.load(open(sys.argv[1])):
    args, out, skip = shlex.split(e["command"]), [], False
    for a in args[1:] if args[0].endswith("launcher") else args:
        if skip:
            skip = False
        elif a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif a not in ("-c", "-MD", "-MMD"):
            out.append(a)
    r = subprocess.run(out + ["-E", "-H", "-o", "/dev/null"], cwd=e["directory"],
                       capture_output=True, text=True)
    # What a unit takes from a precompiled header it does not parse; the
    # headers count once, for the compile that makes the precompiled header.
    own_pch = e["file"].endswith("cmake_pch.hxx.cxx")
    seen, in_pch = set(), False
    for line in r.stderr.splitlines():
        if not line.startswith(".") or " " not in line:
            continue
        depth, h = line.split(" ", 1)
        if len(depth) == 1:
            in_pch = h.endswith("cmake_pch.hxx") and not own_pch
        if not in_pch:
            seen.add(h.strip())
    for h in seen:
        counts[h] = counts.get(h, 0) + 1
for h, n in counts.items():
    print(n, h)
PY
  # What each widely read header costs alone; only the third-party ones and
  # the project's own are tried, not the C and C++ libraries.
  echo
  echo "headers that cost the build the most (units x processor seconds alone):"
  sort -rn "$tmp/includes.txt" | awk '$1 >= 5' |
    grep -E '/(nlohmann/json\.hpp|gtest/gtest\.h|gmock/gmock\.h|httplib\.h|benchmark/benchmark\.h|png\.h)$| '"$src"'/(sim|src|tests)/' |
    head -40 | while read -r n h; do
      echo "#include \"$h\"" >"$tmp/one.cpp"
      read -r _ t < <(median3 "$cxx" -O2 -std=c++20 -I"$src/src" -I"$src/sim" -I"$src/tests/support" \
            -I"$tmp/build/shim-include" -c "$tmp/one.cpp" -o "$tmp/one.o" 2>/dev/null || echo "0 0")
      echo "$n $t $h"
    done | awk '{ printf "%8.1f s  %3d units x %5.2f s  %s\n", $1 * $2, $1, $2, $3 }' |
    sort -rn | head -10 | sed "s|$src/||"
fi

read -r ref ref_cpu < <(median3 "$cxx" -O2 -std=c++20 -c "$tmp/reference.cpp" -o "$tmp/reference.o")

echo
printf 'preset %s: %d compiled units in %d s of wall-clock build\n' "$preset" "$units" "$wall"
printf 'compile time (sum over .ninja_log): %7.1f s, reference unit %.2f s (median of three, %s -O2 -std=c++20)\n' \
  "$(echo "$compile_ms / 1000" | bc -l)" "$ref" "$(basename "$cxx")"
printf 'processor time of the compiles:     %7.1f s, reference unit %.2f s\n' "$cpu_s" "$ref_cpu"
printf 'ratio (.ninja_log):     %6.1f reference units\n' "$(echo "$compile_ms / 1000 / $ref" | bc -l)"
printf 'ratio (processor time): %6.1f reference units\n' "$(echo "$cpu_s / $ref_cpu" | bc -l)"
