// Which changes come from trusted updaters.
#include <fstream>
#include <string>

#include "BRIX.h"
#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "BRIXStats.h"
#include "test_util.h"

namespace {

constexpr unsigned long kPrelink = 2;
constexpr unsigned long kPower = 9;
constexpr unsigned long kTrustedInstaller = 28;
constexpr unsigned long kMismatchOp = 37;

class TrustHeuristicsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
    LogCapture::Clear();
  }
  void TearDown() override {
    config.SetInventoryExists(false);
    config.SetWhitelistInventory(false);
    TempDirTest::TearDown();
  }

  static ac_event Change(const std::string& path, const std::string& file) {
    ac_event e;
    e.pid = 300;
    e.processName = "c:\\windows\\servicing\\trustedinstaller.exe";
    e.processFileName = "trustedinstaller.exe";
    e.path = path;
    e.fileName = file;
    e.name = path + file;
    const size_t dot = file.rfind('.');
    if (dot != std::string::npos) e.extension = file.substr(dot + 1);
    e.op = AC_TYPE_WRITE;
    return e;
  }

  // A script file in the test folder holding exactly `content`.
  ac_event Script(const std::string& name, const std::string& content) {
    std::ofstream(PathIn(name), std::ios::binary) << content;
    ac_event e = Change("c:\\users\\x\\appdata\\local\\temp\\", name);
    e.name = PathIn(name);
    return e;
  }

  static long Counter(const std::string& name) {
    return BRIXStats::GetStats()->Get(name);
  }

  BRIXQuery query;
};

TEST_F(TrustHeuristicsTest, HostVouchedProcessIsTrustedFirst) {
  ac_event e = Change("/opt/", "tool");
  e.trusted = true;
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(0, e, store));
  EXPECT_EQ(e.driftTrust, 1u);
  EXPECT_TRUE(store);
  EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST_F(TrustHeuristicsTest, EverythingIsTrustedWhileTheAllowListIsBuilt) {
  config.SetWhitelistInventory(true);
  ac_event e = Change("/opt/", "tool");
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(0, e, store));
  EXPECT_EQ(e.driftTrust, 1u);
  EXPECT_TRUE(store);
  EXPECT_EQ(Counter("TotalApprovedDriftDuringInventory"), 1);
  // Once an inventory exists the heuristic stops.
  config.SetInventoryExists(true);
  ac_event later = Change("/opt/", "tool");
  later.processFileName.clear();
  EXPECT_FALSE(query.ShouldTrustDrift(0, later, store));
  EXPECT_FALSE(store);
}

TEST_F(TrustHeuristicsTest, UpdaterIsTrustedInItsOwnFolders) {
  ac_event e = Change("c:\\windows\\winsxs\\amd64_x\\", "kernel.dll");
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(kTrustedInstaller, e, store));
  EXPECT_EQ(e.driftTrust, 4u);
  EXPECT_TRUE(store);
  EXPECT_EQ(Counter("trustedinstallerTrustedDrift"), 1);
  EXPECT_TRUE(LogCapture::Contains("process has non empty paths"));
  EXPECT_TRUE(LogCapture::Contains(
      "process c:\\windows\\servicing\\trustedinstaller.exe is trusted for "
      "path c:\\windows\\winsxs\\amd64_x\\"));
}

TEST_F(TrustHeuristicsTest, UpdaterOutsideItsFoldersIsNotTrusted) {
  ac_event e = Change("/opt/app/", "tool");
  bool store = true;
  EXPECT_FALSE(query.ShouldTrustDrift(kTrustedInstaller, e, store));
  EXPECT_FALSE(store);
  EXPECT_EQ(e.driftTrust, 0u);
  int mismatches = 0;
  for (const auto& l : LogCapture::Lines())
    mismatches += l.message.find("does not match process.path") !=
                  std::string::npos;
  EXPECT_EQ(mismatches, 6);  // one per folder of the type
}

TEST_F(TrustHeuristicsTest, OperationFilterMustMatch) {
  ac_event e = Change("c:\\temp\\", "x.exe");
  bool store = true;
  EXPECT_FALSE(query.ShouldTrustDrift(kMismatchOp, e, store));
  EXPECT_TRUE(LogCapture::Contains(
      "process c:\\windows\\servicing\\trustedinstaller.exe is item.op 6 "
      "does not much process.op 40"));
}

TEST_F(TrustHeuristicsTest, PrelinkerIsTrustedEverywhere) {
  ac_event e = Change("/usr/lib64/", "libfoo.so");
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(kPrelink, e, store));
  EXPECT_EQ(e.source, 5u);
  EXPECT_EQ(e.driftTrust, 4u);
  EXPECT_TRUE(store);
  EXPECT_FALSE(LogCapture::Contains("process has non empty paths"));
}

TEST_F(TrustHeuristicsTest, UnknownProcessWithoutANameIsNotResolved) {
  ac_event e = Change("/opt/", "tool");
  e.processFileName.clear();
  bool store = true;
  EXPECT_FALSE(query.ShouldTrustDrift(0, e, store));
  EXPECT_EQ(query.GetProcessCache().Size(), 0u);
}

TEST_F(TrustHeuristicsTest, UncachedProcessIsResolvedAndCached) {
  ac_event e = Change("c:\\windows\\winsxs\\", "a.dll");
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(0, e, store));
  EXPECT_EQ(query.GetProcess(300, "trustedinstaller.exe"), kTrustedInstaller);
  EXPECT_TRUE(LogCapture::Contains(
      "processType 28 for c:\\windows\\servicing\\trustedinstaller.exe pid "
      "300"));
}

// --- PowerShell scripts ----------------------------------------------------

TEST_F(TrustHeuristicsTest, PowershellScriptsAreJudgedByContent) {
  const struct {
    const char* content;
    bool trusted;
  } cases[] = {
      {"# generated by the update service", true},
      {"# generated\n", false},  // a trailing newline makes two lines
      {"1", true},
      {"1 ", false},
      {"Write-Host hi", false},
      {"", false},
      {"#x", false},
  };
  int n = 0;
  for (const auto& c : cases) {
    ac_event e = Script("update" + std::to_string(n++) + ".ps1", c.content);
    bool store = true;
    EXPECT_EQ(query.ShouldTrustDrift(kPower, e, store), c.trusted)
        << "[" << c.content << "]";
    EXPECT_FALSE(store) << "scripts are never recorded";
    EXPECT_EQ(e.driftTrust, c.trusted ? 4u : 0u);
  }
  EXPECT_EQ(Counter("powerTrustedDrift"), 2);
  EXPECT_TRUE(LogCapture::Contains(
      PathIn("update1.ps1") +
      " not detected as trusted script because the file has more than 1 line "
      "(2 lines)"));
}

TEST_F(TrustHeuristicsTest, PowershellWritingALibraryIsTrustedByFolder) {
  ac_event e = Change("c:\\users\\x\\appdata\\local\\temp\\", "helper.dll");
  bool store = false;
  EXPECT_TRUE(query.ShouldTrustDrift(kPower, e, store));
  EXPECT_TRUE(store);
  EXPECT_EQ(Counter("powerTrustedDrift"), 1);
}

TEST_F(TrustHeuristicsTest, MissingScriptIsNotTrusted) {
  ac_event e = Change("c:\\temp\\", "gone.ps1");
  e.name = PathIn("gone.ps1");
  EXPECT_FALSE(query.ShouldTrustPowershell(e));
  EXPECT_TRUE(LogCapture::Contains(PathIn("gone.ps1") +
                                   " could not be parsed properly"));
}

}  // namespace
