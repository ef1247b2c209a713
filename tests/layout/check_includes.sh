#!/usr/bin/env bash
# Dependencies run one way: the system (src/) knows nothing of the simulated
# box; inside sim/, the boxsim tool builds on the device models, which build
# on the core, never the other way; and no page text hides in C++ sources.
# Prints every include or file that breaks this, and fails if there is one.
set -uo pipefail
root="${1:-$(dirname "$0")/../..}"
cd "$root" || exit 2
bad=0
check() {  # folder, forbidden include pattern, what it means
  local hits
  hits=$(grep -rnE "#include[[:space:]]*\"($2)" "$1" 2>/dev/null)
  if [ -n "$hits" ]; then
    echo "$3:"; echo "$hits"; bad=1
  fi
}
check src 'core/|devices/|boxsim/|sim/|tests/|tools/' "src/ includes the simulator, tests or tools"
check sim/core 'devices/|boxsim/' "sim/core includes a device model or the tool"
check sim/devices 'boxsim/' "sim/devices includes the tool"
pages=$(grep -rlE '<(html|body|div|script)[ >]|addEventListener\(' --include='*.cpp' --include='*.h' src sim 2>/dev/null)
if [ -n "$pages" ]; then
  echo "HTML or JavaScript in C++ sources (the page belongs in sim/boxsim/web/):"; echo "$pages"; bad=1
fi
[ $bad -eq 0 ] && echo "layout: dependencies run one way"
exit $bad
