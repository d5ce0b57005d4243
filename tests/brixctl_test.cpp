// Tests of brixctl as a user runs it: the built tool runs as a child
// process in a fresh temporary folder, and the tests check its exit
// status, its output and the database it leaves.
#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kExamples = BRIX_EXAMPLES_DIR;

// Whole lines of `text` that contain `needle`.
int CountLines(const std::string& text, const std::string& needle) {
  const std::vector<std::string> lines = TextLines(text);
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(needle) != std::string::npos;
  });
}

// A member the test reads whether or not it is there: "" / -1 if not.
std::string StringMember(const cJSON* json, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
  return cJSON_IsString(item) ? item->valuestring : "";
}

double NumberMember(const cJSON* json, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
  return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

class BrixctlTest : public TempDirTest {
 protected:
  // The test's own database unless a test chose (BRIX_DB="" means
  // brixctl's default).
  void SetUp() override {
    TempDirTest::SetUp();
    setenv("BRIX_DB", "ac.db", 0);
  }

  // Runs brixctl with `args` in the test's folder; as an unprivileged user
  // when `unprivileged` is set and the tests run as root, so that
  // permissions apply.
  ToolRun Brixctl(const std::vector<std::string>& args, bool unprivileged = false) {
    // The unprivileged user may not reach the build folder (a checkout under
    // a private folder): it runs a copy of the tool and the library from the
    // test's own folder instead.
    std::string tool = BRIXCTL_PATH;
    std::string libraryDir;
    if (unprivileged && geteuid() == 0) {
      libraryDir = PathIn(".brixctl");
      tool = libraryDir + "/brixctl";
      if (!std::filesystem::exists(tool)) {
        std::filesystem::create_directory(libraryDir);
        std::filesystem::copy_file(BRIXCTL_PATH, tool);
        std::filesystem::copy_file(
            BRIX_LIBRARY_PATH,
            libraryDir + "/" +
                std::filesystem::path(BRIX_LIBRARY_PATH).filename().string());
        EXPECT_EQ(chmod(libraryDir.c_str(), 0755), 0);
      }
    }
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(argv, dir(), unprivileged, libraryDir);
  }

  // brixctl --json ARGS: its answer, parsed, after an exit with `status`.
  JsonPtr Json(std::vector<std::string> args, int status = 0) {
    args.insert(args.begin(), "--json");
    const ToolRun run = Brixctl(args);
    EXPECT_EQ(run.status, status) << run.err;
    return ParseJson(run.out);
  }

  // One value from the test's database.
  std::string Query(const std::string& sql) { return Db(PathIn("ac.db")).One(sql); }

  // Lets an unprivileged child write the database in the test's folder.
  void OpenFolderToAll() { ASSERT_EQ(chmod(dir().c_str(), 0777), 0); }

  // A folder "bin" with two small programs and things a scan passes over.
  void MakeBin() {
    ASSERT_EQ(mkdir(PathIn("bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(PathIn("bin/sub").c_str(), 0755), 0);
    WriteText(PathIn("bin/tool-a"), "#!/bin/sh\necho a\n", 0755);
    WriteText(PathIn("bin/sub/tool-b"), "#!/bin/sh\necho b\n", 0755);
    ASSERT_EQ(symlink("tool-a", PathIn("bin/link-a").c_str()), 0);
  }

  void ImportExamples() {
    for (const auto& [name, file] : std::vector<std::pair<std::string, std::string>>{
             {"agent-manifest", "agent-manifest.json"},
             {"demo-execution", "execution-ruleset.json"},
             {"demo-trustrules", "trust-ruleset.json"}}) {
      const ToolRun run = Brixctl({"--db", "ac.db", "import", name, kExamples + "/" + file});
      ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    }
  }
};

// --- help and command-line mistakes ----------------------------------------

TEST_F(BrixctlTest, HelpListsEveryCommandAndEachCommandHasItsOwn) {
  ToolRun run = Brixctl({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* command : {"scan", "import", "decide", "replay", "metrics", "export",
                              "purge", "delete-db", "flush"})
    EXPECT_NE(run.out.find(std::string("  ") + command + " "), std::string::npos) << command;
  run = Brixctl({"decide", "--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Usage: brixctl [GLOBAL OPTIONS] decide"), std::string::npos);
  run = Brixctl({"help", "export"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("--page-size"), std::string::npos);
  // Options that mean nothing to a command are not offered to it.
  EXPECT_EQ(Brixctl({"report", "--help"}).out.find("--lockdown"), std::string::npos);
  EXPECT_EQ(Brixctl({"--version"}).out, "brixctl " BRIX_HOST_VERSION "\n");
  EXPECT_FALSE(std::filesystem::exists(PathIn("ac.db"))) << "help opened no database";
}

// Mistakes on the command line and files that cannot be used: one line
// that says why, and neither a database nor a half-written file is left.
TEST_F(BrixctlTest, MistakesFailWithOneLineAndTouchNothing) {
  ASSERT_EQ(mkdir(PathIn("folder").c_str(), 0755), 0);
  // The arguments, and what the error says.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"frobnicate"}, "brixctl: unknown command 'frobnicate'"},
      {{}, "brixctl: no command given"},
      {{"--frob", "metrics"}, "brixctl: unknown option --frob"},
      {{"decide", "--frob", "x"}, "brixctl: decide: unknown option --frob"},
      {{"decide"}, "brixctl: decide needs exactly one FILE"},
      {{"decide", "--type", "fork", "/bin/sh"}, "--type must be exec, mmap or script"},
      {{"--log-level", "loud", "metrics"}, "--log-level takes a mask"},
      {{"--maintenance", "2024-02-30", "now", "metrics"}, "neither milliseconds"},
      {{"--maintenance", "2024-05-02", "2024-05-01", "metrics"}, "END must lie after START"},
      {{"purge", "everything"}, "purge: SOURCE must be"},
      {{"export", "--page-size", "0", "out"}, "--page-size needs a number"},
      {{"import", "only-a-name"}, "import needs a NAME and a FILE"},
      {{"scan"}, "scan needs at least one DIR"},
      {{"scan", "no-such-folder"},
       "brixctl: scan: cannot scan no-such-folder: No such file or directory\n"},
      {{"decide", "missing-program"},
       "brixctl: decide: cannot read missing-program: No such file or directory\n"},
      {{"decide", "folder"}, "is a folder, not a regular file"},
      {{"import", "demo-execution", "missing.json"},
       "brixctl: import: cannot read missing.json: No such file or directory\n"},
      {{"replay", "no-such-trace.jsonl"},
       "brixctl: replay: cannot read no-such-trace.jsonl: No such file or directory\n"},
      {{"export", "no-such-folder/out.jsonl"},
       "brixctl: export: cannot write no-such-folder/out.jsonl: folder no-such-folder does "
       "not exist\n"},
      {{"export", "folder"}, "brixctl: export: folder is a folder\n"},
  };
  for (const auto& [args, message] : cases) {
    const ToolRun run = Brixctl(args);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(CountLines(run.err, "brixctl: "), 1) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(PathIn("ac.db")));
  for (const auto& entry : std::filesystem::directory_iterator(dir()))
    EXPECT_EQ(entry.path().filename().string().find(".brixctl-"), std::string::npos)
        << entry.path();
}

// --- scan and decide ---------------------------------------------------------

TEST_F(BrixctlTest, ScannedFilesAreAllowedAndAChangedFileIsUnknown) {
  MakeBin();
  ToolRun run = Brixctl({"scan", "bin"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(": 2 files"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("stored 2 new items"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("passed over 1 symbolic links"), std::string::npos) << run.out;

  EXPECT_EQ(Db(PathIn("ac.db")).Rows("SELECT fileName, path, nativePath, source, isAuthorized, "
                                    "size FROM InventoryItems ORDER BY nativePath"),
            (std::vector<std::string>{
                "tool-b|" + dir() + "/bin/sub/|" + dir() + "/bin/sub/tool-b|3|1|17",
                "tool-a|" + dir() + "/bin/|" + dir() + "/bin/tool-a|3|1|17"}));
  // tool-a's digests as sha256sum, sha1sum and md5sum give them.
  EXPECT_EQ(Query("SELECT lower(hex(sha256)) || ' ' || lower(hex(sha1)) || ' ' || "
                  "lower(hex(md5)) FROM InventoryItems WHERE fileName = 'tool-a'"),
            "96d68d5048de839b8d6443131b2c6260086c5d3bbbb9095db85fe0d8847773b1 "
            "71bca3652bc0fcd7012cc3794e2d2481ad33227a 12886ee41e7e7d186dcab21adf0669cb");

  JsonPtr json = Json({"decide", "bin/tool-a"});
  EXPECT_EQ(StringMember(json.get(), "verdict"), "allowed");
  EXPECT_EQ(NumberMember(json.get(), "source"), DAL_SOURCE_SCANNED_ITEMS);
  EXPECT_EQ(NumberMember(json.get(), "isAuthorized"), 3);
  EXPECT_EQ(NumberMember(json.get(), "decision"), 1);
  EXPECT_EQ(StringMember(json.get(), "file"), dir() + "/bin/tool-a");

  std::ofstream(PathIn("bin/tool-a"), std::ios::app) << "# changed\n";
  json = Json({"decide", "bin/tool-a"});
  EXPECT_EQ(StringMember(json.get(), "verdict"), "logged only");
  EXPECT_EQ(NumberMember(json.get(), "source"), 0);
  EXPECT_EQ(NumberMember(json.get(), "decision"), 0);
  EXPECT_EQ(NumberMember(json.get(), "isAuthorized"), 0);
}

TEST_F(BrixctlTest, ScanningAgainStoresOnlyWhatChangedAndReplaceStartsOver) {
  MakeBin();
  // The engine's lines go to the log file, none to standard error.
  ToolRun run = Brixctl({"--log-file", "engine.log", "--log-level", "all", "scan", "bin"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string log = ReadFile(PathIn("engine.log"));
  EXPECT_GT(CountLines(log, " TRACE BRIX/BRIXDataAccessLayer:"), 0) << log.substr(0, 500);
  EXPECT_GT(CountLines(log, "StoreItemBuffer lock"), 1);
  run = Brixctl({"--log-file", "no-such-folder/engine.log", "metrics"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("brixctl: cannot open log file no-such-folder/engine.log: ", 0), 0u)
      << run.err;

  run = Brixctl({"scan", "bin", "bin/tool-a"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("stored 0 new items, 3 already in the inventory"), std::string::npos)
      << run.out;
  std::ofstream(PathIn("bin/tool-a"), std::ios::app) << "# changed\n";
  run = Brixctl({"scan", "bin"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("stored 1 new items, 1 already"), std::string::npos) << run.out;
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 3"), "3");
  run = Brixctl({"scan", "--replace", "bin"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 3"), "2");
}

TEST_F(BrixctlTest, ScanSkipsWhatItCannotReadWithACountAndAReason) {
  MakeBin();
  WriteText(PathIn("bin/secret"), "top secret", 0000);
  ASSERT_EQ(mkdir(PathIn("bin/locked").c_str(), 0000), 0);
  OpenFolderToAll();
  ToolRun run = Brixctl({"scan", "bin"}, /*unprivileged=*/true);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("stored 2 new items"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("skipped 2 that could not be read: 2 Permission denied"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(dir() + "/bin/secret: Permission denied"), std::string::npos);
  EXPECT_NE(run.out.find(dir() + "/bin/locked: Permission denied"), std::string::npos);
  // Nor can that user have it decided.
  run = Brixctl({"decide", "bin/secret"}, /*unprivileged=*/true);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "brixctl: decide: cannot read bin/secret: Permission denied\n");
}

TEST_F(BrixctlTest, LockdownBlocksUnknownProgramsOnceTheManifestIsApplied) {
  MakeBin();
  ASSERT_EQ(Brixctl({"scan", "bin"}).status, 0);
  WriteText(PathIn("new-tool"), "#!/bin/sh\necho new\n", 0755);

  // A fresh database has no agent version, so lockdown waits for the
  // manifest and lets blocks through, saying so.
  ToolRun run = Brixctl({"--lockdown", "decide", "new-tool"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("allowed waiting for manifest: ", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("until the agent manifest is imported"), std::string::npos);

  ASSERT_EQ(Brixctl({"import", "agent-manifest", kExamples + "/agent-manifest.json"}).status, 0);
  run = Brixctl({"--lockdown", "decide", "bin/tool-a"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.rfind("allowed: ", 0), 0u) << run.out;

  run = Brixctl({"decide", "--lockdown", "--log-level", "warning", "new-tool"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out.rfind("blocked: " + dir() + "/new-tool\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("action         10 block"), std::string::npos);
  EXPECT_NE(run.out.find("app_ctl        block (0x00000001)"), std::string::npos);
  EXPECT_NE(run.err.find("brix WARNING BRIX/BRIX:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Blocking event: '" + dir() + "/new-tool'"), std::string::npos);

  // Without lockdown the same program is only logged.
  run = Brixctl({"decide", "new-tool"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("logged only: ", 0), 0u) << run.out;
}

TEST_F(BrixctlTest, ScriptsAndMappingsAreDecidedByTheirOwnEvents) {
  ImportExamples();
  const std::string cleanup = kExamples + "/files/cleanup.sh";
  // The interpreter comes from the #! line: /bin/sh runs a blocked script.
  JsonPtr json = Json({"decide", "--type", "script", cleanup}, 1);
  EXPECT_EQ(StringMember(json.get(), "verdict"), "blocked");
  EXPECT_EQ(NumberMember(json.get(), "category"), 8);
  EXPECT_EQ(NumberMember(json.get(), "hostType"), 15);
  EXPECT_EQ(StringMember(json.get(), "ruleset"), "demo-execution");

  // A program that interprets nothing opening the script is no script run.
  ToolRun run = Brixctl({"decide", "--type", "script", "--process", "/bin/cat", cleanup});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("ignored: ", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("is not an interpreter it knows"), std::string::npos) << run.err;

  MakeBin();
  ASSERT_EQ(Brixctl({"scan", "bin"}).status, 0);
  json = Json({"decide", "--type", "mmap", "bin/tool-a"});
  EXPECT_EQ(StringMember(json.get(), "verdict"), "allowed");
  EXPECT_EQ(NumberMember(json.get(), "category"), 9);

  // A program start of a file without execute permission is an error verdict.
  WriteText(PathIn("notes.txt"), "just text\n", 0644);
  run = Brixctl({"decide", "notes.txt"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out.rfind("error: ", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("app_ctl: operation failed (0xc0000000)"), std::string::npos);
  EXPECT_NE(run.err.find("has no execute permission"), std::string::npos) << run.err;
}

TEST_F(BrixctlTest, MaintenanceWindowAuthorisesNewSoftwareByItsFileTimes) {
  WriteText(PathIn("fresh-tool"), "#!/bin/sh\necho fresh\n", 0755);
  usleep(20 * 1000);  // the file's times must lie in the past
  // An empty database, made as an administrator makes one: by a scan.
  ASSERT_EQ(mkdir(PathIn("empty").c_str(), 0755), 0);
  ASSERT_EQ(Brixctl({"scan", "empty"}).status, 0);
  JsonPtr json =
      Json({"--maintenance", "2000-01-01T00:00Z", "2999-12-31 23:59:59", "decide", "fresh-tool"});
  EXPECT_EQ(StringMember(json.get(), "verdict"), "allowed");
  EXPECT_EQ(NumberMember(json.get(), "isAuthorized"), 1);
  EXPECT_EQ(Query("SELECT settingValue FROM AppControlState "
                  "WHERE settingName = 'autoAuthorizeStartTime'"),
            "946684800000");
  EXPECT_EQ(Query("SELECT source FROM InventoryItems WHERE fileName = 'fresh-tool'"), "4");
}

// --- the database ------------------------------------------------------------

// Only scan, import and replay make a database: any other command on a
// mistyped or missing one fails, names it and leaves nothing behind.
TEST_F(BrixctlTest, OnlyCommandsThatStoreCreateTheDatabase) {
  const std::vector<std::vector<std::string>> commands = {
      {"metrics"}, {"export", "out.jsonl"}, {"decide", "/bin/true"}, {"purge", "scanned"},
      {"delete-db"}, {"flush"}};
  for (const std::string& db : {std::string("ac.db"), std::string("no-such-folder/ac.db")}) {
    for (const auto& command : commands) {
      std::vector<std::string> args = {"--db", db};
      args.insert(args.end(), command.begin(), command.end());
      const ToolRun run = Brixctl(args);
      EXPECT_EQ(run.status, 2) << command[0];
      EXPECT_EQ(run.err.rfind("brixctl: no rule database at " + db + " (brixctl --db " + db +
                                  " scan or import creates one)\n",
                              0),
                0u)
          << run.err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(PathIn("ac.db")));
  EXPECT_FALSE(std::filesystem::exists(PathIn("out.jsonl")));
  // Without --db and $BRIX_DB: the database brixd uses.
  if (!std::filesystem::exists("/var/lib/brix/ac.db")) {
    ASSERT_EQ(setenv("BRIX_DB", "", 1), 0);
    EXPECT_NE(Brixctl({"metrics"}).err.find("no rule database at /var/lib/brix/ac.db"),
              std::string::npos);
    ASSERT_EQ(setenv("BRIX_DB", "ac.db", 1), 0);
  }
  // A store makes it, readable by its owner's group only.
  ASSERT_EQ(Brixctl({"import", "agent-manifest", kExamples + "/agent-manifest.json"}).status, 0);
  EXPECT_EQ(std::filesystem::status(PathIn("ac.db")).permissions(), std::filesystem::perms(0640));
}

// A write that cannot reach the file fails with the cause instead of
// reporting what it did not do.
TEST_F(BrixctlTest, WritesTheUserMayNotMakeFailWithTheCause) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  MakeBin();
  ASSERT_EQ(Brixctl({"scan", "bin"}).status, 0);
  ASSERT_EQ(chmod(PathIn("ac.db").c_str(), 0644), 0);
  OpenFolderToAll();
  // Where the user may read it: the checkout may lie below a private folder.
  std::filesystem::copy_file(kExamples + "/agent-manifest.json", PathIn("manifest.json"));
  const std::vector<std::vector<std::string>> writes = {
      {"import", "agent-manifest", PathIn("manifest.json")},
      {"scan", "bin"},
      {"purge", "scanned"},
      {"flush"},
      {"delete-db"}};
  for (const auto& args : writes) {
    const ToolRun run = Brixctl(args, /*unprivileged=*/true);
    EXPECT_EQ(run.status, 2) << args[0] << ": " << run.out;
    EXPECT_EQ(run.err, "brixctl: ac.db: Permission denied\n") << args[0];
    EXPECT_EQ(run.out, "") << args[0];
  }
  // Reading is still allowed, and the inventory is whole.
  EXPECT_EQ(Brixctl({"metrics"}, /*unprivileged=*/true).status, 0);
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 3"), "2");
}

TEST_F(BrixctlTest, ImportAndExportRoundTrip) {
  ToolRun run = Brixctl({"import", "demo-execution", kExamples + "/execution-ruleset.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("(execution ruleset): 7 rules"), std::string::npos) << run.out;
  MakeBin();
  ASSERT_EQ(Brixctl({"scan", "bin"}).status, 0);

  run = Brixctl({"export", "--source", "execution", "--scan-id", "scan-1", "rules.jsonl"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("exported 7 lines (source 2)"), std::string::npos) << run.out;

  // Every rule of the file comes back with its digests, size and verdict.
  JsonPtr ruleset = ParseJson(ReadFile(kExamples + "/execution-ruleset.json"));
  const cJSON* rules = cJSON_GetObjectItemCaseSensitive(ruleset.get(), "rules");
  const std::vector<std::string> lines = TextLines(ReadFile(PathIn("rules.jsonl")));
  ASSERT_EQ(lines.size(), static_cast<size_t>(cJSON_GetArraySize(rules)));
  for (size_t i = 0; i < lines.size(); ++i) {
    const cJSON* rule = cJSON_GetArrayItem(rules, static_cast<int>(i));
    JsonPtr line = ParseJson(lines[i]);
    for (const char* member : {"fileName", "sha256", "md5"})
      EXPECT_EQ(StringMember(line.get(), member), StringMember(rule, member)) << member;
    EXPECT_EQ(NumberMember(line.get(), "source"), 2);
    EXPECT_EQ(NumberMember(line.get(), "isAuthorized"),
              StringMember(rule, "action") == "block" ? 0 : 1);
    EXPECT_EQ(StringMember(line.get(), "rulesetId"), "demo-execution");
    EXPECT_EQ(StringMember(line.get(), "scanUuid"), "scan-1");
  }

  // Small pages give the same file as one big page.
  ASSERT_EQ(Brixctl({"export", "--page-size", "2", "--scan-id", "s", "paged.jsonl"}).status, 0);
  ASSERT_EQ(Brixctl({"export", "--scan-id", "s", "whole.jsonl"}).status, 0);
  EXPECT_EQ(TextLines(ReadFile(PathIn("paged.jsonl"))).size(), 9u);
  EXPECT_EQ(ReadFile(PathIn("paged.jsonl")), ReadFile(PathIn("whole.jsonl")));

  EXPECT_EQ(NumberMember(Json({"export", "--source", "scanned", "scanned.jsonl"}).get(), "items"),
            2);
  for (const std::string& line : TextLines(ReadFile(PathIn("scanned.jsonl")))) {
    JsonPtr item = ParseJson(line);
    EXPECT_EQ(NumberMember(item.get(), "source"), 3);
    EXPECT_EQ(StringMember(item.get(), "nativePath").rfind(dir() + "/bin/", 0), 0u);
  }

  // Trust rules, with their user lists (checked where the lines are made).
  ImportExamples();
  ASSERT_EQ(Brixctl({"export", "--source", "trust", "trust.jsonl"}).status, 0);
  EXPECT_EQ(TextLines(ReadFile(PathIn("trust.jsonl"))).size(), 5u);
}

TEST_F(BrixctlTest, InvalidRulesetsAreRefusedAndAppendKeepsTheStoredRules) {
  ASSERT_EQ(Brixctl({"import", "demo-execution", kExamples + "/execution-ruleset.json"}).status,
            0);
  struct Case {
    std::string name;
    std::string content;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"demo-execution", "{\"rules\": [\n  {\"sha256\": }\n]}",
       "not valid JSON (line 2, column 14)"},
      {"demo-execution", "[]", "the document must be a JSON object"},
      {"demo-execution",
       "{\"rules\": [{\"sha256\": \"" + std::string(64, 'a') + "\", \"action\": \"deny\"}]}",
       "rules[0]: \"action\" must begin with \"allow\" or \"block\""},
      {"demo-execution", "{\"rules\": [{\"sha256\": \"abc\", \"action\": \"allow\"}]}",
       "rules[0]: \"sha256\" must be 64 hexadecimal digits"},
      {"demo-execution", "{\"rules\": [{\"action\": \"allow\"}]}", "rules[0]: names no file"},
      {"demo-execution", "{\"Trustrules\": []}", "trust rules need a name containing"},
      {"site-trustrules", "{\"rules\": []}", "makes it a trust ruleset"},
      {"site-trustrules", "{\"Trustrules\": [{\"trustType\": 7}]}",
       "Trustrules[0]: \"trustType\" must be 0 (any)"},
      {"site-trustrules", "{\"Userlists\": [{\"id\": \"x\", \"users\": [1]}]}",
       "Userlists[0]: \"users\" must hold only strings"},
  };
  for (const Case& c : cases) {
    WriteText(PathIn("bad.json"), c.content);
    const ToolRun run = Brixctl({"import", c.name, "bad.json"});
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  const std::string rules = "SELECT count(*) FROM InventoryItems WHERE source = 2";
  EXPECT_EQ(Query(rules), "7");
  WriteText(PathIn("extra.json"),
            "{\"rules\": [{\"md5\": \"" + std::string(32, 'b') + "\", \"action\": \"allow\"}]}");
  ToolRun run = Brixctl({"import", "--append", "extra", "extra.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("1 rules, added to the stored ones"), std::string::npos) << run.out;
  EXPECT_EQ(Query(rules), "8");
  ASSERT_EQ(Brixctl({"import", "extra", "extra.json"}).status, 0);
  EXPECT_EQ(Query(rules), "1");
}

TEST_F(BrixctlTest, MetricsPurgeDeleteAndFlush) {
  MakeBin();
  ImportExamples();
  // Metrics, pretty or raw.
  ToolRun run = Brixctl({"metrics"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("metrics:\n  ACVersion: 12.0.178\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("    executionRules: 7\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("      demo-execution: 7\n"), std::string::npos) << run.out;
  JsonPtr json = Json({"metrics"});
  const cJSON* dbinfo = cJSON_GetObjectItemCaseSensitive(
      cJSON_GetObjectItemCaseSensitive(json.get(), "metrics"), "dbinfo");
  EXPECT_EQ(NumberMember(dbinfo, "agentRules"), 2);
  EXPECT_EQ(NumberMember(dbinfo, "totalTrustRules"), 5);

  ASSERT_EQ(Brixctl({"scan", "bin"}).status, 0);
  run = Brixctl({"purge", "scanned"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "purged scanned items (source 3) from ac.db\n");
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 3"), "0");
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 2"), "7");
  run = Brixctl({"purge", "6"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Query("SELECT count(*) FROM TrustRules"), "0");
  run = Brixctl({"flush"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "nothing to flush: the write buffers were empty\n");

  run = Brixctl({"delete-db"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "deleted ac.db\n");
  EXPECT_FALSE(std::filesystem::exists(PathIn("ac.db")));
}

// --- replay --------------------------------------------------------------------

TEST_F(BrixctlTest, ReplayOfTheExampleTraceGetsEveryExpectedVerdict) {
  ImportExamples();
  // The trace's drift events name files beside it, and the engine does not
  // watch folders under /tmp/: replay a copy kept in a watched folder, as
  // the checkout itself may lie under /tmp/.
  char watched[4096];
  snprintf(watched, sizeof(watched), "%s/brix_examples_XXXXXX", WatchedBaseDir().c_str());
  ASSERT_NE(mkdtemp(watched), nullptr);
  std::filesystem::copy(kExamples, watched, std::filesystem::copy_options::recursive);
  const ToolRun run = Brixctl({"--json", "replay", std::string(watched) + "/trace.jsonl"});
  std::error_code ignored;
  std::filesystem::remove_all(watched, ignored);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const std::vector<std::string> lines = TextLines(run.out);
  ASSERT_EQ(lines.size(), 28u);
  std::map<std::string, int> verdicts;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    JsonPtr json = ParseJson(lines[i]);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(json.get(), "asExpected")))
        << lines[i];
    ++verdicts[StringMember(json.get(), "verdict")];
  }
  // Every kind of verdict the examples are there to show.
  EXPECT_EQ(verdicts, (std::map<std::string, int>{{"allowed", 9},
                                                  {"blocked", 4},
                                                  {"logged only", 3},
                                                  {"excluded", 3},
                                                  {"ignored", 2},
                                                  {"error", 1},
                                                  {"deleted", 1},
                                                  {"drift trusted", 1},
                                                  {"drift untrusted", 1},
                                                  {"drift allow-listed", 1},
                                                  {"drift block-listed", 1}}));
  JsonPtr summary = ParseJson(lines.back());
  EXPECT_EQ(NumberMember(summary.get(), "events"), 27);
  EXPECT_EQ(NumberMember(summary.get(), "notAsExpected"), 0);
  // The trusted drift was recorded as approved drift.
  EXPECT_EQ(Query("SELECT fileName FROM InventoryItems WHERE source = 4"),
            "vendor-update.bin");
}

TEST_F(BrixctlTest, ReplayReportsEventsThatMissTheirExpectation) {
  WriteText(PathIn("trace.jsonl"),
            "{\"type\": 23, \"name\": \"/opt/x\", \"isexec\": 1, \"fileSha256\": \"" +
                std::string(64, 'c') + "\", \"expect\": \"blocked\"}\n"
                "{\"type\": 23, \"name\": \"/opt/y\", \"isexec\": 1, \"fileSha256\": \"" +
                std::string(64, 'd') + "\"}\n");
  const ToolRun run = Brixctl({"replay", "trace.jsonl"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("line 1    logged only        /opt/x ("), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(") -- expected blocked"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("replayed 2 events: 2 logged only"), std::string::npos);
  EXPECT_NE(run.out.find("0 of 1 expectations met"), std::string::npos);
  EXPECT_EQ(run.err, "brixctl: replay: 1 of 1 events did not get the verdict the trace "
                     "expects\n");
}

TEST_F(BrixctlTest, AnInvalidTraceIsRefusedBeforeAnyEventIsSent) {
  ImportExamples();
  // Line 1 alone would record approved drift; line 3 is misspelt.
  const std::string drift =
      "{\"type\": 36, \"processName\": \"/usr/bin/dpkg\", \"name\": \"" + kExamples +
      "/files/vendor-update.bin\", \"dirty\": 1, \"size\": 97, \"fileSha256\": \"" +
      std::string(64, 'e') + "\"}\n";
  WriteText(PathIn("trace.jsonl"),
            drift + "# a comment\n{\"type\": 23, \"procesName\": \"/bin/sh\"}\n{\"pid\": -1}\n");
  const ToolRun run = Brixctl({"replay", "trace.jsonl"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "trace.jsonl:3: unknown field \"procesName\"\n"
            "trace.jsonl:4: \"pid\" must be a non-negative integer\n"
            "brixctl: replay: trace.jsonl has 2 invalid lines; no event was sent\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 4"), "0");
}

}  // namespace
