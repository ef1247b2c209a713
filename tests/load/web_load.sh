#!/usr/bin/env bash
# The web front panel under the full load: 8 pages with their event streams,
# 200 actions a second for 30 s, malformed requests all the while; loopback
# only. Runs the load test of the host build with those settings.
# Usage: tests/load/web_load.sh [SECONDS] [RATE] [PAGES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target test_sim_boxsim boxsim >/dev/null
BOXSIM_LOAD_SECONDS=${1:-30} BOXSIM_LOAD_RATE=${2:-200} BOXSIM_LOAD_PAGES=${3:-8} \
  build/host/tests/test_sim_boxsim --gtest_filter='WebLoad.*'
