// Tests of file classification: extensions interpreted by a process type,
// the item type of real files, libraries, what goes into the inventory and
// which folders are watched.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "test_util.h"

namespace {

constexpr unsigned long kNil = BRIXQuery::kNoProcessType;

// An event whose target is `name` in `dir`, with the fields the host's path
// split would fill.
ac_event Target(const std::string& dir, const std::string& name) {
  ac_event event;
  event.path = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  event.fileName = name;
  event.name = event.path + name;
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) event.extension = name.substr(dot + 1);
  return event;
}

// An event carrying only a file name and extension.
ac_event Named(const std::string& fileName) {
  return Target("/srv/", fileName);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> QueryLog(const std::string& function) {
  std::vector<std::string> messages;
  for (const CapturedLog& line : LogCapture::Lines()) {
    if (line.function != function) continue;
    EXPECT_EQ(line.file, "BRIX/BRIXQuery");
    EXPECT_EQ(line.level, unsigned{BRIX_TRACE});
    messages.push_back(line.message);
  }
  return messages;
}

// --- The sets -----------------------------------------------------------------

TEST(ExtensionSets, ScriptAndExecutableSetsDiffer) {
  BRIXQuery query;
  const auto& script = query.GetScriptExtensions();
  const auto& executable = query.GetExecutableExtensions();
  EXPECT_EQ(script.size(), 33u);
  EXPECT_EQ(executable.size(), 56u);
  // Web pages and help files run in an interpreter but are not inventory.
  for (const char* ext : {"chm", "htm", "html", "js"}) {
    EXPECT_EQ(script.count(ext), 1u) << ext;
    EXPECT_EQ(executable.count(ext), 0u) << ext;
  }
  // Binaries are inventory but not scripts.
  for (const char* ext : {"exe", "dll", "so", "ko", "msi", "manifest", "jse"}) {
    EXPECT_EQ(script.count(ext), 0u) << ext;
    EXPECT_EQ(executable.count(ext), 1u) << ext;
  }
  for (const char* ext : {"sh", "py", "ps1", "inf", "sys", "tmp", "cron"}) {
    EXPECT_EQ(script.count(ext), 1u) << ext;
    EXPECT_EQ(executable.count(ext), 1u) << ext;
  }
  EXPECT_EQ(script.count("SH"), 0u);
  EXPECT_EQ(executable.count("EXE"), 0u);
  EXPECT_EQ(executable.count(""), 0u);
}

// --- IsExtensionInterpreted -----------------------------------------------------

TEST(IsExtensionInterpreted, ByTypeAndExtension) {
  BRIXQuery query;
  const struct {
    unsigned long pti;
    std::string extension;
    bool interpreted;
  } kCases[] = {
      {4, "py", true},      {4, "PY", false},    {4, "rb", true},
      {4, "py ", false},    {4, ".py", false},   {4, "", false},
      {9, "ps1", true},     {9, "psm1", true},   {9, "ps", false},
      {0, "py", false},     {1, "sh", false},    {8, "sh", true},
      {8, "bash", false},   {3, "jar", true},    {6, "php", true},
      {5, "php", true},     {11, "js", true},    {39, "js", true},
      {39, "html", true},   {38, "chm", true},   {13, "ko", true},
      {35, "dll", false},   {40, "py", false},   {kNil, "py", false},
  };
  for (auto c : kCases)
    EXPECT_EQ(query.IsExtensionInterpreted(c.pti, c.extension), c.interpreted)
        << c.pti << " " << c.extension;
}

TEST(IsExtensionInterpreted, Logs) {
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  BRIXQuery query;
  const struct {
    unsigned long pti;
    std::string extension;
    std::vector<std::string> log;
  } kCases[] = {
      {4, "py", {"Extension py is interpreted by process type index: 4"}},
      {4, "PY", {"Extension PY is NOT interpreted by process type index: 4"}},
      {0, "py", {"Extension py is NOT interpreted by process type index: 0"}},
      {kNil, "py", {"processTypeIndex is nil"}},
      {40, "py", {}},  // beyond the table: silent
  };
  for (auto c : kCases) {
    LogCapture::Clear();
    query.IsExtensionInterpreted(c.pti, c.extension);
    EXPECT_EQ(QueryLog("IsExtensionInterpreted"), c.log) << c.pti;
  }
}

// --- GetItemType on real files ---------------------------------------------------

class ItemTypeTest : public TempDirTest {
 protected:
  // Lstat, then GetItemType, as the drift handler does.
  uint32_t Classify(ac_event& event) {
    EXPECT_TRUE(query.Lstat(event)) << event.name;
    EXPECT_TRUE(query.GetItemType(event));
    return event.itemType;
  }
  BRIXQuery query;
};

TEST_F(ItemTypeTest, ByKindOfFile) {
  const std::string d = dir();
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    bool isexec;
    uint32_t itemType;
  } kCases[] = {
      {"run.sh", [](auto& p) { WriteFile(p, "echo\n"); }, false,
       ITEM_TYPE_SCRIPT},
      {"page.html", [](auto& p) { WriteFile(p, "<p>"); }, false,
       ITEM_TYPE_SCRIPT},
      {"notes.txt", [](auto& p) { WriteFile(p, "x"); }, false, ITEM_TYPE_FILE},
      {"RUN.SH", [](auto& p) { WriteFile(p, "x"); }, false, ITEM_TYPE_FILE},
      {"noext", [](auto& p) { WriteFile(p, "x"); }, false, ITEM_TYPE_FILE},
      {"empty.py", [](auto& p) { WriteFile(p, ""); }, false, ITEM_TYPE_SCRIPT},
      // The host's flag decides, not the mode bits.
      {"flagged.txt", [](auto& p) { WriteFile(p, "x"); }, true,
       ITEM_TYPE_EXECUTABLE},
      {"flagged.sh", [](auto& p) { WriteFile(p, "x"); }, true,
       ITEM_TYPE_EXECUTABLE},
      {"modex.txt",
       [](auto& p) {
         WriteFile(p, "x");
         chmod(p.c_str(), 0755);
       },
       false, ITEM_TYPE_FILE},
      {"dir.sh", [](auto& p) { mkdir(p.c_str(), 0755); }, false,
       ITEM_TYPE_DIRECTORY},
      {"xdir", [](auto& p) { mkdir(p.c_str(), 0755); }, true,
       ITEM_TYPE_DIRECTORY},
      {"fifo.sh", [](auto& p) { mkfifo(p.c_str(), 0644); }, false,
       ITEM_TYPE_SPECIAL},
      {"fifox", [](auto& p) { mkfifo(p.c_str(), 0644); }, true,
       ITEM_TYPE_SPECIAL},
      // Links are links, whatever they point to.
      {"tofile.sh",
       [d](auto& p) {
         WriteFile(d + "/target.sh", "x");
         EXPECT_EQ(symlink((d + "/target.sh").c_str(), p.c_str()), 0);
       },
       true, ITEM_TYPE_SYMLINK},
      {"todir",
       [d](auto& p) {
         mkdir((d + "/targetdir").c_str(), 0755);
         EXPECT_EQ(symlink((d + "/targetdir").c_str(), p.c_str()), 0);
       },
       false, ITEM_TYPE_SYMLINK},
      {"dangling.txt",
       [](auto& p) { EXPECT_EQ(symlink("/no/such/target", p.c_str()), 0); }, false,
       ITEM_TYPE_SYMLINK},
  };
  for (const auto& c : kCases) {
    ac_event event = Target(d, c.name);
    c.make(event.name);
    event.isexec = c.isexec;
    EXPECT_EQ(Classify(event), c.itemType) << c.name;
  }
}

TEST_F(ItemTypeTest, SocketAndDeviceAreSpecial) {
  ac_event null = Target("/dev/", "null");
  EXPECT_EQ(Classify(null), ITEM_TYPE_SPECIAL);

  ac_event sock = Target(dir(), "s.sock");
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.name.size(), sizeof(addr.sun_path));
  sock.name.copy(addr.sun_path, sock.name.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_EQ(Classify(sock), ITEM_TYPE_SPECIAL);
  close(fd);
}

TEST_F(ItemTypeTest, LstatDescribesTheLinkItself) {
  const std::string target = PathIn("target.bin");
  WriteFile(target, std::string(100, 'x'));
  ac_event event = Target(dir(), "link");
  ASSERT_EQ(symlink(target.c_str(), event.name.c_str()), 0);
  ASSERT_TRUE(query.Lstat(event));
  EXPECT_TRUE(event.isSymlink);
  EXPECT_TRUE(S_ISLNK(event.stat.st_mode));
  EXPECT_EQ(event.stat.st_size, static_cast<off_t>(target.size()));

  ac_event file = Target(dir(), "target.bin");
  file.isSymlink = true;  // a stale flag must not survive
  ASSERT_TRUE(query.Lstat(file));
  EXPECT_FALSE(file.isSymlink);
  EXPECT_EQ(file.stat.st_size, 100);
}

TEST_F(ItemTypeTest, LstatOfMissingPathClearsTheLinkFlag) {
  ac_event event = Target(dir(), "missing");
  event.isSymlink = true;
  event.stat.st_size = 12345;
  EXPECT_FALSE(query.Lstat(event));
  EXPECT_FALSE(event.isSymlink);
  EXPECT_EQ(event.stat.st_size, 12345);  // left as it was
}

TEST(GetItemType, ChecksInOrder) {
  // Without a file: the rules apply to whatever the status record says.
  BRIXQuery query;
  const struct {
    bool isSymlink;
    mode_t mode;
    bool isexec;
    const char* name;
    uint32_t itemType;
  } kCases[] = {
      {true, S_IFREG, true, "a.sh", ITEM_TYPE_SYMLINK},
      {true, S_IFDIR, false, "a", ITEM_TYPE_SYMLINK},
      {false, S_IFDIR, true, "a.sh", ITEM_TYPE_DIRECTORY},
      {false, S_IFCHR, true, "a.sh", ITEM_TYPE_SPECIAL},
      {false, S_IFBLK, false, "a", ITEM_TYPE_SPECIAL},
      {false, S_IFLNK, false, "a", ITEM_TYPE_SPECIAL},  // flag not set
      {false, 0, false, "a", ITEM_TYPE_SPECIAL},        // never filled
      {false, S_IFREG | 0755, true, "a.txt", ITEM_TYPE_EXECUTABLE},
      {false, S_IFREG, false, "a.txt", ITEM_TYPE_FILE},
      {false, S_IFREG, false, "a.ps1", ITEM_TYPE_SCRIPT},
      {false, S_IFREG, false, "a.exe", ITEM_TYPE_FILE},
  };
  for (const auto& c : kCases) {
    ac_event event = Named(c.name);
    event.isSymlink = c.isSymlink;
    event.stat.st_mode = c.mode;
    event.isexec = c.isexec;
    event.itemType = 0;
    EXPECT_TRUE(query.GetItemType(event));
    EXPECT_EQ(event.itemType, c.itemType) << c.name << " " << c.mode;
  }
}

// --- Libraries and the inventory -------------------------------------------------

TEST(IsLibrary, ByName) {
  BRIXQuery query;
  const struct {
    const char* fileName;
    bool library;
  } kCases[] = {
      {"libssl.so", true},     {"libssl.so.1.1", true}, {"libz.so.1", true},
      {"kernel32.dll", true},  {"so.txt", true},        {"a.so.", false},
      {".so.1", true},         {"libso.a", false},      {"lib.SO", false},
      {"lib.sox", false},      {"libsox.1", false},     {"a.dll.bak", false},
      {"noext", false},        {"", false},             {"a.", false},
  };
  // "a.so." ends in a dot: its extension is empty, so it is not a library.
  for (const auto& c : kCases) {
    ac_event event = Named(c.fileName);
    EXPECT_EQ(query.IsLibrary(event), c.library) << c.fileName;
  }
  // A name without an extension is never a library, even "so".
  ac_event bare = Named("so");
  EXPECT_FALSE(query.IsLibrary(bare));
  // The extension is the host's: an empty file name with one is not.
  ac_event unnamed = Named("");
  unnamed.extension = "so";
  EXPECT_FALSE(query.IsLibrary(unnamed));
}

TEST(ShouldPersistInInventory, ByExtension) {
  BRIXQuery query;
  const struct {
    const char* fileName;
    bool persist;
  } kCases[] = {
      {"Makefile", true},    {"a.exe", true},     {"a.txt", false},
      {"a.mp3", true},       {"libz.so.1", true}, {"a.EXE", false},
      {"lib.so", true},      {"x.dll", true},     {"run.sh", true},
      {"page.html", false},  {"app.manifest", true}, {"a.7z", true},
      {"so.txt", true},      {"a.pdf", false},    {"setup.msi", true},
      {"a.", true},          {".bashrc", false},  {"archive.tar.gz", false},
  };
  for (const auto& c : kCases) {
    ac_event event = Named(c.fileName);
    EXPECT_EQ(query.ShouldPersistInInventory(event), c.persist) << c.fileName;
  }
}

// --- Watched folders -------------------------------------------------------------

TEST(ShouldScanFolder, ExcludedAndHiddenBySubstring) {
  BRIXQuery query;
  const struct {
    const char* path;
    bool scan;
  } kCases[] = {
      {"/home/user/", true},
      {"/home/user/.cache/", false},
      {"/.hidden/", false},
      {"/home/user/a.b/", true},  // a dot inside a component is fine
      {"/tmp/", false},
      {"/tmp", true},  // "/tmp/" needs its slash
      {"/tmp/sub/", false},
      {"/var/tmp/x/", false},
      {"/srv/tmp/build/", false},
      {"/srv/tmpfiles/", true},
      {"/dev/null", false},
      {"/dev/nullx/", false},
      {"/var/spool/postfix", false},
      {"/var/spool/postfix/maildrop/", false},
      {"/var/spool/", true},
      {"/data/opt/zenoss/var/zeneventserver/index/", false},
      {"/hadoop/yarn/nodemanager/usercache/", false},
      {"/apps/ecp/inventory/scripts/", false},
      {"/TMP/", true},  // case matters
      {"/usr/bin/", true},
      {"", true},
  };
  for (const auto& c : kCases) {
    ac_event event;
    event.path = c.path;
    EXPECT_EQ(query.ShouldScanFolder(event), c.scan) << c.path;
  }
}

TEST(ShouldScanFile, EmptyDirectoryIsAlwaysScanned) {
  BRIXQuery query;
  ac_event event;
  event.name = "/tmp/x";  // only the directory is consulted
  EXPECT_TRUE(query.ShouldScanFile(event));
  event.path = "/tmp/";
  EXPECT_FALSE(query.ShouldScanFile(event));
  event.path = "/home/.x/";
  EXPECT_FALSE(query.ShouldScanFile(event));
  event.path = "/home/x/";
  EXPECT_TRUE(query.ShouldScanFile(event));
}

TEST(Classification, ConcurrentReadersAgree) {
  BRIXQuery query;
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        ac_event lib = Target("/usr/lib/", "libssl.so.3");
        ac_event doc = Target("/home/u/.cache/", "a.txt");
        std::string ext = "py";
        if (!query.ShouldPersistInInventory(lib)) ++wrong;
        if (query.ShouldPersistInInventory(doc)) ++wrong;
        if (query.ShouldScanFolder(doc)) ++wrong;
        if (!query.IsExtensionInterpreted(4, ext)) ++wrong;
        if (query.IsInterpreter(2)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
