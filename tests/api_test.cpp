// Tests of the exported C functions.  Each test runs in a process of its
// own (ctest), so the engine's singletons start fresh every time.
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "BRIX.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

class ApiTest : public TempDirTest {
 protected:
  void TearDown() override {
    engine_stop();
    TempDirTest::TearDown();
  }

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

  static std::string Metrics() {
    uint32_t length = 0;
    EXPECT_EQ(get_metrics_mem(nullptr, &length),
              BRIX_STATUS_BUFFER_TOO_SMALL);
    std::vector<char> buffer(length + 256);
    length = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
    return std::string(buffer.data());
  }

  static double Counter(const std::string& name) {
    cJSON* root = cJSON_Parse(Metrics().c_str());
    cJSON* item = cJSON_GetObjectItemCaseSensitive(
        cJSON_GetObjectItemCaseSensitive(root, "metrics"), name.c_str());
    const double value = cJSON_IsNumber(item) ? item->valuedouble : 0;
    cJSON_Delete(root);
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

}  // namespace

// --- Status codes before the engine runs ---------------------------------

TEST_F(ApiTest, NullPointerChecksComeBeforeTheEngineTest) {
  ac_wrapper_response_s response{};
  EXPECT_EQ(app_ctl(nullptr, nullptr, &response), BRIX_STATUS_NULL_EVENT);
  EXPECT_EQ(set_ruleset_buffer(false, nullptr, "name"),
            BRIX_STATUS_NULL_RULESET);
  EXPECT_EQ(set_ruleset_buffer(false, "{}", nullptr),
            BRIX_STATUS_NULL_RULESET);
  EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, nullptr, "scan"),
            BRIX_STATUS_BAD_PATH);
  EXPECT_EQ(engine_start(nullptr), BRIX_STATUS_NULL_START_RECORD);
}

TEST_F(ApiTest, EveryOtherFunctionSaysNotStarted) {
  ac_wrapper_event_s event = Event(23, "/usr/bin/ls");
  ac_wrapper_response_s response{};
  uint32_t length = 0;
  ac_db_item_s item = CompleteItem();
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(set_config(1, 0, 0), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(set_loglevel(15), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(get_metrics_mem(nullptr, nullptr), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(delete_db(), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(purge_db(DAL_SOURCE_ALL), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_NOT_STARTED);
  // store_item and set_ruleset test the engine before their pointers.
  ac_db_item_s incomplete{};
  EXPECT_EQ(store_item(&incomplete, 1), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(set_ruleset(false, nullptr, nullptr), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(set_ruleset_buffer(true, "{}", "r"), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, "out.json", "scan"),
            BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
}

// --- engine_start / engine_stop --------------------------------------------

TEST_F(ApiTest, StartCreatesTheDatabaseAtTheGivenPath) {
  Start();
  struct stat st;
  EXPECT_EQ(stat("test.db", &st), 0);
  EXPECT_NE(BRIXEngine::GetEngine(), nullptr);
}

TEST_F(ApiTest, StartWithoutPathUsesAcDbInTheCurrentDirectory) {
  ac_engine_start_s s = MakeStart(nullptr, &LogCapture::Callback, 0);
  ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  struct stat st;
  EXPECT_EQ(stat("ac.db", &st), 0);
}

TEST_F(ApiTest, SecondStartKeepsTheEngineAndRefusesANewPath) {
  Start();
  BRIXEngine* first = BRIXEngine::GetEngine();
  ac_engine_start_s withPath = MakeStart("other.db", nullptr, 0);
  EXPECT_EQ(engine_start(&withPath), BRIX_STATUS_BAD_PATH);
  ac_engine_start_s withoutPath = MakeStart(nullptr, nullptr, 0);
  EXPECT_EQ(engine_start(&withoutPath), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXEngine::GetEngine(), first);
  // The logger kept its first initialisation and says so.
  EXPECT_EQ(LogCapture::Count("BRIX Logging already initialized!"), 2);
}

TEST_F(ApiTest, StartFailsWhenTheDatabaseCannotBeOpened) {
  ac_engine_start_s s =
      MakeStart("no/such/dir/test.db", &LogCapture::Callback, 15);
  EXPECT_EQ(engine_start(&s), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_EQ(BRIXEngine::GetEngine(), nullptr);
}

TEST_F(ApiTest, StopLogsAndClearsTheEngine) {
  Start();
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXEngine::GetEngine(), nullptr);
  EXPECT_TRUE(LogCapture::Contains("Engine Stop"));
  EXPECT_TRUE(LogCapture::Contains("Shutting down DAL for AC Engine"));
  LogCapture::Clear();
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(LogCapture::Lines().empty());
  // The engine can be started again after a stop.
  ac_engine_start_s s = MakeStart("test.db", nullptr, 0);
  EXPECT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  EXPECT_NE(BRIXEngine::GetEngine(), nullptr);
}

TEST_F(ApiTest, FileModeWhenTheHostGivesNoCallback) {
  ac_engine_start_s s = MakeStart("test.db", nullptr, 0);
  ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  engine_stop();
  const std::string log = ReadFile(PathIn("LogFile.log"));
  EXPECT_NE(log.find("TRACE BRIX/BRIX engine_stop "), std::string::npos)
      << log;
  EXPECT_NE(log.find(": Engine Stop\n"), std::string::npos) << log;
}

// --- app_ctl ---------------------------------------------------------------

TEST_F(ApiTest, UnhandledEventIsNotRelevantAndCountedAsIgnored) {
  Start();
  // A create-after event for a file that was not written.
  ac_wrapper_event_s event = Event(16, "/usr/bin/ls");
  ac_wrapper_response_s response;
  memset(&response, 0xab, sizeof(response));
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(response.action, BRIX_ACTION_NOT_RELEVANT);
  EXPECT_EQ(response.isAuthorized, 0u);
  EXPECT_EQ(response.padding, 0u);
  EXPECT_EQ(response.changeTime, 0u);
  EXPECT_EQ(response.ruleset[0], '\0');
  EXPECT_EQ(app_ctl(nullptr, &event, nullptr), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 2);
}

TEST_F(ApiTest, UnknownHostCodeIsAnErrorVerdict) {
  Start();
  ac_wrapper_event_s event = Event(99, "/usr/bin/ls");
  ac_wrapper_response_s response{};
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_FAILED);
  EXPECT_EQ(response.action, BRIX_ACTION_ERROR);
  EXPECT_EQ(response.type, 99u);
  EXPECT_TRUE(LogCapture::Contains("Unknown event type 99"));
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 0);
}

TEST_F(ApiTest, TypeZeroEventIsAnsweredFromTheAllowCache) {
  Start();
  ac_wrapper_event_s event = Event(0, "/usr/bin/ls");
  event.processName = "/usr/bin/bash";
  event.user = "alice";
  std::string user = "alice", process = "/usr/bin/bash", target = "/usr/bin/ls";
  BRIXEngine::GetEngine()->GetAllowCache().AddCacheNode(user, process, target);
  LogCapture::Clear();
  ac_wrapper_response_s response{};
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(response.isAuthorized, 3u);
  // Nothing runs after the hit: no abstraction, no ignored-event count.
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 0);
  bool sawMiss = false;
  for (const auto& l : LogCapture::Lines())
    sawMiss |= l.message.rfind("AllowCache miss", 0) == 0;
  EXPECT_FALSE(sawMiss);

  // Another user misses and is logged as such.
  event.user = "bob";
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(response.action, BRIX_ACTION_NOT_RELEVANT);
  EXPECT_TRUE(LogCapture::Contains(
      "AllowCache miss for user: bob process: /usr/bin/bash target: "
      "/usr/bin/ls"));
}

TEST_F(ApiTest, VerdictsMapToReturnCodes) {
  Start();
  ac_wrapper_event_s event = Event(23, "/opt/evil");
  ac_wrapper_response_s response{};
  for (uint32_t action : {0u, 7u, 9u}) {
    response.action = action;
    EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_SUCCESS);
  }
  response.action = BRIX_ACTION_ERROR;
  EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_FAILED);
  EXPECT_EQ(StatusForVerdict(&event, nullptr), BRIX_STATUS_SUCCESS);

  response.action = BRIX_ACTION_BLOCK;
  LogCapture::Clear();
  EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_BLOCK);
  ASSERT_EQ(LogCapture::Count("Blocking event: '/opt/evil'"), 1);
  for (const auto& l : LogCapture::Lines()) {
    if (l.message != "Blocking event: '/opt/evil'") continue;
    EXPECT_EQ(l.level, BRIX_LOG_WARNING);
    EXPECT_EQ(l.function, "app_ctl");
    EXPECT_EQ(l.file, "BRIX/BRIX");
  }
}

TEST_F(ApiTest, BlocksPassWhileAnUpgradeWaitsForItsManifest) {
  Start();
  config.SetManifestApplied(false);
  ac_wrapper_event_s event = Event(23, "/opt/new");
  ac_wrapper_response_s response{};
  response.action = BRIX_ACTION_BLOCK;
  EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(response.action, BRIX_ACTION_BLOCK);
  EXPECT_EQ(BRIXStats::GetStats()->Get("ALLOWED_WAITING_FOR_MANIFEST"), 2);
  EXPECT_TRUE(LogCapture::Contains("Allowed waiting for manifest 2"));
  EXPECT_FALSE(LogCapture::Contains("Blocking event: '/opt/new'"));
  config.SetManifestApplied(true);
}

// --- other entry points ----------------------------------------------------

TEST_F(ApiTest, StoreItemChecksItsTextsInOrder) {
  Start();
  ac_db_item_s item = CompleteItem();
  item.fileName = nullptr;
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_INCOMPLETE_ITEM);
  item = CompleteItem();
  item.path = nullptr;
  EXPECT_EQ(store_item(&item, 1), BRIX_STATUS_INCOMPLETE_ITEM);
  item = CompleteItem();
  item.nativePath = nullptr;
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_INCOMPLETE_ITEM);
  item = CompleteItem();
  item.ruleset = nullptr;
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_INCOMPLETE_ITEM);
  EXPECT_EQ(store_item(nullptr, 0), BRIX_STATUS_INCOMPLETE_ITEM);
}

TEST_F(ApiTest, PathChecksAfterTheEngineTest) {
  Start();
  EXPECT_EQ(set_ruleset(false, nullptr, "name"), BRIX_STATUS_BAD_PATH);
  EXPECT_EQ(get_inventory(0, 1, DAL_SOURCE_SCANNED_ITEMS, nullptr, nullptr),
            BRIX_STATUS_BAD_PATH);
}

TEST_F(ApiTest, FlushWithEmptyBuffersFails) {
  Start();
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);
}

TEST_F(ApiTest, SetLoglevelReplacesTheMask) {
  Start(0);
  ac_wrapper_event_s event = Event(16, "/x");
  app_ctl(nullptr, &event, nullptr);
  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_EQ(set_loglevel(BRIX_LOG_TRACE), BRIX_STATUS_SUCCESS);
  app_ctl(nullptr, &event, nullptr);
  EXPECT_TRUE(LogCapture::Contains("Start ConvertEvent"));
  EXPECT_TRUE(LogCapture::Contains("Not Handling Event of type: 16"));
}

TEST_F(ApiTest, MetricsBufferProtocol) {
  Start();
  uint32_t length = 0;
  EXPECT_EQ(get_metrics_mem(nullptr, nullptr), BRIX_STATUS_NULL_LENGTH);
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  const uint32_t needed = length;
  ASSERT_GT(needed, 1u);
  std::vector<char> buffer(needed);
  length = needed - 1;
  EXPECT_EQ(get_metrics_mem(buffer.data(), &length),
            BRIX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(strlen(buffer.data()) + 1, needed);

  cJSON* root = cJSON_Parse(buffer.data());
  ASSERT_NE(root, nullptr);
  cJSON* metrics = cJSON_GetObjectItemCaseSensitive(root, "metrics");
  std::vector<std::string> names;
  for (cJSON* m = metrics->child; m != nullptr; m = m->next)
    names.push_back(m->string);
  const std::vector<std::string> expected = {
      "ACVersion",        "InventoryUnknownExtensons", "DriftUnknownExtensions",
      "rulesets",         "trustrules_stats",          "AllowCache",
      "dbinfo"};
  EXPECT_EQ(names, expected);
  cJSON_Delete(root);
}

// --- set_config --------------------------------------------------------------

TEST_F(ApiTest, SetConfigSetsTheModeFlags) {
  Start();
  EXPECT_EQ(set_config(2 | 4 | 16 | 32 | 64, 0, 0), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetInventoryExists());
  EXPECT_TRUE(config.GetRulesetExists());
  EXPECT_TRUE(config.GetWhitelistInventory());
  EXPECT_FALSE(config.GetLockdown());
  EXPECT_FALSE(config.GetInventoryAutoAuthorize());
  EXPECT_TRUE(LogCapture::Contains("Setting INVENTORY EXISTS"));
  EXPECT_TRUE(LogCapture::Contains("Setting RULESET EXISTS"));
  EXPECT_TRUE(LogCapture::Contains("Setting ALLOWLIST INVENTORY"));

  EXPECT_EQ(set_config(0, 5, 6), BRIX_STATUS_SUCCESS);
  EXPECT_FALSE(config.GetInventoryExists());
  EXPECT_FALSE(config.GetRulesetExists());
  EXPECT_FALSE(config.GetWhitelistInventory());
}

TEST_F(ApiTest, ClosingTheMaintenanceWindowEndsItNow) {
  Start();
  ASSERT_EQ(set_config(8, 1000, 2000), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetInventoryAutoAuthorize());
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), 2000u);
  EXPECT_TRUE(LogCapture::Contains("Setting AUTO AUTHORIZE"));

  const uint64_t before = GetCurrentTimeInMillisForTest();
  ASSERT_EQ(set_config(0, 0, 0), BRIX_STATUS_SUCCESS);
  const uint64_t after = GetCurrentTimeInMillisForTest();
  EXPECT_FALSE(config.GetInventoryAutoAuthorize());
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_GE(config.GetAutoAuthorizeEndTime(), before);
  EXPECT_LE(config.GetAutoAuthorizeEndTime(), after);
}

TEST_F(ApiTest, LockdownOnAFreshDatabaseWaitsForAManifest) {
  Start();
  ASSERT_EQ(set_config(1, 0, 0), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetLockdown());
  EXPECT_FALSE(config.GetManifestApplied());
  EXPECT_EQ(LogCapture::Count("Upgrade detected old version  new version "
                              "12.0.178 waiting for manifest to be applied"),
            1);
  EXPECT_TRUE(LogCapture::Contains("Setting LOCKDOWN"));
  ASSERT_EQ(set_config(0, 0, 0), BRIX_STATUS_SUCCESS);
  EXPECT_FALSE(config.GetLockdown());
}

TEST_F(ApiTest, FreshStartLoadsTheStoredWindow) {
  Start();
  config.SetAutoAuthorizeStartTime(BRIXConfig::kUnset);
  config.SetAutoAuthorizeEndTime(BRIXConfig::kUnset);
  ASSERT_TRUE(BRIXDAL::GetDAL()->SetAppControlState("autoAuthorizeStartTime",
                                                    uint64_t{111}));
  ASSERT_TRUE(BRIXDAL::GetDAL()->SetAppControlState("autoAuthorizeEndTime",
                                                    uint64_t{222}));
  // The arguments are not used when the window is off: the stored one is.
  ASSERT_EQ(set_config(0, 5, 6), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 111u);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), 222u);
  EXPECT_FALSE(config.GetInventoryAutoAuthorize());
}

TEST_F(ApiTest, FreshDatabaseHasNoWindow) {
  Start();
  ASSERT_EQ(set_config(0, 5, 6), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), BRIXConfig::kUnset);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), BRIXConfig::kUnset);
}

TEST_F(ApiTest, WindowIsPersistedAndReloadedAfterARestart) {
  Start();
  BRIXDAL* dal = BRIXDAL::GetDAL();
  ASSERT_EQ(set_config(8, 1000, 2000), BRIX_STATUS_SUCCESS);
  uint64_t stored = 0;
  ASSERT_TRUE(dal->GetAppControlState("autoAuthorizeStartTime", stored));
  EXPECT_EQ(stored, 1000u);
  ASSERT_TRUE(dal->GetAppControlState("autoAuthorizeEndTime", stored));
  EXPECT_EQ(stored, 2000u);

  ASSERT_EQ(set_config(0, 0, 0), BRIX_STATUS_SUCCESS);
  const uint64_t closedAt = config.GetAutoAuthorizeEndTime();
  ASSERT_TRUE(dal->GetAppControlState("autoAuthorizeEndTime", stored));
  EXPECT_EQ(stored, closedAt);

  // A restarted host process has the defaults again and reads the window
  // back from the database.
  engine_stop();
  config.SetAutoAuthorizeStartTime(BRIXConfig::kUnset);
  config.SetAutoAuthorizeEndTime(BRIXConfig::kUnset);
  Start();
  ASSERT_EQ(set_config(0, 7, 8), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(config.GetAutoAuthorizeStartTime(), 1000u);
  EXPECT_EQ(config.GetAutoAuthorizeEndTime(), closedAt);
}

TEST_F(ApiTest, LockdownForTheCurrentVersionDoesNotWait) {
  Start();
  ASSERT_TRUE(BRIXDAL::GetDAL()->SetAppControlState("agentVersion",
                                                    std::string("12.0.178")));
  ASSERT_EQ(set_config(1, 0, 0), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetLockdown());
  EXPECT_TRUE(config.GetManifestApplied());
  for (const auto& l : LogCapture::Lines())
    EXPECT_EQ(l.message.find("Upgrade detected"), std::string::npos);
}

TEST_F(ApiTest, LockdownAfterAnUpgradeWaitsAndCountsLetThroughBlocks) {
  Start();
  ASSERT_TRUE(BRIXDAL::GetDAL()->SetAppControlState("agentVersion",
                                                    std::string("11.9.0")));
  ASSERT_EQ(set_config(1, 0, 0), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(set_config(1, 0, 0), BRIX_STATUS_SUCCESS);
  // Once per call.
  EXPECT_EQ(LogCapture::Count("Upgrade detected old version 11.9.0 new "
                              "version 12.0.178 waiting for manifest to be "
                              "applied"),
            2);
  EXPECT_FALSE(config.GetManifestApplied());
  ac_wrapper_event_s event = Event(23, "/opt/app");
  ac_wrapper_response_s response{};
  response.action = BRIX_ACTION_BLOCK;
  EXPECT_EQ(StatusForVerdict(&event, &response), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Counter("ALLOWED_WAITING_FOR_MANIFEST"), 1);
}

TEST_F(ApiTest, PurgeAndDeleteRunOnTheDatabase) {
  Start();
  EXPECT_EQ(purge_db(DAL_SOURCE_SCANNED_ITEMS), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(purge_db(DAL_SOURCE_ALL), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(BRIXDAL::GetDAL()->IsOpen());
  EXPECT_EQ(delete_db(), BRIX_STATUS_SUCCESS);
  struct stat st;
  EXPECT_NE(stat("test.db", &st), 0);
  EXPECT_FALSE(BRIXDAL::GetDAL()->IsOpen());
}
