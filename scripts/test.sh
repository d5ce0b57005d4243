#!/usr/bin/env bash
# Builds brix and runs the whole test suite; then runs it again with the
# engine under AddressSanitizer and UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, and every fuzz target on its
# corpus and for a short while (a Clang build that also checks the lock
# rules).  Exits non-zero on any failure or finding.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

./scripts/build.sh
(cd build && ctest --output-on-failure -j"$jobs")

echo "== whole suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIX_SANITIZE=address,undefined -DBRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null
(cd build-asan &&
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --output-on-failure -j"$jobs")

echo "== concurrency tests under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIX_SANITIZE=thread -DBRIX_BUILD_BENCH=OFF -DBRIX_BUILD_TOOLS=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target brix_tests brix >/dev/null
(cd build-tsan &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j"$jobs" -R 'Concurren|Threads')

# The fuzz build is the Clang build of the engine: it also fails on any
# breach of the lock rules written into the headers (-Wthread-safety).
echo "== fuzz targets (Clang, with the lock-rule check)"
FUZZ_SECONDS="${FUZZ_SECONDS:-30}" ./scripts/fuzz.sh
