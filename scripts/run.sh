#!/usr/bin/env bash
# The main job: builds brix and lets the engine decide one real program start
# (by default /bin/ls, started from /bin/bash) on a database in demo/,
# printing the verdict and the metrics.  Extra arguments go to brixctl's
# decide command instead, e.g. scripts/run.sh --type 23 /usr/bin/python3
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh >/dev/null
mkdir -p demo
if [ $# -eq 0 ]; then
  set -- --process /bin/bash --user "$(id -un)" --group "$(id -gn)" /bin/ls
fi
exec ./build/brixctl --db demo/ac.db decide "$@"
