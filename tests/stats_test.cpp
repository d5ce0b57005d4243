// Tests of BRIXStats on private instances: general and keyed counters, and
// the metrics document with its member order and buffer protocol.
#include <cjson/cJSON.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "BRIXEventAbstraction.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

// "k000" to "k149": keys whose byte order is their numeric order.
std::string Key(int i) {
  return "k" + std::string(i < 10 ? 2 : i < 100 ? 1 : 0, '0') + std::to_string(i);
}

// The metrics text, fetched with the two-call buffer protocol.
std::string MetricsText(BRIXStats& stats) {
  unsigned length = 0;
  EXPECT_EQ(stats.GetMetrics(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  std::vector<char> buffer(length);
  EXPECT_EQ(stats.GetMetrics(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  return std::string(buffer.data());
}

// The "metrics" object of a parsed document.
const cJSON* Metrics(const JsonPtr& root) {
  const cJSON* m = cJSON_GetObjectItemCaseSensitive(root.get(), "metrics");
  EXPECT_TRUE(cJSON_IsObject(m));
  return m;
}

TEST(StatsCounters, ConcurrentIncrementsAreAllCounted) {
  BRIXStats stats;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stats] {
      for (int i = 0; i < kPerThread; ++i) {
        stats.Inc("RunAllowedRule");
        stats.IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "so");
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(stats.Get("RunAllowedRule"), kThreads * kPerThread);
  EXPECT_EQ(stats.GetType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "so"),
            kThreads * kPerThread);
}

TEST(StatsTyped, IncSetGetPerTypeAndIgnoredKeys) {
  BRIXStats stats;
  stats.IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "so");
  stats.IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "so");
  stats.IncType(BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION, "so");
  stats.SetType(BRIX_STATS_RULESET, "agent", 7);
  stats.IncType(BRIX_STATS_RULESET, "agent");
  EXPECT_EQ(stats.GetType(1, "so"), 2);
  EXPECT_EQ(stats.GetType(2, "so"), 1);
  EXPECT_EQ(stats.GetType(3, "so"), 0);
  EXPECT_EQ(stats.GetType(3, "agent"), 8);
  EXPECT_EQ(stats.GetType(1, "agent"), 0);
  // The typed maps are separate from the general counters.
  EXPECT_EQ(stats.Get("so"), 0);
  // GetType narrows to 32 bits.
  stats.SetType(BRIX_STATS_RULESET, "big", (1L << 32) + 5);
  EXPECT_EQ(stats.GetType(BRIX_STATS_RULESET, "big"), 5);

  // Unknown types and empty names are ignored.
  BRIXStats empty;
  for (int type : {0, 4, -1, 100}) {
    empty.IncType(type, "x");
    empty.SetType(type, "x", 9);
    EXPECT_EQ(empty.GetType(type, "x"), 0) << type;
    empty.ClearType(type, "");
  }
  for (int type : {1, 2, 3}) {
    empty.IncType(type, "");
    empty.SetType(type, "", 9);
    EXPECT_EQ(empty.GetType(type, ""), 0) << type;
  }
}

TEST(StatsTyped, ClearTypeWithPrefix) {
  BRIXStats stats;
  const char* const kKeys[] = {"trustA", "trust", "trustzz", "Trust", "xtrust", "trus", "rulesetA"};
  for (const char* key : kKeys) stats.SetType(BRIX_STATS_RULESET, key, 1);
  stats.SetType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "trustA", 1);
  auto kept = [&] {
    std::string out;
    for (const char* key : kKeys)
      if (stats.GetType(BRIX_STATS_RULESET, key) != 0) out += std::string(key) + " ";
    return out;
  };
  stats.ClearType(BRIX_STATS_RULESET, "trust");
  EXPECT_EQ(kept(), "Trust xtrust trus rulesetA ");
  stats.ClearType(BRIX_STATS_RULESET, "ruleset");
  EXPECT_EQ(kept(), "Trust xtrust trus ");
  stats.ClearType(BRIX_STATS_RULESET, "");
  EXPECT_EQ(kept(), "");
  // Other typed maps are untouched.
  EXPECT_EQ(stats.GetType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "trustA"), 1);
}

TEST(StatsMetrics, MemberOrderWithoutEngine) {
  ASSERT_EQ(BRIXEngine::GetEngine(), nullptr);
  BRIXStats stats;
  // Inserted out of order; listed in ascending byte order.
  for (const char* name : {"b", "a", "_x", "Z", "A", "RunProgram"})
    stats.Inc(name);
  stats.Set("a", 3);
  stats.Inc("b");
  stats.Set("big", 1L << 40);
  EXPECT_EQ(stats.Get("b"), 2);
  EXPECT_EQ(stats.Get("B"), 0);  // names are case-sensitive
  EXPECT_EQ(stats.Get("big"), 1L << 40);
  // An empty name is taken by Set, ignored by Inc, and sorts first.
  stats.Set("", 5);
  stats.Inc("");
  // Reading a counter does not create it.
  EXPECT_EQ(stats.Get("NeverTouched"), 0);
  stats.IncType(BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION, "inv");
  stats.IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "drift");
  stats.IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "drift");
  stats.SetType(BRIX_STATS_RULESET, "agent", 12);

  const std::string text = MetricsText(stats);
  // Printed without formatting.
  EXPECT_EQ(text.find_first_of(" \n\t"), std::string::npos) << text;
  const JsonPtr root = ParseJson(text);
  EXPECT_EQ(JsonMemberNames(root.get()), std::vector<std::string>{"metrics"});
  const cJSON* metrics = Metrics(root);
  const std::vector<std::string> expected = {
      "ACVersion", "", "A", "RunProgram", "Z", "_x", "a", "b", "big",
      "InventoryUnknownExtensons", "DriftUnknownExtensions", "rulesets",
      "trustrules_stats", "dbinfo"};
  EXPECT_EQ(JsonMemberNames(metrics), expected);
  EXPECT_EQ(JsonText(metrics, "ACVersion"), "12.0.178");
  EXPECT_EQ(JsonNumber(metrics, ""), 5);
  EXPECT_EQ(JsonNumber(metrics, "a"), 3);
  EXPECT_EQ(JsonNumber(metrics, "b"), 2);
  EXPECT_EQ(JsonNumber(cJSON_GetObjectItemCaseSensitive(metrics, "InventoryUnknownExtensons"), "inv"), 1);
  EXPECT_EQ(JsonNumber(cJSON_GetObjectItemCaseSensitive(metrics, "DriftUnknownExtensions"), "drift"), 2);
  EXPECT_EQ(JsonNumber(cJSON_GetObjectItemCaseSensitive(metrics, "rulesets"), "agent"), 12);
  EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(metrics, "trustrules_stats")));
  EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItemCaseSensitive(metrics, "dbinfo")));
}

TEST(StatsMetrics, TypedSectionsListTheSmallest100Keys) {
  BRIXStats stats;
  // 150 keys per map, inserted from the largest down.
  for (int i = 149; i >= 0; --i)
    for (int type : {1, 2, 3}) stats.SetType(type, Key(i), i);
  // Upper case sorts before lower case in byte order.
  stats.SetType(BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION, "Z", 1000);

  const JsonPtr root = ParseJson(MetricsText(stats));
  const cJSON* metrics = Metrics(root);
  for (const char* section :
       {"InventoryUnknownExtensons", "DriftUnknownExtensions", "rulesets"}) {
    const cJSON* s = cJSON_GetObjectItemCaseSensitive(metrics, section);
    const auto names = JsonMemberNames(s);
    ASSERT_EQ(names.size(), 100u) << section;
    const bool withZ = std::string(section) == "InventoryUnknownExtensons";
    std::vector<std::string> expected;
    if (withZ) expected.push_back("Z");
    for (int i = 0; expected.size() < 100; ++i) expected.push_back(Key(i));
    EXPECT_EQ(names, expected) << section;
    EXPECT_EQ(JsonNumber(s, "k042"), 42) << section;
  }
}

TEST(StatsMetrics, BufferProtocol) {
  BRIXStats stats;
  stats.Inc("RunProgram");

  unsigned length = 0;
  EXPECT_EQ(stats.GetMetrics(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  const std::string text = MetricsText(stats);
  ASSERT_EQ(length, text.size() + 1);
  const unsigned needed = length;

  // One byte short: refused, size reported, nothing copied.
  std::vector<char> buffer(needed + 16, '#');
  length = needed - 1;
  EXPECT_EQ(stats.GetMetrics(buffer.data(), &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(),
                          [](char c) { return c == '#'; }));

  // Zero length with a buffer: refused as well.
  length = 0;
  EXPECT_EQ(stats.GetMetrics(buffer.data(), &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);

  // Exact size: copied with its NUL.
  length = needed;
  EXPECT_EQ(stats.GetMetrics(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(std::string(buffer.data(), needed - 1), text);
  EXPECT_EQ(buffer[needed - 1], '\0');
  EXPECT_EQ(buffer[needed], '#');

  // A larger buffer: *length reports the bytes written.
  length = needed + 16;
  EXPECT_EQ(stats.GetMetrics(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(length, needed);

  EXPECT_EQ(stats.GetMetrics(buffer.data(), nullptr), BRIX_STATUS_NULL_LENGTH);
  EXPECT_EQ(stats.GetMetrics(nullptr, nullptr), BRIX_STATUS_NULL_LENGTH);
}

// The allow cache's own section (tested with the cache) is listed only
// while an engine exists.
TEST(StatsMetrics, AllowCacheSectionWhileAnEngineExists) {
  BRIXStats stats;
  auto engine = std::make_unique<BRIXEngine>();
  std::string user = "root", process = "/bin/bash", target = "/usr/bin/ls";
  engine->GetAllowCache().AddCacheNode(user, process, target);
  {
    const JsonPtr root = ParseJson(MetricsText(stats));
    const cJSON* metrics = Metrics(root);
    EXPECT_EQ(JsonMemberNames(metrics),
              (std::vector<std::string>{"ACVersion", "InventoryUnknownExtensons",
                                        "DriftUnknownExtensions", "rulesets",
                                        "trustrules_stats", "AllowCache", "dbinfo"}));
    EXPECT_EQ(JsonNumber(cJSON_GetObjectItemCaseSensitive(metrics, "AllowCache"), "Add"), 1);
  }
  engine.reset();
  const JsonPtr root = ParseJson(MetricsText(stats));
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(Metrics(root), "AllowCache"), nullptr);
}

}  // namespace
