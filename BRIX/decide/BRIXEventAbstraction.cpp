#include "BRIXEventAbstraction.h"

#include <algorithm>
#include <cstring>

#include "BRIXConfig.h"
#include "BRIXDataAccessLayer.h"
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
  m_query.SetSettingReader([](const std::string& name, unsigned long& value) {
    return BRIXDAL::GetDAL()->GetAppControlState(name, value);
  });
  s_instance.store(this, std::memory_order_release);
}

BRIXEngine::~BRIXEngine() {
  s_instance.store(nullptr, std::memory_order_release);
}

uint64_t BRIXEngine::ProcessEvent(const ac_wrapper_event_s* wrapper,
                                  ac_wrapper_response_s* response) {
  // A repeated event answered from the allow cache is the most frequent
  // case of all.  When no trace line would be written, it is answered
  // straight from the host's record: the same lookup with the same keys and
  // the same response as through a converted event, without building one.
  bool askCache = true;
  if (wrapper->type == AC_TYPE_NONE &&
      !BRIXLogger::GetInstance()->ShouldLog(BRIX_TRACE)) {
    auto view = [](const char* s) {
      return s != nullptr ? std::string_view(s) : std::string_view();
    };
    if (GetAllowCache().IsCached(view(wrapper->user),
                                 view(wrapper->processName),
                                 view(wrapper->name))) {
      if (response != nullptr) {
        memset(response, 0, sizeof(*response));
        response->action = AC_ACTION_ALLOW;
        response->itemType = kDefaultItemType;
        response->isAuthorized = AC_AUTH_ALLOW_LIST;
      }
      return 1;
    }
    askCache = false;
  }
  ac_event event;
  ConvertEvent(wrapper, event);
  const uint64_t result = ProcessEventInternal(event, askCache);
  UpdateResponse(event, response);
  return result;
}

uint64_t BRIXEngine::ProcessEvent(ac_event& event) {
  return ProcessEventInternal(event, true);
}

uint64_t BRIXEngine::ProcessEventInternal(ac_event& event, bool askCache) {
  BRIX_LOG_AS(BRIX_TRACE, "ProcessEvent", kFile,
              "Processing event. EventType: %d Maintenance Mode: %d LockDown: "
              "%d",
              event.type, config.GetInventoryAutoAuthorize(),
              config.GetLockdown());
  if (event.type == AC_TYPE_NONE) {
    if (askCache &&
        GetAllowCache().IsCached(event.user, event.processName, event.name)) {
      event.action = AC_ACTION_ALLOW;
      event.isAuthorized = AC_AUTH_ALLOW_LIST;
      return 1;
    }
    BRIX_LOG_AS(BRIX_TRACE, "ProcessEvent", kFile,
                "AllowCache miss for user: %s process: %s target: %s",
                event.user.c_str(), event.processName.c_str(),
                event.name.c_str());
  }
  if (AbstractEvent(event) && CheckExcludeTrustRules(event))
    return HandleEvent(event);

  BRIX_LOG_AS(BRIX_TRACE, "ProcessEvent", kFile,
              "Not Handling Event of type: %d", event.type);
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

uint64_t BRIXEngine::AbstractEvent(ac_event& event) {
  ac_process_info info;
  BRIX_LOG(BRIX_TRACE, kFile, "EventAbstraction");

  if (!event.name.empty()) {
    const size_t slash = event.name.rfind('/');
    if (slash != std::string::npos) {
      event.path = event.name.substr(0, slash + 1);
      event.fileName = event.name.substr(slash + 1);
    } else {
      event.fileName = event.name;
    }
  }
  if (event.extension.empty()) {
    const size_t dot = event.fileName.rfind('.');
    if (dot != std::string::npos) event.extension = event.fileName.substr(dot + 1);
  }
  info.pid = event.pid;
  if (!event.processName.empty()) {
    const size_t slash = event.processName.rfind('/');
    if (slash != std::string::npos) {
      info.path = event.processPath = event.processName.substr(0, slash + 1);
      info.fileName = event.processFileName =
          event.processName.substr(slash + 1);
    }
    BRIX_LOG(BRIX_TRACE, kFile,
             "Process name=%s path=%s fileName=%s procUser=%s procGroup=%s \n",
             event.processName.c_str(), info.path.c_str(),
             info.fileName.c_str(), event.user.c_str(), event.group.c_str());
  }
  event.op = event.type;

  uint64_t handled;
  switch (event.type) {
    case AC_HOST_CREATE_PRE:
    case AC_HOST_CREATE_PRE2:
      handled = EventCreatePre(event, info);
      break;
    case AC_HOST_CREATE_POST:
      handled = EventCreatePost(event, info);
      break;
    case AC_HOST_CLEANUP_PRE:
      handled = EventCleanupPre(event);
      break;
    case AC_HOST_EXEC_PRE:
      handled = EventExecPre(event);
      break;
    case AC_HOST_OPEN_POST:
      handled = EventOpenPost(event);
      break;
    case AC_HOST_CHMOD_POST:
    case AC_HOST_CHMOD_POST2:
      handled = EventChmodPost(event);
      break;
    case AC_HOST_CLOSE_POST:
      handled = EventClosePost(event);
      break;
    case AC_HOST_RENAME_POST:
      handled = EventRenamePost(event);
      break;
    case AC_HOST_CHOWN_POST:
    case AC_HOST_CHOWN_POST2:
    case AC_HOST_CHOWN_POST3:
    case AC_HOST_CHOWN_POST4:
      handled = EventChownPost(event);
      break;
    case AC_HOST_DELETE_POST:
    case AC_HOST_DELETE_POST2:
      handled = EventDeletePost(event);
      break;
    case AC_HOST_MMAP_PRE:
      handled = EventMmapPre(event);
      break;
    default:
      BRIX_LOG(BRIX_TRACE, kFile, "Event not processed fell through");
      handled = 1;
      event.action = AC_ACTION_NOT_RELEVANT;
      break;
  }
  const uint64_t included = DirectoryExclude(event);
  const uint64_t result = (handled != 0) && (included != 0);
  BRIX_LOG(BRIX_TRACE, kFile,
           "Returning %d from EventAbstraction | EventAbs: %d && "
           "DynamicRules: %d",
           static_cast<int>(result), static_cast<int>(handled),
           static_cast<int>(included));
  return result;
}

uint64_t BRIXEngine::EventExecPre(ac_event& event) {
  BRIXStats::GetStats()->Inc("RunProgram");
  event.type = AC_TYPE_PROGRAM_START;
  return 1;
}

uint64_t BRIXEngine::EventCreatePre(ac_event& event, ac_process_info& info) {
  BRIX_LOG(BRIX_TRACE, kFile, "Event Create Pre Abstraction");
  auto notDetected = [&](uint64_t pti) {
    BRIX_LOG_AS(BRIX_TRACE, "EventCreatePre", kFile,
                "Script exec not detected. Process type index: %lu",
             pti);
    BRIX_LOG_AS(BRIX_TRACE, "EventCreatePre", kFile,
                "Returning false from EventCreatePre");
    return uint64_t{0};
  };
  auto nameMissing = [&]() {
    BRIX_LOG_AS(BRIX_TRACE, "EventCreatePre", kFile,
             "Event name empty. Returning false from event abstraction.");
    return uint64_t{0};
  };

  uint64_t pti = 0;
  bool cached = false;
  if (info.fileName.empty()) {
    BRIX_LOG(BRIX_TRACE, kFile, "process filename is empty");
  } else {
    pti = m_query.GetProcess(info.pid, info.fileName);
    if (pti != 0) {
      BRIX_LOG(BRIX_TRACE, kFile, "process type index is empty");
      if (event.name.empty()) return nameMissing();
      cached = true;
    }
  }
  if (!cached) {
    pti = m_query.GetProcessInterpreterType(info);
    BRIX_LOG(BRIX_TRACE, kFile, "processTypeIndex=%d", static_cast<int>(pti));
    if (pti != BRIXQuery::kNoProcessType) {
      m_query.AddProcess(event.pid, pti, info.fileName);
      if (event.name.empty()) return nameMissing();
      if (pti == 0) return notDetected(pti);
    } else if (event.name.empty()) {
      return nameMissing();
    }
  }

  const bool interpreter = m_query.IsInterpreter(pti);
  if (!interpreter) return notDetected(pti);
  const bool interpreted = m_query.IsExtensionInterpreted(pti, event.extension);
  const uint64_t onCommandLine = IsOnCommandLine(event);
  BRIX_LOG(BRIX_TRACE, kFile,
           "bIsExtensionInterpreted %d bIsOnTheCommandLine %d isexec %d",
           interpreted, static_cast<int>(onCommandLine), event.isexec);
  if (interpreted || (onCommandLine && event.isexec)) {
    BRIXStats::GetStats()->Inc("RunScript");
    event.type = AC_TYPE_SCRIPT_START;
    return interpreter;
  }
  BRIX_LOG(BRIX_TRACE, kFile,
           "File extension is not interpreted by process type %d",
           static_cast<int>(pti));
  BRIX_LOG(BRIX_TRACE, kFile, "Returning false from EventCreatePre");
  return 0;
}

uint64_t BRIXEngine::EventCreatePost(ac_event& event, ac_process_info&) {
  event.action = AC_ACTION_NOT_RELEVANT;
  if (event.dirty) {
    event.type = AC_TYPE_FILE_SYSTEM;
    event.op = AC_TYPE_WRITE;
    return 1;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Create Post event not dirty, ignoring");
  return 0;
}

uint64_t BRIXEngine::EventCleanupPre(ac_event& event) {
  event.action = AC_ACTION_NOT_RELEVANT;
  if (event.dirty && event.name.find(':') == std::string::npos)
    event.type = AC_TYPE_FILE_SYSTEM;
  return 1;
}

uint64_t BRIXEngine::EventOpenPost(ac_event& event) {
  constexpr uint64_t kCreate = 0x40, kTruncate = 0x200;
  if ((event.flags & (kCreate | kTruncate)) == 0) return 1;
  const uint64_t pti = m_query.GetProcess(event.pid, event.processFileName);
  if (m_query.IsPrelink(pti)) {
    BRIX_LOG(BRIX_WARNING, kFile, "Not supported yet\n");
    // The prelinker is about to rewrite this file.  Its inventory row is
    // known by the hash it has now, so that hash is what the refresh after
    // the rewrite must look for.  Only the opening of the file can tell it:
    // the drift that follows carries the new content's hash.  The host
    // reports, with the open, the digest of the file as it was opened (a
    // permission-event host hashes before the truncation takes effect).
    if (event.fileSha256.HasBytes())
      BRIXDAL::GetDAL()->SetPrelinkHash(event.fileSha256);
  }
  return 1;
}

uint64_t BRIXEngine::EventChmodPost(ac_event& event) {
  if (event.result == 0) {
    event.type = AC_TYPE_FILE_SYSTEM;
    event.op = AC_TYPE_ATTRIBUTE;
  }
  return 1;
}

uint64_t BRIXEngine::EventChownPost(ac_event& event) {
  if (event.result == 0) {
    event.type = AC_TYPE_FILE_SYSTEM;
    event.op = AC_TYPE_ATTRIBUTE;
  }
  return 1;
}

uint64_t BRIXEngine::EventClosePost(ac_event& event) {
  event.type = AC_TYPE_FILE_SYSTEM;
  event.op = AC_TYPE_WRITE;
  return 1;
}

uint64_t BRIXEngine::EventRenamePost(ac_event& event) {
  if (event.result == 0) {
    event.type = AC_TYPE_FILE_SYSTEM;
    event.op = AC_TYPE_RENAME;
  }
  return 1;
}

uint64_t BRIXEngine::EventDeletePost(ac_event& event) {
  if (event.result != 0) return 1;
  event.type = AC_TYPE_DELETE;
  event.op = AC_TYPE_DELETE;
  GetAllowCache().RemoveCacheNode(event.name);
  return 1;
}

uint64_t BRIXEngine::EventMmapPre(ac_event& event) {
  constexpr uint64_t kProtExec = 4;
  if (event.mode & kProtExec) event.type = AC_TYPE_MMAP;
  return 1;
}

uint64_t BRIXEngine::DirectoryExclude(ac_event& event) {
  if (event.op != AC_TYPE_ATTRIBUTE && event.op != AC_TYPE_RENAME &&
      event.op != AC_TYPE_WRITE)
    return 1;
  // While software is being authorised every change counts.
  if (config.GetInventoryAutoAuthorize()) return 1;
  if (m_query.ShouldScanFolder(event)) return 1;
  BRIX_LOG(BRIX_TRACE, kFile, "Excluding event %s, based on directory",
           event.path.c_str());
  event.action = AC_ACTION_NOT_RELEVANT;
  event.isAuthorized = AC_AUTH_EXCLUDED;
  BRIXStats::GetStats()->Inc("EventExcludedBasedOnDirectory");
  GetAllowCache().RemoveCacheNode(event.name);
  return 0;
}

uint64_t BRIXEngine::IsOnCommandLine(ac_event& event) {
  if (event.fileName.empty() || event.cmdLine.empty()) {
    BRIX_LOG(BRIX_TRACE, kFile, "No cmdline or file to check");
    return 0;
  }
  if (event.cmdLine.find(event.fileName) != std::string::npos) {
    BRIX_LOG(BRIX_TRACE, kFile, "Filename matches process command line");
    return 1;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Filename does not match process command line");
  return 0;
}

