// BRIXQuery.cpp: construction of the classification object, the questions
// asked of the process type table, and the file status of a target.
//
// The tables themselves live beside this file: BRIXQueryProcessTypes.cpp,
// BRIXQueryInterpreters.cpp and BRIXQueryExtensions.cpp.
#include "BRIXQuery.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

#include "BRIXLogger.h"
#include "FileUtil.h"

namespace {
constexpr const char* kFile = kLogFileQuery;
}  // namespace

BRIXQuery::ProcessType::ProcessType(std::string name, bool isInterpreter,
                                    bool isNormal, bool trustedUpdate,
                                    bool signatureCheck, ac_type op,
                                    std::vector<std::string> extensions,
                                    std::vector<std::string> paths,
                                    std::string enableSetting)
    : name(std::move(name)),
      isInterpreter(isInterpreter),
      isNormal(isNormal),
      trustedUpdate(trustedUpdate),
      signatureCheck(signatureCheck),
      op(op),
      paths(std::move(paths)),
      extensions(std::move(extensions)),
      enableSetting(std::move(enableSetting)) {}

BRIXQuery::ScriptInterpreter::ScriptInterpreter(
    ac_interpreter_rule_type ruleType, std::string path,
    std::string processName, std::string nameFragment,
    std::string processTypeName)
    : ruleType(ruleType),
      path(std::move(path)),
      processName(std::move(processName)),
      nameFragment(std::move(nameFragment)),
      processTypeName(std::move(processTypeName)) {}

BRIXQuery::ScriptInterpreter::ScriptInterpreter(const ScriptInterpreter& other)
    : ruleType(other.ruleType),
      path(other.path),
      processName(other.processName),
      nameFragment(other.nameFragment),
      processTypeName(other.processTypeName),
      hash(other.hash),
      processTypeIndex(
          other.processTypeIndex.load(std::memory_order_relaxed)) {}

BRIXQuery::ScriptInterpreter& BRIXQuery::ScriptInterpreter::operator=(
    const ScriptInterpreter& other) {
  if (this == &other) return *this;
  ruleType = other.ruleType;
  path = other.path;
  processName = other.processName;
  nameFragment = other.nameFragment;
  processTypeName = other.processTypeName;
  hash = other.hash;
  processTypeIndex.store(other.processTypeIndex.load(std::memory_order_relaxed),
                         std::memory_order_relaxed);
  return *this;
}

BRIXQuery::BRIXQuery() {
  m_excludedFolders = {
      "/tmp/",
      "/dev/null",
      "/opt/zenoss/var/zeneventserver/index",
      "/yarn/nodemanager/usercache",
      "/apps/ecp/inventory/scripts",
      "/var/spool/postfix",
  };
  m_hiddenPathMarkers = {"/."};
  // The interpreter rules name their process types and resolve the names
  // on first match, so they may be built before the types they name.
  InitScriptExtToRecognizeAndInclude();
  InitExecutableExtensions();
  InitScriptInterpreterRules();
  InitProcessTypes();
}

BRIXQuery::~BRIXQuery() = default;

unsigned long BRIXQuery::GetProcessTypeId(ScriptInterpreter& rule) {
  const unsigned long cached =
      rule.processTypeIndex.load(std::memory_order_relaxed);
  if (cached != kNoProcessType) return cached;
  for (unsigned long i = 0; i < m_processTypes.size(); ++i) {
    if (m_processTypes[i].name == rule.processTypeName) {
      rule.processTypeIndex.store(i, std::memory_order_relaxed);
      return i;
    }
  }
  // Not cached: a rule naming a missing type is looked up again next time,
  // which costs a walk but never pins a wrong answer.
  return kDefaultProcessType;
}

bool BRIXQuery::IsInterpreter(unsigned long pti) {
  if (pti < m_processTypes.size() && m_processTypes[pti].isInterpreter) {
    BRIX_LOG(BRIX_TRACE, kFile, "processType %lu is interpreter", pti);
    return true;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "processType %lu is not interpreter", pti);
  return false;
}

bool BRIXQuery::IsPrelink(unsigned long pti) {
  return pti == kPrelinkProcessType;
}

bool BRIXQuery::IsProcessTypeInTimeStampMode(unsigned long pti) {
  // The row is read in place: the table never changes after construction,
  // and copying it would allocate on the per-event path.
  if (pti < m_processTypes.size() &&
      !m_processTypes[pti].enableSetting.empty()) {
    const std::string& setting = m_processTypes[pti].enableSetting;
    BRIX_LOG(BRIX_TRACE, kFile, "processType %lu has an enableSetting %s",
             pti, setting.c_str());
    uint64_t value = 0;
    if (m_settingReader && m_settingReader(setting, value) && value != 0) {
      BRIX_LOG(BRIX_TRACE, kFile,
               "processType %lu with setting %s has been enabled in regular "
               "mode",
               pti, setting.c_str());
    } else {
      // An unreadable setting counts as not enabled: the stricter mode.
      BRIX_LOG(BRIX_TRACE, kFile,
               "processType %lu with enableSetting %s running in time stamp "
               "mode until enabled",
               pti, setting.c_str());
      return true;
    }
  }
  BRIX_LOG(BRIX_TRACE, kFile, "processType %lu is not n time stamp mode", pti);
  return false;
}

bool BRIXQuery::StatItem(const char* path, struct stat& out) {
  if (path == nullptr) return false;
  struct statx stx;
  // Event paths are absolute, for which the directory descriptor is
  // ignored; a relative path is taken from the current directory.
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_ALL, &stx) != 0)
    return false;
  BRIX_LOG(BRIX_TRACE, kFile, "STATX timestamp being used for file %s", path);
  StatxToStat(stx, out);
  return true;
}

bool BRIXQuery::Lstat(ac_event& event) {
  event.isSymlink = false;
  if (!StatItem(event.name.c_str(), event.stat)) return false;
  if ((event.stat.st_mode & S_IFMT) == S_IFLNK) event.isSymlink = true;
  return true;
}
