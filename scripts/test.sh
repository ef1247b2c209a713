#!/usr/bin/env bash
# Builds and runs every test: the host build (with the browser test), the
# sanitizer builds, and the box's own mipsel build under qemu.
# Usage: scripts/test.sh [host|asan|tsan|mipsel]...   (no argument: all)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(host asan tsan mipsel)

groups=(build)
for p in "${presets[@]}"; do
  [ "$p" = mipsel ] && groups+=(cross)
  [ "$p" = host ] && groups+=(browser)
done
scripts/setup.sh "${groups[@]}"
[ -d tests/browser ] && [ -f tests/browser/package.json ] && [[ " ${presets[*]} " == *" host "* ]] && \
  (cd tests/browser && { [ -d node_modules ] || npm install --no-audit --no-fund --silent; })

extra=()
[ "${CI:-}" = true ] && extra=(-DBOX_WERROR=ON)
start=$(date +%s)
times=()
for p in "${presets[@]}"; do
  echo "=== $p ==="
  t0=$(date +%s)
  cmake --preset "$p" "${extra[@]}" >/dev/null
  cmake --build --preset "$p"
  t1=$(date +%s)
  ctest --preset "$p"
  t2=$(date +%s)
  times+=("$(printf '%-7s built in %4d s, tests passed in %4d s' "$p" $(( t1 - t0 )) $(( t2 - t1 )))")
  echo "=== ${times[-1]} ==="
done
printf '%s\n' "${times[@]}"
echo "all test runs passed in $(( $(date +%s) - start )) s: ${presets[*]}"
