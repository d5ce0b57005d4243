#!/usr/bin/env bash
# Builds brix and runs the whole test suite, then the concurrency tests again
# under ThreadSanitizer; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)")

echo "== concurrency tests under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIX_SANITIZE=thread -DBRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target brix_tests brix >/dev/null
(cd build-tsan &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j"$(nproc)" -R 'Concurren|Threads')
