#!/usr/bin/env bash
# Builds brix and runs every benchmark, each engine figure beside its
# baseline.  The database benchmarks build a 1,000,000-item inventory first
# (about a minute); all of it takes a few minutes on 2 cores.  Extra
# arguments go to both programs (e.g. --benchmark_filter=Export).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh >/dev/null
./build/bench/hot_path_bench "$@"
./build/bench/database_bench "$@"
./build/bench/trust_rules_bench "$@"
