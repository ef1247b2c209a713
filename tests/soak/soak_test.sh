#!/usr/bin/env bash
# The soak as a user runs it: every bad request refused with one message and
# exit status 2 before anything runs, then a short soak of the given build
# that passes, with its report.
# Usage: tests/soak/soak_test.sh BUILD_ROOT PRESET
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
builds=$1 preset=$2
soak=$root/scripts/soak.sh
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# Each case: environment, arguments, words the one message must hold.
check_bad() {
  local env_args=$1 args=$2 want=$3 out err rc
  out=$(mktemp) err=$(mktemp)
  env $env_args BOX_BUILD_ROOT="${BOX_BUILD_ROOT_CASE:-$builds}" "$soak" $args >"$out" 2>"$err"
  rc=$?
  [ $rc -eq 2 ] || fail "'$args': exit status $rc, not 2"
  [ "$(wc -l < "$err")" -eq 1 ] || fail "'$args': not one line on stderr: $(cat "$err")"
  grep -q "^soak: .*$want" "$err" || fail "'$args': '$want' not in: $(cat "$err")"
  [ ! -s "$out" ] || fail "'$args': printed on stdout: $(cat "$out")"
  rm -f "$out" "$err"
}
check_bad "" "--preset vax" "unknown preset 'vax'"
check_bad "" "--shard 3/3" "shard index 3 is out of range: there are 3 shards"
check_bad "GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=2" "--preset $preset" "shard index 2 is out of range"
check_bad "GTEST_TOTAL_SHARDS=0" "--preset $preset" "at least 1"
check_bad "" "--shard 1" "takes I/N"
check_bad "" "--minutes 0" "above 0"
check_bad "" "--kinds tv" "--kinds takes"
check_bad "" "--from -4" "--from takes a seed"
check_bad "" "--bogus" "unknown option '--bogus'"
BOX_BUILD_ROOT_CASE=/nonexistent check_bad "" "--preset $preset" "preset $preset is not built"

# A short soak: seeds 5 and 6 of the rescue chaos (2 s each), two shards'
# worth given by the GoogleTest variables, shard 1 of 2: seeds 6, 8, ...
out=$(mktemp -d)
log=$out/soak.log
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=1 BOX_BUILD_ROOT=$builds \
  "$soak" --preset "$preset" --minutes 0.02 --seconds 2 --kinds rescue --from 5 --jobs 1 --out "$out/o" >"$log" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "short soak: exit status $rc: $(cat "$log")"
grep -q 'first seed 5' "$log" || fail "short soak: no first seed printed"
grep -qE '^soak: rescue +[0-9]+ runs, 0 failed, .* seed-minutes a wall minute' "$log" || fail "short soak: no throughput line"
[ -f "$out/o/report.xml" ] || fail "short soak: no report.xml"
grep -q 'testsuite name="soak.'"$preset"'.shard-1-of-2"' "$out/o/report.xml" || fail "short soak: report names no shard"
grep -q 'classname="soak.rescue" name="seed-6"' "$out/o/report.xml" || fail "short soak: seed 6 (shard 1's first) not in the report"
grep -q 'name="seed-5"' "$out/o/report.xml" && fail "short soak: seed 5 belongs to shard 0"
rm -rf "$out"

[ $fails -eq 0 ] && echo "soak: all checks passed"
[ $fails -eq 0 ]
