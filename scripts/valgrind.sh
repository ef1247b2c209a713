#!/usr/bin/env bash
# Valgrind memcheck of a whole run of the simulated box with the system on it:
# passes when memcheck reports no error and nothing definitely lost.
# Usage: scripts/valgrind.sh [SECONDS] [FRONT_END] [PROFILE]
#        (defaults: 20 s of the rescue front end on the default box)
# Builds the host preset first; the log is build/valgrind/FRONT_END.log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
front_end=${2:-rescue}
profile=${3:-default}
cd "$root"
scripts/setup.sh build valgrind
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target boxsim >/dev/null

out=build/valgrind/$front_end
log=build/valgrind/$front_end.log
rm -rf "$out"
mkdir -p "$out"
set +e
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
         --errors-for-leak-kinds=definite --fair-sched=yes --log-file="$log" \
         build/host/boxsim --box "$profile" --front-end "$front_end" --seconds "$seconds" --out "$out"
rc=$?
set -e
errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
echo "valgrind: $front_end on $profile for ${seconds}s: exit $rc, ${errors:-?} errors, ${lost:-0} bytes definitely lost ($log)"
[ "$rc" -eq 0 ] && [ "${errors:-1}" -eq 0 ]
