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

// Every counter in the metrics' order, so that a stray increment shows.
std::vector<uint64_t> All(const Counters& c) {
  return {c.Add,        c.Change,     c.Clear,      c.Hit,      c.Miss,    c.processMiss,
          c.removeHit,  c.removeMiss, c.targetMiss, c.userMiss, c.mapSize, c.maxDepth};
}

const std::string kUser = "alice";
const std::string kProcess = "/usr/bin/bash";
const std::string kTarget = "/usr/local/bin/tool";

TEST(AllowCache, LookupsHitOnlyTheWholeTripleAndCountMissesByLevel) {
  BRIXAllowCache cache;
  cache.AddCacheNode(kUser, kProcess, kTarget);
  cache.AddCacheNode("Alice", "/usr/bin/Bash", "/tmp/Tool");
  const struct {
    std::string user, process, target;
    bool hit;
  } kLookups[] = {
      {kUser, kProcess, kTarget, true},
      {kUser, kProcess, "/other", false},          // target
      {kUser, "/usr/bin/zsh", kTarget, false},     // process
      {"bob", kProcess, kTarget, false},           // user
      {kProcess, kUser, kTarget, false},           // (user, process) swapped
      {"Alice", "/usr/bin/Bash", "/tmp/tool", false},  // keys are case-sensitive
      {"Alice", "/usr/bin/bash", "/tmp/Tool", false},
      {"alice", "/usr/bin/Bash", "/tmp/Tool", false},
      {"Alice", "/usr/bin/Bash", "/tmp/Tool", true},
  };
  for (const auto& l : kLookups)
    EXPECT_EQ(cache.IsCached(l.user, l.process, l.target), l.hit)
        << l.user << " " << l.process << " " << l.target;
  // Add Change Clear Hit Miss processMiss removeHit removeMiss targetMiss
  // userMiss mapSize maxDepth
  EXPECT_EQ(All(cache.GetCounters()), (std::vector<uint64_t>{2, 0, 0, 2, 7, 3, 0, 0, 2, 2, 2, 1}));
}

TEST(AllowCache, AddsCountNewTargetsChangesAndTheDeepestUserSet) {
  BRIXAllowCache cache;
  const struct {
    std::string user, process, target;
    uint64_t add, change, maxDepth, mapSize;
  } kSteps[] = {
      {"u1", kProcess, kTarget, 1, 0, 1, 1},
      {"u1", kProcess, kTarget, 1, 0, 1, 1},  // a duplicate changes nothing
      {"u2", kProcess, kTarget, 1, 1, 2, 1},
      {"u3", kProcess, kTarget, 1, 2, 3, 1},
      // A new process under a cached target is a change with one user.
      {"u1", "/usr/bin/python3", kTarget, 1, 3, 3, 1},
      {"u1", kProcess, "/second", 2, 3, 3, 2},
      // Depth is per target and process, not per target.
      {"u2", "/usr/bin/python3", kTarget, 2, 4, 3, 2},
  };
  for (const auto& s : kSteps) {
    EXPECT_EQ(cache.AddCacheNode(s.user, s.process, s.target), 0);
    const Counters c = cache.GetCounters();
    EXPECT_EQ((std::vector<uint64_t>{c.Add, c.Change, c.maxDepth, c.mapSize}),
              (std::vector<uint64_t>{s.add, s.change, s.maxDepth, s.mapSize}))
        << s.user << " " << s.process << " " << s.target;
  }
  EXPECT_TRUE(cache.IsCached("u2", "/usr/bin/python3", kTarget));
  EXPECT_FALSE(cache.IsCached("u3", "/usr/bin/python3", kTarget));
}

TEST(AllowCache, RemoveDropsATargetAndFlushForgetsEverything) {
  BRIXAllowCache cache;
  cache.AddCacheNode("u1", kProcess, kTarget);
  cache.AddCacheNode("u2", "/usr/bin/zsh", kTarget);
  cache.AddCacheNode("u1", kProcess, "/kept");
  EXPECT_EQ(cache.RemoveCacheNode("/absent"), 0);
  EXPECT_EQ(cache.RemoveCacheNode(kTarget), 0);
  cache.RemoveCacheNode(kTarget);
  EXPECT_FALSE(cache.IsCached("u1", kProcess, kTarget));
  EXPECT_FALSE(cache.IsCached("u2", "/usr/bin/zsh", kTarget));
  EXPECT_TRUE(cache.IsCached("u1", kProcess, "/kept"));
  // Removal leaves Add and Change alone.
  EXPECT_EQ(All(cache.GetCounters()), (std::vector<uint64_t>{2, 1, 0, 1, 2, 0, 1, 2, 2, 0, 1, 1}));
  // The metrics section lists every counter, in this order.
  cJSON* object = cJSON_CreateObject();
  cache.GetMetrics(object);
  std::vector<std::string> shown;
  for (const cJSON* m = cJSON_GetObjectItemCaseSensitive(object, "AllowCache")->child;
       m != nullptr; m = m->next)
    shown.push_back(m->string + ("=" + std::to_string(static_cast<uint64_t>(m->valuedouble))));
  cJSON_Delete(object);
  EXPECT_EQ(shown, (std::vector<std::string>{"Add=2", "Change=1", "Clear=0", "Hit=1", "Miss=2",
                                             "processMiss=0", "removeHit=1", "removeMiss=2",
                                             "targetMiss=2", "userMiss=0", "mapSize=1",
                                             "maxDepth=1"}));

  cache.FlushCache();
  cache.FlushCache();
  EXPECT_FALSE(cache.IsCached("u1", kProcess, "/kept"));
  // Only Clear survives a flush (and the miss just counted).
  EXPECT_EQ(All(cache.GetCounters()), (std::vector<uint64_t>{0, 0, 2, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(AllowCache, FullCacheIsFlushedBeforeTheNextAdd) {
  for (const std::string& next : {std::string("/t/new"), std::string("/t/7")}) {
    BRIXAllowCache cache;
    for (int i = 0; i < 4096; ++i)
      cache.AddCacheNode(kUser, kProcess, "/t/" + std::to_string(i));
    Counters c = cache.GetCounters();
    EXPECT_EQ(c.mapSize, 4096u);  // the 4096th target still fits
    EXPECT_EQ(c.Clear, 0u);
    // The size test comes first, even for a target already cached.
    cache.AddCacheNode("bob", kProcess, next);
    c = cache.GetCounters();
    EXPECT_EQ((std::vector<uint64_t>{c.Clear, c.Add, c.Change, c.mapSize}),
              (std::vector<uint64_t>{1, 1, 0, 1}))
        << next;
    EXPECT_TRUE(cache.IsCached("bob", kProcess, next));
    EXPECT_FALSE(cache.IsCached(kUser, kProcess, "/t/7"));
  }
}

TEST(AllowCache, ConcurrentUseKeepsCountersConsistent) {
  BRIXAllowCache cache;
  constexpr uint64_t kThreads = 4, kTargets = 500;
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&cache, t] {
      const std::string user = "u" + std::to_string(t);
      for (uint64_t i = 0; i < kTargets; ++i) {
        const std::string target = "/t/" + std::to_string(i);
        cache.IsCached(user, kProcess, target);
        cache.AddCacheNode(user, kProcess, target);
        cache.IsCached(user, kProcess, target);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto c = cache.GetCounters();
  EXPECT_EQ(c.Miss, c.targetMiss + c.processMiss + c.userMiss);
  EXPECT_EQ((std::vector<uint64_t>{c.Hit, c.Miss, c.Add, c.Change, c.maxDepth, c.mapSize}),
            (std::vector<uint64_t>{kThreads * kTargets, kThreads * kTargets, kTargets,
                                   (kThreads - 1) * kTargets, kThreads, kTargets}));
}

TEST(ProcessCache, ATypeIsFoundOnlyByItsPidAndWholeImageName) {
  BRIXProcessCache cache;
  cache.AddProcess(0, 4, "python3");  // pid 0 is never kept
  cache.AddProcess(1234, 4, "python3");
  cache.AddProcess(77, 0, "ls");
  cache.AddProcess(78, ~0ULL, "sh");
  const struct {
    uint64_t pid;
    std::string name;
    uint64_t type;
  } kLookups[] = {
      {1234, "python3", 4}, {0, "python3", 0},
      {1234, "", 0},        {1235, "python3", 0},
      // A reused pid runs another image: prefixes, longer names and other
      // cases do not match.
      {1234, "bash", 0},    {1234, "python", 0},
      {1234, "python3.11", 0}, {1234, "Python3", 0},
      {77, "ls", 0},        {78, "sh", ~0ULL},
  };
  for (const auto& l : kLookups)
    EXPECT_EQ(cache.GetProcess(l.pid, l.name), l.type) << l.pid << " " << l.name;
  EXPECT_EQ(cache.Size(), 3u);

  cache.AddProcess(1234, 8, "bash");  // a new image replaces the old
  EXPECT_EQ(cache.GetProcess(1234, "bash"), 8u);
  EXPECT_EQ(cache.GetProcess(1234, "python3"), 0u);
  EXPECT_EQ(cache.Size(), 3u);
  cache.RemoveProcess(99);
  cache.RemoveProcess(1234);
  EXPECT_EQ(cache.GetProcess(1234, "bash"), 0u);
  EXPECT_EQ(cache.Size(), 2u);
  cache.ClearProcessCache();
  EXPECT_EQ(cache.GetProcess(78, "sh"), 0u);
  EXPECT_EQ(cache.Size(), 0u);
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
