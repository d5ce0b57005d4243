// import: a ruleset file under a name.
//
// The engine takes any JSON and makes what it can of it: a rule whose
// action it does not recognise is stored as allowed, a trust document
// under a name without "trustrules" imports nothing.  A person needs to
// hear about such mistakes before the rules change, so the file is checked
// here first, in the engine's own terms.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Commands.h"
#include "HostEvent.h"
#include "HostStatus.h"
#include "Output.h"

namespace brixctl {

namespace {

constexpr size_t kListedProblems = 10;

enum class RulesetKind { kManifest, kTrust, kExecution };

// The engine's own reading of the name: lower-cased, first match wins.
RulesetKind KindOfName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.find("agent") != std::string::npos) return RulesetKind::kManifest;
  if (lower.find("trustrules") != std::string::npos) return RulesetKind::kTrust;
  return RulesetKind::kExecution;
}

const char* KindLabel(RulesetKind kind) {
  switch (kind) {
    case RulesetKind::kManifest: return "agent manifest";
    case RulesetKind::kTrust: return "trust ruleset";
    default: return "execution ruleset";
  }
}

bool IsHex(const cJSON* item, size_t digits) {
  if (!cJSON_IsString(item) || strlen(item->valuestring) != digits) return false;
  for (const char* p = item->valuestring; *p != '\0'; ++p)
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

bool IsDecimalText(const cJSON* item) {
  if (!cJSON_IsString(item) || item->valuestring[0] == '\0') return false;
  const char* p = item->valuestring;
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  for (; *p != '\0'; ++p)
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

class Checker {
 public:
  void Problem(const std::string& where, const std::string& what) {
    if (++count_ <= kListedProblems) listed_.push_back(where + ": " + what);
  }
  size_t count() const { return count_; }
  const std::vector<std::string>& listed() const { return listed_; }

  void Rules(const cJSON* rules) {
    if (!cJSON_IsArray(rules)) {
      Problem("\"rules\"", "must be an array of rule objects");
      return;
    }
    int index = 0;
    for (const cJSON* rule = rules->child; rule != nullptr; rule = rule->next, ++index)
      Rule(rule, "rules[" + std::to_string(index) + "]");
  }

  void TrustRules(const cJSON* rules) {
    if (!cJSON_IsArray(rules)) {
      Problem("\"Trustrules\"", "must be an array of trust rule objects");
      return;
    }
    int index = 0;
    for (const cJSON* rule = rules->child; rule != nullptr; rule = rule->next, ++index)
      TrustRule(rule, "Trustrules[" + std::to_string(index) + "]");
  }

  void UserLists(const cJSON* lists) {
    if (!cJSON_IsArray(lists)) {
      Problem("\"Userlists\"", "must be an array of user list objects");
      return;
    }
    int index = 0;
    for (const cJSON* list = lists->child; list != nullptr; list = list->next, ++index) {
      const std::string where = "Userlists[" + std::to_string(index) + "]";
      if (!cJSON_IsObject(list)) {
        Problem(where, "must be an object with \"id\" and \"users\"");
        continue;
      }
      if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(list, "id")))
        Problem(where, "needs a string \"id\"");
      const cJSON* users = cJSON_GetObjectItemCaseSensitive(list, "users");
      if (!cJSON_IsArray(users)) {
        Problem(where, "needs an array \"users\"");
        continue;
      }
      for (const cJSON* user = users->child; user != nullptr; user = user->next)
        if (!cJSON_IsString(user)) Problem(where, "\"users\" must hold only strings");
    }
  }

 private:
  void Rule(const cJSON* rule, const std::string& where) {
    if (!cJSON_IsObject(rule)) {
      Problem(where, "must be an object");
      return;
    }
    static const struct {
      const char* key;
      size_t digits;
    } kDigests[] = {{"sha256", 64}, {"sha1", 40}, {"md5", 32}};
    bool anyDigest = false;
    for (const auto& digest : kDigests) {
      const cJSON* item = cJSON_GetObjectItemCaseSensitive(rule, digest.key);
      if (item == nullptr) continue;
      anyDigest = true;
      if (!IsHex(item, digest.digits))
        Problem(where, std::string("\"") + digest.key + "\" must be " +
                           std::to_string(digest.digits) + " hexadecimal digits");
    }
    if (!anyDigest) Problem(where, "names no file: it needs \"sha256\", \"sha1\" or \"md5\"");
    // The engine stores any other action as allowed.
    const cJSON* action = cJSON_GetObjectItemCaseSensitive(rule, "action");
    if (!cJSON_IsString(action) || (strncmp(action->valuestring, "allow", 5) != 0 &&
                                    strncmp(action->valuestring, "block", 5) != 0))
      Problem(where, "\"action\" must begin with \"allow\" or \"block\"");
    const cJSON* size = cJSON_GetObjectItemCaseSensitive(rule, "size");
    if (size != nullptr && !(cJSON_IsNumber(size) && size->valuedouble >= 0) &&
        !IsDecimalText(size))
      Problem(where, "\"size\" must be a number of bytes");
    const cJSON* fileName = cJSON_GetObjectItemCaseSensitive(rule, "fileName");
    if (fileName != nullptr && !cJSON_IsString(fileName))
      Problem(where, "\"fileName\" must be a string");
  }

  void TrustRule(const cJSON* rule, const std::string& where) {
    if (!cJSON_IsObject(rule)) {
      Problem(where, "must be an object");
      return;
    }
    static const char* const kTexts[] = {
        "processName", "paths",    "signerName", "productName", "companyName",
        "issuerCN",    "issuerC",  "issuerS",    "issuerL",     "issuerO",
        "issuerOU",    "user",     "group",      "userList"};
    for (const char* key : kTexts) {
      const cJSON* item = cJSON_GetObjectItemCaseSensitive(rule, key);
      if (item != nullptr && !cJSON_IsString(item))
        Problem(where, std::string("\"") + key + "\" must be a string");
    }
    const cJSON* sha256 = cJSON_GetObjectItemCaseSensitive(rule, "sha256");
    if (sha256 != nullptr && !IsHex(sha256, 64))
      Problem(where, "\"sha256\" must be 64 hexadecimal digits");
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(rule, "trustType");
    double value = 0;
    if (cJSON_IsNumber(type)) value = type->valuedouble;
    else if (IsDecimalText(type)) value = strtod(type->valuestring, nullptr);
    else if (type != nullptr) value = -1;
    if (value < 0 || value > 4 || value != static_cast<int>(value))
      Problem(where, "\"trustType\" must be 0 (any), 1 (trusted source), 2 "
                     "(trusted target), 3 (exclusion) or 4 (block)");
  }

  size_t count_ = 0;
  std::vector<std::string> listed_;
};

// Reads and checks the ruleset; prints every problem and returns false
// when the engine should not see it.
bool CheckRuleset(const std::string& name, const std::string& path,
                  RulesetKind kind, size_t* entries) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    Fail("import: cannot read " + path + ": " + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail("import: " + path + " is not a regular file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (!in) {
    Fail("import: cannot read " + path + ": " + strerror(errno));
    return false;
  }
  const std::string text = buffer.str();
  const char* end = nullptr;
  Json root(cJSON_ParseWithOpts(text.c_str(), &end, true));
  if (!root) {
    const size_t offset = end != nullptr ? static_cast<size_t>(end - text.c_str()) : 0;
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    Fail("import: invalid ruleset " + path + ": not valid JSON (line " +
         std::to_string(line) + ", column " + std::to_string(column) + ")");
    return false;
  }
  if (!cJSON_IsObject(root.get())) {
    Fail("import: invalid ruleset " + path + ": the document must be a JSON object");
    return false;
  }
  const cJSON* rules = cJSON_GetObjectItemCaseSensitive(root.get(), "rules");
  const cJSON* trustRules = cJSON_GetObjectItemCaseSensitive(root.get(), "Trustrules");
  const cJSON* userLists = cJSON_GetObjectItemCaseSensitive(root.get(), "Userlists");
  Checker checker;
  if (kind == RulesetKind::kTrust) {
    if (trustRules == nullptr && userLists == nullptr) {
      Fail("import: invalid ruleset " + path + ": the name '" + name +
           "' makes it a trust ruleset, but it has neither \"Trustrules\" nor "
           "\"Userlists\"" +
           (rules != nullptr ? " (its \"rules\" need a name without \"trustrules\")" : ""));
      return false;
    }
    if (trustRules != nullptr) checker.TrustRules(trustRules);
    if (userLists != nullptr) checker.UserLists(userLists);
    *entries = static_cast<size_t>(cJSON_GetArraySize(trustRules));
  } else {
    if (rules == nullptr) {
      Fail("import: invalid ruleset " + path + ": the name '" + name + "' makes it an " +
           KindLabel(kind) + ", but it has no \"rules\"" +
           (trustRules != nullptr || userLists != nullptr
                ? " (trust rules need a name containing \"trustrules\")"
                : ""));
      return false;
    }
    checker.Rules(rules);
    *entries = static_cast<size_t>(cJSON_GetArraySize(rules));
  }
  if (checker.count() == 0) return true;
  for (const std::string& problem : checker.listed())
    fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
  if (checker.count() > checker.listed().size())
    fprintf(stderr, "%s: ... and %zu more\n", path.c_str(),
            checker.count() - checker.listed().size());
  Fail("import: invalid ruleset " + path + ": " + std::to_string(checker.count()) +
       (checker.count() == 1 ? " problem" : " problems") + "; nothing was imported");
  return false;
}

// How many stored rows carry the ruleset's name (items) or how many trust
// rules there are, from the metrics; -1 when the metrics do not say.
double StoredCount(const std::string& name, RulesetKind kind) {
  std::string text;
  if (brix_host::ReadMetrics(&text) != BRIX_STATUS_SUCCESS) return -1;
  Json json(cJSON_Parse(text.c_str()));
  const cJSON* dbinfo = cJSON_GetObjectItemCaseSensitive(
      cJSON_GetObjectItemCaseSensitive(json.get(), "metrics"), "dbinfo");
  if (kind == RulesetKind::kTrust) return NumberMember(dbinfo, "totalTrustRules", -1);
  const cJSON* rulesets = cJSON_GetObjectItemCaseSensitive(dbinfo, "rulesets");
  if (!cJSON_IsObject(rulesets)) return -1;
  return NumberMember(rulesets, name.c_str(), 0);
}

}  // namespace

int RunImport(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("import", args, {{"--append", false}}, &parsed, &error))
    return Fail(error);
  if (parsed.positional.size() != 2)
    return Fail("import needs a NAME and a FILE (brixctl import --help)");
  const std::string& name = parsed.positional[0];
  const std::string& path = parsed.positional[1];
  const bool append = parsed.Has("--append");
  if (name.empty()) return Fail("import: the ruleset NAME must not be empty");
  const RulesetKind kind = KindOfName(name);

  size_t entries = 0;
  if (!CheckRuleset(name, path, kind, &entries)) return kExitError;
  std::string absolute;
  if (!brix_host::ResolvePath(path, &absolute, &error))
    return Fail("import: cannot read " + path + ": " + error);

  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kCreate, &session)) return kExitError;

  const double before = append ? StoredCount(name, kind) : 0;
  BusyBar busy("import " + name);
  const uint32_t status = set_ruleset(append, absolute.c_str(), name.c_str());
  busy.Stop();
  if (status != BRIX_STATUS_SUCCESS)
    return Fail("import of " + path + " as " + name + " failed: set_ruleset: " +
                brix_host::DescribeStatus(status));
  const double after = StoredCount(name, kind);
  const double stored = (before < 0 || after < 0) ? -1 : after - before;

  if (global.json) {
    Json json(cJSON_CreateObject());
    cJSON_AddStringToObject(json.get(), "name", name.c_str());
    cJSON_AddStringToObject(json.get(), "kind", KindLabel(kind));
    cJSON_AddBoolToObject(json.get(), "append", append);
    cJSON_AddNumberToObject(json.get(), "rules", static_cast<double>(entries));
    if (stored >= 0) cJSON_AddNumberToObject(json.get(), "stored", stored);
    PrintJsonLine(json.get());
  } else {
    const char* replaced = append ? "added to the stored ones"
                           : kind == RulesetKind::kManifest
                               ? "replacing every stored ruleset"
                           : kind == RulesetKind::kTrust
                               ? "replacing the stored trust rules"
                               : "replacing the stored execution rules";
    printf("imported %s as %s (%s): %zu %s, %s\n", path.c_str(), name.c_str(),
           KindLabel(kind), entries, kind == RulesetKind::kTrust ? "trust rules" : "rules",
           replaced);
  }
  if (stored >= 0 && stored < static_cast<double>(entries))
    Warn(std::to_string(entries - static_cast<size_t>(stored)) + " of " +
         std::to_string(entries) +
         " rules were not stored (excluded by trust rules or refused by the "
         "database; --log-level warning,error shows which)");
  return kExitOk;
}

}  // namespace brixctl
