// BRIXDrift.cpp: file-system changes and deletions.
//
// Drift is never blocked.  The handlers keep the inventory in step with
// the machine (authorised changes become approved items, renames and
// deletes in the maintenance window remove stale ones) and report how the
// change was judged, so the next start of the file is decided correctly.
#include "BRIXConfig.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "FileUtil.h"

namespace {
constexpr const char* kFile = kLogFileEventAbstraction;
}  // namespace

uint64_t BRIXEngine::HandleFileSystemMonitorEvent(ac_event& event) {
  BRIX_LOG(BRIX_TRACE, kFile,
           "Start HandleFileSystemMonitorEvent. processName:%s path:%s",
           event.processName.c_str(), event.name.c_str());
  if (event.name.empty()) {
    BRIX_LOG(BRIX_WARNING, kFile,
             "Realpath of Event %lu unknown: PID %lu, returnining false",
             event.driftTrust, event.pid);
    event.action = AC_ACTION_ERROR;
    return 0;
  }
  event.auxiliary0 = 0;
  if (event.op == AC_TYPE_NONE) event.op = AC_TYPE_ATTRIBUTE;
  if (!m_query.Lstat(event)) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Error getting attributes of path %s, returning false",
             event.name.c_str());
    event.action = AC_ACTION_ERROR;
    return 0;
  }

  BRIXStats* stats = BRIXStats::GetStats();
  if (event.op == AC_TYPE_ATTRIBUTE || event.op == AC_TYPE_RENAME ||
      event.op == AC_TYPE_WRITE) {
    m_query.GetItemType(event);
    if (!m_query.ShouldPersistInInventory(event)) {
      // Counted, then examined like any other change.
      stats->IncType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, event.extension);
      stats->Inc("TotalDriftUnknownExtension");
      BRIX_LOG(BRIX_TRACE, kFile,
               "Drift for unknown extension path:%s, size:%lu, type:%d, "
               "mode:%d",
               event.name.c_str(), event.size, event.type,
               static_cast<int>(event.mode));
    }
    event.source = DAL_SOURCE_APPROVED_DRIFT;
  }
  ScanFile(event);
  if (event.source != DAL_SOURCE_APPROVED_DRIFT) {
    BRIX_LOG(BRIX_TRACE, kFile, "Returning true from HandleFileSystemMonitorEvent");
    return 1;
  }

  // Whatever was allowed for the old content does not hold for the new.
  GetAllowCache().RemoveCacheNode(event.name);
  BRIXDAL* dal = BRIXDAL::GetDAL();
  uint32_t judgedSource = event.source;
  if (dal->IsAllowedInDB(event)) {
    if (event.decision == AC_DECISION_ALLOWED) {
      judgedSource = event.source;
      BRIX_LOG(BRIX_TRACE, kFile, "Allowlisted drift %s",
               event.fileName.c_str());
      event.isAuthorized = AC_AUTH_ALLOW_LIST;
      if (config.GetInventoryAutoAuthorize() &&
          (event.source == DAL_SOURCE_SCANNED_ITEMS ||
           event.source == DAL_SOURCE_APPROVED_DRIFT)) {
        event.source = DAL_SOURCE_APPROVED_DRIFT;
        dal->WhitelistFile(event);
        BRIX_LOG(BRIX_TRACE, kFile,
                 "Drift is authorized due to previously approved. Filename: "
                 "%s",
                 event.name.c_str());
      }
    } else if (event.decision == AC_DECISION_BLOCKED) {
      BRIX_LOG(BRIX_TRACE, kFile, "Blocklisted drift %s",
               event.fileName.c_str());
      event.isAuthorized = AC_AUTH_NOT_APPROVED;
    } else {
      BRIX_LOG(BRIX_TRACE, kFile, "Unrecognized Drift %s",
               event.fileName.c_str());
      bool store = false;
      if (config.GetInventoryAutoAuthorize()) {
        event.isAuthorized = AC_AUTH_MAINTENANCE_WINDOW;
        dal->WhitelistFile(event);
        BRIX_LOG(BRIX_TRACE, kFile,
                 "Drift is authorized due to maintenance mode. Filename: %s",
                 event.fileName.c_str());
      } else if (m_query.ShouldTrustDrift(
                     m_query.GetProcess(event.pid, event.processFileName),
                     event, store)) {
        event.isAuthorized = AC_AUTH_TRUSTED;
        if (store) dal->WhitelistFile(event);
        stats->Inc("EventTrustedDrift");
        BRIX_LOG(BRIX_TRACE, kFile, "Drift is trusted update %s and path %s",
                 event.processName.c_str(), event.name.c_str());
      } else if (dal->IsFoundInTrustRules(DAL_TRUST_SOURCE, event)) {
        event.isAuthorized = AC_AUTH_TRUSTED;
        dal->WhitelistFile(event);
        stats->Inc("EventTrustRuleSourceDrift");
        BRIX_LOG(BRIX_TRACE, kFile, "Drift source is in trust rule for %s",
                 event.processName.c_str());
      } else if (dal->IsFoundInTrustRules(DAL_TRUST_TARGET, event)) {
        // Trusted, but not recorded: the rule vouches for the file only
        // while it stays in force.
        event.isAuthorized = AC_AUTH_TRUSTED;
        stats->Inc("EventTrustRuleSourceDrift");
        BRIX_LOG(BRIX_TRACE, kFile, "Drift source is in trust rule for %s",
                 event.name.c_str());
      } else {
        event.isAuthorized = AC_AUTH_NOT_AUTHORIZED;
        BRIX_LOG(BRIX_TRACE, kFile,
                 "Drift was not trusted for process %s and path %s",
                 event.processName.c_str(), event.name.c_str());
      }
    }

    if (config.GetInventoryAutoAuthorize() && event.op == AC_TYPE_RENAME) {
      // The file no longer lives under its old name.
      ac_event old(event);
      old.name = event.oldName;
      AbstractEvent(old);
      BRIX_LOG(BRIX_TRACE, kFile,
               "AC_TYPE_RENAME removing old inventory item with oldName: %s, "
               "path %s, fileName %s",
               event.oldName.c_str(), old.path.c_str(), old.fileName.c_str());
      dal->DeleteInventoryItems(old);
    }
  }

  if (event.decision == AC_DECISION_ALLOWED &&
      judgedSource != DAL_SOURCE_EXECUTION_RULES &&
      dal->IsFoundInTrustRules(DAL_TRUST_BLOCK, event)) {
    event.decision = AC_DECISION_BLOCKED;
    event.source = DAL_SOURCE_TRUST_RULES;
    event.isAuthorized = AC_AUTH_NOT_AUTHORIZED;
    stats->Inc("EventBlockByTarget");
    BRIX_LOG(BRIX_TRACE, kFile, "Target is blocked due to trust rule for %s",
             event.name.c_str());
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Returning true from HandleFileSystemMonitorEvent");
  return 1;
}

uint64_t BRIXEngine::HandleDeleteEvent(ac_event& event) {
  if (!config.GetInventoryAutoAuthorize()) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "File %s was not deleted because not in maintenance mode",
             event.name.c_str());
    return 1;
  }
  const bool removed = BRIXDAL::GetDAL()->DeleteInventoryItems(event);
  if (removed)
    BRIX_LOG(BRIX_TRACE, kFile, "File %s was successfully deleted",
             event.name.c_str());
  else
    BRIX_LOG(BRIX_TRACE, kFile, "File %s, was unable to be deleted",
             event.name.c_str());
  return removed ? 1 : 0;
}
