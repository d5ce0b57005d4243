// BRIXDataAccessLayer.h: the rule store over the SQLite file "ac.db".
//
// BRIXDAL is a process-wide singleton owning the one connection.  This
// first form only opens and closes the file; the schema, the statements and
// the store operations build on it.
//
// Threads: m_initMutex guards opening and closing; m_mutex guards every
// statement execution.  The two are never held together.
#ifndef BRIX_BRIXDATAACCESSLAYER_H_
#define BRIX_BRIXDATAACCESSLAYER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "Mutex.h"
#include "brix.h"

struct cJSON;
struct sqlite3;

class BRIXDAL {
 public:
  static BRIXDAL* GetDAL();

  BRIXDAL();
  ~BRIXDAL();
  BRIXDAL(const BRIXDAL&) = delete;
  BRIXDAL& operator=(const BRIXDAL&) = delete;

  // False, with nothing changed, while the database is open.
  bool SetDBPath(const std::string& path);
  const std::string& GetDBPath() const { return m_dbPath; }
  // Opens or creates the database.  The flag is ignored: the file is always
  // opened for reading and writing.
  bool InitDB(bool readOnly);
  void ShutdownDAL();
  bool DeleteDB();
  bool PurgeDB(DALSource source);
  bool IsOpen();

  uint64_t StoreItemFlush();
  uint64_t StoreTrustRuleFlush();
  uint64_t StoreUserListFlush();
  uint64_t StoreItem(const ac_db_item_s* item);
  uint64_t StoreItemBuffer(const ac_db_item_s* item);
  bool ImportRuleset(bool append, const std::string& path,
                     const std::string& name);
  bool ImportRulesetBuffer(bool append, const char* text,
                           const std::string& name);
  bool GetItems(uint64_t lastItemId, uint64_t limit, DALSource source,
                const std::string& payloadPath, const std::string& scanId);

  bool GetAppControlState(const std::string& name, std::string& value);
  bool GetAppControlState(const std::string& name, uint64_t& value);
  bool SetAppControlState(const std::string& name, const std::string& value);
  bool SetAppControlState(const std::string& name, uint64_t value);

  // Metrics sections of the rule store.
  void PrepareMetrics(cJSON* trustRulesStats);
  void PrepareMetricsDBInfo(cJSON* dbinfo);
  void PrepareMetricsDBInfoTrustRules(cJSON* dbinfo);
  void PrepareMetricsDBInfoRulesets(cJSON* dbinfo);
  void PrepareMetricsDBSize(cJSON* dbinfo);

 private:
  bool _InitDB(bool readOnly);
  bool _DeleteDB();
  void Finalize();

  brix::Mutex m_mutex;
  brix::Mutex m_initMutex;
  std::shared_ptr<sqlite3> m_DB;  // guarded by m_initMutex
  std::string m_dbPath;
};

#endif  // BRIX_BRIXDATAACCESSLAYER_H_
