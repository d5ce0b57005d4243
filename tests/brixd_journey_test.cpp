// From log-only to lockdown, as an administrator goes: brixd watches a
// workload in log-only mode and journals it, `brixctl report` lists what
// lockdown would stop, `brixctl suggest` writes rulesets, they are
// imported, and brixd under lockdown then lets the same workload run while
// a new unknown program is refused.
#include <map>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

class BrixdJourneyTest : public BrixdTest {
 protected:
  void SetUp() override {
    BrixdTest::SetUp();
    // A tmpfs root is world-writable by default, and suggest trusts
    // nothing below such a folder.
    ASSERT_EQ(chmod(mnt_.c_str(), 0755), 0);
    for (const char* folder : {"app", "src", "build", "lib"})
      ASSERT_EQ(mkdir(InMount(folder).c_str(), 0755), 0);
  }

  // Starts two programs, loads a library, runs a script, builds a
  // program and starts it; the statuses.
  std::vector<int> Workload() {
    return {Run({InMount("app/tool")}).status, Run({InMount("app/helper")}).status,
            Run({"/usr/bin/env", "LD_PRELOAD=" + InMount("lib/libjourney.so"), "/bin/true"})
                .status,
            Run({"/bin/sh", InMount("app/job.sh")}).status,
            Run({"/usr/bin/cc", "-o", InMount("build/hello"), InMount("src/hello.c")}).status,
            Run({InMount("build/hello")}).status};
  }

  std::string Journal() const { return PathIn("journal.jsonl"); }
};

TEST_F(BrixdJourneyTest, WhatRanInLogOnlyModeRunsUnderLockdownAndNothingElse) {
  MakeProgram(InMount("app/tool"), "\ntool");
  MakeProgram(InMount("app/helper"), "\nhelper");
  std::ofstream(InMount("src/hello.c")) << "int main(void) { return 0; }\n";
  std::ofstream(InMount("src/journey.c")) << "int journey(void) { return 1; }\n";
  std::ofstream(InMount("app/job.sh")) << "exit 0\n";
  ASSERT_EQ(Run({"/usr/bin/cc", "-shared", "-fPIC", "-o", InMount("lib/libjourney.so"),
                 InMount("src/journey.c")}).status, 0);
  // The manifest first: importing it later would replace the rulesets.
  ImportManifest();

  // 1. Log-only: everything runs, and the journal keeps what was unknown.
  StartDaemon({"--journal", Journal()});
  EXPECT_EQ(Workload(), (std::vector<int>(6, 0)));
  ASSERT_EQ(StopDaemon(), 0);

  // 2. The report lists exactly the unknown programs, library and script,
  //    and the build's output as drift that ran later.
  const ChildRun report = Brixctl({"--json", "report", Journal()});
  ASSERT_EQ(report.status, 0) << report.err;
  cJSON* root = cJSON_Parse(report.err.c_str());
  ASSERT_NE(root, nullptr) << report.err;
  std::map<std::string, std::string> unknown;  // path -> kind
  for (const cJSON* file = cJSON_GetObjectItem(root, "unknown")->child; file; file = file->next) {
    EXPECT_EQ(JsonText(file, "verdict"), "logged only");
    unknown[JsonText(file, "path")] = JsonText(file, "kind");
  }
  EXPECT_EQ(unknown, (std::map<std::string, std::string>{
                         {InMount("app/tool"), "start"},
                         {InMount("app/helper"), "start"},
                         {InMount("lib/libjourney.so"), "library"},
                         {InMount("app/job.sh"), "script"},
                         {InMount("build/hello"), "start"}}));
  bool builtRan = false;
  for (const cJSON* write = cJSON_GetObjectItem(root, "drift")->child; write; write = write->next)
    builtRan |= JsonText(write, "path") == InMount("build/hello") &&
                cJSON_IsTrue(cJSON_GetObjectItem(write, "ranUnknown"));
  EXPECT_TRUE(builtRan) << report.err;
  cJSON_Delete(root);

  // 3. Suggested rulesets, imported by hand.
  const std::string out = PathIn("suggested");
  const ChildRun suggest = Brixctl({"suggest", "--out", out, Journal()});
  ASSERT_EQ(suggest.status, 0) << suggest.err;
  EXPECT_NE(suggest.err.find("5 execution rules"), std::string::npos) << suggest.err;
  // The linker wrote what ran: its later output is trusted drift.
  EXPECT_NE(suggest.err.find("writes directly in " + InMount("build") + "/"), std::string::npos)
      << suggest.err;
  for (const char* name : {"suggested-rules", "suggested-trustrules"}) {
    const ChildRun import = Brixctl({"import", "--append", name, out + "/" + name + ".json"});
    ASSERT_EQ(import.status, 0) << import.err;
  }

  // 4. Lockdown: the same workload, rebuild included, runs unchanged; a
  //    program nobody saw before is refused and journaled as blocked.
  MakeProgram(InMount("app/newcomer"), "\nnew");
  StartDaemon({"--lockdown", "--journal", Journal()});
  EXPECT_EQ(Workload(), (std::vector<int>(6, 0))) << ReadFile(log_);
  EXPECT_EQ(Run({InMount("app/newcomer")}).status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_NE(ReadFile(Journal())
                .find("\"verdict\":\"blocked\",\"answer\":\"deny\",\"path\":\"" +
                      InMount("app/newcomer") + "\""),
            std::string::npos)
      << ReadFile(Journal());
}

}  // namespace
}  // namespace brixd_test
