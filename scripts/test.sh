#!/usr/bin/env bash
# Builds and runs every test: the host build (the programs users run, the
# scenario tests with the full chaos seeds, the scenario scripts, the browser
# test and the soak), the kernel lane (the mipsel build on Debian's MIPS
# kernel under qemu-system-mipsel, scripts/kernel.sh), the box's own mipsel
# build under qemu-user, and every unit, simulator and scenario test under
# ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer.
# Usage: scripts/test.sh [kernel|host|mipsel|tsan|asan]...   (no argument: all)
#
# Two queues run side by side. The builds, one after another at the lowest
# priority (host, the mipsel programs, the rest of mipsel, tsan, asan), take
# what the tests leave of the two cores; their output goes to
# build/STAGE.build.log and is printed when a build fails. The tests run one
# lane at a time at normal priority, each as soon as its build is done: the
# kernel lane first, since it waits in real time on its guest most of its
# minute and a build at the lowest priority barely slows the emulator, then
# host, mipsel, tsan and asan. The host build's test preset is its gate
# (CMakePresets.json "host-gate"); `ctest --preset host` after a full host
# build runs all of its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
all=(kernel host mipsel tsan asan)
lanes=("$@")
[ ${#lanes[@]} -eq 0 ] && lanes=("${all[@]}")
has() { [[ " ${lanes[*]} " == *" $1 "* ]]; }
for l in "${lanes[@]}"; do
  [[ " ${all[*]} " == *" $l "* ]] || { echo "test.sh: unknown lane '$l' (kernel, host, mipsel, tsan, asan)" >&2; exit 2; }
done

# What configuring and building need comes first; the cross compiler, qemu,
# the browser and the kernel lane's packages are installed while the first
# build runs (build/setup.log).
scripts/setup.sh build
mkdir -p build
later=()
{ has mipsel || has kernel; } && later+=(cross)
has host && later+=(browser)
has kernel && later+=(kernel)
rm -f build/.installed build/.install-failed build/*.built build/*.failed
if [ ${#later[@]} -gt 0 ]; then
  (
    if scripts/setup.sh "${later[@]}" &&
       { ! has host || [ ! -f tests/browser/package.json ] ||
         (cd tests/browser && { [ -d node_modules ] || npm install --no-audit --no-fund --silent; }); }; then
      # The kernel lane's packages (about 200 MB on a fresh machine) and
      # modules; a failure here is reported by the lane itself when it runs.
      if has kernel; then scripts/kernel.sh --fetch-only || true; fi
      touch build/.installed
    else
      touch build/.install-failed
    fi
  ) > build/setup.log 2>&1 &
else
  touch build/.installed
fi

# The build stages the chosen lanes need, in the order they are built.
stages=()
{ has host || has kernel; } && stages+=(host)
has kernel && stages+=(mipsel-programs)
has mipsel && stages+=(mipsel)
has tsan && stages+=(tsan)
has asan && stages+=(asan)

extra=()
[ "${CI:-}" = true ] && extra=(-DBOX_WERROR=ON)
build_stage() {
  case $1 in
    host)
      cmake --preset host "${extra[@]}" >/dev/null
      cmake --build --preset host-gate ;;
    mipsel-programs)
      cmake --preset mipsel "${extra[@]}" >/dev/null
      cmake --build build/mipsel --target testui testconsole ;;
    *)
      cmake --preset "$1" "${extra[@]}" >/dev/null
      cmake --build --preset "$1" ;;
  esac
}
# The build queue: writes build/STAGE.built with the stage's seconds, or
# build/STAGE.failed. The cross compiler is waited for before a mipsel stage.
set -m
# SCHED_IDLE where the host has chrt: a build takes a core only when no
# test wants it, and a test's thread that wakes takes it back at once.
idle=()
command -v chrt >/dev/null && chrt -i 0 true 2>/dev/null && idle=(chrt -i 0)
"${idle[@]}" nice -n 19 bash -c "$(declare -f build_stage)"'
  extra=('"${extra[*]}"')
  for s in '"${stages[*]}"'; do
    if [[ $s == mipsel* ]]; then
      until [ -f build/.installed ] || [ -f build/.install-failed ]; do sleep 1; done
      [ -f build/.install-failed ] && exit 1
    fi
    t0=$(date +%s)
    if build_stage "$s" > "build/$s.build.log" 2>&1; then
      echo $(( $(date +%s) - t0 )) > "build/$s.built"
    else
      touch "build/$s.failed"
      exit 1
    fi
  done' &
builder=$!
set +m
stop_background() {
  kill -- -"$builder" 2>/dev/null || true
  wait "$builder" 2>/dev/null || true
  # The install job ends on its own; it is waited for, not cut off mid-install.
  wait 2>/dev/null || true
}
trap stop_background EXIT

# Waits until the named stages are built; stops with a failed build's log.
built() {
  local s
  while :; do
    local all_built=1
    for s in "$@"; do
      if [ -f "build/$s.failed" ]; then
        cat "build/$s.build.log"
        echo "=== $s: the build failed (build/$s.build.log) ===" >&2
        exit 1
      fi
      [ -f "build/$s.built" ] || all_built=0
    done
    [ "$all_built" = 1 ] && return 0
    if ! kill -0 "$builder" 2>/dev/null; then
      [ -f build/.install-failed ] && installed
      echo "=== the builds stopped before $* (build/*.build.log) ===" >&2
      exit 1
    fi
    sleep 1
  done
}
# Waits for the installs; stops with their log when they failed.
shown_setup=0
installed() {
  until [ -f build/.installed ] || [ -f build/.install-failed ]; do sleep 1; done
  if [ -f build/.install-failed ]; then
    cat build/setup.log >&2
    echo "=== installing ${later[*]} failed (build/setup.log) ===" >&2
    exit 1
  fi
  if [ "$shown_setup" = 0 ] && [ -s build/setup.log ]; then cat build/setup.log; fi
  shown_setup=1
}

times=()
tests_sum=0
for l in "${all[@]}"; do
  has "$l" || continue
  case $l in
    kernel) need=(host mipsel-programs) ;;
    *) need=("$l") ;;
  esac
  echo "=== $l: waiting for its build (${need[*]}) ==="
  built "${need[@]}"
  installed
  # The lane's own build is its packages and modules, fetched with the
  # installs; its programs are counted with host and mipsel.
  secs=0
  [ "$l" != kernel ] && secs=$(cat "build/$l.built")
  [ "$l" = mipsel ] && has kernel && secs=$(( secs + $(cat build/mipsel-programs.built) ))
  echo "=== $l: built in $secs s (build/${need[0]}.build.log); testing ==="
  t1=$(date +%s)
  case $l in
    # Its programs and boxsim are built: the lane builds nothing itself (the
    # build queue may be building mipsel beside it).
    kernel) KERNEL_LANE_NO_BUILD=1 scripts/kernel.sh ;;
    host) ctest --preset host-gate ;;
    *) ctest --preset "$l" ;;
  esac
  t2=$(date +%s)
  [ "$l" != kernel ] && tests_sum=$(( tests_sum + t2 - t1 ))
  times+=("$(printf '%-7s built in %4d s, tests passed in %4d s' "$l" "$secs" $(( t2 - t1 )))")
  echo "=== ${times[-1]} ==="
done
printf '%s\n' "${times[@]}"
echo "the presets' tests took $tests_sum s together"
echo "all test runs passed in $(( $(date +%s) - start )) s: ${lanes[*]}"
