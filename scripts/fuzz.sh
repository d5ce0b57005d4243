#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (engine under AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the kept corpus of each target and
# fuzzes each for FUZZ_SECONDS (default 30); then compares the trust-rule
# index with the lookup query for TRUST_INDEX_SEEDS random rule sets (default
# 100).  Exits non-zero on any crash or difference.
# The engine's objects are compiled with -Wthread-safety -Werror=thread-safety
# under Clang, so this build also fails on a breach of the lock rules.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIX_BUILD_FUZZ=ON -DBRIX_BUILD_TESTS=OFF -DBRIX_BUILD_BENCH=OFF \
  -DBRIX_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seeds: the kept corpus (inputs that once found a fault stay there) plus the
# examples, shaped as each target reads its input.
for target in ruleset event match metrics; do
  mkdir -p "$work/$target"
  if [ -d "fuzz/corpus/$target" ]; then
    cp -r "fuzz/corpus/$target/." "$work/$target/"
  fi
done
for f in examples/*.json; do
  [ -e "$f" ] || continue
  # append flag, then a name pick for each kind of ruleset
  for pick in 0 1 2; do
    { printf '\x00'; printf "\\x0$pick"; cat "$f"; } > "$work/ruleset/$(basename "$f").$pick"
  done
done
if [ -e examples/trace.jsonl ]; then
  head -c 4096 examples/trace.jsonl > "$work/event/trace"
fi
printf '\x05/usr/*/usr/bin/ls' > "$work/match/seed"
printf '\xff\x00\x00\x00\x00\x00\x00\x10\x00' > "$work/metrics/seed"

status=0
for target in ruleset event match metrics; do
  echo "== fuzz_$target: replay and ${seconds}s of fuzzing"
  if ! (cd "$work" && "$OLDPWD/build-fuzz/fuzz/fuzz_$target" \
          -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 \
          -print_final_stats=1 "$target" > "$target.log" 2>&1); then
    echo "fuzz_$target FAILED; the input that failed is kept in fuzz/corpus/$target"
    mkdir -p "fuzz/corpus/$target"
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "fuzz/corpus/$target/" 2>/dev/null || true
    tail -40 "$work/$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$work/$target.log" || true
  fi
done
# The trust-rule index against the lookup query it replaces, for many more
# random rule sets than the test suite runs.
seeds="${TRUST_INDEX_SEEDS:-100}"
echo "== trust-rule index against the lookup query: $seeds seeds"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target brix_tests >/dev/null
if ! BRIX_TRUST_INDEX_SEEDS="$seeds" build/tests/brix_tests \
       --gtest_filter='TrustRuleIndexDifferential.*' > "$work/trust_index.log" 2>&1; then
  echo "trust-rule index FAILED against the lookup query"
  tail -40 "$work/trust_index.log"
  status=1
fi
exit $status
