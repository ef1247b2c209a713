#!/usr/bin/env bash
# Valgrind memcheck of a whole run of the simulated box with the system on it:
# passes when memcheck reports no error and nothing definitely lost.
# Usage: scripts/valgrind.sh [SECONDS] [FRONT_END] [PROFILE]
#        (defaults: 20 s of the rescue front end on the default box)
# The console is driven meanwhile: tuner, file playback and second-decoder
# keys, the button test, a MAC address typed twice, cards, a CI module, a
# pulled cable and a few faults.
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
script_args=()
if [ "$front_end" = console ]; then
  script=build/valgrind/console-script.txt
  cat > "$script" <<'EOF2'
1s    key 1
2s    panel-key POWER
2.5s  panel-key LEFT
3s    key 8
4s    key 9
5s    key 9
5.5s  key VOLUMEUP
6s    key 8
6.5s  key CHANNELUP
7s    key 1
8s    type 02:47:58:11:22:33
9.5s  type 02:47:58:11:22:33
10s   card 0 insert 3B8F800180318065B0
10s   fault write /dev/lcd0 EIO for 2s
10.5s panel-key RIGHT
11s   ci 0 remove
12s   card 1 remove
12.5s cable unplug
13s   fault ioctl /dev/dvb0.frontend* FE_READ_STATUS EIO for 1s
13s   key 2
15s   cable plug 100
16s   key 5
16.5s key 6
17s   key 7
EOF2
  script_args=(--script "$script")
fi
set +e
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
         --errors-for-leak-kinds=definite --fair-sched=yes --log-file="$log" \
         build/host/boxsim --box "$profile" --front-end "$front_end" --seconds "$seconds" --out "$out" "${script_args[@]}"
rc=$?
set -e
errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
echo "valgrind: $front_end on $profile for ${seconds}s: exit $rc, ${errors:-?} errors, ${lost:-0} bytes definitely lost ($log)"
[ "$rc" -eq 0 ] && [ "${errors:-1}" -eq 0 ]
