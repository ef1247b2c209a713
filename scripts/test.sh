#!/usr/bin/env bash
# Builds and runs every test: the host build (with the browser test), the
# sanitizer builds, the box's own mipsel build under qemu, and the kernel
# lane (the mipsel build on Debian's MIPS kernel under qemu-system-mipsel,
# scripts/kernel.sh).
# Usage: scripts/test.sh [host|asan|tsan|mipsel|kernel]...   (no argument: all)
#
# Each preset after the first is built while the one before it is tested:
# the tests leave a core idle at times (the web and browser tests wait in
# real time, and a run ends with its longest tests), and the build, at the
# lowest priority, takes only what they leave. Its output goes to
# build/PRESET.build.log and is printed when the build fails. So only the
# first build and the last tests run alone: all presets run tsan first (its
# tests take longest) and host last (its tests are the shortest).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(tsan asan mipsel host kernel)

# What configuring and building need comes first; the cross compiler, qemu
# and the browser, which only the mipsel build and the tests need, are
# installed while the first preset builds (build/setup.log).
scripts/setup.sh build
later=()
for p in "${presets[@]}"; do
  [ "$p" = mipsel ] && later+=(cross)
  [ "$p" = host ] && later+=(browser)
  [ "$p" = kernel ] && later+=(kernel)
done
mkdir -p build
installing=""
if [ ${#later[@]} -gt 0 ]; then
  (
    scripts/setup.sh "${later[@]}"
    if [ -d tests/browser ] && [ -f tests/browser/package.json ] && [[ " ${later[*]} " == *" browser "* ]]; then
      (cd tests/browser && { [ -d node_modules ] || npm install --no-audit --no-fund --silent; })
    fi
    # The kernel lane's packages (about 200 MB on a fresh machine) and
    # modules; a failure here is reported by the lane itself when it runs.
    if [[ " ${later[*]} " == *" kernel "* ]]; then
      scripts/kernel.sh --fetch-only || true
    fi
  ) > build/setup.log 2>&1 &
  installing=$!
fi
# Waits for those installs; stops with their log when they failed.
installed() {
  [ -z "$installing" ] && return 0
  if ! wait "$installing"; then
    cat build/setup.log >&2
    echo "=== installing ${later[*]} failed (build/setup.log) ===" >&2
    exit 1
  fi
  installing=""
  cat build/setup.log
}

extra=()
[ "${CI:-}" = true ] && extra=(-DBOX_WERROR=ON)

# Configures and builds one preset; writes its build time in seconds to
# build/PRESET.build.time.
build() {
  local p=$1 t0
  t0=$(date +%s)
  if [ "$p" = kernel ]; then
    # The guest's packages and modules (the programs are the mipsel
    # preset's, boxsim the host preset's).
    scripts/kernel.sh --fetch-only
  else
    cmake --preset "$p" "${extra[@]}" >/dev/null
    cmake --build --preset "$p"
  fi
  echo $(( $(date +%s) - t0 )) > "build/$p.build.time"
}

background=""
stop_background() {
  [ -n "$installing" ] && wait "$installing" 2>/dev/null
  if [ -n "$background" ]; then
    kill -- -"$background" 2>/dev/null || kill "$background" 2>/dev/null || true
    wait "$background" 2>/dev/null || true
  fi
}
trap stop_background EXIT

start=$(date +%s)
times=()
for i in "${!presets[@]}"; do
  p=${presets[$i]}
  echo "=== $p ==="
  if [ "$i" -eq 0 ]; then
    [ "$p" = mipsel ] && installed
    build "$p"
  else
    if ! wait "$background"; then
      background=""
      cat "build/$p.build.log"
      echo "=== $p: the build failed (build/$p.build.log) ===" >&2
      exit 1
    fi
    background=""
    echo "built beside the tests of ${presets[$(( i - 1 ))]}: build/$p.build.log"
  fi
  installed
  next=$(( i + 1 ))
  if [ "$next" -lt ${#presets[@]} ]; then
    n=${presets[$next]}
    # A process group of its own, so that a failing test run stops it whole.
    set -m
    nice -n 19 bash -c "$(declare -f build); extra=(${extra[*]}); build $n" > "build/$n.build.log" 2>&1 &
    background=$!
    set +m
  fi
  t1=$(date +%s)
  if [ "$p" = kernel ]; then
    scripts/kernel.sh
  else
    ctest --preset "$p"
  fi
  t2=$(date +%s)
  times+=("$(printf '%-7s built in %4d s, tests passed in %4d s' "$p" "$(cat "build/$p.build.time")" $(( t2 - t1 )))")
  echo "=== ${times[-1]} ==="
done
printf '%s\n' "${times[@]}"
echo "all test runs passed in $(( $(date +%s) - start )) s: ${presets[*]}"
