// BRIXExecution.cpp: may this program start, may this file be mapped
// executable, may this interpreter run this script.
//
// DECISION ORDER OF A PROGRAM START
//
// Each step runs only when the steps above it gave no verdict; a verdict
// further down never undoes one further up, except where noted.
//
//   1. Allow cache       the same user, process and target were allowed
//                        before: allowed, nothing below runs (ProcessEvent,
//                        type-0 events).
//   2. Exclusion rule    an exclusion trust rule drops a type-0 event as not
//                        relevant before any handler (CheckExcludeTrustRules).
//   3. Bad target        no name, or not executable: error verdict.
//   4. Rule store        IsAllowedInDB judges the target's digests (the
//                        order of its queries is stated in BRIXDALLookup).
//                        A failed lookup ends here without a verdict of its
//                        own.  An execution ruleset's answer is final: 5-8
//                        are skipped.
//   5. Unknown target    only while the store knows nothing of it, in turn:
//                        a. trusted drift of the acting process type,
//                        b. the auto-authorize (maintenance) window,
//                        c. time stamp mode of the acting process type.
//                        Each allows; b and c (and a, when its rule says
//                        so) record the target as allowed in the store.
//   6. Block trust rule  blocks, overriding any allowance of 4 and 5 (an
//                        execution ruleset's answer never gets here).
//   7. Allowed so far    allowed.
//   8. Target trust rule allows.
//   9. Nobody knows it   blocked in lockdown, else allowed and logged only.
//
// Mappings (HandleMmapStartEvent) and script starts (HandleScriptStartEvent)
// follow the same order; a mapping skips the executable test of step 3.
#include "BRIXConfig.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "FileUtil.h"

namespace {

constexpr const char* kFile = kLogFileEventAbstraction;
constexpr uint64_t kUnsetTime = ~0ULL;

void Count(const char* name) { BRIXStats::GetStats()->Inc(name); }

void Block(ac_event& event) {
  event.action = AC_ACTION_BLOCK;
  event.op = AC_TYPE_RUN_BLOCKED;
}

void AllowLogOnly(ac_event& event) {
  event.action = AC_ACTION_ALLOW;
  event.op = AC_TYPE_RUN_LOG_ONLY;
}

}  // namespace

uint64_t BRIXEngine::IsAllowedToRun(ac_event& event, bool checkExec) {
  if (event.name.empty()) {
    Count("RunErrorPath");
    event.action = AC_ACTION_ERROR;
    BRIX_LOG(BRIX_TRACE, kFile, "Event name is empty, failing to check in DB");
    return 0;
  }
  if (checkExec && !event.isexec) {
    Count("RunErrorNotExec");
    event.action = AC_ACTION_ERROR;
    BRIX_LOG(BRIX_TRACE, kFile, "Not Executable %s. Setting action",
             event.name.c_str());
    return 0;
  }
  event.lookupName = event.name;
  BRIXDAL* dal = BRIXDAL::GetDAL();
  const uint64_t found = dal->IsAllowedInDB(event);
  if (found == 0) return 0;
  // An execution ruleset's verdict is final.
  if (event.source == DAL_SOURCE_EXECUTION_RULES) return found;

  if (event.decision == AC_DECISION_UNKNOWN) {
    const uint64_t pti = m_query.GetProcess(event.pid, event.processFileName);
    bool store = false;
    if (m_query.ShouldTrustDrift(pti, event, store)) {
      event.isAuthorized = AC_AUTH_TRUSTED;
      event.decision = AC_DECISION_ALLOWED;
      if (store) dal->WhitelistFile(event);
      Count("EventTrustedDrift");
      BRIX_LOG(BRIX_TRACE, kFile, "internal trusted update %s and path %s",
               event.processName.c_str(), event.name.c_str());
    }
    if (event.decision != AC_DECISION_ALLOWED) {
      const uint64_t start = config.GetAutoAuthorizeStartTime();
      const uint64_t end = config.GetAutoAuthorizeEndTime();
      BRIX_LOG(BRIX_TRACE, kFile,
               "[Maintenance] start time: %llu end time: %llu Handling event "
               "of type: %d",
               static_cast<unsigned long long>(start),
               static_cast<unsigned long long>(end), event.type);
      if (AutoAuthorizeByFileTime(event, start, end)) {
        Count("AutoAuthorizeByFileTime");
        event.isAuthorized = AC_AUTH_MAINTENANCE_WINDOW;
        event.action = AC_ACTION_ALLOW;
        event.decision = AC_DECISION_ALLOWED;
        dal->WhitelistFile(event);
        BRIX_LOG(BRIX_TRACE, kFile,
                 "[Maintenance] Process %s approved pid %lu. Setting "
                 "isAuthorized to maintenance mode. Event type: %d",
                 event.name.c_str(), event.pid, event.type);
      }
    }
    if (event.decision != AC_DECISION_ALLOWED &&
        m_query.IsProcessTypeInTimeStampMode(pti)) {
      uint64_t upgraded = 0;
      dal->GetAppControlState("upgradetime", upgraded);
      const uint64_t end = upgraded * 1000;
      BRIX_LOG(BRIX_TRACE, kFile,
               "[TIMESTAMP MODE] start time: %llu end time: %llu Handling "
               "event of type: %d",
               1000ULL, static_cast<unsigned long long>(end), event.type);
      if (AutoAuthorizeByFileTime(event, 1000, end)) {
        Count("AutoAuthorizeByTimeStamp");
        event.action = AC_ACTION_ALLOW;
        event.isAuthorized = AC_AUTH_TRUSTED;
        event.decision = AC_DECISION_ALLOWED;
        dal->WhitelistFile(event);
        BRIX_LOG(BRIX_TRACE, kFile,
                 "[TIMESTAMP_MODE] Process %s approved pid %lu. Setting "
                 "isAuthorized. Event type: %d",
                 event.name.c_str(), event.pid, event.type);
      }
    }
  }

  // A block rule overrides every allowance but a ruleset's.
  if (dal->IsFoundInTrustRules(DAL_TRUST_BLOCK, event)) {
    event.decision = AC_DECISION_BLOCKED;
    event.source = DAL_SOURCE_TRUST_RULES;
    event.isAuthorized = AC_AUTH_NOT_APPROVED;
    Count("EventBlockByTarget");
    BRIX_LOG(BRIX_TRACE, kFile, "Target is blocked due to trust rule for %s",
             event.name.c_str());
    return 1;
  }
  if (event.decision == AC_DECISION_ALLOWED) return found;
  if (dal->IsFoundInTrustRules(DAL_TRUST_TARGET, event)) {
    event.decision = AC_DECISION_ALLOWED;
    event.source = DAL_SOURCE_TRUST_RULES;
    event.isAuthorized = AC_AUTH_TRUSTED;
    Count("EventTrustedExecution");
    BRIX_LOG(BRIX_TRACE, kFile, "Target is in trust rule for %s",
             event.name.c_str());
    return 1;
  }
  return found;
}

uint64_t BRIXEngine::AutoAuthorizeByFileTime(ac_event& event, uint64_t start,
                                             uint64_t end) {
  if (start == 0 || start == kUnsetTime) return 0;
  if (!m_query.Lstat(event)) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Error getting attributes of path %s, returning false",
             event.name.c_str());
    return 0;
  }
  // st_ctim carries the birth time (see StatItem).
  const uint64_t createTime =
      convertTimeToMillis(static_cast<uint64_t>(event.stat.st_ctim.tv_sec));
  const uint64_t modifiedTime =
      convertTimeToMillis(static_cast<uint64_t>(event.stat.st_mtim.tv_sec));
  const uint64_t now = GetCurrentTimeInMillis();
  if (createTime < now && modifiedTime < now) {
    // A window without a usable end is open until now.
    if (!(end < kUnsetTime && start < end)) end = now + 1;
    if (createTime < end && modifiedTime < end &&
        (start < createTime || start < modifiedTime)) {
      BRIX_LOG(BRIX_TRACE, kFile,
               "[Maintenance] Unrecognized file %s approved because "
               "create/modified time is after authorize start time. "
               "createTime: %llu modifiedTime: %llu authorizeStartTime: %llu",
               event.name.c_str(), static_cast<unsigned long long>(createTime),
               static_cast<unsigned long long>(modifiedTime),
               static_cast<unsigned long long>(start));
      return 1;
    }
  }
  BRIX_LOG(BRIX_TRACE, kFile,
           "[Maintenance] Unrecognized file %s not approved because "
           "create/modified time is before authorize start time. createTime: "
           "%llu modifiedTime: %llu authorizeStartTime: %llu now: %llu",
           event.name.c_str(), static_cast<unsigned long long>(createTime),
           static_cast<unsigned long long>(modifiedTime),
           static_cast<unsigned long long>(start),
           static_cast<unsigned long long>(now));
  return 0;
}

uint64_t BRIXEngine::HandleProcessStartEvent(ac_event& event) {
  if (IsAllowedToRun(event, true) == 0) {
    BRIX_LOG(BRIX_TRACE, kFile, "IsAllowedInDB Returned false");
  } else if (event.decision == AC_DECISION_ALLOWED) {
    if (!event.processName.empty()) {
      const uint64_t pti =
          m_query.GetProcess(event.pid, event.processFileName);
      if (pti == 0) {
        const uint64_t type = m_query.GetProcessInterpreterType(event);
        if (type != BRIXQuery::kNoProcessType) {
          BRIX_LOG(BRIX_TRACE, kFile,
                   "Adding pid %s (%lu) as interpreter with PTI %lu",
                   event.name.c_str(), event.pid, type);
          m_query.AddProcess(event.pid, type, event.processFileName);
          BRIX_LOG(BRIX_TRACE, kFile, "Process %s with pid %lu to added process map",
                   event.processName.c_str(), event.pid);
        }
      } else if (m_query.IsPrelink(pti)) {
        Count("RunPrelink");
      }
    }
    BRIX_LOG(BRIX_TRACE, kFile,
             "Incrementing RunAllowedRule stats for %s with pid %lu",
             event.processName.c_str(), event.pid);
    Count("RunAllowedRule");
    event.action = AC_ACTION_ALLOW;
    BRIX_LOG(BRIX_TRACE, kFile,
             "User %s, process %s and target %s approved pid %lu. Setting "
             "isAuthorized to 3",
             event.user.c_str(), event.processName.c_str(), event.name.c_str(),
             event.pid);
    GetAllowCache().AddCacheNode(event.user, event.processName, event.name);
  } else if (event.decision == AC_DECISION_BLOCKED) {
    BRIX_LOG(BRIX_TRACE, kFile, "Process %s blocked pid %lu",
             event.name.c_str(), event.pid);
    Count("RunBlockedRule");
    Block(event);
    event.isAuthorized = AC_AUTH_NOT_APPROVED;
    BRIX_LOG(BRIX_TRACE, kFile,
             "Process %s was not approved pid %lu. Setting isAuthorized to 2, "
             "returning false",
             event.name.c_str(), event.pid);
    return 0;
  } else {
    BRIX_LOG(BRIX_TRACE, kFile, "Process %s (%lu) not found in DB",
             event.name.c_str(), event.pid);
    event.lockdownBlocked = false;
    event.isAuthorized = AC_AUTH_NOT_AUTHORIZED;
    if (config.GetLockdown()) {
      Count("RunBlockedLockdown");
      BRIX_LOG(BRIX_TRACE, kFile, "Run blocked due to lockdown");
      Block(event);
      BRIX_LOG(BRIX_TRACE, kFile,
               "Unrecognized process %s was not approved due to lockdown.",
               event.name.c_str());
      event.lockdownBlocked = true;
    } else {
      Count("RunAllowedLogOnly");
      BRIX_LOG(BRIX_TRACE, kFile, "Run Allowed Log Only");
      AllowLogOnly(event);
    }
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Returning false from HandleProcessStartEvent");
  return 0;
}

uint64_t BRIXEngine::HandleMmapStartEvent(ac_event& event) {
  // A mapping is judged without the executable-bit test.
  const uint64_t found = IsAllowedToRun(event, false);
  if (found == 0) {
    BRIX_LOG(BRIX_TRACE, kFile, "IsAllowedToRun returned false");
    return 0;
  }
  if (event.decision == AC_DECISION_ALLOWED) {
    Count("RunAllowedRule");
    event.action = AC_ACTION_ALLOW;
    BRIX_LOG(BRIX_TRACE, kFile,
             "Process %s (%lu) was approved to create executable mapping for "
             "%s",
             event.processName.c_str(), event.pid, event.path.c_str());
    GetAllowCache().AddCacheNode(event.user, event.processName, event.name);
    return found;
  }
  if (event.decision == AC_DECISION_BLOCKED) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Process %s (%lu) was not approved to create executable mapping "
             "for %s",
             event.processName.c_str(), event.pid, event.path.c_str());
    Count("RunBlockedRule");
    Block(event);
    return 0;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "File %s not found in the db",
           event.path.c_str());
  if (config.GetLockdown()) {
    Count("RunBlockedLockdown");
    Block(event);
    BRIX_LOG(BRIX_TRACE, kFile,
             "Process %s (%lu) was not approved to create executable mapping "
             "for %s due to LOCKDOWN",
             event.processName.c_str(), event.pid, event.path.c_str());
    return 0;
  }
  Count("RunAllowedLogOnly");
  AllowLogOnly(event);
  return found;
}

uint64_t BRIXEngine::HandleScriptStartEvent(ac_event& event) {
  const uint64_t found = IsAllowedToRun(event, true);
  if (found != 0) {
    if (event.decision == AC_DECISION_ALLOWED) {
      Count("RunAllowedRule");
      event.action = AC_ACTION_ALLOW;
      BRIX_LOG(BRIX_TRACE, kFile, "Process %s approved pid %lu",
               event.name.c_str(), event.pid);
      GetAllowCache().AddCacheNode(event.user, event.processName, event.name);
    } else if (event.decision == AC_DECISION_BLOCKED) {
      BRIX_LOG(BRIX_TRACE, kFile, "Process %s blocked pid %lu",
               event.name.c_str(), event.pid);
      Count("RunBlockedRule");
      Block(event);
      return 0;
    } else {
      BRIX_LOG(BRIX_TRACE, kFile, "Process %s not in DB", event.name.c_str());
      if (!config.GetLockdown()) {
        Count("RunAllowedLogOnly");
        AllowLogOnly(event);
        event.lockdownBlocked = false;
        return found;
      }
      Count("RunBlockedLockdown");
      Block(event);
      event.lockdownBlocked = true;
      BRIX_LOG(BRIX_TRACE, kFile, "Process %s was not approved",
               event.name.c_str());
    }
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Returning false from HandleScriptStartEvent");
  return 0;
}

uint64_t BRIXEngine::CheckExcludeTrustRules(ac_event& event) {
  if (event.type != AC_TYPE_NONE) return 1;
  if (!BRIXDAL::GetDAL()->IsFoundInTrustRules(DAL_TRUST_EXCLUDE, event))
    return 1;
  BRIX_LOG(BRIX_TRACE, kFile,
           "Exclude event in directory %s because of exclude trust rule",
           event.path.c_str());
  Count("EventExcludedByTrustRule");
  event.action = AC_ACTION_NOT_RELEVANT;
  event.isAuthorized = AC_AUTH_EXCLUDED;
  // The next such event is answered from the cache.
  GetAllowCache().AddCacheNode(event.user, event.processName, event.name);
  return 0;
}
