#!/usr/bin/env bash
# Builds the simulated box and starts it with the system's rescue front end.
# Arguments are passed to boxsim (see `boxsim --help`); with none, the web
# front panel is served on 127.0.0.1:8080.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build >&2
cmake --preset host >/dev/null
cmake --build --preset host --target boxsim >&2
exec build/host/boxsim "$@"
