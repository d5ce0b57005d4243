// Tests of the runtime caches: the allow cache (user, process, target)
// with its counters and size cap, and the per-pid process type cache.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "AllowCache.h"
#include "ProcessCache.h"

namespace {

using Counters = BRIXAllowCache::Counters;

// Compares every counter so that a stray increment anywhere shows up.
void ExpectCounters(const Counters& c, const Counters& want) {
  EXPECT_EQ(c.Add, want.Add);
  EXPECT_EQ(c.Change, want.Change);
  EXPECT_EQ(c.Clear, want.Clear);
  EXPECT_EQ(c.removeHit, want.removeHit);
  EXPECT_EQ(c.removeMiss, want.removeMiss);
  EXPECT_EQ(c.Hit, want.Hit);
  EXPECT_EQ(c.Miss, want.Miss);
  EXPECT_EQ(c.targetMiss, want.targetMiss);
  EXPECT_EQ(c.userMiss, want.userMiss);
  EXPECT_EQ(c.processMiss, want.processMiss);
  EXPECT_EQ(c.maxDepth, want.maxDepth);
  EXPECT_EQ(c.mapSize, want.mapSize);
}

const std::string kUser = "alice";
const std::string kProcess = "/usr/bin/bash";
const std::string kTarget = "/usr/local/bin/tool";

TEST(AllowCache, FreshCacheMissesOnTarget) {
  BRIXAllowCache cache;
  ExpectCounters(cache.GetCounters(), {});
  EXPECT_FALSE(cache.IsCached(kUser, kProcess, kTarget));
  Counters want;
  want.Miss = 1;
  want.targetMiss = 1;
  ExpectCounters(cache.GetCounters(), want);
}

TEST(AllowCache, MissesAreCountedByLevel) {
  BRIXAllowCache cache;
  cache.AddCacheNode(kUser, kProcess, kTarget);
  EXPECT_TRUE(cache.IsCached(kUser, kProcess, kTarget));
  EXPECT_FALSE(cache.IsCached(kUser, kProcess, "/other"));      // target
  EXPECT_FALSE(cache.IsCached(kUser, "/usr/bin/zsh", kTarget)); // process
  EXPECT_FALSE(cache.IsCached("bob", kProcess, kTarget));       // user
  EXPECT_FALSE(cache.IsCached("bob", kProcess, kTarget));
  // The arguments are (user, process, target): swapping user and process
  // misses on the process.
  EXPECT_FALSE(cache.IsCached(kProcess, kUser, kTarget));

  Counters want;
  want.Add = 1;
  want.maxDepth = 1;
  want.mapSize = 1;
  want.Hit = 1;
  want.Miss = 5;
  want.targetMiss = 1;
  want.processMiss = 2;
  want.userMiss = 2;
  ExpectCounters(cache.GetCounters(), want);
}

TEST(AllowCache, DuplicateAddChangesNothing) {
  BRIXAllowCache cache;
  EXPECT_EQ(cache.AddCacheNode(kUser, kProcess, kTarget), 0);
  const Counters once = cache.GetCounters();
  EXPECT_EQ(cache.AddCacheNode(kUser, kProcess, kTarget), 0);
  ExpectCounters(cache.GetCounters(), once);
  EXPECT_EQ(once.Add, 1u);
  EXPECT_EQ(once.Change, 0u);
  EXPECT_EQ(once.maxDepth, 1u);
  EXPECT_EQ(once.mapSize, 1u);
}

TEST(AllowCache, ChangeAndMaxDepth) {
  BRIXAllowCache cache;
  cache.AddCacheNode("u1", kProcess, kTarget);
  cache.AddCacheNode("u2", kProcess, kTarget);
  auto c = cache.GetCounters();
  EXPECT_EQ(c.Add, 1u);
  EXPECT_EQ(c.Change, 1u);
  EXPECT_EQ(c.maxDepth, 2u);

  cache.AddCacheNode("u3", kProcess, kTarget);
  // A new process under a cached target is a change but has one user.
  cache.AddCacheNode("u1", "/usr/bin/python3", kTarget);
  // A new target with one user leaves the deeper maximum.
  cache.AddCacheNode("u1", kProcess, "/second");
  c = cache.GetCounters();
  EXPECT_EQ(c.Add, 2u);
  EXPECT_EQ(c.Change, 3u);
  EXPECT_EQ(c.maxDepth, 3u);
  EXPECT_EQ(c.mapSize, 2u);

  // Depth is counted per target and process, not per target.
  cache.AddCacheNode("u2", "/usr/bin/python3", kTarget);
  EXPECT_EQ(cache.GetCounters().maxDepth, 3u);

  for (const char* user : {"u1", "u2", "u3"})
    EXPECT_TRUE(cache.IsCached(user, kProcess, kTarget)) << user;
  EXPECT_TRUE(cache.IsCached("u2", "/usr/bin/python3", kTarget));
  EXPECT_FALSE(cache.IsCached("u3", "/usr/bin/python3", kTarget));
}

TEST(AllowCache, RemoveHitAndMiss) {
  BRIXAllowCache cache;
  cache.AddCacheNode("u1", kProcess, kTarget);
  cache.AddCacheNode("u2", "/usr/bin/zsh", kTarget);
  cache.AddCacheNode("u1", kProcess, "/kept");

  EXPECT_EQ(cache.RemoveCacheNode("/absent"), 0);
  auto c = cache.GetCounters();
  EXPECT_EQ(c.removeMiss, 1u);
  EXPECT_EQ(c.removeHit, 0u);
  EXPECT_EQ(c.mapSize, 2u);

  // Removing a target drops everything under it.
  EXPECT_EQ(cache.RemoveCacheNode(kTarget), 0);
  c = cache.GetCounters();
  EXPECT_EQ(c.removeHit, 1u);
  EXPECT_EQ(c.mapSize, 1u);
  EXPECT_FALSE(cache.IsCached("u1", kProcess, kTarget));
  EXPECT_FALSE(cache.IsCached("u2", "/usr/bin/zsh", kTarget));
  EXPECT_TRUE(cache.IsCached("u1", kProcess, "/kept"));
  EXPECT_EQ(cache.GetCounters().targetMiss, 2u);

  cache.RemoveCacheNode(kTarget);
  c = cache.GetCounters();
  EXPECT_EQ(c.removeHit, 1u);
  EXPECT_EQ(c.removeMiss, 2u);
  // Removal does not touch Add or Change.
  EXPECT_EQ(c.Add, 2u);
  EXPECT_EQ(c.Change, 1u);
}

TEST(AllowCache, FlushResetsCountersAndCountsClears) {
  BRIXAllowCache cache;
  cache.AddCacheNode("u1", kProcess, kTarget);
  cache.AddCacheNode("u2", kProcess, kTarget);
  cache.AddCacheNode("u1", "/p", kTarget);
  cache.IsCached("u1", kProcess, kTarget);
  cache.IsCached("u9", kProcess, kTarget);
  cache.IsCached("u1", "/q", kTarget);
  cache.IsCached("u1", kProcess, "/none");
  cache.RemoveCacheNode("/none");
  cache.AddCacheNode("u1", kProcess, "/x");
  cache.RemoveCacheNode("/x");

  cache.FlushCache();
  Counters want;
  want.Clear = 1;
  ExpectCounters(cache.GetCounters(), want);
  EXPECT_FALSE(cache.IsCached("u1", kProcess, kTarget));

  // The miss above is forgotten again; Clear keeps counting.
  cache.FlushCache();
  want.Clear = 2;
  ExpectCounters(cache.GetCounters(), want);
}

TEST(AllowCache, KeysAreCaseSensitive) {
  BRIXAllowCache cache;
  cache.AddCacheNode("Alice", "/usr/bin/Bash", "/tmp/Tool");
  EXPECT_FALSE(cache.IsCached("Alice", "/usr/bin/Bash", "/tmp/tool"));
  EXPECT_FALSE(cache.IsCached("Alice", "/usr/bin/bash", "/tmp/Tool"));
  EXPECT_FALSE(cache.IsCached("alice", "/usr/bin/Bash", "/tmp/Tool"));
  EXPECT_TRUE(cache.IsCached("Alice", "/usr/bin/Bash", "/tmp/Tool"));
  const auto c = cache.GetCounters();
  EXPECT_EQ(c.targetMiss, 1u);
  EXPECT_EQ(c.processMiss, 1u);
  EXPECT_EQ(c.userMiss, 1u);

  cache.AddCacheNode("Alice", "/usr/bin/Bash", "/tmp/tool");
  EXPECT_EQ(cache.GetCounters().Add, 2u);
  EXPECT_EQ(cache.GetCounters().mapSize, 2u);
}

TEST(AllowCache, FullCacheIsFlushedBeforeAdding) {
  BRIXAllowCache cache;
  for (int i = 0; i < 4095; ++i)
    cache.AddCacheNode(kUser, kProcess, "/t/" + std::to_string(i));
  // The 4096th target still fits.
  cache.AddCacheNode(kUser, kProcess, "/t/4095");
  cache.IsCached(kUser, kProcess, "/t/0");
  auto c = cache.GetCounters();
  EXPECT_EQ(c.mapSize, 4096u);
  EXPECT_EQ(c.Add, 4096u);
  EXPECT_EQ(c.Clear, 0u);
  EXPECT_EQ(c.Hit, 1u);

  cache.AddCacheNode(kUser, kProcess, "/t/new");
  Counters want;
  want.Clear = 1;
  want.Add = 1;
  want.maxDepth = 1;
  want.mapSize = 1;
  ExpectCounters(cache.GetCounters(), want);
  EXPECT_TRUE(cache.IsCached(kUser, kProcess, "/t/new"));
  EXPECT_FALSE(cache.IsCached(kUser, kProcess, "/t/0"));
}

TEST(AllowCache, FullCacheIsFlushedEvenForACachedTarget) {
  BRIXAllowCache cache;
  for (int i = 0; i < 4096; ++i)
    cache.AddCacheNode(kUser, kProcess, "/t/" + std::to_string(i));
  // The size test comes first, whatever the key.
  cache.AddCacheNode("bob", kProcess, "/t/7");
  const auto c = cache.GetCounters();
  EXPECT_EQ(c.Clear, 1u);
  EXPECT_EQ(c.Add, 1u);
  EXPECT_EQ(c.Change, 0u);
  EXPECT_EQ(c.mapSize, 1u);
  EXPECT_FALSE(cache.IsCached(kUser, kProcess, "/t/7"));
  EXPECT_TRUE(cache.IsCached("bob", kProcess, "/t/7"));
}

TEST(AllowCache, MetricsSection) {
  BRIXAllowCache cache;
  cache.AddCacheNode("u1", kProcess, kTarget);
  cache.AddCacheNode("u2", kProcess, kTarget);
  cache.AddCacheNode("u1", kProcess, "/b");
  cache.IsCached("u1", kProcess, kTarget);
  cache.IsCached("u1", kProcess, "/c");
  cache.IsCached("u1", "/p", kTarget);
  cache.IsCached("u3", kProcess, kTarget);
  cache.RemoveCacheNode("/b");
  cache.RemoveCacheNode("/b");

  cJSON* object = cJSON_CreateObject();
  cache.GetMetrics(object);
  const cJSON* section = cJSON_GetObjectItemCaseSensitive(object, "AllowCache");
  ASSERT_TRUE(cJSON_IsObject(section));
  const std::vector<std::pair<std::string, double>> expected = {
      {"Add", 2},        {"Change", 1},     {"Clear", 0},
      {"Hit", 1},        {"Miss", 3},       {"processMiss", 1},
      {"removeHit", 1},  {"removeMiss", 1}, {"targetMiss", 1},
      {"userMiss", 1},   {"mapSize", 1},    {"maxDepth", 2}};
  std::vector<std::pair<std::string, double>> actual;
  for (const cJSON* m = section->child; m != nullptr; m = m->next) {
    ASSERT_TRUE(cJSON_IsNumber(m));
    actual.emplace_back(m->string, m->valuedouble);
  }
  EXPECT_EQ(actual, expected);
  cJSON_Delete(object);
}

TEST(AllowCache, ConcurrentUseKeepsCountersConsistent) {
  BRIXAllowCache cache;
  constexpr int kThreads = 4;
  constexpr int kTargets = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&cache, t] {
      const std::string user = "u" + std::to_string(t);
      for (int i = 0; i < kTargets; ++i) {
        const std::string target = "/t/" + std::to_string(i);
        cache.IsCached(user, kProcess, target);
        cache.AddCacheNode(user, kProcess, target);
        cache.IsCached(user, kProcess, target);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto c = cache.GetCounters();
  EXPECT_EQ(c.Hit, static_cast<uint64_t>(kThreads * kTargets));
  EXPECT_EQ(c.Miss, static_cast<uint64_t>(kThreads * kTargets));
  EXPECT_EQ(c.Miss, c.targetMiss + c.processMiss + c.userMiss);
  EXPECT_EQ(c.Add, static_cast<uint64_t>(kTargets));
  EXPECT_EQ(c.Change, static_cast<uint64_t>((kThreads - 1) * kTargets));
  EXPECT_EQ(c.maxDepth, static_cast<uint64_t>(kThreads));
  EXPECT_EQ(c.mapSize, static_cast<uint64_t>(kTargets));
}

TEST(ProcessCache, PidZeroAndEmptyNameReadZero) {
  BRIXProcessCache cache;
  cache.AddProcess(0, 4, "python3");
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(cache.GetProcess(0, "python3"), 0u);

  cache.AddProcess(1234, 4, "python3");
  EXPECT_EQ(cache.GetProcess(1234, ""), 0u);
  EXPECT_EQ(cache.GetProcess(1235, "python3"), 0u);
  EXPECT_EQ(cache.GetProcess(1234, "python3"), 4u);
}

TEST(ProcessCache, NameMismatchMissesAndKeepsEntry) {
  BRIXProcessCache cache;
  EXPECT_EQ(cache.AddProcess(1234, 4, "python3"), 0);
  EXPECT_EQ(cache.GetProcess(1234, "bash"), 0u);
  // Names compare whole: neither a prefix nor a longer name matches.
  EXPECT_EQ(cache.GetProcess(1234, "python"), 0u);
  EXPECT_EQ(cache.GetProcess(1234, "python3.11"), 0u);
  EXPECT_EQ(cache.GetProcess(1234, "Python3"), 0u);
  EXPECT_EQ(cache.GetProcess(1234, "python3"), 4u);
  EXPECT_EQ(cache.Size(), 1u);
}

TEST(ProcessCache, AddOverwritesWithoutCountingANewEntry) {
  BRIXProcessCache cache;
  cache.AddProcess(1234, 4, "python3");
  cache.AddProcess(1234, 8, "bash");
  EXPECT_EQ(cache.GetProcess(1234, "bash"), 8u);
  EXPECT_EQ(cache.GetProcess(1234, "python3"), 0u);
  EXPECT_EQ(cache.Size(), 1u);

  // Overwrites do not advance the prune schedule: 1023 new pids plus many
  // overwrites stay below the first prune.
  for (uint64_t pid = 1; pid < 1023; ++pid) cache.AddProcess(pid + 5000, 1, "x");
  for (int i = 0; i < 2000; ++i) cache.AddProcess(1234, 8, "bash");
  EXPECT_EQ(cache.Size(), 1023u);
  EXPECT_EQ(cache.PruneCount(), 0u);
}

TEST(ProcessCache, StoredTypeZeroReadsBackAsZero) {
  BRIXProcessCache cache;
  cache.AddProcess(77, 0, "ls");
  EXPECT_EQ(cache.Size(), 1u);
  EXPECT_EQ(cache.GetProcess(77, "ls"), 0u);
  // A large index survives intact.
  cache.AddProcess(78, ~0ULL, "sh");
  EXPECT_EQ(cache.GetProcess(78, "sh"), ~0ULL);
}

TEST(ProcessCache, PruneHookEvery1024NewEntriesKeepsEntries) {
  BRIXProcessCache cache;
  for (int i = 0; i < 5; ++i) cache.AddProcess(0, 3, "ignored");
  for (uint64_t pid = 1; pid <= 1023; ++pid) cache.AddProcess(pid, pid, "p");
  EXPECT_EQ(cache.PruneCount(), 0u);
  cache.AddProcess(1024, 1024, "p");
  EXPECT_EQ(cache.PruneCount(), 1u);
  for (uint64_t pid = 1025; pid <= 2047; ++pid) cache.AddProcess(pid, pid, "p");
  EXPECT_EQ(cache.PruneCount(), 1u);
  cache.AddProcess(2048, 2048, "p");
  EXPECT_EQ(cache.PruneCount(), 2u);

  EXPECT_EQ(cache.Size(), 2048u);
  for (uint64_t pid = 1; pid <= 2048; ++pid)
    ASSERT_EQ(cache.GetProcess(pid, "p"), pid) << pid;
}

TEST(ProcessCache, RemoveAndClear) {
  BRIXProcessCache cache;
  EXPECT_EQ(cache.RemoveProcess(42), 0);
  cache.ClearProcessCache();
  EXPECT_EQ(cache.Size(), 0u);

  cache.AddProcess(42, 5, "perl");
  cache.AddProcess(43, 6, "ruby");
  cache.RemoveProcess(99);
  EXPECT_EQ(cache.Size(), 2u);
  cache.RemoveProcess(42);
  EXPECT_EQ(cache.GetProcess(42, "perl"), 0u);
  EXPECT_EQ(cache.GetProcess(43, "ruby"), 6u);
  cache.ClearProcessCache();
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(cache.GetProcess(43, "ruby"), 0u);
}

TEST(ProcessCache, ConcurrentAddsAndLookups) {
  BRIXProcessCache cache;
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 1024;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&cache, t] {
      for (uint64_t i = 1; i <= kPerThread; ++i) {
        const uint64_t pid = t * kPerThread + i;
        cache.AddProcess(pid, pid % 7 + 1, "prog");
        EXPECT_EQ(cache.GetProcess(pid, "prog"), pid % 7 + 1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(cache.Size(), kThreads * kPerThread);
  EXPECT_EQ(cache.PruneCount(), static_cast<uint64_t>(kThreads));
}

}  // namespace
