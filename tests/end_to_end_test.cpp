// The whole engine working together, as a host drives it: rulesets
// imported, events decided against them, scanned items stored and exported,
// and all of it kept over a restart.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "BRIX.h"
#include "brix.h"
#include "test_util.h"

namespace {

class EndToEndTest : public EngineTest {
 protected:
  std::string BaseDir() const override { return WatchedBaseDir(); }

  // Status and source of a program start of `target` with digest `seed`.
  std::pair<uint32_t, uint32_t> Start(const std::string& target, unsigned char seed,
                                      uint32_t type = 23) {
    ac_wrapper_event_s e{};
    e.pid = 99;
    e.type = type;
    e.isexec = 1;
    e.size = 5;  // the blocking execution rule names this size
    e.name = target.c_str();
    e.processName = "/usr/bin/bash";
    e.user = "alice";
    e.group = "staff";
    const std::string d = SeedDigest(seed);
    e.fileSha256 = reinterpret_cast<const unsigned char*>(d.data());
    ac_wrapper_response_s r{};
    const uint32_t status = app_ctl(nullptr, &e, &r);
    return {status, r.source};
  }

  // The payload's lines, each parsed.
  std::vector<JsonPtr> Export(DALSource source, const char* scan) {
    const std::string payload = PathIn("payload.json");
    EXPECT_EQ(get_inventory(0, 100, source, payload.c_str(), scan), BRIX_STATUS_SUCCESS);
    std::vector<JsonPtr> rows;
    const std::string text = ReadFile(payload);
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2)
      rows.push_back(ParseJson(text.substr(start, end - start)));
    return rows;
  }
};

TEST_F(EndToEndTest, ImportDecideStoreExportAndRestart) {
  const std::string db = PathIn("ac.db");
  ac_engine_start_s start = MakeStart(db.c_str(), &LogCapture::Callback, 0);
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);
  // Under lockdown on a fresh database the engine waits for a manifest.
  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN | BRIX_MODE_INVENTORY_EXISTS, 0, 0),
            BRIX_STATUS_SUCCESS);
  EXPECT_FALSE(config.GetManifestApplied());

  // The manifest, an execution ruleset and a trust ruleset.
  const std::string manifest = WriteFileAt(
      PathIn("manifest.json"), "{\"rules\": [{\"fileName\": \"agentd\", \"sha256\": \"" +
                                   SeedHex(1) + "\", \"action\": \"allow\"}]}");
  ASSERT_EQ(set_ruleset(false, manifest.c_str(), "Agent-Manifest"), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(config.GetManifestApplied());
  ASSERT_EQ(set_ruleset_buffer(false,
                               ("{\"rules\": [{\"sha256\": \"" + SeedHex(2) +
                                "\", \"action\": \"allow\"}, {\"sha256\": \"" + SeedHex(3) +
                                "\", \"size\": \"5\", \"action\": \"block\"}]}")
                                   .c_str(),
                               "corp-execution"),
            BRIX_STATUS_SUCCESS);
  ASSERT_EQ(set_ruleset_buffer(false,
                               (R"({"Trustrules": [
                     {"paths": ")" + dir() + R"(/trusted/", "trustType": 2, "userList": "devs"},
                     {"paths": ")" + dir() + R"(/banned/", "trustType": 4}],
                    "Userlists": [{"id": "devs", "users": ["alice"]}]})")
                                   .c_str(),
                               "Corp-TrustRules"),
            BRIX_STATUS_SUCCESS);

  // A scanned item from the host's own scan.
  ac_db_item_s item{};
  memcpy(item.sha256, SeedDigest(4).data(), 32);
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = "scanned";
  item.path = dir().c_str();
  const std::string scannedPath = PathIn("scanned");
  item.nativePath = scannedPath.c_str();
  item.ruleset = "";
  item.isAuthorized = 1;
  ASSERT_EQ(store_item(&item, 1), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);

  mkdir(PathIn("trusted").c_str(), 0755);
  mkdir(PathIn("banned").c_str(), 0755);
  const struct {
    const char* file;
    unsigned char seed;
    uint32_t status, source;
  } kStarts[] = {
      {"agentd", 1, BRIX_STATUS_SUCCESS, 1},
      {"allowed", 2, BRIX_STATUS_SUCCESS, 2},
      {"denied", 3, BRIX_STATUS_BLOCK, 2},
      {"scanned", 4, BRIX_STATUS_SUCCESS, 3},
      {"trusted/tool", 5, BRIX_STATUS_SUCCESS, 6},
      {"unknown", 6, BRIX_STATUS_BLOCK, 0},  // lockdown
      // A scanned program that a block rule covers is blocked after all.
      {"banned/tool", 4, BRIX_STATUS_BLOCK, 6},
  };
  for (const auto& s : kStarts)
    EXPECT_EQ(Start(WriteFileAt(PathIn(s.file), s.file, 0755), s.seed),
              std::make_pair(s.status, s.source)) << s.file;
  // Drift: a new file written into the folder is reported, not blocked.
  EXPECT_EQ(Start(WriteFileAt(PathIn("new-build"), "h", 0755), 7, 36).first, BRIX_STATUS_SUCCESS);

  // The export holds every item; the trust rules their hits and users.
  EXPECT_EQ(Export(DAL_SOURCE_ALL, "scan-1").size(), 4u);
  const std::vector<JsonPtr> rules = Export(DAL_SOURCE_TRUST_RULES, "");
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(JsonNumber(rules[0].get(), "hitcount"), 1);
  EXPECT_EQ(JsonNumber(rules[0].get(), "userListCount"), 1);

  // Everything acknowledged survives a restart.
  ASSERT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Start(PathIn("denied"), 3).first, BRIX_STATUS_BLOCK);
  EXPECT_EQ(Start(PathIn("scanned"), 4).second, 3u);
}

}  // namespace
