// metrics, export, purge, delete-db, flush: the database as a whole.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "Commands.h"
#include "FileDigest.h"
#include "HostStatus.h"
#include "Output.h"

namespace brixctl {

namespace {

constexpr uint64_t kDefaultPageSize = 1000;

// A temporary file in `folder`, created empty; its path, or "" with
// `error` set.
std::string MakeScratchFile(const std::string& folder, const char* tag,
                            std::string* error) {
  std::string name = folder + "/.brixctl-" + tag + "-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = "cannot create a temporary file in " + folder + ": " + strerror(errno);
    return "";
  }
  close(fd);
  return name;
}

// A random version 4 UUID, the form inventory consumers expect a scan id in.
std::string NewScanId() {
  unsigned char bytes[16] = {};
  if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
    // Without entropy the id only has to differ between runs.
    const uint64_t seed = static_cast<uint64_t>(time(nullptr)) ^ static_cast<uint64_t>(getpid());
    memcpy(bytes, &seed, sizeof(seed));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  const std::string hex = brix_host::ToHex(bytes, sizeof(bytes));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

// How many lines an export of `source` will write, from the metrics'
// database figures; 0 when they do not say.
uint64_t ExpectedCount(DALSource source) {
  std::string text;
  if (brix_host::ReadMetrics(&text) != BRIX_STATUS_SUCCESS) return 0;
  Json metrics(cJSON_Parse(text.c_str()));
  if (!metrics) return 0;
  const cJSON* dbinfo = cJSON_GetObjectItemCaseSensitive(
      cJSON_GetObjectItemCaseSensitive(metrics.get(), "metrics"), "dbinfo");
  const char* member = nullptr;
  switch (source) {
    case DAL_SOURCE_ALL: member = "totalInventoryItems"; break;
    case DAL_SOURCE_AGENT_RULES: member = "agentRules"; break;
    case DAL_SOURCE_EXECUTION_RULES: member = "executionRules"; break;
    case DAL_SOURCE_SCANNED_ITEMS: member = "scannedItems"; break;
    case DAL_SOURCE_APPROVED_DRIFT: member = "approvedDrift"; break;
    case DAL_SOURCE_TRUST_RULES: member = "totalTrustRules"; break;
    default: return 0;
  }
  const double count = NumberMember(dbinfo, member, 0);
  return count > 0 ? static_cast<uint64_t>(count) : 0;
}

const char* SourceLabel(DALSource source) {
  return source == DAL_SOURCE_ALL ? "all items" : brix_host::SourceName(source);
}

// Removes a scratch file when the scope ends.
struct ScratchFile {
  std::string path;
  ~ScratchFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

}  // namespace

std::string FolderPart(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReadInventory(DALSource source, uint64_t pageSize, const std::string& scanId,
                   const std::string& scratchFolder,
                   const std::function<bool(const std::string&, const cJSON*)>& line,
                   std::string* error) {
  ScratchFile page;
  page.path = MakeScratchFile(scratchFolder, "page", error);
  if (page.path.empty()) return false;
  // Trust rules are numbered by their own id.
  const char* idMember =
      source == DAL_SOURCE_TRUST_RULES ? "trustRuleId" : "inventoryItemId";
  uint64_t lastId = 0;
  for (;;) {
    const uint32_t status =
        get_inventory(lastId, pageSize, source, page.path.c_str(), scanId.c_str());
    if (status != BRIX_STATUS_SUCCESS) {
      *error = "get_inventory after id " + std::to_string(lastId) + ": " +
               brix_host::DescribeStatus(status);
      return false;
    }
    std::ifstream in(page.path, std::ios::binary);
    if (!in) {
      *error = "cannot read the page file " + page.path + ": " + strerror(errno);
      return false;
    }
    uint64_t lines = 0;
    uint64_t pageLastId = lastId;
    std::string text;
    while (std::getline(in, text)) {
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (text.empty()) continue;
      Json parsed(cJSON_Parse(text.c_str()));
      const cJSON* id = cJSON_GetObjectItemCaseSensitive(parsed.get(), idMember);
      if (!cJSON_IsNumber(id) || id->valuedouble <= static_cast<double>(pageLastId)) {
        *error = "the engine wrote an inventory line without a rising \"" +
                 std::string(idMember) + "\": " + text.substr(0, 200);
        return false;
      }
      pageLastId = static_cast<uint64_t>(id->valuedouble);
      ++lines;
      if (!line(text, parsed.get())) {
        *error = "stopped";
        return false;
      }
    }
    if (in.bad()) {
      *error = "cannot read the page file " + page.path + ": " + strerror(errno);
      return false;
    }
    if (lines < pageSize) return true;
    lastId = pageLastId;
  }
}

bool PrintMetricsDocument(const GlobalOptions& global) {
  std::string text;
  const uint32_t status = brix_host::ReadMetrics(&text);
  if (status != BRIX_STATUS_SUCCESS) {
    Fail("cannot read the metrics: get_metrics_mem: " + brix_host::DescribeStatus(status));
    return false;
  }
  if (global.json) {
    puts(text.c_str());
    return true;
  }
  Json json(cJSON_Parse(text.c_str()));
  if (!json) {
    Fail("the engine's metrics document is not valid JSON");
    return false;
  }
  PrintPretty(json.get());
  return true;
}

int RunMetrics(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("metrics", args, {}, &parsed, &error)) return Fail(error);
  if (!parsed.positional.empty()) return Fail("metrics takes no arguments");
  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kRead, &session)) return kExitError;
  return PrintMetricsDocument(global) ? kExitOk : kExitError;
}

int RunExport(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("export", args,
                        {{"--source", true}, {"--page-size", true}, {"--scan-id", true}},
                        &parsed, &error))
    return Fail(error);
  if (parsed.positional.size() != 1)
    return Fail("export needs exactly one OUT file (brixctl export --help)");
  const std::string out = parsed.positional[0];
  DALSource source = DAL_SOURCE_ALL;
  if (!ParseSource(parsed.Get("--source", "all"), &source))
    return Fail("export: --source must be all, agent, execution, scanned, drift, "
                "prelink, trust or 0-6, not '" + parsed.Get("--source", "") + "'");
  uint64_t pageSize = kDefaultPageSize;
  if (parsed.Has("--page-size") &&
      (!ParseUnsigned(parsed.Get("--page-size", ""), UINT32_MAX, &pageSize) ||
       pageSize == 0))
    return Fail("export: --page-size needs a number of items from 1 to 4294967295");
  const std::string scanId = parsed.Get("--scan-id", NewScanId());

  struct stat st {};
  if (stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return Fail("export: " + out + " is a folder");
  const std::string folder = FolderPart(out);
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Fail("export: cannot write " + out + ": folder " + folder + " does not exist");

  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kRead, &session)) return kExitError;

  // Written beside OUT and renamed over it at the end, so a failed export
  // never leaves a partial file that looks complete.
  ScratchFile partial;
  partial.path = MakeScratchFile(folder, "export", &error);
  if (partial.path.empty()) return Fail("export: " + error);
  // mkstemp makes the file private; the export gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  chmod(partial.path.c_str(), 0666 & ~mask);
  FILE* file = fopen(partial.path.c_str(), "we");
  if (file == nullptr)
    return Fail("export: cannot write " + partial.path + ": " + strerror(errno));

  const uint64_t expected = ExpectedCount(source);
  ProgressBar progress("export", expected);
  uint64_t written = 0;
  bool writeFailed = false;
  const bool ok = ReadInventory(
      source, pageSize, scanId, folder,
      [&](const std::string& text, const cJSON*) {
        if (fputs(text.c_str(), file) == EOF || fputc('\n', file) == EOF) {
          writeFailed = true;
          return false;
        }
        ++written;
        progress.Update(written, std::to_string(written) + " items");
        return true;
      },
      &error);
  progress.Finish();
  const bool closed = fclose(file) == 0;
  if (writeFailed || !closed)
    return Fail("export: cannot write " + out + ": " + strerror(errno));
  if (!ok) return Fail("export: " + error);
  if (rename(partial.path.c_str(), out.c_str()) != 0)
    return Fail("export: cannot create " + out + ": " + strerror(errno));
  partial.path.clear();

  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON_AddStringToObject(json.get(), "file", out.c_str());
    cJSON_AddNumberToObject(json.get(), "source", source);
    cJSON_AddNumberToObject(json.get(), "items", static_cast<double>(written));
    cJSON_AddStringToObject(json.get(), "scanId", scanId.c_str());
    PrintJsonLine(json.get());
  } else {
    printf("exported %llu %s (source %d) to %s\n",
           static_cast<unsigned long long>(written),
           written == 1 ? "line" : "lines", source, out.c_str());
    printf("  %s, scan id %s\n", SourceLabel(source), scanId.c_str());
  }
  return kExitOk;
}

int RunPurge(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("purge", args, {}, &parsed, &error)) return Fail(error);
  if (parsed.positional.size() != 1)
    return Fail("purge needs exactly one SOURCE (brixctl purge --help)");
  DALSource source = DAL_SOURCE_ALL;
  if (!ParseSource(parsed.positional[0], &source))
    return Fail("purge: SOURCE must be all, agent, execution, scanned, drift, "
                "prelink, trust or 0-6, not '" + parsed.positional[0] + "'");
  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kWrite, &session)) return kExitError;
  const uint32_t status = purge_db(source);
  // The engine made the file again: with the mode brixctl gives it.
  if (source == DAL_SOURCE_ALL) chmod(global.db.c_str(), 0640);
  if (status != BRIX_STATUS_SUCCESS)
    return Fail("purge of " + std::string(SourceLabel(source)) +
                " failed: purge_db: " + brix_host::DescribeStatus(status));
  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON_AddNumberToObject(json.get(), "purged", source);
    cJSON_AddStringToObject(json.get(), "sourceName", SourceLabel(source));
    PrintJsonLine(json.get());
  } else if (source == DAL_SOURCE_ALL) {
    printf("purged everything: %s was deleted and created again empty\n",
           global.db.c_str());
  } else {
    printf("purged %s (source %d) from %s\n", SourceLabel(source), source,
           global.db.c_str());
  }
  return kExitOk;
}

int RunDeleteDb(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("delete-db", args, {}, &parsed, &error)) return Fail(error);
  if (!parsed.positional.empty()) return Fail("delete-db takes no arguments");
  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kWrite, &session)) return kExitError;
  const uint32_t status = delete_db();
  session.Stop();
  if (status != BRIX_STATUS_SUCCESS)
    return Fail("cannot delete " + global.db + ": delete_db: " +
                brix_host::DescribeStatus(status));
  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON_AddStringToObject(json.get(), "deleted", global.db.c_str());
    PrintJsonLine(json.get());
  } else {
    printf("deleted %s\n", global.db.c_str());
  }
  return kExitOk;
}

int RunFlush(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("flush", args, {}, &parsed, &error)) return Fail(error);
  if (!parsed.positional.empty()) return Fail("flush takes no arguments");
  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kWrite, &session)) return kExitError;
  const uint32_t status = flush_db_buffer();
  // The engine answers "operation failed" when the three buffers together
  // wrote nothing, which is what a fresh process always finds.
  const bool wrote = status == BRIX_STATUS_SUCCESS;
  if (!wrote && status != BRIX_STATUS_FAILED)
    return Fail("flush failed: flush_db_buffer: " + brix_host::DescribeStatus(status));
  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON_AddBoolToObject(json.get(), "wrote", wrote);
    PrintJsonLine(json.get());
  } else {
    puts(wrote ? "flushed the write buffers"
               : "nothing to flush: the write buffers were empty");
  }
  return kExitOk;
}

}  // namespace brixctl
