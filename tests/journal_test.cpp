// Tests of the decision journal: brixd's writer (queue, rotation, files it
// refuses), the line format, the reader that brixctl's report and suggest
// share, and the two commands on synthetic journals.
#include <sys/stat.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Journal.h"
#include "JournalFormat.h"
#include "JournalReader.h"
#include "test_util.h"

namespace {

using brix_host::JournalKind;
using brix_host::JournalRecord;

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');
const std::string kHashC(64, 'c');

JournalRecord Decision(JournalKind kind, const std::string& path, const std::string& sha256,
                       const std::string& verdict = "logged only", uint64_t time = 1700000000000) {
  JournalRecord record;
  record.timeMillis = time;
  record.kind = kind;
  record.verdict = verdict;
  record.path = path;
  record.sha256 = sha256;
  record.size = 4096;
  record.pid = 42;
  record.process = "/usr/bin/bash";
  record.parent = "/usr/sbin/sshd";
  record.user = "alice";
  record.group = "staff";
  return record;
}

void Append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

std::vector<JournalRecord> ReadAllRecords(const std::vector<std::string>& paths,
                                          brix_host::JournalReading* reading,
                                          brix_host::JournalFilter filter = {}) {
  std::vector<JournalRecord> records;
  std::string error;
  EXPECT_TRUE(brix_host::ReadJournals(
      paths, filter, [&](const JournalRecord& r) { records.push_back(r); }, reading, &error))
      << error;
  return records;
}

// ---------------------------------------------------------------- format

TEST(JournalFormatTest, LinesRoundTripAndBadLinesSayWhy) {
  JournalRecord record = Decision(JournalKind::kDrift, "/srv/a b\n\"c\"", kHashA, "drift trusted");
  record.oldPath = "/srv/old";
  record.denied = true;
  record.reason = "deadline";
  record.source = 4;
  record.isAuthorized = 4;
  record.ruleset = "site";
  const std::string line = brix_host::JournalLine(record);
  EXPECT_EQ(line.find('\n'), std::string::npos) << "one record, one line";
  JournalRecord back;
  std::string error;
  ASSERT_TRUE(brix_host::ParseJournalLine(line, &back, &error)) << error;
  EXPECT_EQ(back.timeMillis, record.timeMillis);
  EXPECT_EQ(back.kind, JournalKind::kDrift);
  EXPECT_EQ(back.path, record.path);
  EXPECT_EQ(back.oldPath, "/srv/old");
  EXPECT_TRUE(back.denied);
  EXPECT_EQ(back.reason, "deadline");
  EXPECT_EQ(back.parent, "/usr/sbin/sshd");
  EXPECT_EQ(back.isAuthorized, 4u);
  EXPECT_EQ(back.ruleset, "site");

  // A summary's counts travel through the writer tests; its start here.
  JournalRecord summary;
  summary.kind = JournalKind::kSummary;
  summary.timeMillis = 1700000060000;
  summary.sinceMillis = 1700000000000;
  ASSERT_TRUE(brix_host::ParseJournalLine(brix_host::JournalLine(summary), &back, &error));
  EXPECT_EQ(back.sinceMillis, 1700000000000u);

  const std::string base = R"({"time":"2026-12-06T05:00:00.000Z","kind":"start",)"
                           R"("verdict":"blocked","answer":"deny",)";
  for (const auto& [bad, why] : std::vector<std::pair<std::string, std::string>>{
           {"[1]", "not a JSON object"},
           {base + R"("path":"relative"})", "absolute"},
           {base + R"("path":"/x","sha256":"abc"})", "sha256"},
           {base + R"("path":"/x","size":-1})", "size"},
           {R"({"time":"yesterday","kind":"start"})", "time"},
           {R"({"time":"2026-12-06T05:00:00Z","kind":"exec"})", "kind"}}) {
    EXPECT_FALSE(brix_host::ParseJournalLine(bad, &back, &error)) << bad;
    EXPECT_NE(error.find(why), std::string::npos) << bad << ": " << error;
  }
}

TEST(JournalFormatTest, EntryKeepsWhatMattersAndCountsInventoryAllows) {
  using brixd::JournalEntry;
  using brixd::JournalEntryFor;
  ac_wrapper_response_s response{};
  response.action = BRIX_ACTION_ALLOW;
  response.type = 1;
  // Unknown software without lockdown: what lockdown would stop.
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kRecord);
  response.decision = 1;
  response.isAuthorized = 3;
  response.source = DAL_SOURCE_SCANNED_ITEMS;
  EXPECT_EQ(JournalEntryFor(JournalKind::kLibrary, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kCountInventory);
  // The fail policy always leaves a line, whatever the engine said.
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_SUCCESS, response, true, false),
            JournalEntry::kRecord);
  response.isAuthorized = 4;
  response.source = DAL_SOURCE_TRUST_RULES;
  EXPECT_EQ(JournalEntryFor(JournalKind::kScript, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kRecord);
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_BLOCK, response, false, false),
            JournalEntry::kRecord);

  ac_wrapper_response_s drift{};
  drift.type = 4;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, false),
            JournalEntry::kSkip) << "a written text file is not worth a line";
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, true),
            JournalEntry::kRecord);
  drift.isAuthorized = 3;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, true),
            JournalEntry::kSkip) << "known content";
  drift.isAuthorized = 1;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, false),
            JournalEntry::kRecord) << "recorded by the maintenance window";
}

// ---------------------------------------------------------------- writer

class JournalWriterTest : public TempDirTest {
 protected:
  brixd::JournalSettings Settings() {
    brixd::JournalSettings settings;
    settings.path = PathIn("journal.jsonl");
    return settings;
  }
  std::vector<std::string> errors_;
  brixd::Journal::ErrorSink Sink() {
    return [this](const std::string& error) { errors_.push_back(error); };
  }
};

TEST_F(JournalWriterTest, AppendsAcrossRestartsAfterACutOffLine) {
  {
    brixd::Journal journal(Settings(), Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    journal.Add(Decision(JournalKind::kStart, "/srv/a", kHashA));
    journal.CountInventoryAllow(JournalKind::kStart);
    journal.CountInventoryAllow(JournalKind::kLibrary);
    journal.Stop();
    EXPECT_EQ(journal.written(), 2u) << "the record and the closing summary";
  }
  EXPECT_EQ(std::filesystem::status(PathIn("journal.jsonl")).permissions(),
            std::filesystem::perms(0640));
  // A crash in the middle of a line: the next brixd must not glue its
  // first record to it.
  Append(PathIn("journal.jsonl"), R"({"time":"2026-12-06T05:00:00.000Z","ki)");
  {
    brixd::Journal journal(Settings(), Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    journal.Add(Decision(JournalKind::kScript, "/srv/b.py", kHashB));
  }  // the destructor writes what is queued
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({PathIn("journal.jsonl")}, &reading);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].path, "/srv/a");
  EXPECT_EQ(records[1].kind, JournalKind::kSummary);
  EXPECT_EQ(records[1].inventoryStarts, 1u);
  EXPECT_EQ(records[1].inventoryLibraries, 1u);
  EXPECT_EQ(records[2].path, "/srv/b.py");
  EXPECT_EQ(reading.badLines, 1u) << "the cut-off line, now complete but not a record";
  EXPECT_TRUE(errors_.empty());
}

TEST_F(JournalWriterTest, RotatesBySizeKeepingNFilesAndTheReaderTakesThemInOrder) {
  brixd::JournalSettings settings = Settings();
  settings.maxSize = 1024;
  settings.keep = 2;
  {
    brixd::Journal journal(settings, Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    // Each about 300 bytes: three fit in a file, so 20 records need
    // seven files and only the newest three stay.
    for (int i = 0; i < 20; ++i)
      journal.Add(Decision(JournalKind::kStart, "/srv/p" + std::to_string(i), kHashA, "logged only",
                           1700000000000 + static_cast<uint64_t>(i)));
    journal.Stop();
  }
  std::error_code missing;
  for (const char* name : {"journal.jsonl", "journal.jsonl.1", "journal.jsonl.2"})
    EXPECT_LE(std::filesystem::file_size(PathIn(name), missing), 1024u) << name;
  EXPECT_NE(access(PathIn("journal.jsonl.3").c_str(), F_OK), 0);
  brix_host::JournalReading reading;
  // Named twice (once through a rotated file): read once.
  const auto records =
      ReadAllRecords({PathIn("journal.jsonl"), PathIn("journal.jsonl.1")}, &reading);
  ASSERT_EQ(reading.files.size(), 3u);
  EXPECT_EQ(reading.files[0], PathIn("journal.jsonl.2"));
  ASSERT_GE(records.size(), 5u);
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_LE(records[i - 1].timeMillis, records[i].timeMillis) << "oldest file first";
  EXPECT_EQ(records.back().kind, JournalKind::kSummary);
  EXPECT_EQ(records[records.size() - 2].path, "/srv/p19");

  // --since and --until keep records inside the window only.
  brix_host::JournalReading window;
  const auto inside = ReadAllRecords({PathIn("journal.jsonl")}, &window,
                                     {1700000000018, 1700000000019});
  EXPECT_EQ(inside.size(), 2u);
  EXPECT_GE(window.outsideTime, 1u);
}

TEST_F(JournalWriterTest, RefusesLinksAndCountsWhatItDrops) {
  const std::string target = PathIn("elsewhere");
  Append(target, "");
  ASSERT_EQ(symlink(target.c_str(), PathIn("journal.jsonl").c_str()), 0);
  std::string error;
  const auto refused = [&] {
    brixd::Journal journal(Settings(), Sink());
    return !journal.Start(&error);
  };
  EXPECT_TRUE(refused());
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);
  ASSERT_EQ(link(target.c_str(), PathIn("journal.jsonl").c_str()), 0);
  EXPECT_TRUE(refused()) << "a second name could be anyone's file";
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);
  ASSERT_EQ(mkfifo(PathIn("journal.jsonl").c_str(), 0600), 0);
  EXPECT_TRUE(refused()) << "a FIFO must neither hang nor be written";
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);

  brixd::JournalSettings settings = Settings();
  settings.maxQueued = 0;  // every record finds the queue full
  brixd::Journal journal(settings, Sink());
  ASSERT_TRUE(journal.Start(&error)) << error;
  for (int i = 0; i < 3; ++i) journal.Add(Decision(JournalKind::kStart, "/srv/x", kHashA));
  journal.Stop();
  EXPECT_EQ(journal.dropped(), 3u);
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({PathIn("journal.jsonl")}, &reading);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].dropped, 3u) << "the summary says what was lost";
  ASSERT_FALSE(errors_.empty());
  EXPECT_NE(errors_.back().find("3 records dropped"), std::string::npos);
}

TEST_F(JournalWriterTest, ReaderSkipsBadLinesAndTheCutOffLastLine) {
  const std::string path = PathIn("j.jsonl");
  Append(path, brix_host::JournalLine(Decision(JournalKind::kStart, "/srv/a", kHashA)) + "\n");
  Append(path, "not json\n\n{\"kind\":\"start\"}\n");
  Append(path, brix_host::JournalLine(Decision(JournalKind::kStart, "/srv/b", kHashB)) + "\n");
  Append(path, R"({"time":"2026-12-06T05:00:00.000Z","kind":"sta)");
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({path}, &reading);
  EXPECT_EQ(records.size(), 2u);
  EXPECT_EQ(reading.badLines, 2u);
  EXPECT_EQ(reading.truncated, 1u);
  ASSERT_EQ(reading.problems.size(), 2u);
  EXPECT_EQ(reading.problems[0].rfind(path + ":2: ", 0), 0u) << reading.problems[0];

  std::string error;
  EXPECT_FALSE(brix_host::ReadJournals({PathIn("missing")}, {}, [](const JournalRecord&) {},
                                       &reading, &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

// ---------------------------------------------------------------- brixctl

class JournalCommandTest : public TempDirTest {
 protected:
  // Folder rules need folders whose every ancestor is closed to others.
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void SetUp() override {
    TempDirTest::SetUp();
    for (std::filesystem::path p = dir(); p != p.parent_path(); p = p.parent_path()) {
      struct stat st {};
      if (stat(p.c_str(), &st) == 0 && (st.st_mode & S_IWOTH))
        GTEST_SKIP() << p << " is world-writable: no folder below it can be trusted";
    }
  }

  ToolRun Brixctl(std::vector<std::string> args) {
    args.insert(args.begin(), BRIXCTL_PATH);
    return RunTool(args, dir());
  }

  std::string Folder(const std::string& name, mode_t mode = 0755) {
    const std::string path = PathIn(name);
    std::filesystem::create_directories(path);
    chmod(path.c_str(), mode);
    return path;
  }

  void Write(const std::vector<JournalRecord>& records) {
    for (const JournalRecord& record : records)
      Append(PathIn("journal.jsonl"), brix_host::JournalLine(record) + "\n");
  }
};

TEST_F(JournalCommandTest, ReportGroupsByProgramFolderKindAndWriter) {
  const std::string bin = Folder("opt/bin");
  JournalRecord first = Decision(JournalKind::kStart, bin + "/tool", kHashA, "logged only", 1700000000000);
  JournalRecord second = first;
  second.timeMillis = 1700000005000;
  second.process = "/usr/bin/make";
  second.user = "bob";
  JournalRecord drift = Decision(JournalKind::kDrift, bin + "/tool", kHashA, "drift untrusted", 1699999999000);
  drift.process = "/usr/bin/ld.bfd";
  JournalRecord known =
      Decision(JournalKind::kStart, "/usr/bin/ls", kHashC, "allowed", 1700000001000);
  known.isAuthorized = 4;
  known.source = DAL_SOURCE_TRUST_RULES;
  JournalRecord summary;
  summary.kind = JournalKind::kSummary;
  summary.timeMillis = 1700000060000;
  summary.inventoryStarts = 40;
  Write({drift, drift, first, second,
         Decision(JournalKind::kLibrary, bin + "/libx.so", kHashB, "logged only", 1700000001000),
         Decision(JournalKind::kScript, bin + "/run.sh", kHashC, "logged only", 1700000001000),
         known, summary});

  const ToolRun text = Brixctl({"report", PathIn("journal.jsonl")});
  ASSERT_EQ(text.status, 0) << text.err;
  // The answer first; a file written twice is one file.
  EXPECT_EQ(TextLines(text.out).at(1),
            "Summary: lockdown would have stopped 3 files (4 events); 0 files answered by the "
            "fail policy; 1 file written on watched file systems");
  EXPECT_NE(text.out.find("Lockdown would have stopped 3 files"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("by /usr/bin/bash (1), /usr/bin/make (1); users alice, bob"),
            std::string::npos) << text.out;
  EXPECT_NE(text.out.find(bin + "/  3 files"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("by /usr/bin/ld.bfd"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("40 starts"), std::string::npos) << text.out;

  const ToolRun json = Brixctl({"--json", "report", "--since", "2023-11-14T22:13:20.500Z",
                                PathIn("journal.jsonl")});
  ASSERT_EQ(json.status, 0) << json.err;
  JsonPtr root = ParseJson(json.out);
  const cJSON* unknown = cJSON_GetObjectItem(root.get(), "unknown");
  ASSERT_EQ(cJSON_GetArraySize(unknown), 3);
  const cJSON* tool = nullptr;
  for (const cJSON* item = unknown->child; item; item = item->next)
    if (JsonText(item, "path") == bin + "/tool") tool = item;
  ASSERT_NE(tool, nullptr);
  EXPECT_EQ(JsonNumber(tool, "events"), 1) << "the start before --since is left out";
  EXPECT_EQ(JsonText(tool, "kind"), "start");
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root.get(), "drift")), 0)
      << "written before --since";
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root.get(), "trusted")), 1);

  // "What was refused just now?": the records are older than that.
  EXPECT_NE(Brixctl({"report", "--since", "5m", PathIn("journal.jsonl")})
                .out.find("Summary: lockdown would have stopped 0 files"),
            std::string::npos);
  EXPECT_EQ(Brixctl({"report"}).status, 2);
  EXPECT_EQ(Brixctl({"report", PathIn("missing")}).status, 2);
  EXPECT_EQ(Brixctl({"report", "--since", "soon", PathIn("journal.jsonl")}).status, 2);
}

TEST_F(JournalCommandTest, SuggestNeverTrustsWorldWritableFoldersAndItsRulesetsImport) {
  const std::string app = Folder("srv/app");
  const std::string build = Folder("srv/build");
  const std::string other = Folder("srv/other");
  const std::string open = Folder("srv/open", 0777);
  const std::string below = Folder("srv/open/sub");
  std::vector<JournalRecord> records;
  int n = 0;
  for (const std::string& folder : {app, open, below, std::string("/tmp/x"),
                                    std::string("/home/u/Downloads"),
                                    std::string("/nonexistent/dir")})
    for (int i = 0; i < 5; ++i)
      records.push_back(
          Decision(JournalKind::kStart, folder + "/f" + std::to_string(i), SeedHex(++n)));
  // Built here by the linker and by cp: one writer may be trusted.
  for (const char* writer : {"/usr/bin/ld.bfd", "/usr/bin/cp"}) {
    const std::string output = build + "/out-" + std::string(writer).substr(9);
    JournalRecord drift = Decision(JournalKind::kDrift, output, SeedHex(++n), "drift untrusted");
    drift.process = writer;
    records.push_back(drift);
    records.push_back(Decision(JournalKind::kStart, output, SeedHex(n), "logged only",
                               drift.timeMillis + 1));
  }
  JournalRecord banned = Decision(JournalKind::kStart, other + "/banned", SeedHex(++n), "blocked");
  banned.decision = 2;
  banned.isAuthorized = 2;
  banned.denied = true;
  records.push_back(banned);
  records.push_back(Decision(JournalKind::kLibrary, other + "/libz.so", SeedHex(++n)));
  Write(records);

  const std::string out = PathIn("suggested");
  const ToolRun run = Brixctl(
      {"--db", "ac.db", "suggest", "--out", out, "--folder-rules", PathIn("journal.jsonl")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(out + "/suggested-rules.json: 3 execution rules by hash\n"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find(out + "/suggested-trustrules.json: 2 trust rules\n  trusts every file "
                         "directly in " + app + "/ (5 unknown files seen there): files put\n"
                         "    there later, never seen, will run under lockdown too\n"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  brixctl --db ac.db import --append suggested-rules " + out +
                         "/suggested-rules.json\n"),
            std::string::npos) << run.out;
  const std::string trust = ReadFile(out + "/suggested-trustrules.json");
  const std::string hashes = ReadFile(out + "/suggested-rules.json");
  EXPECT_NE(trust.find("\"" + app + "/*\""), std::string::npos) << trust;
  EXPECT_NE(trust.find("/usr/bin/ld.bfd"), std::string::npos) << trust;
  for (const std::string& refused : {open, below, std::string("/tmp"), std::string("/home"),
                                     std::string("/nonexistent"), std::string("/usr/bin/cp")}) {
    EXPECT_EQ(trust.find(refused), std::string::npos) << refused << " trusted:\n" << trust;
    EXPECT_NE(run.out.find(refused), std::string::npos) << refused << " not listed:\n" << run.out;
  }
  EXPECT_NE(run.out.find("world-writable (o+w)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Downloads"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("never overrides a block"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("general-purpose tool"), std::string::npos) << run.out;
  // By hash: the two built files and the library, nothing from the
  // world-writable places, the folder rule's files or the blocked one.
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(ParseJson(hashes).get(), "rules")), 3)
      << hashes;
  EXPECT_EQ(hashes.find(SeedHex(n - 1)), std::string::npos) << "the blocked file";

  const std::string db = PathIn("ac.db");
  const ToolRun rules = Brixctl({"--db", db, "import", "--append", "suggested-rules",
                                 out + "/suggested-rules.json"});
  EXPECT_EQ(rules.status, 0) << rules.err;
  EXPECT_NE(rules.out.find("3 rules"), std::string::npos) << rules.out;
  const ToolRun trusts = Brixctl({"--db", db, "import", "--append", "suggested-trustrules",
                                  out + "/suggested-trustrules.json"});
  EXPECT_EQ(trusts.status, 0) << trusts.err;
  EXPECT_NE(trusts.out.find("2 trust rules"), std::string::npos) << trusts.out;
  EXPECT_TRUE(rules.err.empty() && trusts.err.empty()) << rules.err << trusts.err;

  // Without --folder-rules no folder is trusted, however many files it holds.
  EXPECT_NE(Brixctl({"suggest", "--out", out, PathIn("journal.jsonl")})
                .out.find("suggested-trustrules.json: 1 trust rule\n"),
            std::string::npos);
  EXPECT_EQ(Brixctl({"suggest", PathIn("journal.jsonl")}).status, 2) << "--out is required";
  EXPECT_EQ(Brixctl({"suggest", "--out", out, "--folder-rules", "--folder-threshold", "1",
                     PathIn("journal.jsonl")}).status, 2);
}

}  // namespace
