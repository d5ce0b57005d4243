// Tests of trace line parsing: every kind of member, relative paths, and
// the mistakes a person writing a trace makes.
#include <string>

#include "HostEvent.h"
#include "TraceReader.h"
#include "test_util.h"

namespace {

using brix_host::ParseTraceLine;
using brix_host::TraceEvent;
using brix_host::TraceLine;

std::string Text(const char* value) { return value != nullptr ? value : "(null)"; }

// The event of a line the reader must take.
TraceEvent Parsed(const std::string& line, const std::string& base = "") {
  TraceEvent event;
  std::string error;
  EXPECT_EQ(ParseTraceLine(line, base, &event, &error), TraceLine::kEvent) << line << error;
  return event;
}

TEST(HostTraceTest, AFullLineFillsTheRecord) {
  const std::string line =
      R"({"type": 53, "pid": 77, "auxiliary1": 1, "flags": 512, "result": 0, "size": 4096,)"
      R"( "mode": 4, "dirty": true, "isexec": 1, "trusted": false, "isSymlink": 0,)"
      R"( "processName": "/usr/bin/python3", "name": "/opt/app/lib.so", "cmdLine": "python3 x",)"
      R"( "user": "alice", "group": "staff", "oldName": "/opt/app/old.so",)"
      R"( "fileIssuerOU": "Build", "processCompanyName": "Acme  ",)"
      R"( "fileSha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",)"
      R"( "fileSha1": "A9993E364706816ABA3E25717850C26C9CD0D89D",)"
      R"( "fileMd5": "900150983cd24fb0d6963f7d28e17f72",)"
      R"( "expect": "drift trusted", "comment": "why"})";
  const TraceEvent event = Parsed(line, "/base");
  const ac_wrapper_event_s record = event.event.Record();
  EXPECT_EQ(record.type, 53u);
  EXPECT_EQ(record.pid, 77u);
  EXPECT_EQ(record.auxiliary1, 1u);
  EXPECT_EQ(record.flags, 512u);
  EXPECT_EQ(record.size, 4096u);
  EXPECT_EQ(record.mode, 4u);
  EXPECT_EQ(record.dirty, 1);
  EXPECT_EQ(record.isexec, 1);
  EXPECT_EQ(record.trusted, 0);
  EXPECT_EQ(Text(record.processName), "/usr/bin/python3");
  EXPECT_EQ(Text(record.name), "/opt/app/lib.so");
  EXPECT_EQ(Text(record.oldName), "/opt/app/old.so");
  EXPECT_EQ(Text(record.cmdLine), "python3 x");
  EXPECT_EQ(Text(record.user), "alice");
  EXPECT_EQ(Text(record.group), "staff");
  EXPECT_EQ(Text(record.fileIssuerOU), "Build");
  EXPECT_EQ(Text(record.processCompanyName), "Acme  ") << "passed as given";
  EXPECT_EQ(record.fileSignerName, nullptr) << "members not given stay null";
  EXPECT_EQ(record.processSha256, nullptr);
  ASSERT_NE(record.fileSha256, nullptr);
  EXPECT_EQ(brix_host::ToHex(record.fileSha256, 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(brix_host::ToHex(record.fileSha1, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(brix_host::ToHex(record.fileMd5, 16), "900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(event.expect.has_value());
  EXPECT_EQ(*event.expect, brix_host::Verdict::kDriftTrusted);
  EXPECT_EQ(event.comment, "why");
}

TEST(HostTraceTest, RelativePathsLeadIntoTheBaseFolder) {
  const TraceEvent event = Parsed(R"({"name": "files/a.sh", "processName": "bin/sh",)"
                                  R"( "oldName": "/abs/b", "cmdLine": "sh files/a.sh"})",
                                  "/srv/traces");
  const ac_wrapper_event_s record = event.event.Record();
  EXPECT_EQ(Text(record.name), "/srv/traces/files/a.sh");
  EXPECT_EQ(Text(record.processName), "/srv/traces/bin/sh");
  EXPECT_EQ(Text(record.oldName), "/abs/b");
  EXPECT_EQ(Text(record.cmdLine), "sh files/a.sh") << "not a path";
  EXPECT_EQ(record.type, 0u);
}

TEST(HostTraceTest, LargeNumbersTravelAsDecimalText) {
  const TraceEvent event = Parsed(R"({"size": "18446744073709551615", "type": "4294967295"})");
  EXPECT_EQ(event.event.numbers().size, UINT64_MAX);
  EXPECT_EQ(event.event.numbers().type, UINT32_MAX);
}

TEST(HostTraceTest, MistakesAreNamed) {
  // Each line, and the error it must get.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"procesName": "/bin/sh"})", R"(unknown field "procesName")"},
      {R"({"pid": -1})", R"("pid" must be a non-negative integer)"},
      {R"({"pid": 1.5})", R"("pid" must be a non-negative integer)"},
      {R"({"size": "18446744073709551616"})", R"("size" must be a non-negative integer)"},
      {R"({"type": 4294967296})", R"("type" must be a host event code from 0 to 4294967295)"},
      {R"({"isexec": 2})", R"("isexec" must be true, false, 0 or 1)"},
      {R"({"name": 7})", R"("name" must be a string)"},
      {R"({"fileSha256": "abc"})", R"("fileSha256" must be 64 hexadecimal digits)"},
      {R"({"fileMd5": "zz0150983cd24fb0d6963f7d28e17f72"})",
       R"("fileMd5" must be 32 hexadecimal digits)"},
      {R"({"fileMd5": "900150983cd24fb0d6963f7d28e17f7g"})",
       R"("fileMd5" must be 32 hexadecimal digits)"},
      {R"({"fileMd5": "900150983cd24fb0d6963f7d28e17f7200"})",
       R"("fileMd5" must be 32 hexadecimal digits)"},
      {R"({"expect": "maybe"})",
       R"("expect" must name a verdict (allowed, blocked, logged only, ...))"},
      {R"({"pid": 1, "pid": 2})", R"(field "pid" given twice)"},
      {R"([1, 2])", "a trace line must be one JSON object"},
      {R"({"pid": 1} {"pid": 2})", "text after the JSON object (column 12)"},
      {R"({"pid": 1,)", "not valid JSON (near column 10)"},
      // Blank and comment lines are skipped without an error.
      {"", ""}, {"   ", ""}, {"\r", ""}, {"# a comment", ""}, {"  # indented comment", ""},
  };
  for (const auto& [line, want] : cases) {
    TraceEvent event;
    std::string error;
    EXPECT_EQ(ParseTraceLine(line, "", &event, &error),
              want.empty() ? TraceLine::kSkip : TraceLine::kError)
        << line;
    EXPECT_EQ(error, want) << line;
  }
}

TEST(HostTraceTest, EveryVerdictNameCanBeExpected) {
  using brix_host::Verdict;
  for (Verdict v : {Verdict::kAllowed, Verdict::kLoggedOnly, Verdict::kWaitingManifest,
                    Verdict::kBlocked, Verdict::kExcluded, Verdict::kIgnored,
                    Verdict::kDriftTrusted, Verdict::kDriftAllowListed,
                    Verdict::kDriftBlockListed, Verdict::kDriftAuthorised,
                    Verdict::kDriftUntrusted, Verdict::kDeleted, Verdict::kError}) {
    const std::string line = std::string(R"({"expect": ")") + brix_host::VerdictName(v) + "\"}";
    EXPECT_EQ(Parsed(line).expect, v) << line;
  }
}

}  // namespace
