#!/usr/bin/env bash
# The web front panel in a real browser: starts two boxsim runs on free
# loopback ports, drives their pages in Debian's chromium (headless), stops
# them.
# Usage: tests/browser/run.sh BOXSIM_BINARY
# The screenshot is left as browser-front-panel.png in the current directory.
set -euo pipefail
boxsim=$(realpath "${1:?usage: run.sh BOXSIM_BINARY}")
here=$(cd "$(dirname "$0")" && pwd)
shot="$PWD/browser-front-panel.png"

[ -x /usr/bin/chromium ] || { echo "run.sh: /usr/bin/chromium missing: run scripts/setup.sh browser" >&2; exit 1; }
if [ ! -d "$here/node_modules/playwright-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --silent)
fi

work=$(mktemp -d /tmp/boxsim-browser-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      # An orderly end writes the outputs; one that hangs is ended.
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Two boxes, driven at once, each from a page of its own: the rescue box
# starts from the default box with the cable out and the DHCP server silent
# (the test plugs the cable and lets the server answer from the page, then
# waits for the text display to scroll to the address, two seconds a step);
# the console box is the default box, restarted into the console from its
# page, with a person at the USB keyboard who types a key every 20 ms.
node -e '
  const fs = require("fs");
  const p = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
  const rescue = JSON.parse(JSON.stringify(p));
  rescue.name = "unplugged";
  rescue.network = Object.assign({}, rescue.network, { cable: false });
  rescue.network.dhcp = Object.assign({}, rescue.network.dhcp);
  delete rescue.network.dhcp.lease;
  fs.writeFileSync(process.argv[2], JSON.stringify(rescue, null, 2));
  const console_ = JSON.parse(JSON.stringify(p));
  console_.name = "quick-typist";
  console_.input.keyboard = Object.assign({}, console_.input.keyboard, { typing: 20 });
  fs.writeFileSync(process.argv[3], JSON.stringify(console_, null, 2));
' "$here/../../sim/boxes/default.json" "$work/unplugged.json" "$work/quick-typist.json"

# Starts boxsim on profile $2 with its outputs under $work/$1, its clock
# running $3 times the host's pace.
start_box() {
  mkdir -p "$work/$1"
  "$boxsim" --box "$2" --serve 127.0.0.1:0 --speed "$3" --out "$work/$1/out" >"$work/$1/boxsim.out" 2>"$work/$1/boxsim.err" &
  pids+=($!)
}
# The panel's address of box $1 once it serves, on standard output.
served_url() {
  local pid=$2 url=""
  for _ in $(seq 200); do
    url=$(sed -n 's|^boxsim: front panel at \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$work/$1/boxsim.out" | head -1)
    [ -n "$url" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$url" ]; then
    echo "run.sh: boxsim ($1) did not start serving" >&2
    cat "$work/$1/boxsim.err" >&2
    return 1
  fi
  echo "$url"
}
# What the test waits on is the box's own seconds (the rescue display's
# passes, a DHCP exchange, front ends ending), not its pace: the rescue box
# runs at eight times the host's pace. The console box at twice: its saved
# test replays on the virtual clock, where the system's own work takes no
# time, and the faster the box runs here, the more box time that work took.
start_box rescue "$work/unplugged.json" 8
start_box console "$work/quick-typist.json" 2
rescue_url=$(served_url rescue "${pids[0]}")
console_url=$(served_url console "${pids[1]}")

status=0
node "$here/front_panel.mjs" "$rescue_url" "$console_url" "$work" "$shot" "$boxsim" || status=$?
if [ "$status" -ne 0 ]; then
  for b in rescue console; do
    echo "--- boxsim stderr ($b)" >&2
    tail -20 "$work/$b/boxsim.err" >&2
  done
fi
exit "$status"
