// Tests of the host library's events, verdicts and scans: events built
// from real files, the verdict a response folds into, log masks, and the
// tree walk with its ordered parallel hashing.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "EngineSession.h"
#include "HostEvent.h"
#include "HostStatus.h"
#include "TreeScan.h"
#include "test_util.h"

namespace {

using brix_host::FileOperation;
using brix_host::HostEvent;
using brix_host::Verdict;

class HostEventTest : public TempDirTest {};

TEST_F(HostEventTest, AProgramStartCarriesTheFilesDigestsSizeAndExecuteBit) {
  WriteText(PathIn("tool"), "#!/bin/sh\necho hi\n", 0750);
  ASSERT_EQ(symlink("tool", PathIn("alias").c_str()), 0);
  FileOperation operation;
  operation.path = PathIn("alias");
  operation.processPath = "/usr/bin/bash";
  operation.user = "alice";
  operation.pid = 42;
  HostEvent event;
  std::string error;
  ASSERT_TRUE(brix_host::BuildFileEvent(operation, &event, &error)) << error;
  const ac_wrapper_event_s record = event.Record();
  EXPECT_EQ(record.type, brix_host::kHostTypeProgramStart);
  EXPECT_EQ(std::string(record.name), dir() + "/tool") << "links resolved, as exec does";
  EXPECT_EQ(std::string(record.processName), "/usr/bin/bash");
  EXPECT_EQ(std::string(record.user), "alice");
  EXPECT_EQ(record.group, nullptr) << "not given: null";
  EXPECT_EQ(record.cmdLine, nullptr);
  EXPECT_EQ(record.pid, 42u);
  EXPECT_EQ(record.isexec, 1);
  EXPECT_EQ(record.size, 18u);
  EXPECT_EQ(record.mode & 07777, 0750u);
  brix_host::FileDigests expected;
  ASSERT_TRUE(brix_host::HashFile(PathIn("tool"), &expected, &error));
  EXPECT_EQ(memcmp(record.fileSha256, expected.sha256.data(), 32), 0);
  EXPECT_EQ(memcmp(record.fileSha1, expected.sha1.data(), 20), 0);
  EXPECT_EQ(memcmp(record.fileMd5, expected.md5.data(), 16), 0);
  EXPECT_EQ(record.processSha256, nullptr);
}

TEST_F(HostEventTest, MappingsAndScriptOpensUseTheirOwnCodesAndMissingFilesFail) {
  WriteText(PathIn("lib.so"), "not really a library");
  FileOperation operation;
  operation.path = PathIn("lib.so");
  operation.kind = FileOperation::Kind::kMapping;
  HostEvent event;
  std::string error;
  ASSERT_TRUE(brix_host::BuildFileEvent(operation, &event, &error)) << error;
  EXPECT_EQ(event.Record().type, brix_host::kHostTypeMapping);
  EXPECT_EQ(event.Record().mode, brix_host::kMappingProtectionExec) << "the protection";
  EXPECT_EQ(event.Record().isexec, 0);

  operation.kind = FileOperation::Kind::kScriptOpen;
  operation.commandLine = "python3 lib.so";
  ASSERT_TRUE(brix_host::BuildFileEvent(operation, &event, &error)) << error;
  EXPECT_EQ(event.Record().type, brix_host::kHostTypeScriptOpen);
  EXPECT_EQ(std::string(event.Record().cmdLine), "python3 lib.so");

  // A missing target is an error, and the event is left as it was.
  operation.path = PathIn("missing");
  EXPECT_FALSE(brix_host::BuildFileEvent(operation, &event, &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(std::string(event.Record().name), PathIn("lib.so"));
}

TEST(HostEventRecordTest, RecordPointsIntoTheEventAndCopiesStayIndependent) {
  HostEvent event;
  event.SetText(&ac_wrapper_event_s::name, "/a");
  HostEvent copy = event;
  copy.SetText(&ac_wrapper_event_s::name, "/b");
  EXPECT_EQ(std::string(event.Record().name), "/a");
  EXPECT_EQ(std::string(copy.Record().name), "/b");
  EXPECT_EQ(*event.Text(&ac_wrapper_event_s::name), "/a");
  // Every text member of the record is reachable by its name.
  for (size_t i = 0; i < std::size(brix_host::kTextFields); ++i)
    event.SetText(i, brix_host::kTextFields[i].name);
  const ac_wrapper_event_s record = event.Record();
  for (const brix_host::TextField& field : brix_host::kTextFields)
    EXPECT_EQ(std::string(record.*field.member), field.name);
}

ac_wrapper_response_s Response(uint32_t action, uint32_t type, uint32_t isAuthorized,
                               uint32_t decision) {
  ac_wrapper_response_s r{};
  r.action = action;
  r.type = type;
  r.isAuthorized = isAuthorized;
  r.decision = decision;
  return r;
}

TEST(HostStatusTest, ResponsesFoldIntoVerdicts) {
  using brix_host::ClassifyResponse;
  struct Case {
    uint32_t status;
    ac_wrapper_response_s response;
    Verdict verdict;
  };
  const Case cases[] = {
      {BRIX_STATUS_SUCCESS, Response(9, 1, 3, 1), Verdict::kAllowed},
      {BRIX_STATUS_SUCCESS, Response(9, 1, 0, 0), Verdict::kLoggedOnly},
      {BRIX_STATUS_SUCCESS, Response(9, 0, 3, 0), Verdict::kAllowed},  // allow cache
      {BRIX_STATUS_SUCCESS, Response(9, 1, 1, 1), Verdict::kAllowed},  // maintenance
      {BRIX_STATUS_BLOCK, Response(10, 1, 2, 2), Verdict::kBlocked},
      {BRIX_STATUS_SUCCESS, Response(10, 1, 0, 0), Verdict::kWaitingManifest},
      {BRIX_STATUS_FAILED, Response(8, 1, 0, 0), Verdict::kError},
      {BRIX_STATUS_NOT_STARTED, Response(0, 0, 0, 0), Verdict::kError},
      {BRIX_STATUS_SUCCESS, Response(7, 4, 5, 0), Verdict::kExcluded},
      {BRIX_STATUS_SUCCESS, Response(7, 0, 5, 0), Verdict::kExcluded},
      {BRIX_STATUS_SUCCESS, Response(7, 0, 0, 0), Verdict::kIgnored},
      {BRIX_STATUS_SUCCESS, Response(0, 15, 0, 0), Verdict::kIgnored},
      {BRIX_STATUS_SUCCESS, Response(0, 4, 4, 0), Verdict::kDriftTrusted},
      {BRIX_STATUS_SUCCESS, Response(0, 4, 3, 1), Verdict::kDriftAllowListed},
      {BRIX_STATUS_SUCCESS, Response(0, 4, 2, 2), Verdict::kDriftBlockListed},
      {BRIX_STATUS_SUCCESS, Response(0, 4, 0, 2), Verdict::kDriftBlockListed},  // block rule
      {BRIX_STATUS_SUCCESS, Response(0, 4, 1, 0), Verdict::kDriftAuthorised},
      {BRIX_STATUS_SUCCESS, Response(0, 4, 0, 0), Verdict::kDriftUntrusted},
      {BRIX_STATUS_SUCCESS, Response(0, 7, 0, 0), Verdict::kDeleted},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyResponse(c.status, c.response), c.verdict)
        << "status " << c.status << " action " << c.response.action << " type "
        << c.response.type << " isAuthorized " << c.response.isAuthorized;
}

// A status outside the table still reads as one, and a ruleset name that
// fills its field is not read past it.
TEST(HostStatusTest, UnknownStatusesAndFullRulesetNames) {
  EXPECT_EQ(brix_host::DescribeStatus(0xc0000099u), "unknown status (0xc0000099)");
  ac_wrapper_response_s r{};
  memset(r.ruleset, 'r', sizeof(r.ruleset));  // 80 bytes, no terminator
  EXPECT_EQ(brix_host::ResponseRuleset(r), std::string(80, 'r'));
}

TEST(HostStatusTest, LogMasksByNumberOrName) {
  uint32_t mask = 99;
  for (const auto& [text, want] : std::vector<std::pair<const char*, uint32_t>>{
           {"6", 6}, {"warning,error", BRIX_LOG_WARNING | BRIX_LOG_ERROR}, {"all", 15},
           {"none", 0}}) {
    EXPECT_TRUE(brix_host::ParseLogMask(text, &mask)) << text;
    EXPECT_EQ(mask, want) << text;
  }
  for (const char* bad : {"", "16", "-1", "loud", "error,", "error,,trace"})
    EXPECT_FALSE(brix_host::ParseLogMask(bad, &mask)) << bad;
}

class HostScanTest : public TempDirTest {};

TEST_F(HostScanTest, TheWalkListsRegularFilesInPathOrderAndPassesOverTheRest) {
  // b before a: the walk's order is not the order the folders were made in.
  std::filesystem::create_directories(PathIn("tree/b"));
  std::filesystem::create_directories(PathIn("tree/a"));
  for (const char* name : {"tree/z", "tree/b/y", "tree/a/x", "tree/a/w"})
    std::ofstream(PathIn(name)) << name;
  ASSERT_EQ(symlink("/etc/hostname", PathIn("tree/link").c_str()), 0);
  ASSERT_EQ(mkfifo(PathIn("tree/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink(PathIn("tree").c_str(), PathIn("tree/a/loop").c_str()), 0);

  brix_host::ScanPlan plan;
  std::string error;
  ASSERT_TRUE(brix_host::PlanScan({PathIn("tree"), PathIn("tree/z")}, &plan, &error)) << error;
  EXPECT_EQ(plan.files, (std::vector<std::string>{PathIn("tree/a/w"), PathIn("tree/a/x"),
                                                  PathIn("tree/b/y"), PathIn("tree/z"),
                                                  PathIn("tree/z")}));
  EXPECT_EQ(plan.totalBytes, 8u + 8 + 8 + 6 + 6);
  EXPECT_EQ(plan.notRegular, 3u) << "two links and a FIFO";
  EXPECT_TRUE(plan.skipped.empty());

  EXPECT_FALSE(brix_host::PlanScan({PathIn("nowhere")}, &plan, &error));
  EXPECT_EQ(error, "cannot scan " + PathIn("nowhere") + ": No such file or directory");
}

TEST(HostScanPseudoTest, PseudoFileSystemsAreNotEntered) {
  brix_host::ScanPlan plan;
  std::string error;
  ASSERT_TRUE(brix_host::PlanScan({"/proc/self/fdinfo"}, &plan, &error)) << error;
  EXPECT_TRUE(plan.files.empty());
  EXPECT_EQ(plan.pseudoFileSystems, 1u);
}

TEST_F(HostScanTest, HashingOnManyThreadsDeliversInListOrder) {
  std::vector<std::string> files;
  for (int i = 0; i < 200; ++i) {
    files.push_back(PathIn("f" + std::to_string(i)));
    // Uneven sizes, so the workers finish out of order.
    std::ofstream(files.back()) << std::string(static_cast<size_t>((i * 7919) % 50000), 'x');
  }
  files.push_back(PathIn("vanished"));
  std::vector<std::string> delivered;
  std::string failure;
  brix_host::HashFiles(files, 8, [&](const brix_host::HashedFile& file) {
    delivered.push_back(*file.path);
    if (!file.ok) failure = file.error;
    else EXPECT_EQ(file.digests.size, static_cast<uint64_t>(((delivered.size() - 1) * 7919) % 50000));
  });
  EXPECT_EQ(delivered, files);
  EXPECT_EQ(failure, "No such file or directory");
}

}  // namespace
