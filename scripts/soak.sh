#!/usr/bin/env bash
# The soak: console and rescue chaos seeds that no run has tried, on every
# core, until the time is up. Each seed is a run of its own (events, faults
# and the order of the box's threads all come from it), so a failing seed
# replays exactly: the soak runs it a second time with its outputs kept
# (trace, timeline, the pictures and state at the first failed check) and
# prints the one command that replays it.
#
# Usage: scripts/soak.sh [--preset P] [--minutes M] [--from SEED] [--shard I/N]
#                        [--seconds S] [--jobs J] [--kinds console,rescue] [--out DIR]
#
#   --preset P       a built preset: host (default), asan, tsan, mipsel (under qemu)
#   --minutes M      how long to start new seeds (default 10; decimals allowed)
#   --from SEED      the first seed (default: from the clock, printed)
#   --shard I/N      this machine's share: seeds FROM+I, FROM+I+N, ... (0 <= I < N).
#                    GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS say the same, as CI
#                    engines set them for parallel jobs; --shard wins
#   --seconds S      box time of each chaos run (default 60)
#   --jobs J         runs at a time (default: the number of cores)
#   --kinds K        console, rescue or both (default console,rescue)
#   --out DIR        where the report, the failures and the JUnit file go
#                    (default build/soak/PRESET-shard-I-of-N)
#   --replays K      failed runs replayed with outputs kept (default 10)
#
# BOXSIM_CHAOS_MANNERS=0 in the environment turns the kernel-manners faults
# off (they are on by default); BOX_BUILD_ROOT names another folder of
# builds than build/. Exit status: 0 every run passed, 1 a run failed, 2 bad
# input (one message).
set -uo pipefail
cd "$(dirname "$0")/.."

bad() {
  echo "soak: $*" >&2
  exit 2
}

preset=host minutes=10 from="" shard="" seconds=60 jobs=$(nproc 2>/dev/null || echo 2)
kinds=console,rescue out="" max_replays=10
while [ $# -gt 0 ]; do
  opt=$1
  case "$opt" in
    --preset|--minutes|--from|--shard|--seconds|--jobs|--kinds|--out|--replays)
      [ $# -ge 2 ] || bad "$opt needs a value (see scripts/soak.sh --help)"
      val=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) bad "unknown option '$opt' (see scripts/soak.sh --help)" ;;
  esac
  case "$opt" in
    --preset) preset=$val ;;
    --minutes) minutes=$val ;;
    --from) from=$val ;;
    --shard) shard=$val ;;
    --seconds) seconds=$val ;;
    --jobs) jobs=$val ;;
    --kinds) kinds=$val ;;
    --out) out=$val ;;
    --replays) max_replays=$val ;;
  esac
done

# The shard: --shard I/N, else the GoogleTest variables, else the whole.
if [ -n "$shard" ]; then
  [[ "$shard" =~ ^([0-9]+)/([0-9]+)$ ]] || bad "--shard takes I/N (e.g. 0/4), not '$shard'"
  index=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
elif [ -n "${GTEST_TOTAL_SHARDS:-}" ] || [ -n "${GTEST_SHARD_INDEX:-}" ]; then
  index=${GTEST_SHARD_INDEX:-0} total=${GTEST_TOTAL_SHARDS:-1}
  [[ "$index" =~ ^[0-9]+$ && "$total" =~ ^[0-9]+$ ]] ||
    bad "GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS take whole numbers, not '$index' and '$total'"
else
  index=0 total=1
fi
index=$((10#$index)) total=$((10#$total))
[ "$total" -ge 1 ] || bad "the number of shards must be at least 1, not $total"
[ "$index" -lt "$total" ] || bad "shard index $index is out of range: there are $total shards (0 to $((total - 1)))"

[[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] && awk "BEGIN{exit !($minutes > 0)}" ||
  bad "--minutes takes a number above 0, not '$minutes'"
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ] || bad "--seconds takes a whole number of seconds, at least 1, not '$seconds'"
[[ "$jobs" =~ ^[0-9]+$ ]] && [ "$jobs" -ge 1 ] || bad "--jobs takes a whole number, at least 1, not '$jobs'"
[[ "$max_replays" =~ ^[0-9]+$ ]] || bad "--replays takes a whole number, not '$max_replays'"
[ -z "$from" ] && from=$(( $(date +%s) % 1000000000 ))
[[ "$from" =~ ^[0-9]+$ ]] && [ "${#from}" -le 9 ] || bad "--from takes a seed from 0 to 999999999, not '$from'"
from=$((10#$from))

run_kinds=()
IFS=, read -ra asked <<< "$kinds"
for k in "${asked[@]}"; do
  case "$k" in
    console|rescue) run_kinds+=("$k") ;;
    *) bad "--kinds takes console, rescue or console,rescue, not '$kinds'" ;;
  esac
done
[ ${#run_kinds[@]} -gt 0 ] || bad "--kinds names no kind of chaos"

# What runs a test of the preset: its program, the environment its test
# preset gives, and qemu for the box's own build.
case "$preset" in
  host) penv=(GLIBC_TUNABLES=glibc.malloc.hugetlb=1) runner=() ;;
  asan) penv=() runner=() ;;
  tsan) penv=("TSAN_OPTIONS=suppressions=$PWD/tests/tsan.supp halt_on_error=1 atexit_sleep_ms=0 no_huge_pages_for_shadow=0")
        runner=() ;;
  mipsel) penv=() runner=(qemu-mipsel -L /usr/mipsel-linux-gnu)
          command -v qemu-mipsel >/dev/null || bad "preset mipsel needs qemu-mipsel (scripts/setup.sh cross)" ;;
  *) bad "unknown preset '$preset' (host, asan, tsan or mipsel)" ;;
esac
bin=${BOX_BUILD_ROOT:-build}/$preset/tests/test_scenario
[ -x "$bin" ] || bad "preset $preset is not built: $bin is missing (cmake --preset $preset && cmake --build --preset $preset)"

[ -z "$out" ] && out=build/soak/$preset-shard-$index-of-$total
mkdir -p "$out/runs" || bad "cannot make $out"
rm -rf "$out/runs/"* "$out/failures"
results=$out/results.tsv
: > "$results"
# The manners setting the runs see, spelt out in every replay command.
manners=()
[ -n "${BOXSIM_CHAOS_MANNERS:-}" ] && manners=("BOXSIM_CHAOS_MANNERS=$BOXSIM_CHAOS_MANNERS")

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
filter_of() { [ "$1" = console ] && echo 'Seeds/ConsoleChaos.*/0' || echo 'Seeds/Chaos.*/0'; }
# The command that replays a run exactly, outputs kept in $3.
replay_command() {
  local q=() e
  for e in "${penv[@]}" "${manners[@]}"; do q+=("$(printf '%q' "$e")"); done
  echo "${q[*]}${q:+ }BOXSIM_CHAOS_SEED=$2 BOXSIM_CHAOS_SECONDS=$seconds BOXSIM_TEST_OUT=$3" \
       "${runner[*]}${runner:+ }$bin --gtest_filter='$(filter_of "$1")'"
}

# One chaos run: its result line goes to results.tsv (kind, seed, result,
# wall seconds). A run passes when its one test ran and passed.
run_one() {
  local kind=$1 seed=$2 log=$out/runs/$1-$2.log t0 t1 rc result
  t0=$(date +%s.%N)
  env -u GTEST_TOTAL_SHARDS -u GTEST_SHARD_INDEX "${penv[@]}" "${manners[@]}" \
    BOXSIM_CHAOS_SEED="$seed" BOXSIM_CHAOS_SECONDS="$seconds" \
    timeout -k 5 $(( 120 + seconds * 10 )) "${runner[@]}" "$bin" --gtest_filter="$(filter_of "$kind")" \
    > "$log" 2>&1
  rc=$?
  t1=$(date +%s.%N)
  if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' "$log"; then
    result=passed
    rm -f "$log"
  elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    result=timeout
  elif grep -qE '^(==[0-9]+==)?(ERROR|WARNING): [A-Za-z]*Sanitizer|runtime error:' "$log"; then
    result=sanitizer
  elif grep -q '^\[  FAILED  \]' "$log"; then
    result=failed
  else
    result="crashed(status $rc)"
  fi
  printf '%s\t%s\t%s\t%.2f\n' "$kind" "$seed" "$result" "$(calc "$t1 - $t0")" >> "$results"
}

start=$(date +%s.%N)
deadline=$(calc "$start + $minutes * 60")
echo "soak: preset $preset, shard $index of $total (seeds $from+$index, then every $total), ${run_kinds[*]} chaos," \
     "$seconds s of box time a run, $jobs at a time, for $minutes min"
echo "soak: first seed $from (--from $from runs these seeds again); outputs in $out"

tty=false
[ -t 1 ] && tty=true
last_progress=0
progress() {
  local now runs failed el
  now=$(date +%s)
  $tty || [ $(( now - last_progress )) -ge 30 ] || [ "${1:-}" = final ] || return 0
  last_progress=$now
  runs=$(wc -l < "$results")
  failed=$(awk -F'\t' '$3 != "passed"' "$results" | wc -l)
  el=$(calc "$(date +%s.%N) - $start")
  local line
  line=$(printf 'soak: %5.0f s of %.0f, %d runs done, %d failed, next seed %d' "$el" "$(calc "$minutes * 60")" \
         "$runs" "$failed" "$seed")
  if $tty && [ "${1:-}" != final ]; then printf '\r%s ' "$line"; else echo "$line"; fi
}

k=0
seed=$(( from + index ))
running=0
while awk -v now="$(date +%s.%N)" -v d="$deadline" 'BEGIN { exit !(now < d) }'; do
  for kind in "${run_kinds[@]}"; do
    while [ "$running" -ge "$jobs" ]; do
      wait -n 2>/dev/null
      running=$(( running - 1 ))
      progress
    done
    run_one "$kind" "$seed" &
    running=$(( running + 1 ))
  done
  k=$(( k + 1 ))
  seed=$(( from + index + k * total ))
done
wait
wall=$(calc "$(date +%s.%N) - $start")
$tty && echo
progress final

# Each failed run once more, with its outputs kept: the replay shows it is
# the seed's own failure, and leaves what a person needs to see it.
declare -a failures=()
while IFS=$'\t' read -r kind s result w; do
  [ "$result" = passed ] && continue
  failures+=("$kind	$s	$result")
done < "$results"
if [ ${#failures[@]} -gt 0 ]; then
  echo
  printf '%-8s %10s %-18s %-22s %s\n' kind seed result "replayed with outputs" outputs
  replayed=0
  for f in "${failures[@]}"; do
    IFS=$'\t' read -r kind s result <<< "$f"
    dir=$out/failures/$kind-$s
    mkdir -p "$dir"
    mv "$out/runs/$kind-$s.log" "$dir/first-run.log" 2>/dev/null
    # The first few are replayed here; the command below replays any.
    if [ "$replayed" -ge "$max_replays" ]; then
      printf '%-8s %10s %-18s %-22s %s\n' "$kind" "$s" "$result" "(not replayed)" "$dir"
      continue
    fi
    replayed=$(( replayed + 1 ))
    env -u GTEST_TOTAL_SHARDS -u GTEST_SHARD_INDEX "${penv[@]}" "${manners[@]}" \
      BOXSIM_CHAOS_SEED="$s" BOXSIM_CHAOS_SECONDS="$seconds" BOXSIM_TEST_OUT="$dir" \
      timeout -k 5 $(( 120 + seconds * 10 )) "${runner[@]}" "$bin" --gtest_filter="$(filter_of "$kind")" \
      > "$dir/replay.log" 2>&1
    rc=$?
    again="passed (not the same!)"
    [ $rc -ne 0 ] && again="failed again"
    printf '%-8s %10s %-18s %-22s %s\n' "$kind" "$s" "$result" "$again" "$dir"
  done
  echo
  echo "replay each exactly (the outputs go to the folder named):"
  for f in "${failures[@]}"; do
    IFS=$'\t' read -r kind s result <<< "$f"
    echo "  $(replay_command "$kind" "$s" "$out/failures/$kind-$s")"
    # What failed, in the test's words (or the sanitizer's, or the watchdog's).
    grep -m1 -A3 -E ': Failure$|^(==[0-9]+==)?(ERROR|WARNING): [A-Za-z]*Sanitizer|run is stuck' \
      "$out/failures/$kind-$s/first-run.log" 2>/dev/null | head -4 | sed 's/^/      /'
  done
fi

# The JUnit report of this shard: a test case per run.
{
  runs=$(wc -l < "$results")
  nfail=${#failures[@]}
  printf '<?xml version="1.0" encoding="UTF-8"?>\n'
  printf '<testsuites tests="%d" failures="%d" time="%.1f">\n' "$runs" "$nfail" "$wall"
  printf '  <testsuite name="soak.%s.shard-%d-of-%d" tests="%d" failures="%d" time="%.1f">\n' \
    "$preset" "$index" "$total" "$runs" "$nfail" "$wall"
  while IFS=$'\t' read -r kind s result w; do
    printf '    <testcase classname="soak.%s" name="seed-%s" time="%s"' "$kind" "$s" "$w"
    if [ "$result" = passed ]; then
      printf '/>\n'
    else
      cmd=$(replay_command "$kind" "$s" "$out/failures/$kind-$s" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g')
      printf '>\n      <failure message="%s">replay: %s</failure>\n    </testcase>\n' "$result" "$cmd"
    fi
  done < "$results"
  printf '  </testsuite>\n</testsuites>\n'
} > "$out/report.xml"

# Throughput: seed-minutes of box time per minute of wall time, per kind.
echo
awk -F'\t' -v secs="$seconds" -v wall="$wall" -v jobs="$jobs" '
  { n[$1]++; w[$1] += $4; if ($3 != "passed") f[$1]++ }
  END {
    for (k in n)
      printf "soak: %-7s %5d runs, %d failed, %7.1f seed-minutes of box time in %.1f wall minutes: %.0f seed-minutes a wall minute (%.2f s of wall time a run, %d at a time)\n",
             k, n[k], f[k], n[k] * secs / 60, wall / 60, n[k] * secs / wall, w[k] / n[k], jobs
  }' "$results" | sort
echo "soak: JUnit report $out/report.xml; next time --from $(( seed ))"
[ ${#failures[@]} -eq 0 ]
