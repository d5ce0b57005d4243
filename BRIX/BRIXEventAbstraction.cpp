#include "BRIXEventAbstraction.h"

#include <algorithm>
#include <cstring>

#include "BRIX.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "IssuerMeta.h"

std::atomic<BRIXEngine*> BRIXEngine::s_instance{nullptr};

namespace {

constexpr const char* kFile = kLogFileEventAbstraction;

// Only blanks (0x20) are trimmed: hosts pad version-data names with them,
// while a trailing tab is part of the value.
void AssignTrimmed(std::string& out, const char* text) {
  out.assign(text);
  const size_t end = out.find_last_not_of(' ');
  out.erase(end == std::string::npos ? 0 : end + 1);
}

}  // namespace

BRIXEngine::BRIXEngine() {
  s_instance.store(this, std::memory_order_release);
}

BRIXEngine::~BRIXEngine() {
  s_instance.store(nullptr, std::memory_order_release);
}

uint64_t BRIXEngine::ProcessEvent(const ac_wrapper_event_s* wrapper,
                                  ac_wrapper_response_s* response) {
  ac_event event;
  ConvertEvent(wrapper, event);
  const uint64_t result = ProcessEvent(event);
  UpdateResponse(event, response);
  return result;
}

uint64_t BRIXEngine::ProcessEvent(ac_event& event) {
  BRIX_LOG(BRIX_TRACE, kFile,
           "Processing event. EventType: %d Maintenance Mode: %d LockDown: %d",
           event.type, config.GetInventoryAutoAuthorize(),
           config.GetLockdown());
  if (event.type == AC_TYPE_NONE) {
    BRIXAllowCache& cache = GetAllowCache();
    if (cache.IsCached(event.user, event.processName, event.name)) {
      event.action = AC_ACTION_ALLOW;
      event.isAuthorized = AC_AUTH_ALLOW_LIST;
      return 1;
    }
    BRIX_LOG(BRIX_TRACE, kFile,
             "AllowCache miss for user: %s process: %s target: %s",
             event.user.c_str(), event.processName.c_str(),
             event.name.c_str());
  }
  if (AbstractEvent(event) && CheckExcludeTrustRules(event))
    return HandleEvent(event);

  BRIX_LOG(BRIX_TRACE, kFile, "Not Handling Event of type: %d", event.type);
  BRIXStats::GetStats()->Inc("TotalIgnoredEvent");
  return 0;
}

uint64_t BRIXEngine::HandleEvent(ac_event& event) {
  if (event.type == AC_TYPE_NONE) {
    event.isAuthorized = AC_AUTH_NOT_AUTHORIZED;
    event.action = AC_ACTION_NOT_RELEVANT;
    return 0;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Handling event of type: %d", event.type);
  switch (event.type) {
    case AC_TYPE_PROGRAM_START:
      return HandleProcessStartEvent(event);
    case AC_TYPE_FILE_SYSTEM:
      return HandleFileSystemMonitorEvent(event);
    case AC_TYPE_DELETE:
      return HandleDeleteEvent(event);
    case AC_TYPE_SCRIPT_START:
      return HandleScriptStartEvent(event);
    case AC_TYPE_MMAP:
      return HandleMmapStartEvent(event);
    default:
      BRIX_LOG(BRIX_WARNING, kFile, "Unknown event type %d", event.type);
      event.action = AC_ACTION_ERROR;
      return 0;
  }
}

void BRIXEngine::ConvertEvent(const ac_wrapper_event_s* w, ac_event& event) {
  BRIX_LOG(BRIX_TRACE, kFile, "Start ConvertEvent");
  event.pid = w->pid;
  event.auxiliary1 = w->auxiliary1;
  event.flags = w->flags;
  event.result = w->result;
  event.auxiliary2 = w->auxiliary2;
  event.size = w->size;
  event.mode = w->mode;
  event.auxiliary3 = w->auxiliary3;
  event.dirty = w->dirty != 0;
  event.isexec = w->isexec != 0;
  event.trusted = w->trusted != 0;
  event.isSymlink = w->isSymlink != 0;
  event.type = w->type;
  event.op = w->type;

  if (w->processName) {
    event.processName = w->processName;
    BRIX_LOG(BRIX_TRACE, kFile, "processName from plugin:'%s'", w->processName);
  }
  if (w->user) {
    event.user = w->user;
    BRIX_LOG(BRIX_TRACE, kFile, "user from plugin:'%s'", w->user);
  }
  if (w->group) {
    event.group = w->group;
    BRIX_LOG(BRIX_TRACE, kFile, "group from plugin:'%s'", w->group);
  }
  if (w->name) {
    event.name = w->name;
    BRIX_LOG(BRIX_TRACE, kFile, "name from plugin:'%s'", w->name);
  }
  if (w->oldName) {
    event.oldName = w->oldName;
    BRIX_LOG(BRIX_TRACE, kFile, "oldName from plugin:'%s'", w->oldName);
  }
  if (w->cmdLine) {
    event.cmdLine = w->cmdLine;
    BRIX_LOG(BRIX_TRACE, kFile, "cmdLine from plugin:'%s'", w->cmdLine);
  }
  if (w->processSignerName) {
    event.processSignerName = w->processSignerName;
    BRIX_LOG(BRIX_TRACE, kFile, "processSignerName from plugin:'%s'",
             w->processSignerName);
  }

  const char* const processIssuer[kIssuerFieldCount] = {
      w->processIssuerCN, w->processIssuerC, w->processIssuerS,
      w->processIssuerL,  w->processIssuerO, w->processIssuerOU};
  for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
    const char* value = processIssuer[meta.getIssuer()];
    if (value == nullptr) continue;
    BRIX_LOG(BRIX_TRACE, kFile, "process%s from plugin:'%s'",
             IssuerMetaArrayUtil::IssuerMeta::getLabelCaps(meta.getIssuer()),
             value);
    event.processIssuer[meta.getIssuer()] = value;
  }
  if (w->processCompanyName) {
    AssignTrimmed(event.processCompanyName, w->processCompanyName);
    BRIX_LOG(BRIX_TRACE, kFile, "processCompanyName from plugin:'%s'",
             w->processCompanyName);
  }
  if (w->processProductName) {
    AssignTrimmed(event.processProductName, w->processProductName);
    BRIX_LOG(BRIX_TRACE, kFile, "processProductName from plugin:'%s'",
             w->processProductName);
  }
  if (w->processSha256) {
    event.processSha256.SetHash(
        reinterpret_cast<const char*>(w->processSha256));
    BRIX_LOG(BRIX_TRACE, kFile, "processSha256 from plugin: %s",
             event.processSha256.GetText().c_str());
  }

  if (w->fileSignerName) {
    event.fileSignerName = w->fileSignerName;
    BRIX_LOG(BRIX_TRACE, kFile, "fileSignerName from plugin:'%s'",
             w->fileSignerName);
  }
  const char* const fileIssuer[kIssuerFieldCount] = {
      w->fileIssuerCN, w->fileIssuerC, w->fileIssuerS,
      w->fileIssuerL,  w->fileIssuerO, w->fileIssuerOU};
  for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
    const char* value = fileIssuer[meta.getIssuer()];
    if (value == nullptr) continue;
    BRIX_LOG(BRIX_TRACE, kFile, "file%s from plugin:'%s'",
             IssuerMetaArrayUtil::IssuerMeta::getLabelCaps(meta.getIssuer()),
             value);
    event.fileIssuer[meta.getIssuer()] = value;
  }
  if (w->fileCompanyName) {
    AssignTrimmed(event.fileCompanyName, w->fileCompanyName);
    BRIX_LOG(BRIX_TRACE, kFile, "fileCompanyName from plugin:'%s'",
             w->fileCompanyName);
  }
  if (w->fileProductName) {
    AssignTrimmed(event.fileProductName, w->fileProductName);
    BRIX_LOG(BRIX_TRACE, kFile, "fileProductName from plugin:'%s'",
             w->fileProductName);
  }
  if (w->fileSha256) {
    event.fileSha256.SetHash(reinterpret_cast<const char*>(w->fileSha256));
    BRIX_LOG(BRIX_TRACE, kFile, "fileSha256 from plugin: %s",
             event.fileSha256.GetText().c_str());
  }
  if (w->fileSha1) event.fileSha1 = SHA1Hash(w->fileSha1);
  if (w->fileMd5) event.fileMd5 = MD5Hash(w->fileMd5);
}

void BRIXEngine::UpdateResponse(const ac_event& event,
                                ac_wrapper_response_s* response) {
  if (response == nullptr) return;
  memset(response, 0, sizeof(*response));
  response->action = event.action;
  response->itemType = event.itemType;
  response->source = event.source;
  response->isAuthorized = event.isAuthorized;
  response->type = event.type;
  response->reserved = event.reserved;
  response->decision = event.decision;
  // st_ctim carries the birth time (see StatItem).
  response->changeTime =
      static_cast<uint64_t>(event.stat.st_ctim.tv_sec) * 1000000000ULL +
      static_cast<uint64_t>(event.stat.st_ctim.tv_nsec);
  // A bounded copy: a name of 80 bytes or more fills the field without a
  // terminator, and the zero padding after it ends the text.
  memcpy(response->ruleset, event.ruleset.data(),
         std::min(event.ruleset.size(), sizeof(response->ruleset)));
}

// Until the host codes are folded into categories, no event reaches a
// handler: every event is reported as not relevant and counted as ignored.
uint64_t BRIXEngine::AbstractEvent(ac_event& event) {
  event.action = AC_ACTION_NOT_RELEVANT;
  return 0;
}

uint64_t BRIXEngine::CheckExcludeTrustRules(ac_event& /*event*/) { return 1; }

// The handlers leave the event undecided until the decision logic exists.
uint64_t BRIXEngine::HandleProcessStartEvent(ac_event& /*event*/) { return 0; }
uint64_t BRIXEngine::HandleMmapStartEvent(ac_event& /*event*/) { return 0; }
uint64_t BRIXEngine::HandleScriptStartEvent(ac_event& /*event*/) { return 0; }
uint64_t BRIXEngine::HandleFileSystemMonitorEvent(ac_event& /*event*/) {
  return 0;
}
uint64_t BRIXEngine::HandleDeleteEvent(ac_event& /*event*/) { return 0; }
