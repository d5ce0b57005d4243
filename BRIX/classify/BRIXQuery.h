// BRIXQuery.h: the engine's built-in classification tables and its caches.
//
// BRIXQuery answers the questions the decisions ask about the acting process
// and the target file: which process type a program belongs to (through the
// script interpreter rules), whether that type interprets scripts or runs in
// time stamp mode, what kind of item a file is, whether it belongs in the
// inventory, and whether its folder is watched at all.
//
// Two instances exist: one inside the engine, used for every decision, and
// one inside the data-access layer, used when items are stored.  Each builds
// its own copy of the tables in its constructor.
//
// Threads: the tables are filled once at construction and read-only
// afterwards, so any thread may read them without a lock.  The one field
// written later is a rule's cached process type index, an atomic that only
// ever receives the same value for the same rule.  The two caches guard
// themselves.
#ifndef BRIX_BRIXQUERY_H_
#define BRIX_BRIXQUERY_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "AllowCache.h"
#include "Event.h"
#include "Hash.h"
#include "ProcessCache.h"

// How a script interpreter rule recognises a program.
enum ac_interpreter_rule_type : uint32_t {
  AC_INTERPRETER_RULE_NONE = 0,           // never matches
  AC_INTERPRETER_RULE_SHA256 = 1,         // program hash equals the rule's
  AC_INTERPRETER_RULE_PATH_AND_NAME = 2,  // directory and file name equal
  AC_INTERPRETER_RULE_NAME = 3,           // file name equal
  AC_INTERPRETER_RULE_NAME_CONTAINS = 4,  // stem contains the fragment
};

// What GetItemType writes to ac_event::itemType.
enum ac_item_type : uint32_t {
  ITEM_TYPE_SPECIAL = 1,     // device, pipe, socket
  ITEM_TYPE_FILE = 2,        // regular, not executable, not a script
  ITEM_TYPE_EXECUTABLE = 3,  // regular, flagged executable by the host
  ITEM_TYPE_SCRIPT = 4,      // regular, not executable, script extension
  ITEM_TYPE_DIRECTORY = 5,
  ITEM_TYPE_SYMLINK = 6,
};

class BRIXQuery {
 public:
  // A process type index (PTI) is a position in the process type table.
  // Positions are compared against literals and kept in the process cache
  // between events, so the table's order is fixed.
  static constexpr unsigned long kNoProcessType = ~0UL;  // nothing resolved
  static constexpr unsigned long kDefaultProcessType = 0;
  static constexpr unsigned long kPrelinkProcessType = 2;

  // One row of the process type table.  A value: rows are copied freely.
  struct ProcessType {
    // The two lists come in the opposite order to their declaration.
    ProcessType(std::string name, bool isInterpreter, bool isNormal,
                bool trustedUpdate, bool signatureCheck, ac_type op,
                std::vector<std::string> extensions,
                std::vector<std::string> paths, std::string enableSetting);

    std::string name;      // key by which the interpreter rules name it
    bool isInterpreter;    // files it opens are judged as scripts
    bool isNormal;         // marks the "normal" row; nothing reads it
    bool trustedUpdate;    // its changes inside `paths` are trusted drift
    bool signatureCheck;   // a rule match needs a verified signature
    ac_type op;            // trusted-update filter: 0 any, else equal op
    std::vector<std::string> paths;       // fragments of trusted dirs
    std::vector<std::string> extensions;  // lower case, without the dot
    std::string enableSetting;  // setting that ends time stamp mode
  };

  // One script interpreter rule.  Copyable; the cached index is copied with
  // the rest so the rule table can be built from literals.
  struct ScriptInterpreter {
    ScriptInterpreter(ac_interpreter_rule_type ruleType, std::string path,
                      std::string processName, std::string nameFragment,
                      std::string processTypeName);
    ScriptInterpreter(const ScriptInterpreter& other);
    ScriptInterpreter& operator=(const ScriptInterpreter& other);

    ac_interpreter_rule_type ruleType;
    std::string path;             // kind 2: directory with its trailing "/"
    std::string processName;      // kinds 2 and 3: exact file name
    std::string nameFragment;     // kind 4: substring of the file stem
    std::string processTypeName;  // row name a matching program gets
    SHA256Hash hash;              // kind 1: expected program hash
    // kNoProcessType until GetProcessTypeId resolves processTypeName.
    // Atomic because host threads resolve rules concurrently; every writer
    // stores the same value, so relaxed ordering is enough.
    std::atomic<unsigned long> processTypeIndex{kNoProcessType};
  };

  BRIXQuery();
  ~BRIXQuery();
  BRIXQuery(const BRIXQuery&) = delete;
  BRIXQuery& operator=(const BRIXQuery&) = delete;

  // --- Table construction (each replaces the previous content) ------------

  void InitProcessTypes();
  void InitScriptInterpreterRules();
  void InitScriptExtToRecognizeAndInclude();
  void InitExecutableExtensions();

  // --- Process types ------------------------------------------------------

  // The index of the row the rule names, cached in the rule; 0 (uncached)
  // when no row has that name.
  unsigned long GetProcessTypeId(ScriptInterpreter& rule);
  bool IsInterpreter(unsigned long pti);
  bool IsPrelink(unsigned long pti);
  // True while the type has an enable setting whose stored value is absent
  // or 0.  The setting is read through the setting reader on every call; an
  // instance without one reads nothing, so such types stay in time stamp
  // mode.
  bool IsProcessTypeInTimeStampMode(unsigned long pti);

  // Reads a setting as an unsigned number; false when it cannot be read.
  // The decision engine hands in one that asks the rule store, which lies
  // above classification and is not reached from here.  Set before the
  // instance is shared between threads.
  using SettingReader =
      std::function<bool(const std::string& name, unsigned long& value)>;
  void SetSettingReader(SettingReader reader) {
    m_settingReader = std::move(reader);
  }

  // --- Script interpreter rules -------------------------------------------

  // The rule's PTI when the program matches it, else kNoProcessType.
  unsigned long ApplyInterpreterRule(ac_process_info& process,
                                     ScriptInterpreter& rule);
  // The PTI of the first matching rule; 0 when none matches.
  unsigned long GetProcessInterpreterType(ac_process_info& process);
  // The same for the event's acting process, without its hash.
  unsigned long GetProcessInterpreterType(ac_event& event);

  // --- Extensions and file classification ---------------------------------

  bool IsExtensionInterpreted(unsigned long pti, std::string& extension);
  // Needs Lstat to have filled the event's stat and isSymlink.  Always true.
  bool GetItemType(ac_event& event);
  bool ShouldPersistInInventory(ac_event& event);
  bool IsLibrary(ac_event& event);
  // False when the event's directory lies in an excluded or hidden folder.
  bool ShouldScanFolder(ac_event& event);
  bool ShouldScanFile(ac_event& event);

  // --- Trust heuristics ---------------------------------------------------

  // True when the acting process (type `pti`, 0 when not cached) may make
  // this change: the host vouches for it, the inventory is being built, it
  // is a trusted updater of the target's folder, or it is the prelinker.
  // Writes driftTrust (1 or 4) and, for the prelinker, source 5;
  // `storeInInventory` says whether the caller should record the file.
  bool ShouldTrustDrift(unsigned long pti, ac_event& event,
                        bool& storeInInventory);
  // True when the file at the event's name is a one-line script that
  // starts with "# " or is exactly "1".
  bool ShouldTrustPowershell(ac_event& event);

  // --- File status --------------------------------------------------------

  // Status of `path` itself (a final symbolic link is not followed), with
  // the birth time in st_ctim.  False, with `out` unchanged, on failure.
  bool StatItem(const char* path, struct stat& out);
  // StatItem of the event's target into its stat; sets isSymlink.
  bool Lstat(ac_event& event);

  // --- Process cache, reached through the query object --------------------

  int AddProcess(unsigned long pid, unsigned long pti,
                 const std::string& processFileName) {
    return m_processCache.AddProcess(pid, pti, processFileName);
  }
  unsigned long GetProcess(unsigned long pid,
                           const std::string& processFileName) {
    return m_processCache.GetProcess(pid, processFileName);
  }
  int RemoveProcess(unsigned long pid) {
    return m_processCache.RemoveProcess(pid);
  }
  void ClearProcessCache() { m_processCache.ClearProcessCache(); }

  BRIXProcessCache& GetProcessCache() { return m_processCache; }
  BRIXAllowCache& GetAllowCache() { return m_allowCache; }

  // Read-only views of the tables, for tools and tests.
  const std::set<std::string>& GetExcludedFolders() const {
    return m_excludedFolders;
  }
  const std::set<std::string>& GetHiddenPathMarkers() const {
    return m_hiddenPathMarkers;
  }
  const std::set<std::string>& GetScriptExtensions() const {
    return m_scriptExtensions;
  }
  const std::set<std::string>& GetExecutableExtensions() const {
    return m_executableExtensions;
  }
  const std::vector<ProcessType>& GetProcessTypes() const {
    return m_processTypes;
  }
  const std::vector<ScriptInterpreter>& GetScriptInterpreters() const {
    return m_scriptInterpreters;
  }

 private:
  // The caches hold the only state that changes while events run; each
  // carries its own mutex.
  BRIXProcessCache m_processCache;
  BRIXAllowCache m_allowCache;

  // Constant after construction.
  std::set<std::string> m_excludedFolders;
  std::set<std::string> m_hiddenPathMarkers;
  std::set<std::string> m_scriptExtensions;
  std::set<std::string> m_executableExtensions;
  std::vector<ProcessType> m_processTypes;
  SettingReader m_settingReader;
  // Constant after construction except each rule's processTypeIndex.
  std::vector<ScriptInterpreter> m_scriptInterpreters;
};

#endif  // BRIX_BRIXQUERY_H_
