// The whole engine working together, as a host drives it: rulesets
// imported, events decided against them, scanned items stored, every source
// exported and the metrics read.
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BRIX.h"
#include "Hash.h"
#include "brix.h"
#include "test_util.h"

namespace {

std::string Digest(unsigned char seed) { return std::string(32, char(seed)); }
std::string Hex(unsigned char seed) {
  const std::string d = Digest(seed);
  return Hash::ToHex(reinterpret_cast<const unsigned char*>(d.data()), 32);
}

class EndToEndTest : public TempDirTest {
 protected:
  std::string BaseDir() const override { return WatchedBaseDir(); }
  void TearDown() override {
    engine_stop();
    config.SetManifestApplied(true);
    TempDirTest::TearDown();
  }

  std::string WriteFile(const std::string& name, const std::string& text,
                        mode_t mode = 0644) {
    const std::string path = PathIn(name);
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
    return path;
  }

  ac_wrapper_response_s Decide(uint32_t type, const std::string& target,
                               unsigned char seed, uint32_t* status,
                               const char* process = "/usr/bin/bash") {
    ac_wrapper_event_s e{};
    e.pid = 99;
    e.type = type;
    e.isexec = 1;
    e.size = 5;
    e.name = target.c_str();
    e.processName = process;
    e.user = "alice";
    e.group = "staff";
    const std::string d = Digest(seed);
    e.fileSha256 = reinterpret_cast<const unsigned char*>(d.data());
    ac_wrapper_response_s r{};
    *status = app_ctl(nullptr, &e, &r);
    return r;
  }

  static std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::vector<std::string> lines;
    std::string text = ss.str(), line;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
};

TEST_F(EndToEndTest, ImportDecideStoreExportAndMeasure) {
  ac_engine_start_s start = MakeStart(PathIn("ac.db").c_str(),
                                      &LogCapture::Callback, 0);
  const std::string db = PathIn("ac.db");
  start.dbPath = db.c_str();
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);

  // Under lockdown on a fresh database the engine waits for a manifest.
  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN | BRIX_MODE_INVENTORY_EXISTS, 0, 0),
            BRIX_STATUS_SUCCESS);
  EXPECT_FALSE(config.GetManifestApplied());

  // The manifest, an execution ruleset and a trust ruleset.
  const std::string manifest =
      WriteFile("manifest.json", "{\"rules\": [{\"fileName\": \"agentd\", "
                                 "\"sha256\": \"" + Hex(1) +
                                     "\", \"action\": \"allow\"}]}");
  ASSERT_EQ(set_ruleset(false, manifest.c_str(), "Agent-Manifest"),
            BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetManifestApplied());
  ASSERT_EQ(set_ruleset_buffer(
                false,
                ("{\"rules\": [{\"sha256\": \"" + Hex(2) +
                 "\", \"action\": \"allow\"}, {\"sha256\": \"" + Hex(3) +
                 "\", \"size\": \"5\", \"action\": \"block\"}]}")
                    .c_str(),
                "corp-execution"),
            BRIX_STATUS_SUCCESS);
  ASSERT_EQ(set_ruleset_buffer(
                false,
                (R"({"Trustrules": [
                     {"paths": ")" + dir() + R"(/trusted/", "trustType": 2,
                      "userList": "devs"},
                     {"paths": ")" + dir() + R"(/banned/", "trustType": 4}],
                    "Userlists": [{"id": "devs", "users": ["alice"]}]})")
                    .c_str(),
                "Corp-TrustRules"),
            BRIX_STATUS_SUCCESS);

  // Scanned items from the host's own scan.
  ac_db_item_s item{};
  memcpy(item.sha256, Digest(4).data(), 32);
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = "scanned";
  item.path = dir().c_str();
  const std::string scannedPath = PathIn("scanned");
  item.nativePath = scannedPath.c_str();
  item.ruleset = "";
  item.isAuthorized = 1;
  ASSERT_EQ(store_item(&item, 1), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);

  // Decisions.
  mkdir(PathIn("trusted").c_str(), 0755);
  mkdir(PathIn("banned").c_str(), 0755);
  uint32_t status = 0;
  auto r = Decide(23, WriteFile("agentd", "a", 0755), 1, &status);
  EXPECT_EQ(status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.source, 1u);
  r = Decide(23, WriteFile("allowed", "b", 0755), 2, &status);
  EXPECT_EQ(status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(std::string(r.ruleset), "corp-execution");
  r = Decide(23, WriteFile("denied", "c", 0755), 3, &status);
  EXPECT_EQ(status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(r.source, 2u);
  r = Decide(23, WriteFile("scanned", "d", 0755), 4, &status);
  EXPECT_EQ(status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.source, 3u);
  r = Decide(23, WriteFile("trusted/tool", "e", 0755), 5, &status);
  EXPECT_EQ(status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.source, 6u);
  EXPECT_EQ(r.isAuthorized, 4u);
  r = Decide(23, WriteFile("unknown", "f", 0755), 6, &status);
  EXPECT_EQ(status, BRIX_STATUS_BLOCK);  // lockdown
  // A scanned program that a block rule covers is blocked after all.
  r = Decide(23, WriteFile("banned/tool", "g", 0755), 4, &status);
  EXPECT_EQ(status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(r.source, 6u);
  // Drift: a new file written into the folder is reported, not blocked.
  r = Decide(36, WriteFile("new-build", "h", 0755), 7, &status);
  EXPECT_EQ(status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.type, 4u);

  // Export every source.
  const std::string payload = PathIn("payload.json");
  ASSERT_EQ(get_inventory(0, 100, DAL_SOURCE_ALL, payload.c_str(), "scan-1"),
            BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Lines(payload).size(), 4u);  // 1 agent + 2 execution + 1 scanned
  for (int source = 1; source <= 3; ++source) {
    ASSERT_EQ(get_inventory(0, 100, static_cast<DALSource>(source),
                            payload.c_str(), "scan-1"),
              BRIX_STATUS_SUCCESS);
    for (const std::string& line : Lines(payload)) {
      cJSON* row = cJSON_Parse(line.c_str());
      ASSERT_NE(row, nullptr) << line;
      EXPECT_EQ(cJSON_GetObjectItem(row, "source")->valueint, source);
      EXPECT_STREQ(cJSON_GetObjectItem(row, "scanUuid")->valuestring,
                   "scan-1");
      cJSON_Delete(row);
    }
  }
  ASSERT_EQ(get_inventory(0, 100, DAL_SOURCE_TRUST_RULES, payload.c_str(), ""),
            BRIX_STATUS_SUCCESS);
  const auto rules = Lines(payload);
  ASSERT_EQ(rules.size(), 2u);
  cJSON* first = cJSON_Parse(rules[0].c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cJSON_GetObjectItem(first, "hitcount")->valueint, 1);
  EXPECT_EQ(cJSON_GetObjectItem(first, "userListCount")->valueint, 1);
  cJSON_Delete(first);

  // The metrics tell the same story.
  uint32_t length = 0;
  ASSERT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  std::vector<char> buffer(length);
  ASSERT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  cJSON* root = cJSON_Parse(buffer.data());
  ASSERT_NE(root, nullptr);
  cJSON* metrics = cJSON_GetObjectItem(root, "metrics");
  auto number = [&](cJSON* obj, const char* name) {
    cJSON* item = cJSON_GetObjectItem(obj, name);
    return cJSON_IsNumber(item) ? item->valueint : -1;
  };
  EXPECT_EQ(number(metrics, "RunProgram"), 7);
  EXPECT_EQ(number(metrics, "RunBlockedRule"), 2);
  EXPECT_EQ(number(metrics, "RunBlockedLockdown"), 1);
  EXPECT_EQ(number(metrics, "EventTrustedExecution"), 1);
  EXPECT_EQ(number(metrics, "EventBlockByTarget"), 1);
  cJSON* rulesets = cJSON_GetObjectItem(metrics, "rulesets");
  EXPECT_EQ(number(rulesets, "Agent-Manifest"), 1);
  EXPECT_EQ(number(rulesets, "corp-execution"), 2);
  EXPECT_EQ(number(rulesets, "Corp-TrustRules"), 2);
  cJSON* dbinfo = cJSON_GetObjectItem(metrics, "dbinfo");
  EXPECT_EQ(number(dbinfo, "agentRules"), 1);
  EXPECT_EQ(number(dbinfo, "executionRules"), 2);
  EXPECT_EQ(number(dbinfo, "scannedItems"), 1);
  EXPECT_EQ(number(dbinfo, "totalTrustRules"), 2);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(metrics,
                                                   "trustrules_stats")),
            2);
  cJSON* cache = cJSON_GetObjectItem(metrics, "AllowCache");
  EXPECT_EQ(number(cache, "mapSize"), 4);  // the four allowed programs
  cJSON_Delete(root);

  // Everything acknowledged survives a restart.
  ASSERT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);
  r = Decide(23, PathIn("denied"), 3, &status);
  EXPECT_EQ(status, BRIX_STATUS_BLOCK);
  r = Decide(23, PathIn("scanned"), 4, &status);
  EXPECT_EQ(r.source, 3u);
}

}  // namespace
