#!/usr/bin/env bash
# The web front panel in a real browser: starts boxsim on a free loopback
# port, drives the page in Debian's chromium (headless), stops boxsim.
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
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    # An orderly end writes the outputs; one that hangs is ended.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The default box, but with the cable out and the DHCP server silent: the
# test plugs the cable and lets the server answer from the page.
node -e '
  const fs = require("fs");
  const p = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
  p.name = "unplugged";
  p.network = Object.assign({}, p.network, { cable: false });
  p.network.dhcp = Object.assign({}, p.network.dhcp);
  delete p.network.dhcp.lease;
  fs.writeFileSync(process.argv[2], JSON.stringify(p, null, 2));
' "$here/../../sim/boxes/default.json" "$work/unplugged.json"

"$boxsim" --box "$work/unplugged.json" --serve 127.0.0.1:0 --out "$work/out" >"$work/boxsim.out" 2>"$work/boxsim.err" &
pid=$!

url=""
for _ in $(seq 200); do
  url=$(sed -n 's|^boxsim: front panel at \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$work/boxsim.out" | head -1)
  [ -n "$url" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "run.sh: boxsim did not start serving" >&2
  cat "$work/boxsim.err" >&2
  exit 1
fi

status=0
node "$here/front_panel.mjs" "$url" "$work" "$shot" "$boxsim" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- boxsim stderr" >&2
  tail -20 "$work/boxsim.err" >&2
fi
exit "$status"
