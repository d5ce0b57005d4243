// The engine under load from many host threads at once: threads deciding
// events while others import rulesets, store and flush items, read the
// metrics, export the inventory and purge sources.  The run must end
// without a crash, a deadlock or (in the ThreadSanitizer build, which runs
// every test named "Concurren...") a data race, with every verdict that the
// rules fix still right, and with every acknowledged write in the file.
//
// "Acknowledged" is exact here.  Every call is stamped on one logical clock
// before and after it runs.  A direct store_item is acknowledged when it
// returns success; a buffered one when a flush_db_buffer that started after
// it returned success.  Such an item must be in the file at the end unless
// a purge of its source may have run after it was written: it must be there
// when every purge of its source ended before its store_item began, and it
// must be gone when one began after the acknowledgement.  Items in between
// are left unchecked.
//
// purge_db(0) deletes the file and creates it anew.  It is not run while
// other calls are in flight: an operation that holds the connection at that
// moment keeps it open on the removed file, and what is written through it
// is lost.  Like engine_stop, it is for a quiet moment; the test runs it
// between two bursts of load and checks both sides.
#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brix.h"
#include "fault_util.h"
#include "test_util.h"

namespace {

// --- The logical clock and what the threads record -----------------------------

std::atomic<uint64_t> g_clock{1};
uint64_t Tick() { return g_clock.fetch_add(1, std::memory_order_seq_cst); }

struct StoreRecord {
  uint32_t seed;
  uint32_t source;
  bool buffered;
  bool succeeded;
  uint64_t start, end;
};

struct CallRecord {
  uint64_t start, end;
  bool succeeded;
};

// Problems seen on worker threads, reported by the main thread: empty when
// there were none, else their number and the first twenty.
class Problems {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_++ < 20) text_ += "  " + what + "\n";
  }
  std::string Report() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ == 0 ? "" : std::to_string(count_) + " problems:\n" + text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
  size_t count_ = 0;
};

constexpr uint32_t kAllowedSeed = 0xA0000001;
constexpr uint32_t kRuleSeed = 0xC0000000;
constexpr uint32_t kRulesPerImport = 1100;  // one more than a buffer holds
constexpr int kRuleFiles = 16;
constexpr int kDriftFiles = 8;
constexpr const char* kItemFolder = "/srv/stress/items/";

// How much each thread does in one burst.
struct Load {
  int deciders = 3;
  int decisionsPerDecider = 140;
  int storers = 2;
  int itemsPerStorer = 300;
  int imports = 4;
  int purges = 12;
  int reads = 15;
};

// --- One burst of load ----------------------------------------------------------

class Workload {
 public:
  Workload(const std::string& dir, uint32_t seedBase, Problems& problems)
      : dir_(dir), seedBase_(seedBase), problems_(problems) {}

  // The maintenance window: open since an hour ago, so the files the test
  // writes are approved by their time.
  static uint32_t SetModes() {
    const uint64_t now = GetCurrentTimeInMillisForTest();
    return set_config(BRIX_MODE_AUTO_AUTHORIZE | BRIX_MODE_INVENTORY_EXISTS,
                      now - 3600 * 1000, ~0ULL);
  }

  // The files the events name, and the rulesets every burst starts from.
  void Prepare() {
    std::filesystem::create_directories(dir_ + "/programs/banned");
    std::filesystem::create_directories(dir_ + "/drift");
    WriteFileAt(dir_ + "/programs/agent-ok", "ok", 0755);
    WriteFileAt(dir_ + "/programs/banned/tool", "banned", 0755);
    for (int k = 0; k < kRuleFiles; ++k)
      WriteFileAt(dir_ + "/programs/rule-" + std::to_string(k), "rule", 0755);
    for (int k = 0; k < kDriftFiles; ++k)
      WriteFileAt(dir_ + "/drift/file-" + std::to_string(k), "drift", 0755);
    Expect("manifest", set_ruleset_buffer(false, Manifest().c_str(),
                                          "Stress-Agent-Manifest"));
    Expect("execution ruleset",
           set_ruleset_buffer(false, ExecutionRuleset().c_str(),
                              "stress-execution"));
    Expect("trust ruleset", set_ruleset_buffer(false, TrustRuleset().c_str(),
                                               "stress-trustrules"));
  }

  void Run(const Load& load) {
    std::vector<std::thread> threads;
    stores_.assign(load.storers, {});
    flushes_.assign(load.storers, {});
    for (int t = 0; t < load.deciders; ++t)
      threads.emplace_back([this, t, &load] { Decide(t, load.decisionsPerDecider); });
    for (int t = 0; t < load.storers; ++t)
      threads.emplace_back([this, t, &load] { StoreItems(t, load.itemsPerStorer); });
    threads.emplace_back([this, &load] { Import(load.imports); });
    threads.emplace_back([this, &load] { Purge(load.purges); });
    threads.emplace_back([this, &load] { Read(load.reads); });
    for (std::thread& t : threads) t.join();
  }

  // One more flush from the (now only) calling thread, so that every item
  // the workers stored is acknowledged.  The workers' own last flushes may
  // have left the buffer empty, and a flush of nothing reports failure: a
  // sentinel item, under a seed no worker uses, makes sure there is
  // something to write.
  void FinalFlush() {
    const Item sentinel(seedBase_ + 0xfffff, DAL_SOURCE_APPROVED_DRIFT, "/srv/stress/");
    Expect("store_item of the sentinel", store_item(sentinel.record(), 1));
    const uint64_t start = Tick();
    const uint32_t status = flush_db_buffer();
    finalFlush_ = {start, Tick(), status == BRIX_STATUS_SUCCESS};
    Expect("the last flush", status);
  }

  // Checks the stored items against the names in the file.  Counts what
  // had to be there and what had to be gone.
  void CheckItems(const std::set<std::string>& names, size_t& mustBeThere,
                  size_t& mustBeGone) {
    std::vector<CallRecord> flushes;
    for (const auto& list : flushes_)
      for (const CallRecord& f : list)
        if (f.succeeded) flushes.push_back(f);
    if (finalFlush_.succeeded) flushes.push_back(finalFlush_);

    for (const auto& list : stores_) {
      for (const StoreRecord& item : list) {
        if (!item.succeeded) continue;
        uint64_t acknowledged = 0;
        if (!item.buffered) {
          acknowledged = item.end;
        } else {
          for (const CallRecord& f : flushes)
            if (f.start > item.end &&
                (acknowledged == 0 || f.end < acknowledged))
              acknowledged = f.end;
        }
        if (acknowledged == 0) continue;  // never acknowledged

        bool purgedBefore = true, purgedAfter = false;
        if (item.source == DAL_SOURCE_SCANNED_ITEMS) {
          for (const CallRecord& p : scannedPurges_) {
            if (p.end > item.start) purgedBefore = false;
            if (p.start > acknowledged) purgedAfter = true;
          }
        }
        const std::string name = ItemName(item.seed);
        const bool present = names.count(name) != 0;
        if (purgedAfter) {
          ++mustBeGone;
          if (present) problems_.Add(name + " survived a purge of its source");
        } else if (purgedBefore) {
          ++mustBeThere;
          if (!present)
            problems_.Add(name + " (source " + std::to_string(item.source) +
                          ", acknowledged at " + std::to_string(acknowledged) +
                          ") is missing");
        }
      }
    }
  }

  // Every item this burst tried to store, whatever became of it.
  std::vector<std::string> AllItemNames() const {
    std::vector<std::string> names;
    for (const auto& list : stores_)
      for (const StoreRecord& item : list) names.push_back(ItemName(item.seed));
    return names;
  }

 private:
  static std::string ItemName(uint32_t seed) {
    return "item-" + std::to_string(seed);
  }

  void Expect(const std::string& what, uint32_t status,
              uint32_t expected = BRIX_STATUS_SUCCESS) {
    if (status != expected)
      problems_.Add(what + " returned " + StatusHex(status) + ", not " +
                    StatusHex(expected));
  }

  static std::string Manifest() {
    return "{\"rules\": [{\"fileName\": \"agent-ok\", \"sha256\": \"" +
           Hex(Digest(kAllowedSeed)) + "\", \"action\": \"allow\"}]}";
  }

  static std::string ExecutionRuleset() {
    std::string text = "{\"rules\": [";
    for (uint32_t k = 0; k < kRulesPerImport; ++k) {
      if (k) text += ",";
      text += "{\"fileName\": \"rule-" + std::to_string(k) +
              "\", \"sha256\": \"" + Hex(Digest(kRuleSeed + k)) +
              "\", \"action\": \"" + (k % 2 ? "block" : "allow") + "\"}";
    }
    return text + "]}";
  }

  // A block rule for one folder, a trusted updater, and rules that match
  // nothing the test does; trust type 0 (every kind) is avoided so that no
  // rule excludes the stored items.
  std::string TrustRuleset() const {
    std::string text = "{\"Trustrules\": [{\"paths\": \"" + dir_ +
                       "/programs/banned/\", \"trustType\": 4}, "
                       "{\"processName\": \"/usr/bin/make\", \"trustType\": 1, "
                       "\"userList\": \"devs\"}";
    for (int k = 0; k < 18; ++k)
      text += ", {\"paths\": \"/nowhere/" + std::to_string(k) +
              "/**\", \"trustType\": 2}";
    return text +
           "], \"Userlists\": [{\"id\": \"devs\", \"users\": [\"alice\", "
           "\"bob\"]}]}";
  }

  // Seven kinds of events in turn.  Only the manifest's program has a
  // fixed verdict: the manifest is only ever appended to during a burst.
  // Everything else may meet a ruleset half imported or purged, so it may
  // go either way; but the status must always agree with the response.
  void Decide(int decider, int count) {
    const std::string okPath = dir_ + "/programs/agent-ok";
    const std::string bannedPath = dir_ + "/programs/banned/tool";
    const std::string allowed = Digest(kAllowedSeed);
    for (int i = 0; i < count; ++i) {
      const int kind = i % 7;
      const std::string fresh = Digest(seedBase_ + 0x800000 + decider * 0x10000 + i);
      // Even rules allow, odd ones block.
      const int ruleIndex = (i / 7 * 2 + (kind == 3 ? 1 : 0)) % kRuleFiles;
      const std::string rule = Digest(kRuleSeed + ruleIndex);
      const std::string rulePath = dir_ + "/programs/rule-" + std::to_string(ruleIndex);
      const std::string driftPath =
          dir_ + "/drift/file-" + std::to_string((i + decider) % kDriftFiles);
      ac_wrapper_event_s event{};
      event.pid = 1000 + decider;
      event.type = kind == 1 ? 0 : kind == 4 ? 36 : 23;  // 1: from the allow cache
      event.isexec = 1;
      event.size = 5;
      event.dirty = kind == 4;  // drift, approved in the maintenance window
      event.processName = kind == 4 ? "/usr/bin/cp" : "/usr/bin/bash";
      event.user = "alice";
      event.group = "staff";
      // 0, 1: the manifest's program; 2, 3: execution rules that allow and
      // block; 5: an unknown program, approved by its file time; 6: in a
      // folder that a trust rule blocks.
      const std::string& digest = kind <= 1 ? allowed : kind <= 3 ? rule : fresh;
      const std::string& target = kind <= 1   ? okPath
                                  : kind <= 3 ? rulePath
                                  : kind == 6 ? bannedPath
                                              : driftPath;
      event.name = target.c_str();
      event.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
      ac_wrapper_response_s response{};
      const uint32_t status = app_ctl(nullptr, &event, &response);
      const bool blocked = response.action == BRIX_ACTION_BLOCK;
      // A start answered from the cache (kind 1) carries no decision.
      const bool fixed = kind == 0 ? status == BRIX_STATUS_SUCCESS && response.decision == 1 &&
                                         response.source == DAL_SOURCE_AGENT_RULES
                         : kind == 1 || kind == 4 || kind == 5 ? status == BRIX_STATUS_SUCCESS
                                                               : true;
      if ((status == BRIX_STATUS_BLOCK) != blocked ||
          (status != BRIX_STATUS_BLOCK && status != BRIX_STATUS_SUCCESS) || !fixed)
        problems_.Add("event kind " + std::to_string(kind) + " on " + target +
                      ": status " + StatusHex(status) + ", action " +
                      std::to_string(response.action) + ", decision " +
                      std::to_string(response.decision));
    }
  }

  // Scanned items (purged now and then) and approved drift (never purged),
  // mostly buffered, every tenth stored at once; the two storers flush at
  // different rates.
  void StoreItems(int storer, int count) {
    const int flushEvery = storer == 0 ? 37 : 150;
    std::vector<StoreRecord>& records = stores_[storer];
    std::vector<CallRecord>& flushes = flushes_[storer];
    records.reserve(count);
    for (int i = 0; i < count; ++i) {
      const uint32_t seed = seedBase_ + storer * 0x10000 + i;
      const uint32_t source = i % 2 ? DAL_SOURCE_SCANNED_ITEMS : DAL_SOURCE_APPROVED_DRIFT;
      const Item item(seed, source, kItemFolder);
      const bool buffered = i % 10 != 9;

      const uint64_t start = Tick();
      const uint32_t status = store_item(item.record(), buffered ? 1 : 0);
      records.push_back({seed, source, buffered, status == BRIX_STATUS_SUCCESS, start, Tick()});
      Expect("store_item of " + item.fileName(), status);

      if (i % flushEvery == flushEvery - 1) {
        const uint64_t flushStart = Tick();
        // Another thread's flush may have emptied the buffer first; that
        // is reported as a failure, and acknowledges nothing.
        const uint32_t flushed = flush_db_buffer();
        flushes.push_back(
            {flushStart, Tick(), flushed == BRIX_STATUS_SUCCESS});
      }
    }
  }

  // Rulesets replaced and appended, from buffers and from a file.
  void Import(int count) {
    const std::string execution = ExecutionRuleset();
    const std::string trust = TrustRuleset();
    const std::string manifest = Manifest();
    const std::string file = dir_ + "/append-ruleset.json";
    std::ofstream(file) << "{\"rules\": [{\"sha256\": \"" +
                               Hex(Digest(kRuleSeed + 5000)) +
                               "\", \"action\": \"allow\"}]}";
    for (int i = 0; i < count; ++i) {
      Expect("execution ruleset",
             set_ruleset_buffer(false, execution.c_str(), "stress-execution"));
      Expect("trust ruleset",
             set_ruleset_buffer(i % 2 != 0, trust.c_str(), "stress-trustrules"));
      Expect("manifest",
             set_ruleset_buffer(true, manifest.c_str(), "Stress-Agent-Manifest"));
      Expect("appended ruleset", set_ruleset(true, file.c_str(), "stress-more"));
    }
  }

  // Execution rules, scanned items and trust rules in turn.
  void Purge(int count) {
    const DALSource sources[] = {DAL_SOURCE_EXECUTION_RULES,
                                 DAL_SOURCE_SCANNED_ITEMS,
                                 DAL_SOURCE_TRUST_RULES};
    for (int i = 0; i < count; ++i) {
      const DALSource source = sources[i % 3];
      const uint64_t start = Tick();
      const uint32_t status = purge_db(source);
      const uint64_t end = Tick();
      if (source == DAL_SOURCE_SCANNED_ITEMS)
        scannedPurges_.push_back({start, end, status == BRIX_STATUS_SUCCESS});
      Expect("purge_db(" + std::to_string(source) + ")", status);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }

  // Metrics through the buffer protocol, and pages of three sources; the
  // modes are set again now and then, as a host does when its policy
  // arrives.
  void Read(int count) {
    for (int i = 0; i < count; ++i) {
      ReadMetrics();
      const DALSource sources[] = {DAL_SOURCE_ALL, DAL_SOURCE_SCANNED_ITEMS,
                                   DAL_SOURCE_TRUST_RULES};
      for (DALSource source : sources) ReadPage(source);
      if (i % 10 == 0) Expect("set_config", SetModes());
    }
  }

  void ReadMetrics() {
    uint32_t length = 0;
    uint32_t status = get_metrics_mem(nullptr, &length);
    // Under load the document grows between the two calls (counters gain
    // digits): leave room, as a host does, and ask again if it was not
    // enough.
    std::vector<char> buffer;
    for (int attempt = 0; attempt < 5 && status == BRIX_STATUS_BUFFER_TOO_SMALL; ++attempt) {
      buffer.assign(length + 4096, '\0');
      length = static_cast<uint32_t>(buffer.size());
      status = get_metrics_mem(buffer.data(), &length);
    }
    const JsonPtr root(status == BRIX_STATUS_SUCCESS ? cJSON_Parse(buffer.data()) : nullptr,
                       &cJSON_Delete);
    if (!cJSON_IsObject(cJSON_GetObjectItem(root.get(), "metrics")))
      problems_.Add("metrics returned " + StatusHex(status) + ", not a document");
  }

  // The page is written under the lock, whole: every line is complete and
  // the ids ascend.
  void ReadPage(DALSource source) {
    const std::string payload = dir_ + "/page-" + std::to_string(seedBase_) +
                                "-" + std::to_string(source) + ".json";
    const std::string what = "page of source " + std::to_string(source);
    const uint32_t status = get_inventory(0, 100000, source, payload.c_str(), "stress");
    if (status != BRIX_STATUS_SUCCESS) return problems_.Add(what + ": " + StatusHex(status));
    const std::string text = ReadFile(payload);
    const char* idKey = source == DAL_SOURCE_TRUST_RULES ? "trustRuleId" : "inventoryItemId";
    double lastId = 0;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
      if ((end = text.find("\r\n", start)) == std::string::npos)
        return problems_.Add(what + " ends in a partial line");
      const JsonPtr row(cJSON_Parse(text.substr(start, end - start).c_str()), &cJSON_Delete);
      const cJSON* id = cJSON_GetObjectItem(row.get(), idKey);
      const cJSON* rowSource = cJSON_GetObjectItem(row.get(), "source");
      if (!cJSON_IsNumber(id) || id->valuedouble <= lastId)
        problems_.Add(what + " has a bad line");
      else if (source == DAL_SOURCE_SCANNED_ITEMS &&
               (!cJSON_IsNumber(rowSource) || rowSource->valueint != 3))
        problems_.Add(what + " holds another source");
      else
        lastId = id->valuedouble;
    }
  }

 private:
  const std::string dir_;
  const uint32_t seedBase_;
  Problems& problems_;
  std::vector<std::vector<StoreRecord>> stores_;
  std::vector<std::vector<CallRecord>> flushes_;
  std::vector<CallRecord> scannedPurges_;  // written by the purger only
  CallRecord finalFlush_{0, 0, false};
};

// --- The tests --------------------------------------------------------------------

class StressTest : public EngineTest {
 protected:
  // Drift in the system's temporary folders is ignored; the load needs a
  // folder whose changes count.
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void Start() {
    db_ = PathIn("ac.db");
    ASSERT_EQ(StartOn(db_, BRIX_LOG_WARNING | BRIX_LOG_ERROR), BRIX_STATUS_SUCCESS);
    ASSERT_EQ(Workload::SetModes(), BRIX_STATUS_SUCCESS);
    LogCapture::Clear();  // the start reports the new schema at ERROR
  }

  // Warnings and errors the engine logged, but for the blocks it reports;
  // nothing else is expected under load.
  static std::string LoggedProblems() {
    std::string text;
    for (const CapturedLog& line : LogCapture::Lines())
      if (line.level != BRIX_LOG_WARNING ||
          line.message.rfind("Blocking event: ", 0) != 0)
        text += "  " + line.function + ": " + line.message + "\n";
    return text;
  }

  std::string db_;
  Problems problems_;
};

// Two bursts of load, the second after a full purge.
TEST_F(StressTest, ConcurrentHostCallsKeepEveryAcknowledgedWriteAroundAFullPurge) {
  Start();
  Workload before(dir(), 0x20000000, problems_);
  before.Prepare();
  before.Run(Load{});
  before.FinalFlush();
  // Quiet now: everything acknowledged is in the file, as another
  // connection reads it.
  size_t mustBeThere = 0, mustBeGone = 0;
  before.CheckItems(NamesIn(db_), mustBeThere, mustBeGone);
  // Half of the items are approved drift, which nothing purges.
  EXPECT_GE(mustBeThere, Load{}.storers * Load{}.itemsPerStorer / 2u);
  ASSERT_EQ(problems_.Report(), "");
  EXPECT_EQ(LoggedProblems(), "");
  // The manifest was only ever appended to.
  EXPECT_NE(Db(db_).One("SELECT count(*) FROM InventoryItems WHERE source = 1"), "0");

  // Delete the file and start over, with no other call in flight.
  ASSERT_EQ(purge_db(DAL_SOURCE_ALL), BRIX_STATUS_SUCCESS);
  LogCapture::Clear();  // the rebuild reports the closing and the schema
  EXPECT_EQ(Db(db_).One("SELECT user_version, (SELECT count(*) FROM InventoryItems), "
                        "(SELECT count(*) FROM TrustRules) FROM pragma_user_version"),
            "15|0|0");

  Workload after(dir(), 0x30000000, problems_);
  after.Prepare();
  after.Run(Load{});
  after.FinalFlush();
  EXPECT_EQ(LoggedProblems(), "");
  ASSERT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);

  const std::set<std::string> names = NamesIn(db_);
  mustBeThere = mustBeGone = 0;
  after.CheckItems(names, mustBeThere, mustBeGone);
  EXPECT_GT(mustBeThere, 0u);
  for (const std::string& name : before.AllItemNames())
    if (names.count(name) != 0) problems_.Add(name + " outlived the full purge");
  EXPECT_EQ(problems_.Report(), "");
  EXPECT_EQ(IntegrityOf(db_), "ok");
}

}  // namespace
