// Tests of file classification: extensions interpreted by a process type,
// the item type of a file, libraries, what goes into the inventory and
// which folders are watched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

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

TEST(IsExtensionInterpreted, ByTypeAndExtension) {
  BRIXQuery query;
  const struct {
    unsigned long pti;
    std::string extension;
    bool interpreted;
  } kCases[] = {
      {4, "py", true},   {4, "PY", false},  {4, "rb", true},    {4, "py ", false},
      {4, ".py", false}, {4, "", false},    {9, "ps1", true},   {9, "psm1", true},
      {9, "ps", false},  {0, "py", false},  {1, "sh", false},   {8, "sh", true},
      {8, "bash", false}, {3, "jar", true}, {6, "php", true},   {5, "php", true},
      {11, "js", true},  {39, "js", true},  {39, "html", true}, {38, "chm", true},
      {13, "ko", true},  {35, "dll", false}, {40, "py", false}, {kNil, "py", false},
  };
  for (auto c : kCases)
    EXPECT_EQ(query.IsExtensionInterpreted(c.pti, c.extension), c.interpreted)
        << c.pti << " " << c.extension;
}

TEST(GetItemType, ChecksInOrder) {
  // The rules apply to whatever the status record says.
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
      // A directory flagged executable (its search bit) is a directory.
      {false, S_IFDIR, true, "a.sh", ITEM_TYPE_DIRECTORY},
      {false, S_IFCHR, true, "a.sh", ITEM_TYPE_SPECIAL},
      {false, S_IFIFO, false, "a", ITEM_TYPE_SPECIAL},
      {false, S_IFLNK, false, "a", ITEM_TYPE_SPECIAL},  // the link flag decides
      {false, 0, false, "a", ITEM_TYPE_SPECIAL},        // never filled
      // The host's flag decides, not the mode bits.
      {false, S_IFREG, true, "a.txt", ITEM_TYPE_EXECUTABLE},
      {false, S_IFREG | 0755, false, "a.txt", ITEM_TYPE_FILE},
      {false, S_IFREG, false, "a.ps1", ITEM_TYPE_SCRIPT},
      {false, S_IFREG, false, "a.html", ITEM_TYPE_SCRIPT},
      {false, S_IFREG, false, "A.SH", ITEM_TYPE_FILE},
      {false, S_IFREG, false, "a.exe", ITEM_TYPE_FILE},
  };
  for (const auto& c : kCases) {
    ac_event event = Target("/srv/", c.name);
    event.isSymlink = c.isSymlink;
    event.stat.st_mode = c.mode;
    event.isexec = c.isexec;
    event.itemType = 0;
    EXPECT_TRUE(query.GetItemType(event));
    EXPECT_EQ(event.itemType, c.itemType) << c.name << " " << c.mode;
  }
}

class LstatTest : public TempDirTest {};

TEST_F(LstatTest, DescribesTheLinkItselfAndClearsAStaleFlag) {
  BRIXQuery query;
  const std::string target = PathIn("target.bin");
  std::ofstream(target) << std::string(100, 'x');
  ac_event link = Target(dir(), "link");
  ASSERT_EQ(symlink(target.c_str(), link.name.c_str()), 0);
  ASSERT_TRUE(query.Lstat(link));
  EXPECT_TRUE(link.isSymlink);
  EXPECT_TRUE(S_ISLNK(link.stat.st_mode));
  EXPECT_EQ(link.stat.st_size, static_cast<off_t>(target.size()));

  ac_event file = Target(dir(), "target.bin");
  file.isSymlink = true;
  ASSERT_TRUE(query.Lstat(file));
  EXPECT_FALSE(file.isSymlink);
  EXPECT_EQ(file.stat.st_size, 100);

  ac_event missing = Target(dir(), "missing");
  missing.isSymlink = true;
  missing.stat.st_size = 12345;
  EXPECT_FALSE(query.Lstat(missing));
  EXPECT_FALSE(missing.isSymlink);
  EXPECT_EQ(missing.stat.st_size, 12345);  // left as it was
}

TEST(IsLibrary, ByName) {
  BRIXQuery query;
  const struct {
    const char* fileName;
    bool library;
  } kCases[] = {
      {"libssl.so", true},  {"libssl.so.1.1", true}, {"libz.so.1", true}, {"kernel32.dll", true},
      {"so.txt", true},     {".so.1", true},         {"libso.a", false},  {"lib.SO", false},
      {"lib.sox", false},   {"libsox.1", false},     {"a.dll.bak", false}, {"noext", false},
      {"", false},          {"a.", false},
      {"a.so.", false},  // ends in a dot: no extension
      {"so", false},     // no extension, even "so"
  };
  for (const auto& c : kCases) {
    ac_event event = Target("/srv/", c.fileName);
    EXPECT_EQ(query.IsLibrary(event), c.library) << c.fileName;
  }
  // The extension is the host's: "so" makes a library even of a name that
  // does not show it, but never of an empty name.
  for (const char* fileName : {"", "tool"}) {
    ac_event hostSaid = Target("/srv/", fileName);
    hostSaid.extension = "so";
    EXPECT_EQ(query.IsLibrary(hostSaid), *fileName != '\0') << fileName;
  }
}

TEST(ShouldPersistInInventory, ByExtension) {
  BRIXQuery query;
  const struct {
    const char* fileName;
    bool persist;
  } kCases[] = {
      {"Makefile", true},   {"a.exe", true},        {"a.txt", false},    {"a.mp3", true},
      {"libz.so.1", true},  {"a.EXE", false},       {"lib.so", true},    {"x.dll", true},
      {"run.sh", true},     {"page.html", false},   {"app.manifest", true}, {"a.7z", true},
      {"so.txt", true},     {"a.pdf", false},       {"setup.msi", true}, {"a.", true},
      {".bashrc", false},   {"archive.tar.gz", false},
  };
  for (const auto& c : kCases) {
    ac_event event = Target("/srv/", c.fileName);
    EXPECT_EQ(query.ShouldPersistInInventory(event), c.persist) << c.fileName;
  }
}

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
    // A file is judged by its folder alone; without one it is scanned.
    event.name = "/tmp/x";
    EXPECT_EQ(query.ShouldScanFile(event), c.scan) << c.path;
  }
}

}  // namespace
