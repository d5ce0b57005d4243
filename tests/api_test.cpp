// Tests of the exported C functions.  Each test runs in a process of its
// own (ctest), so the engine's singletons start fresh every time.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "BRIX.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

class ApiTest : public EngineTest {
 protected:
  // Starts the engine on "test.db" with the capturing callback.
  void Start(uint32_t mask = 15) {
    LogCapture::Clear();
    ac_engine_start_s s = MakeStart("test.db", &LogCapture::Callback, mask);
    ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  }

  static ac_wrapper_event_s Event(uint32_t type, const char* name) {
    ac_wrapper_event_s e{};
    e.pid = 4242;
    e.type = type;
    e.name = name;
    return e;
  }

  // Inventory exists, ruleset exists, allow list being built, lockdown, auto-authorise.
  static std::vector<bool> Modes() {
    return {config.GetInventoryExists(), config.GetRulesetExists(), config.GetWhitelistInventory(),
            config.GetLockdown(), config.GetInventoryAutoAuthorize()};
  }

  static uint64_t Stored(const char* name) {
    uint64_t value = 0;
    EXPECT_TRUE(BRIXDAL::GetDAL()->GetAppControlState(name, value)) << name;
    return value;
  }
};

ac_db_item_s CompleteItem() {
  ac_db_item_s item{};
  item.fileName = "ls";
  item.path = "/usr/bin/";
  item.nativePath = "/usr/bin/ls";
  item.ruleset = "";
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  return item;
}

struct Call {
  const char* what;
  std::function<uint32_t()> call;
  uint32_t status;
};

void ExpectStatuses(const std::vector<Call>& calls) {
  for (const Call& c : calls) EXPECT_EQ(c.call(), c.status) << c.what;
}

}  // namespace

// --- Status codes ------------------------------------------------------------

TEST_F(ApiTest, ArgumentsAndTheEngineAreCheckedInAFixedOrder) {
  static ac_wrapper_event_s event = Event(23, "/usr/bin/ls");
  static ac_wrapper_response_s response{};
  static uint32_t length = 0;
  static ac_db_item_s item = CompleteItem(), empty{};
  // Before engine_start; store_item and set_ruleset test the engine before
  // their pointers.
  ExpectStatuses({
      {"null event", [] { return app_ctl(nullptr, nullptr, &response); }, BRIX_STATUS_NULL_EVENT},
      {"null rules", [] { return set_ruleset_buffer(0, nullptr, "n"); }, BRIX_STATUS_NULL_RULESET},
      {"null name", [] { return set_ruleset_buffer(0, "{}", nullptr); }, BRIX_STATUS_NULL_RULESET},
      {"null payload", [] { return get_inventory(0, 1, DAL_SOURCE_ALL, nullptr, ""); },
       BRIX_STATUS_BAD_PATH},
      {"null start", [] { return engine_start(nullptr); }, BRIX_STATUS_NULL_START_RECORD},
      {"app_ctl", [] { return app_ctl(nullptr, &event, &response); }, BRIX_STATUS_NOT_STARTED},
      {"set_config", [] { return set_config(1, 0, 0); }, BRIX_STATUS_NOT_STARTED},
      {"set_loglevel", [] { return set_loglevel(15); }, BRIX_STATUS_NOT_STARTED},
      {"metrics", [] { return get_metrics_mem(nullptr, &length); }, BRIX_STATUS_NOT_STARTED},
      {"no length", [] { return get_metrics_mem(nullptr, nullptr); }, BRIX_STATUS_NOT_STARTED},
      {"delete_db", [] { return delete_db(); }, BRIX_STATUS_NOT_STARTED},
      {"purge_db", [] { return purge_db(DAL_SOURCE_ALL); }, BRIX_STATUS_NOT_STARTED},
      {"flush", [] { return flush_db_buffer(); }, BRIX_STATUS_NOT_STARTED},
      {"store_item", [] { return store_item(&item, 0); }, BRIX_STATUS_NOT_STARTED},
      {"empty item", [] { return store_item(&empty, 1); }, BRIX_STATUS_NOT_STARTED},
      {"null path", [] { return set_ruleset(false, nullptr, nullptr); }, BRIX_STATUS_NOT_STARTED},
      {"rules", [] { return set_ruleset_buffer(1, "{}", "r"); }, BRIX_STATUS_NOT_STARTED},
      {"inventory", [] { return get_inventory(0, 1, DAL_SOURCE_ALL, "o", ""); },
       BRIX_STATUS_NOT_STARTED},
      {"engine_stop", [] { return engine_stop(); }, BRIX_STATUS_SUCCESS},
  });

  Start();
  static ac_db_item_s noName = CompleteItem(), noPath = CompleteItem(),
                      noNative = CompleteItem(), noRuleset = CompleteItem();
  noName.fileName = noPath.path = noNative.nativePath = noRuleset.ruleset = nullptr;
  const uint32_t kIncomplete = BRIX_STATUS_INCOMPLETE_ITEM;
  ExpectStatuses({
      {"no file name", [] { return store_item(&noName, 0); }, kIncomplete},
      {"no path", [] { return store_item(&noPath, 1); }, kIncomplete},
      {"no native path", [] { return store_item(&noNative, 0); }, kIncomplete},
      {"no ruleset", [] { return store_item(&noRuleset, 0); }, kIncomplete},
      {"no item", [] { return store_item(nullptr, 0); }, kIncomplete},
      {"null path", [] { return set_ruleset(false, nullptr, "n"); }, BRIX_STATUS_BAD_PATH},
      {"null payload", [] { return get_inventory(0, 1, DAL_SOURCE_ALL, nullptr, nullptr); },
       BRIX_STATUS_BAD_PATH},
      {"nothing to flush", [] { return flush_db_buffer(); }, BRIX_STATUS_FAILED},
      {"no length", [] { return get_metrics_mem(nullptr, nullptr); }, BRIX_STATUS_NULL_LENGTH},
  });
}

// --- engine_start / engine_stop --------------------------------------------

TEST_F(ApiTest, StartOpensTheDatabaseAndAStartedEngineIsKept) {
  ac_engine_start_s noPath = MakeStart(nullptr, nullptr, 0);
  ASSERT_EQ(engine_start(&noPath), BRIX_STATUS_SUCCESS);
  struct stat st;
  EXPECT_EQ(stat("ac.db", &st), 0);  // the current folder's ac.db
  BRIXEngine* first = BRIXEngine::GetEngine();
  ASSERT_NE(first, nullptr);
  ac_engine_start_s withPath = MakeStart("other.db", nullptr, 0);
  EXPECT_EQ(engine_start(&withPath), BRIX_STATUS_BAD_PATH);
  EXPECT_EQ(engine_start(&noPath), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXEngine::GetEngine(), first);

  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXEngine::GetEngine(), nullptr);
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  // Started again after a stop, on another file.
  Start();
  EXPECT_EQ(stat("test.db", &st), 0);
  EXPECT_NE(BRIXEngine::GetEngine(), nullptr);
}

TEST_F(ApiTest, StartFailsWhenTheDatabaseCannotBeOpened) {
  ac_engine_start_s s = MakeStart("no/such/dir/test.db", &LogCapture::Callback, 15);
  EXPECT_EQ(engine_start(&s), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_EQ(BRIXEngine::GetEngine(), nullptr);
}

// --- app_ctl ---------------------------------------------------------------

TEST_F(ApiTest, EventsWithoutAHandlerAreIgnoredOrErrors) {
  Start(0);
  // set_loglevel replaces the mask the engine started with.
  ac_wrapper_event_s event = Event(16, "/usr/bin/ls");
  app_ctl(nullptr, &event, nullptr);
  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_EQ(set_loglevel(BRIX_LOG_TRACE), BRIX_STATUS_SUCCESS);
  app_ctl(nullptr, &event, nullptr);
  EXPECT_TRUE(LogCapture::Contains("Not Handling Event of type: 16"));

  // A create-after event for a file that was not written: not relevant,
  // with the response cleared.
  ac_wrapper_response_s response;
  memset(&response, 0xab, sizeof(response));
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(response.action, BRIX_ACTION_NOT_RELEVANT);
  EXPECT_EQ(response.isAuthorized + response.padding + response.changeTime, 0u);
  EXPECT_EQ(response.ruleset[0], '\0');
  EXPECT_EQ(app_ctl(nullptr, &event, nullptr), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXStats::GetStats()->Get("TotalIgnoredEvent"), 4);

  // An unknown host code is an error verdict, not an ignored event.
  event = Event(99, "/usr/bin/ls");
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_FAILED);
  EXPECT_EQ(response.action, BRIX_ACTION_ERROR);
  EXPECT_EQ(response.type, 99u);
  EXPECT_EQ(BRIXStats::GetStats()->Get("TotalIgnoredEvent"), 4);
}

// --- set_config --------------------------------------------------------------

TEST_F(ApiTest, SetConfigSetsTheModesAndKeepsTheMaintenanceWindow) {
  Start();
  ASSERT_EQ(set_config(2 | 4 | 16 | 32 | 64, 0, 0), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Modes(), (std::vector<bool>{true, true, true, false, false}));
  // A fresh database has no window.
  ASSERT_EQ(set_config(0, 5, 6), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Modes(), std::vector<bool>(5, false));
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), BRIXConfig::kUnset);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), BRIXConfig::kUnset);

  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 1000, 2000), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Modes(), (std::vector<bool>{false, false, false, false, true}));
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), 2000u);
  EXPECT_EQ(Stored("autoAuthorizeStartTime"), 1000u);
  EXPECT_EQ(Stored("autoAuthorizeEndTime"), 2000u);

  // Turning it off ends it now; its start stays.
  const uint64_t before = GetCurrentTimeInMillisForTest();
  ASSERT_EQ(set_config(0, 0, 0), BRIX_STATUS_SUCCESS);
  const uint64_t after = GetCurrentTimeInMillisForTest();
  const uint64_t closedAt = config.GetAutoAuthorizeEndTime();
  EXPECT_FALSE(config.GetInventoryAutoAuthorize());
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_GE(closedAt, before);
  EXPECT_LE(closedAt, after);
  EXPECT_EQ(Stored("autoAuthorizeEndTime"), closedAt);

  // A restarted host has the defaults again and reads the stored window,
  // not the arguments.
  engine_stop();
  config.SetAutoAuthorizeStartTime(BRIXConfig::kUnset);
  config.SetAutoAuthorizeEndTime(BRIXConfig::kUnset);
  Start();
  ASSERT_EQ(set_config(0, 7, 8), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), closedAt);
  EXPECT_FALSE(config.GetInventoryAutoAuthorize());
}
