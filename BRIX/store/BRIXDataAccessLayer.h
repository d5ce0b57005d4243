// BRIXDataAccessLayer.h: the rule store over the SQLite file "ac.db".
//
// BRIXDAL is a process-wide singleton that owns the one connection, creates
// the schema of a new file, migrates an older one step by step to the
// current version, prepares the long-lived statements that every store
// operation executes, and tears them down again (finalize, delete, purge).
//
// Threads: two mutexes, never held together.  m_mutex serialises every
// statement execution, every write-buffer change, delete and purge;
// m_initMutex serialises opening (InitDB) and finalizing (ShutdownDAL).
// The connection and the statements are SharedHandles: an operation takes
// its own reference before it checks the handle and before it locks
// m_mutex, and Finalize closes only what no operation holds.
//
// Naming: public operations take m_mutex themselves and log "<name> lock"
// and "<name> unlock" around it; their twins ending in "Internal" or
// starting with "_" expect the caller to hold it.  Where one mutex is
// meant, the declarations say so (REQUIRES, GUARDED_BY) and a Clang build
// checks every caller; _InitDB, _DeleteDB, PrepareStatements and Finalize
// run under either mutex and carry only a comment.
#ifndef BRIX_BRIXDATAACCESSLAYER_H_
#define BRIX_BRIXDATAACCESSLAYER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "BRIXQuery.h"
#include "Event.h"
#include "Hash.h"
#include "Mutex.h"
#include "SharedHandle.h"
#include "Status.h"
#include "ThreadAnnotations.h"
#include "TrustRule.h"
#include "TrustRuleIndex.h"
#include "brix.h"

struct ac_file_s;
struct cJSON;
struct sqlite3;
struct sqlite3_stmt;

using DBHandle = SharedHandle<sqlite3>;
using StmtHandle = SharedHandle<sqlite3_stmt>;

class BRIXDAL {
 public:
  static BRIXDAL* GetDAL();

  BRIXDAL();
  ~BRIXDAL();
  BRIXDAL(const BRIXDAL&) = delete;
  BRIXDAL& operator=(const BRIXDAL&) = delete;

  // --- Lifecycle -----------------------------------------------------------

  // False, with nothing changed, while a connection is open.
  bool SetDBPath(const std::string& path);
  std::string GetDBPath();
  // Opens, creates or migrates the database and prepares the statements,
  // then refreshes the rule counts.  The flag is ignored: the file is always
  // opened for reading and writing.
  // Each failure carries its reason (see Status.h).
  brix::Status InitDB(bool readOnly);
  brix::Status _InitDB(bool readOnly);  // caller holds a mutex
  brix::Status PrepareStatements();     // caller holds a mutex
  void Finalize();              // caller holds a mutex
  // Flushes the write buffers, then finalizes.
  void ShutdownDAL();
  // Closes and deletes the database file; nothing reopens it.
  brix::Status DeleteDB();
  brix::Status _DeleteDB();  // caller holds a mutex
  // Deletes the rows of one source (1-5), the trust rules and user lists
  // (6), or the whole file, which is then created anew (0).
  brix::Status PurgeDB(DALSource source);
  std::string GetLastDBErrorString();

  // --- Application control state -----------------------------------------

  bool SetAppControlState(const std::string& setting,
                          const std::string& value);
  // 2^64-1 is stored as "-1".
  bool SetAppControlState(const std::string& setting, const uint64_t& value);
  bool GetAppControlState(const std::string& setting, std::string& value);
  // "-1" reads back as 2^64-1.
  bool GetAppControlState(const std::string& setting, uint64_t& value);

  // --- Counts and metrics ------------------------------------------------

  // Row counts; 0 when the statement is missing.
  int TrustRulesCount();
  int UserGroupTrustRulesCount();
  int MD5RulesCount();
  int SHA1RulesCount();
  // Each fills its part of the metrics document under its own hold of
  // m_mutex: PrepareMetrics the "trustrules_stats" array, the others the
  // "dbinfo" members.  False (member missing) when the statement or the
  // database file is.
  bool PrepareMetrics(cJSON* array);
  bool PrepareMetricsDBInfo(cJSON* object);
  bool PrepareMetricsDBInfoTrustRules(cJSON* object);
  bool PrepareMetricsDBInfoRulesets(cJSON* object);
  bool PrepareMetricsDBSize(cJSON* object);  // takes no DAL lock
  // Writes the rows with an id above lastId, at most limit of them, into
  // the payload file (created or truncated), one JSON line each: trust
  // rules for DAL_SOURCE_TRUST_RULES, all items for DAL_SOURCE_ALL, else
  // the items of that source.  Holds m_mutex for the whole page.  False
  // when nothing could be read or the file could not be written.
  bool GetItems(uint64_t lastId, uint64_t limit, DALSource source,
                std::string payloadPath, std::string scanUuid);
  // The row writers of GetItems; the caller holds m_mutex.  They step the
  // page query, leave its last step result in stepResult, and set result
  // false (file closed) when a write fails.
  void GetItemSourceInventory(ac_file_s& file, bool& result,
                              sqlite3_stmt*& statement, int& stepResult,
                              const std::string& payloadPath,
                              const std::string& scanUuid) REQUIRES(m_mutex);
  void GetItemSourceTrustRule(ac_file_s& file, bool& result,
                              sqlite3_stmt*& statement, int& stepResult,
                              const std::string& payloadPath)
      REQUIRES(m_mutex);

  // --- Inventory lookup --------------------------------------------------

  // Judges the event's target by its digests: writes decision,
  // isAuthorized, source and ruleset into the event.  True when the lookup
  // ran to its end (found or not), false when it failed.
  bool IsAllowedInDB(ac_event& event);
  bool IsAllowedInDBInternal(ac_event& event) REQUIRES(m_mutex);
  // Runs the query cascade; returns the statement positioned on the first
  // row found (stepResult SQLITE_ROW), or the last one tried, or null when
  // a statement was missing or a bind failed.  The caller resets it.
  std::shared_ptr<sqlite3_stmt> IsAllowedInDBSearch(ac_event& event,
                                                    int& stepResult)
      REQUIRES(m_mutex);
  bool IsAllowedInRuleSet(sqlite3_stmt* row);
  bool IsAllowedInInventory(sqlite3_stmt* row);
  bool IsAllowedInDrift(sqlite3_stmt* row);

  // --- Trust rules and user lists ----------------------------------------

  uint64_t StoreTrustRule(ac_trust_rule& rule);
  uint64_t StoreTrustRuleInternal(ac_trust_rule& rule) REQUIRES(m_mutex);
  bool StoreTrustRuleBuffer(ac_trust_rule& rule);
  uint64_t StoreTrustRuleFlushInternal(brix::Status* reason = nullptr)
      REQUIRES(m_mutex);
  uint64_t StoreUserList(ac_user_list& record);
  uint64_t StoreUserListInternal(ac_user_list& record) REQUIRES(m_mutex);
  bool StoreUserListBuffer(ac_user_list& record);
  uint64_t StoreUserListFlushInternal(brix::Status* reason = nullptr)
      REQUIRES(m_mutex);
  // True when a rule of that kind applies to the event; the event then
  // carries driftTrust 4 and the rule's ruleset, and the rule's hit count
  // grows.
  bool IsFoundInTrustRules(DALTrustType kind, ac_event& event);
  bool IsFoundInTrustRulesInternal(DALTrustType kind, ac_event& event)
      REQUIRES(m_mutex);
  bool UpdateHitcount(int trustRuleId, int hitcount) REQUIRES(m_mutex);
  bool CallMatchEventPath(std::string& eventPath, std::string& rulePaths);
  // Brings the in-memory trust rules up to the committed tables: reads
  // what the operations since the last call marked as changed.  False
  // when the database could not be read; the next call tries again.
  bool SyncTrustRuleIndexInternal() REQUIRES(m_mutex);
  // Reads every trust rule and user list anew.
  void ReloadTrustRuleIndex();
  // Drops the in-memory rules until the next sync reads them anew.
  void ForgetTrustRulesInternal() REQUIRES(m_mutex);

  // --- Inventory store and import ----------------------------------------

  // Stores the item now: its new inventoryItemId, or 0 (also when an
  // exclusion trust rule keeps it out).
  uint64_t StoreItem(ac_event& event);
  // Queues a copy: 1, or the count of the flush that a full buffer set off
  // (0 when that flush could not write, the items staying queued; 1 too
  // when an exclusion trust rule keeps the item out).
  uint64_t StoreItemBuffer(ac_event& event);
  uint64_t StoreItem(const ac_db_item_s* item);
  uint64_t StoreItemBuffer(const ac_db_item_s* item);
  uint64_t StoreItemInternal(ac_event& event) REQUIRES(m_mutex);
  // Writes the queued items in one transaction and returns how many it
  // committed: 0 when the queue was empty, or when the database refused
  // the batch, which then stays queued for the next flush (`reason`, when
  // given, then says why).
  uint64_t StoreItemFlushInternal(brix::Status* reason = nullptr)
      REQUIRES(m_mutex);
  uint64_t StoreItemFlush(brix::Status* reason = nullptr);
  // Records the event's target as allowed: scanned items are buffered,
  // prelink items refreshed, anything else becomes approved drift that
  // replaces the earlier versions of the file.  Always true.
  bool WhitelistFile(ac_event& event);
  // Deletes scanned and approved-drift rows of the event's file name in
  // its folder (with or without the trailing "/").
  bool DeleteInventoryItems(ac_event& event);
  // Moves the prelink row of the file from its recorded previous hash to
  // the new one; stores it anew when allowed otherwise.
  bool UpdatePrelinkItem(ac_event& event);
  // Remembers the hash a file has before the prelink process rewrites it.
  void SetPrelinkHash(const SHA256Hash& hash);
  uint64_t StoreTrustRuleFlush(brix::Status* reason = nullptr);
  uint64_t StoreUserListFlush(brix::Status* reason = nullptr);
  bool ImportRuleset(bool append, const std::string& path,
                     const std::string& name);
  bool ImportRulesetBuffer(bool append, const char* text,
                           const std::string& name);

  // --- State read by lookups ---------------------------------------------

  bool TrustRulesPresent() const { return m_trustRulesPresent; }
  uint64_t Sha1RuleCount() const { return m_sha1RuleCount; }
  uint64_t Md5RuleCount() const { return m_md5RuleCount; }
  // A buffer is written whenever it holds more than this many records after
  // an addition: at the 1001st, and, while the database refuses its writes
  // and the records stay queued, at every addition after it, so that the
  // first store after the database is back writes the whole batch.
  static constexpr size_t kMaxBufferedRecords = 1000;
  // Whether the connection is open (for tests and tools).
  bool IsOpen() const { return m_DB.IsSet(); }

 private:
  struct StatementInfo;
  static const StatementInfo kStatements[];
  static const size_t kStatementCount;
  static const StatementInfo kFinalizeOrder[];

  // Runs one count statement, logging under the name of the public
  // operation that asked.
  int CountInternal(const char* function, StmtHandle& handle,
                    const char* releasedMessage, const char* lockLine,
                    const char* foundLine, const char* unlockLine);

  SHA256Hash m_prelinkHash;
  // Rule counts that gate lookups; written at open and by the import.
  std::atomic<bool> m_trustRulesPresent{false};
  std::atomic<uint64_t> m_sha1RuleCount{0};
  std::atomic<uint64_t> m_md5RuleCount{0};
  brix::Mutex m_mutex;
  brix::Mutex m_initMutex;
  DBHandle m_DB;
  std::string m_dbPath;  // guarded by m_initMutex or m_mutex
  // The trust rules and user lists of the file, in memory for the
  // lookups (TrustRuleIndex.h), and what of them is to be read again before
  // the next lookup.  Guarded by m_mutex.
  enum TrustIndexStale : unsigned {
    kTrustIndexReload = 1,           // everything (open, purge, deletion)
    kTrustIndexNewRules = 2,         // rules were inserted
    kTrustIndexReloadUserLists = 4,  // row ids may have changed (VACUUM)
    kTrustIndexNewUserListRows = 8,  // user list rows were inserted
  };
  BRIXTrustRuleIndex m_trustIndex GUARDED_BY(m_mutex);
  unsigned m_trustIndexStale GUARDED_BY(m_mutex) = kTrustIndexReload;

  // Write buffers, guarded by m_mutex.
  std::deque<ac_event> m_itemBuffer GUARDED_BY(m_mutex);
  std::deque<ac_trust_rule> m_trustRuleBuffer GUARDED_BY(m_mutex);
  std::deque<ac_user_list> m_userListBuffer GUARDED_BY(m_mutex);

  // The prepared statements, in preparation order.
  StmtHandle m_pInsertItemStmt;
  StmtHandle m_pInsertTrustRuleStmt;
  StmtHandle m_pInsertUserListStmt;
  StmtHandle m_pUpdatePrelinkItemStmt;
  StmtHandle m_pLookupMD5CountStmt;
  StmtHandle m_pLookupSHA1CountStmt;
  StmtHandle m_pLookupItemAuthStmt;
  StmtHandle m_pLookupItemAuthRulesetStmt;
  StmtHandle m_pLookupItemAlternateSHA1HashStmt;
  StmtHandle m_pLookupItemAlternateMD5HashStmt;
  StmtHandle m_pLookupTrustRuleStmt;
  StmtHandle m_pLookupUserListStmt;
  StmtHandle m_pUpdateTrustRuleHitcountStmt;
  StmtHandle m_pMetricsLookupTrustRuleStmt;
  StmtHandle m_pLookupRuleCountStmt;
  StmtHandle m_pLookupTrustRuleCountStmt;
  StmtHandle m_pLookupUserGroupTrustRuleCountStmt;
  StmtHandle m_pLookupRulesetCountStmt;
  StmtHandle m_pDeleteInventoryItemsStmt;
  StmtHandle m_pGetAcStateStmt;
  StmtHandle m_pSetAcStateStmt;

  BRIXQuery m_query;
  std::vector<const char*> m_schema;
};

// Fatal exit of the calling thread after logging what was missing.
[[noreturn]] void graceful_exit(const char* name);
// Binds text as a transient copy; a null statement is a broken invariant.
int checked_bind_text(sqlite3_stmt* stmt, int index, const char* text);

#endif  // BRIX_BRIXDATAACCESSLAYER_H_
