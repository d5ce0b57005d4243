// BRIXDALImport.cpp: rulesets in JSON, from a file or a buffer.
//
// The ruleset's name decides its kind: an agent manifest ("agent" in the
// name), a trust ruleset ("trustrules"), or an execution ruleset
// (anything else).  Without append, the rules of that kind already stored
// are removed first.  Rules go through the buffered stores, so a large
// ruleset costs one commit per thousand rows; there is no transaction
// around the whole import, and lookups on other threads may see it part
// way.
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BRIXConfig.h"
#include "BRIXDALInternal.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "FileUtil.h"
#include "IssuerMeta.h"

using brix_dal::kFile;

namespace {

// A value given as a JSON number (cJSON's saturated int) or as a string
// holding a decimal number (strtol, low 32 bits); anything else is 0.
int32_t Int32Of(const cJSON* item) {
  if (cJSON_IsNumber(item)) return item->valueint;
  if (cJSON_IsString(item) && item->valuestring != nullptr)
    return static_cast<int32_t>(strtol(item->valuestring, nullptr, 10));
  return 0;
}

// The string member `key`, or null when absent or not a string.
const char* StringOf(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

uint32_t ActionOf(const char* action) {
  if (action == nullptr) return AC_AUTH_NOT_AUTHORIZED;
  if (strncmp(action, "block", 5) == 0) return AC_AUTH_NOT_APPROVED;
  if (strncmp(action, "allow", 5) == 0) return AC_AUTH_ALLOW_LIST;
  return AC_AUTH_NOT_AUTHORIZED;
}

void RuleToItem(const cJSON* rule, ac_event& item) {
  if (const char* v = StringOf(rule, "fileName")) item.fileName = v;
  if (const char* v = StringOf(rule, "sha256")) item.fileSha256.SetHash(std::string(v));
  if (const char* v = StringOf(rule, "sha1")) item.fileSha1.SetFromText(v);
  if (const char* v = StringOf(rule, "md5")) item.fileMd5.SetFromText(v);
  // A signed 32-bit size, widened: hosts have always sent it so.
  item.size = static_cast<uint64_t>(static_cast<int64_t>(
      Int32Of(cJSON_GetObjectItemCaseSensitive(rule, "size"))));
  item.isAuthorized = ActionOf(StringOf(rule, "action"));
}

void ElementToTrustRule(const cJSON* element, ac_trust_rule& rule) {
  const struct {
    const char* key;
    std::string* field;
  } texts[] = {
      {"processName", &rule.processName}, {"paths", &rule.paths},
      {"signerName", &rule.signerName},   {"productName", &rule.productName},
      {"companyName", &rule.companyName}, {"user", &rule.procUser},
      {"group", &rule.procGroup},         {"userList", &rule.userList},
  };
  for (const auto& t : texts)
    if (const char* v = StringOf(element, t.key)) *t.field = v;
  for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
    const char* key =
        IssuerMetaArrayUtil::IssuerMeta::getLabelCapless(meta.getIssuer());
    if (const char* v = StringOf(element, key))
      rule.issuer[meta.getIssuer()] = v;
  }
  rule.trustType =
      Int32Of(cJSON_GetObjectItemCaseSensitive(element, "trustType"));
  if (const char* v = StringOf(element, "sha256")) rule.sha256.SetHash(std::string(v));
}

}  // namespace

bool BRIXDAL::ImportRuleset(bool append, const std::string& path,
                            const std::string& name) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    BRIX_LOG(BRIX_ERROR, kFile,
             "BRIXDAL::ImportRuleset Unable to get ruleset file information");
    return false;
  }
  ac_file_s file;
  fileopen_read(path, file);
  if (!fileok(file)) {
    BRIX_LOG(BRIX_ERROR, kFile, "Couldn't create payload");
    fileclose(&file);
    return false;
  }
  std::vector<char> text(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t used = 0;
  while (used < static_cast<size_t>(st.st_size)) {
    const unsigned long n =
        fileread(&file, text.data() + used, text.size() - 1 - used);
    if (n == 0) break;
    used += n;
  }
  fileclose(&file);
  text[used] = '\0';
  return ImportRulesetBuffer(append, text.data(), name);
}

bool BRIXDAL::ImportRulesetBuffer(bool append, const char* text,
                                  const std::string& name) {
  std::string lower(name);
  for (char& c : lower)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));

  const char* errorAt = nullptr;
  cJSON* root = cJSON_ParseWithOpts(text, &errorAt, 0);
  if (root == nullptr) {
    BRIX_LOG(BRIX_ERROR, kFile, "Ruleset parse error ");
    if (errorAt != nullptr) BRIX_LOG(BRIX_ERROR, kFile, "%s", errorAt);
    return false;
  }

  BRIXStats* stats = BRIXStats::GetStats();
  int source = 0;
  if (lower.find("agent") != std::string::npos) {
    const std::string version = config.GetCurrentVersion();
    SetAppControlState("agentVersion", version);
    BRIX_LOG(BRIX_TRACE, kFile, "Manifest applied to version %s",
             version.c_str());
    config.SetManifestApplied(true);
    if (!append) {
      PurgeDB(DAL_SOURCE_AGENT_RULES);
      PurgeDB(DAL_SOURCE_EXECUTION_RULES);
      PurgeDB(DAL_SOURCE_TRUST_RULES);
      stats->ClearType(BRIX_STATS_RULESET, "");
      m_trustRulesPresent = false;
    }
    source = DAL_SOURCE_AGENT_RULES;
  } else if (lower.find("trustrules") != std::string::npos) {
    if (!append) {
      PurgeDB(DAL_SOURCE_TRUST_RULES);
      stats->ClearType(BRIX_STATS_RULESET, "trust");
    }
    BRIX_LOG(BRIX_TRACE, kFile, "Importing trust ruleset into db: %s",
             name.c_str());
    stats->SetType(BRIX_STATS_RULESET, name, 0);
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element,
                       cJSON_GetObjectItemCaseSensitive(root, "Trustrules")) {
      stats->IncType(BRIX_STATS_RULESET, name);
      ac_trust_rule rule;
      ElementToTrustRule(element, rule);
      rule.ruleset = lower;
      StoreTrustRuleBuffer(rule);
    }
    StoreTrustRuleFlush();

    BRIX_LOG(BRIX_TRACE, kFile, "Importing user lists into db: %s",
             name.c_str());
    cJSON_ArrayForEach(element,
                       cJSON_GetObjectItemCaseSensitive(root, "Userlists")) {
      const char* id = StringOf(element, "id");
      const cJSON* users = cJSON_GetObjectItemCaseSensitive(element, "users");
      if (id == nullptr || !cJSON_IsArray(users)) continue;
      const cJSON* user = nullptr;
      cJSON_ArrayForEach(user, users) {
        if (!cJSON_IsString(user)) continue;
        ac_user_list row{id, user->valuestring};
        StoreUserListBuffer(row);
      }
    }
    StoreUserListFlush();
    m_trustRulesPresent = true;
  } else {
    if (!append) {
      PurgeDB(DAL_SOURCE_EXECUTION_RULES);
      stats->ClearType(BRIX_STATS_RULESET, "ruleset");
    }
    source = DAL_SOURCE_EXECUTION_RULES;
  }

  if (source != 0) {
    BRIX_LOG(BRIX_TRACE, kFile, "Importing item ruleset into db: %s",
             name.c_str());
    stats->SetType(BRIX_STATS_RULESET, name, 0);
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, cJSON_GetObjectItemCaseSensitive(root, "rules")) {
      stats->IncType(BRIX_STATS_RULESET, name);
      ac_event item;
      RuleToItem(element, item);
      item.source = static_cast<uint32_t>(source);
      item.ruleset = name;
      StoreItemBuffer(item);
    }
    StoreItemFlush();
  }

  cJSON_Delete(root);
  m_md5RuleCount = static_cast<uint64_t>(MD5RulesCount());
  m_sha1RuleCount = static_cast<uint64_t>(SHA1RulesCount());
  return true;
}
