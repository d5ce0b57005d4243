// scan: folder trees into the inventory as scanned items.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unordered_set>

#include "Commands.h"
#include "HostStatus.h"
#include "Output.h"
#include "TreeScan.h"

namespace brixctl {

namespace {

// Skipped paths listed one by one; the rest only count.
constexpr size_t kListedSkips = 10;
constexpr uint64_t kInventoryPageSize = 5000;

// One stored file, as the inventory export shows it.
std::string ItemKey(const std::string& nativePath, const std::string& sha256Hex) {
  return nativePath + '\n' + sha256Hex;
}

struct DatabaseFigures {
  bool known = false;
  double scannedItems = 0;
  double excludedByTrustRule = 0;
};

DatabaseFigures ReadFigures() {
  DatabaseFigures figures;
  std::string text;
  if (brix_host::ReadMetrics(&text) != BRIX_STATUS_SUCCESS) return figures;
  Json json(cJSON_Parse(text.c_str()));
  const cJSON* metrics = cJSON_GetObjectItemCaseSensitive(json.get(), "metrics");
  const cJSON* dbinfo = cJSON_GetObjectItemCaseSensitive(metrics, "dbinfo");
  figures.scannedItems = NumberMember(dbinfo, "scannedItems", -1);
  figures.excludedByTrustRule =
      NumberMember(metrics, "InventoryItemExcludedByTrustRule", 0);
  figures.known = figures.scannedItems >= 0;
  return figures;
}

struct ScanTally {
  uint64_t hashedFiles = 0;
  uint64_t hashedBytes = 0;
  uint64_t queued = 0;
  uint64_t unchanged = 0;
  uint64_t storeFailures = 0;
  uint32_t firstFailure = BRIX_STATUS_SUCCESS;
  std::vector<brix_host::ScanSkip> unreadable;  // walk and hashing together
};

void StoreHashed(const brix_host::HashedFile& file,
                 std::unordered_set<std::string>* known, ScanTally* tally) {
  if (!file.ok) {
    tally->unreadable.push_back({*file.path, file.error});
    return;
  }
  ++tally->hashedFiles;
  tally->hashedBytes += file.digests.size;
  const std::string& nativePath = *file.path;
  const std::string key =
      ItemKey(nativePath, brix_host::ToHex(file.digests.sha256.data(), 32));
  if (!known->insert(key).second) {
    ++tally->unchanged;
    return;
  }
  const size_t slash = nativePath.find_last_of('/');
  const std::string folder = nativePath.substr(0, slash + 1);  // keeps its '/'
  const std::string fileName = nativePath.substr(slash + 1);
  ac_db_item_s item{};
  memcpy(item.sha256, file.digests.sha256.data(), sizeof(item.sha256));
  memcpy(item.sha1, file.digests.sha1.data(), sizeof(item.sha1));
  memcpy(item.md5, file.digests.md5.data(), sizeof(item.md5));
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = fileName.c_str();
  item.path = folder.c_str();
  item.nativePath = nativePath.c_str();
  item.size = file.digests.size;
  item.isAuthorized = 1;
  item.ruleset = "";
  const uint32_t status = store_item(&item, 1);
  if (status == BRIX_STATUS_SUCCESS) {
    ++tally->queued;
  } else {
    if (tally->storeFailures++ == 0) tally->firstFailure = status;
    known->erase(key);
  }
}

void PrintReport(const GlobalOptions& global, const std::vector<std::string>& roots,
                 const brix_host::ScanPlan& plan, const ScanTally& tally,
                 unsigned threads, double seconds, double stored, double excluded) {
  const auto reasons = brix_host::CountReasons(tally.unreadable);
  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON* rootList = cJSON_AddArrayToObject(json.get(), "roots");
    for (const std::string& root : roots)
      cJSON_AddItemToArray(rootList, cJSON_CreateString(root.c_str()));
    cJSON_AddNumberToObject(json.get(), "files", static_cast<double>(tally.hashedFiles));
    cJSON_AddNumberToObject(json.get(), "bytes", static_cast<double>(tally.hashedBytes));
    cJSON_AddNumberToObject(json.get(), "stored", stored);
    cJSON_AddNumberToObject(json.get(), "unchanged", static_cast<double>(tally.unchanged));
    cJSON_AddNumberToObject(json.get(), "excludedByTrustRules", excluded);
    cJSON_AddNumberToObject(json.get(), "notRegular", static_cast<double>(plan.notRegular));
    cJSON_AddNumberToObject(json.get(), "pseudoFileSystems",
                            static_cast<double>(plan.pseudoFileSystems));
    cJSON* skipped = cJSON_AddObjectToObject(json.get(), "skipped");
    cJSON_AddNumberToObject(skipped, "count", static_cast<double>(tally.unreadable.size()));
    cJSON* byReason = cJSON_AddObjectToObject(skipped, "reasons");
    for (const auto& [reason, count] : reasons)
      cJSON_AddNumberToObject(byReason, reason.c_str(), static_cast<double>(count));
    cJSON* examples = cJSON_AddArrayToObject(skipped, "paths");
    for (size_t i = 0; i < tally.unreadable.size() && i < kListedSkips; ++i) {
      cJSON* entry = cJSON_CreateObject();
      cJSON_AddStringToObject(entry, "path", tally.unreadable[i].path.c_str());
      cJSON_AddStringToObject(entry, "reason", tally.unreadable[i].reason.c_str());
      cJSON_AddItemToArray(examples, entry);
    }
    cJSON_AddNumberToObject(json.get(), "threads", threads);
    cJSON_AddNumberToObject(json.get(), "seconds", seconds);
    PrintJsonLine(json.get());
    return;
  }
  std::string rootText;
  for (const std::string& root : roots) rootText += (rootText.empty() ? "" : " ") + root;
  printf("scanned %s: %llu files, %s in %.1f s (%u threads)\n", rootText.c_str(),
         static_cast<unsigned long long>(tally.hashedFiles),
         HumanBytes(tally.hashedBytes).c_str(), seconds, threads);
  printf("  stored %.0f new items, %llu already in the inventory, %.0f excluded by "
         "trust rules\n",
         stored, static_cast<unsigned long long>(tally.unchanged), excluded);
  if (plan.notRegular > 0 || plan.pseudoFileSystems > 0)
    printf("  passed over %zu symbolic links and special files, %zu pseudo file "
           "systems\n",
           plan.notRegular, plan.pseudoFileSystems);
  if (!tally.unreadable.empty()) {
    std::string why;
    for (const auto& [reason, count] : reasons)
      why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + reason;
    printf("  skipped %zu that could not be read: %s\n", tally.unreadable.size(),
           why.c_str());
    for (size_t i = 0; i < tally.unreadable.size() && i < kListedSkips; ++i)
      printf("    %s: %s\n", tally.unreadable[i].path.c_str(),
             tally.unreadable[i].reason.c_str());
    if (tally.unreadable.size() > kListedSkips)
      printf("    ... and %zu more\n", tally.unreadable.size() - kListedSkips);
  }
}

// The files an earlier scan stored, so that unchanged files are not
// stored twice; a changed file is stored beside its old version.  Without
// them (an engine that cannot export) every file is stored.
void LoadStoredItems(const GlobalOptions& global, std::unordered_set<std::string>* known) {
  std::string error;
  const bool read = ReadInventory(
      DAL_SOURCE_SCANNED_ITEMS, kInventoryPageSize, "brixctl-scan", FolderPart(global.db),
      [&](const std::string&, const cJSON* item) {
        const cJSON* path = cJSON_GetObjectItemCaseSensitive(item, "nativePath");
        const cJSON* sha256 = cJSON_GetObjectItemCaseSensitive(item, "sha256");
        if (cJSON_IsString(path) && cJSON_IsString(sha256))
          known->insert(ItemKey(path->valuestring, sha256->valuestring));
        return true;
      },
      &error);
  if (!read) {
    Warn("cannot read the inventory to skip files it already holds (" + error +
         "); every file is stored");
    known->clear();
  }
}

}  // namespace

int RunScan(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("scan", args, {{"--replace", false}, {"--threads", true}},
                        &parsed, &error))
    return Fail(error);
  if (parsed.positional.empty())
    return Fail("scan needs at least one DIR (brixctl scan --help)");
  uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
  if (parsed.Has("--threads") &&
      (!ParseUnsigned(parsed.Get("--threads", ""), 1024, &threads) || threads == 0))
    return Fail("scan: --threads needs a number from 1 to 1024");

  const auto started = std::chrono::steady_clock::now();
  brix_host::ScanPlan plan;
  if (!brix_host::PlanScan(parsed.positional, &plan, &error))
    return Fail("scan: " + error);

  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kCreate, &session)) return kExitError;

  std::unordered_set<std::string> known;
  if (parsed.Has("--replace")) {
    const uint32_t status = purge_db(DAL_SOURCE_SCANNED_ITEMS);
    if (status != BRIX_STATUS_SUCCESS)
      return Fail("scan: cannot forget the earlier scanned items: purge_db: " +
                  brix_host::DescribeStatus(status));
  } else {
    LoadStoredItems(global, &known);
  }

  ScanTally tally;
  tally.unreadable = plan.skipped;
  const DatabaseFigures before = ReadFigures();
  ProgressBar progress("scan", plan.totalBytes);
  uint64_t delivered = 0;
  brix_host::HashFiles(plan.files, static_cast<unsigned>(threads),
                       [&](const brix_host::HashedFile& file) {
                         StoreHashed(file, &known, &tally);
                         ++delivered;
                         progress.Update(tally.hashedBytes,
                                         std::to_string(delivered) + "/" +
                                             std::to_string(plan.files.size()) +
                                             " files");
                       });
  progress.Finish();

  const uint32_t flushStatus = flush_db_buffer();
  // "Operation failed" from a flush means it found nothing left to write:
  // the buffer also empties itself every 1001 items.
  if (flushStatus != BRIX_STATUS_SUCCESS && flushStatus != BRIX_STATUS_FAILED)
    return Fail("scan: cannot write the scanned items: flush_db_buffer: " +
                brix_host::DescribeStatus(flushStatus));
  const DatabaseFigures after = ReadFigures();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  double stored = static_cast<double>(tally.queued);
  double excluded = 0;
  if (before.known && after.known) {
    stored = after.scannedItems - before.scannedItems;
    excluded = after.excludedByTrustRule - before.excludedByTrustRule;
  }
  PrintReport(global, parsed.positional, plan, tally, static_cast<unsigned>(threads),
              seconds, stored, excluded);

  if (tally.storeFailures > 0)
    return Fail("scan: " + std::to_string(tally.storeFailures) +
                " files could not be stored: store_item: " +
                brix_host::DescribeStatus(tally.firstFailure));
  const double expected = static_cast<double>(tally.queued) - excluded;
  if (before.known && after.known && stored < expected)
    return Fail("scan: only " + std::to_string(static_cast<uint64_t>(stored)) + " of " +
                std::to_string(static_cast<uint64_t>(expected)) +
                " items reached the database (--log-level error shows why)");
  return kExitOk;
}

}  // namespace brixctl
