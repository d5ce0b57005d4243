// Per-event costs of the engine's entry point.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "BRIXEventAbstraction.h"
#include "brix.h"

namespace {

// Starts the engine once for the whole run in a private folder.
void EnsureStarted() {
  static bool started = [] {
    char dir[] = "/tmp/brix_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
    ac_engine_start_s s{};
    s.dbPath = "bench.db";
    s.logCallback = [](unsigned, unsigned, const char*, const char*,
                       const char*, unsigned) { return 0; };
    return engine_start(&s) == BRIX_STATUS_SUCCESS;
  }();
  if (!started) abort();
}

ac_wrapper_event_s MakeEvent(uint32_t type) {
  ac_wrapper_event_s e{};
  e.pid = 1234;
  e.type = type;
  e.name = "/usr/bin/ls";
  e.processName = "/usr/bin/bash";
  e.user = "root";
  e.group = "root";
  e.cmdLine = "ls -l";
  return e;
}

// A type-0 event answered from the allow cache.
void BM_AllowCacheHit(benchmark::State& state) {
  EnsureStarted();
  std::string user = "root", process = "/usr/bin/bash", target = "/usr/bin/ls";
  BRIXEngine::GetEngine()->GetAllowCache().AddCacheNode(user, process, target);
  ac_wrapper_event_s e = MakeEvent(0);
  ac_wrapper_response_s r;
  for (auto _ : state) benchmark::DoNotOptimize(app_ctl(nullptr, &e, &r));
}
BENCHMARK(BM_AllowCacheHit);

// An event that no handler takes: conversion, abstraction, one counter.
void BM_IgnoredEvent(benchmark::State& state) {
  EnsureStarted();
  ac_wrapper_event_s e = MakeEvent(99);
  ac_wrapper_response_s r;
  for (auto _ : state) benchmark::DoNotOptimize(app_ctl(nullptr, &e, &r));
}
BENCHMARK(BM_IgnoredEvent);

}  // namespace
