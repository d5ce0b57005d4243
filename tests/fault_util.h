// fault_util.h: what the fault tests share: numbered inventory items and
// rulesets, starting the engine with the capturing log, and reading the
// database file back.
#ifndef BRIX_TESTS_FAULT_UTIL_H_
#define BRIX_TESTS_FAULT_UTIL_H_

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "BRIXLogger.h"
#include "Hash.h"
#include "brix.h"
#include "test_util.h"

constexpr uint32_t kLogAll = 15;

// A digest that names its seed in the first four bytes.
inline std::string Digest(uint32_t seed) {
  std::string d(32, '\xa5');
  memcpy(d.data(), &seed, sizeof(seed));
  return d;
}

inline std::string Hex(const std::string& bytes) {
  return Hash::ToHex(reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
}

// An inventory item whose texts it owns; `seed` makes its name and digest
// unique.
class Item {
 public:
  Item(uint32_t seed, uint32_t source = DAL_SOURCE_APPROVED_DRIFT,
       const std::string& folder = "/srv/items/")
      : fileName_("item-" + std::to_string(seed)),
        path_(folder),
        nativePath_(folder + fileName_),
        digest_(Digest(seed)) {
    record_.source = source;
    record_.size = 1000 + seed;
    record_.isAuthorized = 1;
    memcpy(record_.sha256, digest_.data(), 32);
    record_.fileName = fileName_.c_str();
    record_.path = path_.c_str();
    record_.nativePath = nativePath_.c_str();
    record_.ruleset = "";
  }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;

  const ac_db_item_s* record() const { return &record_; }
  const std::string& fileName() const { return fileName_; }

 private:
  std::string fileName_, path_, nativePath_, digest_;
  ac_db_item_s record_{};
};

inline uint32_t Store(uint32_t seed, bool buffered,
               uint32_t source = DAL_SOURCE_APPROVED_DRIFT) {
  Item item(seed, source);
  return store_item(item.record(), buffered ? 1 : 0);
}

// Stores seeds [from, to) buffered; the number of them the engine refused.
inline int StoreRange(uint32_t from, uint32_t to) {
  int refused = 0;
  for (uint32_t seed = from; seed < to; ++seed)
    refused += Store(seed, true) != BRIX_STATUS_SUCCESS;
  return refused;
}

// An execution ruleset of `count` allow rules with digests from `first` on.
inline std::string Ruleset(uint32_t first, uint32_t count) {
  std::string text = "{\"rules\": [";
  for (uint32_t i = 0; i < count; ++i) {
    if (i) text += ",";
    text += "{\"fileName\": \"rule-" + std::to_string(first + i) +
            "\", \"sha256\": \"" + Hex(Digest(first + i)) +
            "\", \"action\": \"allow\"}";
  }
  return text + "]}";
}

// True when a line at `level` was logged whose message contains `text`.
inline bool Logged(unsigned level, const std::string& text) {
  for (const CapturedLog& line : LogCapture::Lines())
    if (line.level == level && line.message.find(text) != std::string::npos)
      return true;
  return false;
}

// Starts the engine with the capturing callback.  The logger keeps its
// first initialisation for the life of the process, so the mask is set
// anew each time.
inline uint32_t StartOn(const std::string& path, uint32_t mask = kLogAll) {
  LogCapture::Clear();
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, mask);
  BRIXLogger::GetInstance()->SetLogMask(mask);
  ac_engine_start_s start = MakeStart(path.c_str(), &LogCapture::Callback, mask);
  return engine_start(&start);
}

// The file name of every inventory row in a database file.
inline std::set<std::string> NamesIn(const std::string& dbPath) {
  const std::vector<std::string> rows = Db(dbPath).Rows("SELECT fileName FROM InventoryItems");
  return {rows.begin(), rows.end()};
}

// Which of "<prefix><first>" to "<prefix><last>" are not among `names`:
// empty when none is missing, else the count and the first one.
inline std::string Missing(const std::set<std::string>& names,
                    const std::string& prefix, uint32_t first, uint32_t last) {
  std::vector<std::string> missing;
  for (uint32_t seed = first; seed <= last; ++seed)
    if (names.count(prefix + std::to_string(seed)) == 0)
      missing.push_back(prefix + std::to_string(seed));
  return missing.empty() ? "" : std::to_string(missing.size()) + " missing, " + missing[0];
}

inline std::string IntegrityOf(const std::string& dbPath) {
  return Db(dbPath).One("PRAGMA integrity_check;");
}

// A shell starting the program of the item that `seed` names (see Item).
inline uint32_t StartItem(uint32_t seed, ac_wrapper_response_s& response) {
  const std::string digest = Digest(seed);
  const std::string name = "/srv/items/item-" + std::to_string(seed);
  ac_wrapper_event_s event{};
  event.type = 23;
  event.isexec = 1;
  event.size = 1000 + seed;
  event.name = name.c_str();
  event.processName = "/usr/bin/bash";
  event.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
  return app_ctl(nullptr, &event, &response);
}

class FaultTest : public EngineTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    // An unprivileged child must be able to reach the files of the test.
    chmod(dir().c_str(), 0755);
    db_ = PathIn("ac.db");
  }

  // A database with `count` items from seed 1 on, written by the engine,
  // which is stopped again.
  void MakeDatabase(const std::string& path, uint32_t count) {
    ASSERT_EQ(StartOn(path, 0), BRIX_STATUS_SUCCESS);
    ASSERT_EQ(StoreRange(1, count + 1), 0);
    ASSERT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
    ASSERT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  }

  std::string db_;  // the database file most tests use
};


#endif  // BRIX_TESTS_FAULT_UTIL_H_
