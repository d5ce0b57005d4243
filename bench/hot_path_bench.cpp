// Per-event costs on the hot path: the allow-cache hit (one and two
// threads), unknown program starts, and what logging costs.  Each engine
// figure has its baseline in the same run.
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "BRIXEventAbstraction.h"
#include "bench_util.h"
#include "brix.h"

namespace {

const char kUser[] = "root";
const char kProcess[] = "/usr/bin/bash";
const char kTarget[] = "/usr/bin/ls";

void EnsureEngine() {
  static std::once_flag once;
  std::call_once(once, [] {
    bench::EnterScratchDir();
    bench::StartEngine("hot.db");
    std::string user = kUser, process = kProcess, target = kTarget;
    BRIXEngine::GetEngine()->GetAllowCache().AddCacheNode(user, process,
                                                          target);
  });
}

ac_wrapper_event_s CachedEvent() {
  ac_wrapper_event_s e{};
  e.pid = 1234;
  e.type = 0;
  e.name = kTarget;
  e.processName = kProcess;
  e.user = kUser;
  e.group = "root";
  return e;
}

// --- Allow-cache hit -------------------------------------------------------

void BM_AllowCacheHit_Engine(benchmark::State& state) {
  EnsureEngine();
  set_loglevel(0);
  ac_wrapper_event_s e = CachedEvent();
  ac_wrapper_response_s r;
  for (auto _ : state) benchmark::DoNotOptimize(app_ctl(nullptr, &e, &r));
  if (r.action != BRIX_ACTION_ALLOW) state.SkipWithError("not a cache hit");
}
BENCHMARK(BM_AllowCacheHit_Engine)->Threads(1)->Threads(2)->UseRealTime();

// The least any conversion must do: make the three strings of the event and
// probe a three-level map with them, under a lock as the cache is shared.
void BM_AllowCacheHit_Baseline(benchmark::State& state) {
  using Users = std::unordered_map<std::string, bool>;
  using Processes = std::unordered_map<std::string, Users>;
  static std::unordered_map<std::string, Processes> cache = [] {
    std::unordered_map<std::string, Processes> c;
    c[kTarget][kProcess][kUser] = true;
    return c;
  }();
  static std::mutex mu;
  ac_wrapper_event_s e = CachedEvent();
  for (auto _ : state) {
    std::string user(e.user), process(e.processName), name(e.name);
    bool hit = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      auto t = cache.find(name);
      if (t != cache.end()) {
        auto p = t->second.find(process);
        if (p != t->second.end()) hit = p->second.count(user) != 0;
      }
    }
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_AllowCacheHit_Baseline)->Threads(1)->Threads(2)->UseRealTime();

// --- Unknown program start -------------------------------------------------

void UnknownStart(benchmark::State& state, uint32_t modes, uint32_t mask) {
  EnsureEngine();
  set_loglevel(mask);
  set_config(modes, 0, 0);
  ac_wrapper_event_s e = CachedEvent();
  e.type = 23;
  e.isexec = 1;
  uint64_t i = 0;
  std::string digest;
  for (auto _ : state) {
    digest = bench::DigestOf(~0ULL - (i++ % 4096));
    e.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
    ac_wrapper_response_s r;
    benchmark::DoNotOptimize(app_ctl(nullptr, &e, &r));
  }
  set_config(0, 0, 0);
  set_loglevel(0);
}

void BM_UnknownStart_LockdownOff(benchmark::State& state) {
  UnknownStart(state, 0, 0);
}
BENCHMARK(BM_UnknownStart_LockdownOff);

void BM_UnknownStart_LockdownOn(benchmark::State& state) {
  UnknownStart(state, BRIX_MODE_LOCKDOWN, 0);
}
BENCHMARK(BM_UnknownStart_LockdownOn);

// --- Logging cost ------------------------------------------------------------

void BM_Logging_Mask0(benchmark::State& state) { UnknownStart(state, 0, 0); }
BENCHMARK(BM_Logging_Mask0);

void BM_Logging_Mask15(benchmark::State& state) { UnknownStart(state, 0, 15); }
BENCHMARK(BM_Logging_Mask15);

}  // namespace
