// BRIXQueryTrust.cpp: which changes to executables come from trusted
// updaters (installers, package tools, the prelinker).
#include <cstdio>
#include <string>

#include "BRIXConfig.h"
#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "BRIXStats.h"
#include "FileUtil.h"

namespace {
constexpr const char* kFile = kLogFileQuery;
}  // namespace

bool BRIXQuery::ShouldTrustDrift(unsigned long pti, ac_event& event,
                                 bool& storeInInventory) {
  if (event.trusted) {
    event.driftTrust = 1;
    storeInInventory = true;
    return true;
  }
  if (!config.GetInventoryExists() && config.GetWhitelistInventory()) {
    event.driftTrust = 1;
    storeInInventory = true;
    BRIXStats::GetStats()->Inc("TotalApprovedDriftDuringInventory");
    return true;
  }
  if (pti == 0 && !event.processFileName.empty()) {
    pti = GetProcessInterpreterType(event);
    if (pti != kNoProcessType)
      AddProcess(event.pid, pti, event.processFileName);
  }
  BRIX_LOG(BRIX_TRACE, kFile, "processType %lu for %s pid %lu", pti,
           event.processName.c_str(), event.pid);

  if (pti != 0 && pti < m_processTypes.size()) {
    const ProcessType& type = m_processTypes[pti];
    if (!type.paths.empty()) {
      BRIX_LOG(BRIX_TRACE, kFile, "process has non empty paths");
      if (type.trustedUpdate) {
        BRIX_LOG(BRIX_TRACE, kFile, "process %s is trustedUpdate",
                 event.processName.c_str());
        if (type.op != 0 && type.op != event.op) {
          BRIX_LOG(BRIX_TRACE, kFile,
                   "process %s is item.op %lu does not much process.op %lu",
                   event.processName.c_str(),
                   static_cast<unsigned long>(event.op),
                   static_cast<unsigned long>(type.op));
        } else {
          for (const std::string& trustedPath : type.paths) {
            if (event.path.find(trustedPath) == std::string::npos) {
              BRIX_LOG(BRIX_TRACE, kFile,
                       "process %s is evt.path %s does not match process.path "
                       "%s",
                       event.processName.c_str(), event.path.c_str(),
                       trustedPath.c_str());
              continue;
            }
            BRIX_LOG(BRIX_TRACE, kFile, "process %s is trusted for path %s",
                     event.processName.c_str(), event.path.c_str());
            const std::string counter = type.name + "TrustedDrift";
            bool scriptExtension = false;
            for (const std::string& ext : type.extensions)
              scriptExtension |= ext == event.extension;
            if (type.name == "power" && scriptExtension) {
              // Scripts are trusted by their content, and only while they
              // stay as they are: never recorded.
              storeInInventory = false;
              const bool trusted = ShouldTrustPowershell(event);
              if (trusted) {
                event.driftTrust = 4;
                BRIXStats::GetStats()->Inc(counter);
              }
              return trusted;
            }
            event.driftTrust = 4;
            BRIXStats::GetStats()->Inc(counter);
            storeInInventory = true;
            return true;
          }
        }
      }
    }
  }
  if (IsPrelink(pti)) {
    event.source = DAL_SOURCE_PRELINK;
    event.driftTrust = 4;
    storeInInventory = true;
    return true;
  }
  storeInInventory = false;
  return false;
}

bool BRIXQuery::ShouldTrustPowershell(ac_event& event) {
  int lines = 1;
  if (FILE* in = fopen(event.name.c_str(), "rb")) {
    int c;
    while ((c = fgetc(in)) != EOF) lines += c == '\n';
    fclose(in);
  }
  if (lines > 1) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "%s not detected as trusted script because the file has more "
             "than 1 line (%d lines)",
             event.name.c_str(), lines);
    return false;
  }
  ac_file_s file;
  fileopen_read(event.name, file);
  if (!fileok(file)) {
    BRIX_LOG(BRIX_TRACE, kFile, "%s could not be parsed properly",
             event.name.c_str());
    return false;
  }
  char header[2] = {};
  const unsigned long n = fileread(&file, header, sizeof(header));
  fileclose(&file);
  if (n == 2 && header[0] == '#' && header[1] == ' ') {
    BRIX_LOG(BRIX_TRACE, kFile,
             "%s detected as trusted script because of '# ' header and only "
             "%d line",
             event.name.c_str(), lines);
    return true;
  }
  if (n == 1 && header[0] == '1') {
    BRIX_LOG(BRIX_TRACE, kFile,
             "%s detected as trusted script because of '1' header and only "
             "%d line",
             event.name.c_str(), lines);
    return true;
  }
  BRIX_LOG(BRIX_TRACE, kFile,
           "%s not detected as trusted script because lack of '# ' or '1' "
           "header",
           event.name.c_str());
  return false;
}
