// BRIX.cpp: the exported C functions.
//
// The functions hold no state but the global engine pointer; they check
// their arguments in a fixed order (hosts rely on which status wins when
// several arguments are wrong) and forward to the parts that own the work.
#include "BRIX.h"

#include <string>

#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "FileUtil.h"
#include "Status.h"
#include "brix.h"

BRIXEngine* engine = nullptr;

namespace {
constexpr const char* kFile = kLogFileBRIX;

uint32_t StatusOf(bool ok) {
  return ok ? BRIX_STATUS_SUCCESS : BRIX_STATUS_FAILED;
}

// The status for the host, with the cause of a failure logged once.
uint32_t StatusWithReason(const char* function, const brix::Status& status) {
  if (!status) {
    BRIX_LOG_AS(BRIX_ERROR, function, kFile, "%s failed: %s", function,
                status.reason().c_str());
  }
  return StatusOf(status.ok());
}
}  // namespace

uint32_t StatusForVerdict(const ac_wrapper_event_s* event,
                          const ac_wrapper_response_s* response) {
  if (response == nullptr) return BRIX_STATUS_SUCCESS;
  switch (response->action) {
    case BRIX_ACTION_BLOCK:
      if (config.GetManifestApplied()) {
        BRIX_LOG_AS(BRIX_WARNING, "app_ctl", kFile, "Blocking event: '%s'",
                    event->name != nullptr ? event->name : "(null)");
        return BRIX_STATUS_BLOCK;
      } else {
        // An upgrade waits for its manifest: let the block through, but
        // keep the verdict in the response for the host's reporting.
        BRIXStats* stats = BRIXStats::GetStats();
        stats->Inc("ALLOWED_WAITING_FOR_MANIFEST");
        BRIX_LOG_AS(BRIX_TRACE, "app_ctl", kFile,
                    "Allowed waiting for manifest %d",
                    static_cast<int>(
                        stats->Get("ALLOWED_WAITING_FOR_MANIFEST")));
        return BRIX_STATUS_SUCCESS;
      }
    case BRIX_ACTION_ERROR:
      return BRIX_STATUS_FAILED;
    default:
      return BRIX_STATUS_SUCCESS;
  }
}

extern "C" {

uint32_t engine_start(const ac_engine_start_s* start) {
  if (start == nullptr) return BRIX_STATUS_NULL_START_RECORD;
  if (BRIXLogger::GetInstance()->InitLogger(start->logCallback,
                                            start->logMask) != 0)
    return BRIX_STATUS_LOGGER_INIT_FAILED;
  BRIXDAL* dal = BRIXDAL::GetDAL();
  if (start->dbPath != nullptr && !dal->SetDBPath(start->dbPath))
    return BRIX_STATUS_BAD_PATH;
  if (const brix::Status opened = dal->InitDB(false); !opened) {
    BRIX_LOG(BRIX_ERROR, kFile, "engine_start could not open the database: %s",
             opened.reason().c_str());
    return BRIX_STATUS_DB_INIT_FAILED;
  }
  if (engine != nullptr) return BRIX_STATUS_SUCCESS;
  engine = new BRIXEngine();
  return BRIX_STATUS_SUCCESS;
}

uint32_t engine_stop(void) {
  if (engine == nullptr) return BRIX_STATUS_SUCCESS;
  BRIX_LOG(BRIX_TRACE, kFile, "Engine Stop");
  delete engine;
  engine = nullptr;
  BRIX_LOG(BRIX_TRACE, kFile, "Shutting down DAL for AC Engine");
  BRIXDAL::GetDAL()->ShutdownDAL();
  return BRIX_STATUS_SUCCESS;
}

uint32_t app_ctl(void* /*ignored*/, const ac_wrapper_event_s* event,
                 ac_wrapper_response_s* response) {
  if (event == nullptr) return BRIX_STATUS_NULL_EVENT;
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  engine->ProcessEvent(event, response);
  return StatusForVerdict(event, response);
}

uint32_t set_config(uint32_t bits, uint64_t start, uint64_t end) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  BRIXDAL* dal = BRIXDAL::GetDAL();

  if (bits & BRIX_MODE_AUTO_AUTHORIZE) {
    BRIX_LOG(BRIX_TRACE, kFile, "Setting AUTO AUTHORIZE");
    config.SetInventoryAutoAuthorize(true);
    config.SetAutoAuthorizeStartTime(start);
    config.SetAutoAuthorizeEndTime(end);
    dal->SetAppControlState("autoAuthorizeStartTime", start);
    dal->SetAppControlState("autoAuthorizeEndTime", end);
  } else {
    if (config.GetInventoryAutoAuthorize()) {
      // The window closes now; its start stays for the record.
      const uint64_t now = GetCurrentTimeInMillis();
      config.SetAutoAuthorizeEndTime(now);
      dal->SetAppControlState("autoAuthorizeEndTime", now);
    } else if (config.GetAutoAuthorizeEndTime() == BRIXConfig::kUnset) {
      // Nothing loaded since the engine started: take the stored window.
      uint64_t value = config.GetAutoAuthorizeStartTime();
      if (dal->GetAppControlState("autoAuthorizeStartTime", value))
        config.SetAutoAuthorizeStartTime(value);
      value = config.GetAutoAuthorizeEndTime();
      if (dal->GetAppControlState("autoAuthorizeEndTime", value))
        config.SetAutoAuthorizeEndTime(value);
    }
    config.SetInventoryAutoAuthorize(false);
  }

  if (bits & BRIX_MODE_INVENTORY_EXISTS)
    BRIX_LOG(BRIX_TRACE, kFile, "Setting INVENTORY EXISTS");
  config.SetInventoryExists((bits & BRIX_MODE_INVENTORY_EXISTS) != 0);

  if (bits & BRIX_MODE_LOCKDOWN) {
    std::string stored;
    dal->GetAppControlState("agentVersion", stored);
    const std::string current = config.GetCurrentVersion();
    if (stored != current) {
      BRIX_LOG(BRIX_TRACE, kFile,
               "Upgrade detected old version %s new version %s waiting for "
               "manifest to be applied",
               stored.c_str(), current.c_str());
      config.SetManifestApplied(false);
    }
    BRIX_LOG(BRIX_TRACE, kFile, "Setting LOCKDOWN");
    config.SetLockdown(true);
  } else {
    config.SetLockdown(false);
  }

  if (bits & BRIX_MODE_RULESET_EXISTS)
    BRIX_LOG(BRIX_TRACE, kFile, "Setting RULESET EXISTS");
  config.SetRulesetExists((bits & BRIX_MODE_RULESET_EXISTS) != 0);

  if (bits & BRIX_MODE_ALLOWLIST_INVENTORY)
    BRIX_LOG(BRIX_TRACE, kFile, "Setting ALLOWLIST INVENTORY");
  config.SetWhitelistInventory((bits & BRIX_MODE_ALLOWLIST_INVENTORY) != 0);
  return BRIX_STATUS_SUCCESS;
}

uint32_t set_loglevel(uint32_t mask) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  BRIXLogger::GetInstance()->SetLogMask(mask);
  return BRIX_STATUS_SUCCESS;
}

uint32_t get_metrics_mem(char* buffer, uint32_t* length) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  return BRIXStats::GetStats()->GetMetrics(buffer, length);
}

uint32_t delete_db(void) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  return StatusWithReason(__func__, BRIXDAL::GetDAL()->DeleteDB());
}

uint32_t purge_db(DALSource source) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  return StatusWithReason(__func__, BRIXDAL::GetDAL()->PurgeDB(source));
}

uint32_t flush_db_buffer(void) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  BRIXDAL* dal = BRIXDAL::GetDAL();
  // All three always run, so one empty buffer never keeps another unwritten.
  brix::Status items, rules, users;
  uint64_t written = dal->StoreItemFlush(&items);
  written += dal->StoreTrustRuleFlush(&rules);
  written += dal->StoreUserListFlush(&users);
  if (written == 0) {
    std::string why;
    for (const brix::Status* status : {&items, &rules, &users}) {
      if (status->ok()) continue;
      if (!why.empty()) why += "; ";
      why += status->reason();
    }
    if (!why.empty())
      BRIX_LOG(BRIX_ERROR, kFile, "flush_db_buffer wrote nothing: %s",
               why.c_str());
  }
  return StatusOf(written != 0);
}

uint32_t store_item(const ac_db_item_s* item, int buffered) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  // A null item is as incomplete as one without its texts.
  if (item == nullptr || item->fileName == nullptr || item->path == nullptr ||
      item->nativePath == nullptr || item->ruleset == nullptr)
    return BRIX_STATUS_INCOMPLETE_ITEM;
  BRIXDAL* dal = BRIXDAL::GetDAL();
  const uint64_t result =
      buffered ? dal->StoreItemBuffer(item) : dal->StoreItem(item);
  return StatusOf(result != 0);
}

uint32_t set_ruleset_buffer(bool append, const char* ruleset,
                            const char* name) {
  if (ruleset == nullptr || name == nullptr) return BRIX_STATUS_NULL_RULESET;
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  // No decision taken under the old rules may survive the import.
  engine->GetAllowCache().FlushCache();
  return StatusOf(
      BRIXDAL::GetDAL()->ImportRulesetBuffer(append, ruleset, name));
}

uint32_t set_ruleset(bool append, const char* path, const char* name) {
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  if (path == nullptr) return BRIX_STATUS_BAD_PATH;
  engine->GetAllowCache().FlushCache();
  return StatusOf(BRIXDAL::GetDAL()->ImportRuleset(
      append, path, name != nullptr ? name : ""));
}

uint32_t get_inventory(uint64_t lastItemId, uint64_t limit, DALSource source,
                       const char* payloadPath, const char* scanId) {
  if (payloadPath == nullptr) return BRIX_STATUS_BAD_PATH;
  if (engine == nullptr) return BRIX_STATUS_NOT_STARTED;
  return StatusOf(BRIXDAL::GetDAL()->GetItems(
      lastItemId, limit, source, payloadPath, scanId != nullptr ? scanId : ""));
}

}  // extern "C"
