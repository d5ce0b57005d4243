// BRIXQueryExtensions.cpp: the extension sets and the classification of a
// target file by its name, its type and its folder.
//
// Extensions are compared byte-wise and case-sensitively, as the host
// reports them: "EXE" is not "exe".
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "FileUtil.h"

namespace {
constexpr const char* kFile = kLogFileQuery;
}  // namespace

// Extensions of files that an interpreter runs: a file flagged as a script
// (item type 4) when the host does not flag it executable.
void BRIXQuery::InitScriptExtToRecognizeAndInclude() {
  std::set<std::string> extensions = {
      "class", "jar", "ear", "inf", "sys", "tmp", "war",
      "py", "pyc", "pyo", "pyz", "pyd", "rb", "erb",
      "php", "pl", "sh", "bash", "cron", "ps1", "psm1",
      "vb", "vbs", "vbscript", "ws", "wsf", "wsh", "bat",
      "cmd", "chm", "htm", "html", "js",
  };
  m_scriptExtensions = std::move(extensions);
}

// Extensions of files that belong in the inventory when they change.
void BRIXQuery::InitExecutableExtensions() {
  std::set<std::string> extensions = {
      "class", "jar", "ear", "war", "py", "pyc", "pyo", "pyz",
      "pyd", "rb", "erb", "php", "pl", "sh", "bash", "cron",
      "ps1", "psm1", "vb", "vbs", "vbscript", "ws", "wsf", "wsh",
      "bat", "cmd", "tmp", "acm", "ax", "cpl", "com", "dll",
      "drv", "efi", "exe", "mui", "ocx", "scr", "sys", "tsp",
      "inf", "ins", "inx", "isu", "job", "jse", "ko", "msc",
      "msi", "msp", "mst", "paf", "pif", "ini", "manifest", "so",
  };
  m_executableExtensions = std::move(extensions);
}

bool BRIXQuery::IsExtensionInterpreted(unsigned long pti,
                                       std::string& extension) {
  if (pti == kNoProcessType) {
    BRIX_LOG(BRIX_TRACE, kFile, "processTypeIndex is nil");
    return false;
  }
  if (pti >= m_processTypes.size()) return false;
  for (const std::string& interpreted : m_processTypes[pti].extensions) {
    if (interpreted == extension) {
      BRIX_LOG(BRIX_TRACE, kFile,
               "Extension %s is interpreted by process type index: %d",
               extension.c_str(), static_cast<int>(pti));
      return true;
    }
  }
  BRIX_LOG(BRIX_TRACE, kFile,
           "Extension %s is NOT interpreted by process type index: %d",
           extension.c_str(), static_cast<int>(pti));
  return false;
}

bool BRIXQuery::GetItemType(ac_event& event) {
  const mode_t type = event.stat.st_mode & S_IFMT;
  if (event.isSymlink) {
    event.itemType = ITEM_TYPE_SYMLINK;
  } else if (type == S_IFDIR) {
    // Before the executable flag: a directory flagged executable (its
    // search bit) is still a directory.
    event.itemType = ITEM_TYPE_DIRECTORY;
  } else if (type != S_IFREG) {
    event.itemType = ITEM_TYPE_SPECIAL;
  } else if (IsFileExecutable(event)) {
    event.itemType = ITEM_TYPE_EXECUTABLE;
  } else if (m_scriptExtensions.count(event.extension) == 0) {
    event.itemType = ITEM_TYPE_FILE;
  } else {
    event.itemType = ITEM_TYPE_SCRIPT;
  }
  return true;
}

bool BRIXQuery::IsLibrary(ac_event& event) {
  if (event.fileName.empty() || event.extension.empty()) return false;
  if (event.extension == "dll" || event.extension == "so") return true;
  // Versioned shared objects carry "so" anywhere among their dotted pieces:
  // libssl.so.1.1.
  std::string_view rest = event.fileName;
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    if (rest.substr(0, dot) == "so") return true;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return false;
}

bool BRIXQuery::ShouldPersistInInventory(ac_event& event) {
  // A file without an extension may well be a program; keep it.
  if (event.extension.empty()) return true;
  if (IsLibrary(event)) return true;
  // A digit marks a version (libfoo.so.1) rather than a document type.
  if (std::any_of(event.extension.begin(), event.extension.end(),
                  [](char c) { return c >= '0' && c <= '9'; }))
    return true;
  return m_executableExtensions.count(event.extension) != 0;
}

bool BRIXQuery::ShouldScanFolder(ac_event& event) {
  if (m_excludedFolders.count(event.path) != 0) return false;
  // Substrings, not prefixes: /var/tmp/x/ holds "/tmp/" and is excluded,
  // and so is every folder below a component that starts with a dot.
  for (const std::string& folder : m_excludedFolders)
    if (event.path.find(folder) != std::string::npos) return false;
  for (const std::string& marker : m_hiddenPathMarkers)
    if (event.path.find(marker) != std::string::npos) return false;
  return true;
}

bool BRIXQuery::ShouldScanFile(ac_event& event) {
  if (event.path.empty()) return true;
  return ShouldScanFolder(event);
}
