#include "TrustRuleIndex.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "BRIXLogger.h"
#include "PathMatch.h"
#include "TextMap.h"

namespace {

// The lookup's trace lines carry the name of the operation that asks.
constexpr const char kLookup[] = "IsFoundInTrustRulesInternal";

using RuleList = std::vector<uint32_t>;  // positions in m_rules, ascending

// What the rules are filed under.
enum Key : uint8_t {
  kKeySha256,
  kKeyProcessName,  // exact name
  kKeySignerName,
  kKeyCompanyName,
  kKeyProductName,
  kKeyIssuerFirst,
  kKeyProcUser = kKeyIssuerFirst + kIssuerFieldCount,
  kKeyUserList,    // tagged list id (see ListKey)
  kKeyGroup,       // one group name
  kKeyPathDir,     // folder part of a path pattern's literal start
  kKeyProcessDir,  // the same for a process name pattern
  kKeyCount
};

using Field = BRIXTrustRuleIndex::Field;
using Rule = BRIXTrustRuleIndex::Rule;

// The signature fields that the query compares for equality, with the key
// each is filed under, most selective first.
constexpr struct {
  Field field;
  Key key;
} kSignatureFields[] = {
    {BRIXTrustRuleIndex::kSignerName, kKeySignerName},
    {BRIXTrustRuleIndex::kCompanyName, kKeyCompanyName},
    {BRIXTrustRuleIndex::kProductName, kKeyProductName},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 0), Key(kKeyIssuerFirst + 0)},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 1), Key(kKeyIssuerFirst + 1)},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 2), Key(kKeyIssuerFirst + 2)},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 3), Key(kKeyIssuerFirst + 3)},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 4), Key(kKeyIssuerFirst + 4)},
    {Field(BRIXTrustRuleIndex::kIssuerFirst + 5), Key(kKeyIssuerFirst + 5)},
};

std::string_view ProbeValue(const TrustProbe& probe, Field f) {
  switch (f) {
    case BRIXTrustRuleIndex::kSignerName:
      return probe.signerName;
    case BRIXTrustRuleIndex::kProductName:
      return probe.productName;
    case BRIXTrustRuleIndex::kCompanyName:
      return probe.companyName;
    default:
      return probe.issuer[f - BRIXTrustRuleIndex::kIssuerFirst];
  }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// SQL instr(haystack, needle) as a truth value: the needle found at a
// character start of the text haystack (an empty needle is found at 1).
bool SqlInstr(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  size_t i = 0;
  while (needle.size() <= haystack.size() - i) {
    if (memcmp(haystack.data() + i, needle.data(), needle.size()) == 0)
      return true;
    do {
      ++i;
    } while (i < haystack.size() && (haystack[i] & 0xc0) == 0x80);
  }
  return false;
}

// The folder parts of the literal starts of the non-empty pieces of a
// ';'-separated pattern list: a path a piece matches begins with its part.
// Nothing when a piece has no separator before its first wildcard (it can
// match a path with any start); an empty list when there is no piece (the
// list matches nothing).
std::optional<std::vector<std::string_view>> FolderKeys(std::string_view list) {
  std::vector<std::string_view> keys;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start) {
      std::string_view piece = list.substr(start, end - start);
      const size_t wildcard = piece.find_first_of("*?");
      const std::string_view literal = piece.substr(0, wildcard);
      const size_t sep = literal.find_last_of("/\\");
      if (sep == std::string_view::npos) return std::nullopt;
      keys.push_back(literal.substr(0, sep + 1));
    }
    start = end + 1;
  }
  return keys;
}

// Calls f with each group of a group list, as split() cuts it: pieces
// between commas, trimmed of blanks and tabs, empty ones dropped.
template <typename F>
void ForEachGroup(std::string_view text, F f) {
  size_t start = 0;
  while (true) {
    const size_t end = text.find(',', start);
    const size_t stop = end == std::string_view::npos ? text.size() : end;
    size_t first = start, last = stop;
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t'))
      --last;
    if (last > first) f(text.substr(first, last - first));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

// A user list id as the join compares it: a BLOB id equals only a BLOB.
std::string ListKey(bool text, std::string_view id) {
  std::string key(1, text ? 't' : 'b');
  key.append(id);
  return key;
}

}  // namespace

struct BRIXTrustRuleIndex::Buckets {
  TextMap<RuleList> maps[kKeyCount];
  RuleList rest;
};

struct BRIXTrustRuleIndex::UserLists {
  struct List {
    uint32_t rows = 0;
    TextMap<uint32_t> textUsers;  // rows per user name (TEXT values only)
  };
  TextMap<List> lists;                        // by ListKey
  TextMap<std::vector<std::string>> ofUser;  // user name -> ListKeys
};

BRIXTrustRuleIndex::BRIXTrustRuleIndex() { Clear(); }
BRIXTrustRuleIndex::~BRIXTrustRuleIndex() = default;

void BRIXTrustRuleIndex::Clear() {
  m_rules.clear();
  m_rules.shrink_to_fit();
  for (auto& b : m_buckets) b = std::make_unique<Buckets>();
  ClearUserLists();
}

void BRIXTrustRuleIndex::ClearUserLists() {
  m_lists = std::make_unique<UserLists>();
  m_highestUserListRow = 0;
}

size_t BRIXTrustRuleIndex::RemainderCount() const {
  size_t n = 0;
  for (const auto& b : m_buckets) n += b->rest.size();
  return n;
}

bool BRIXTrustRuleIndex::LoadNewRules(sqlite3* db) {
  // Columns in Field order, then trustType and hitcount.
  static const char kSql[] =
      "SELECT processName, paths, signerName, productName, companyName, "
      "issuerCN, issuerC, issuerS, issuerL, issuerO, issuerOU, ruleset, "
      "procUser, procGroup, userList, sha256, trustType, hitcount, "
      "trustRuleId FROM TrustRules WHERE trustRuleId > ?1 ORDER BY "
      "trustRuleId;";
  static_assert(kFieldCount == 16, "columns above follow Field");
  sqlite3_stmt* s = nullptr;
  if (db == nullptr ||
      sqlite3_prepare_v2(db, kSql, -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return false;
  }
  sqlite3_bind_int64(s, 1, HighestId());
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    Rule r;
    for (int f = 0; f < kFieldCount; ++f) {
      r.start[f] = static_cast<uint32_t>(r.text.size());
      const int type = sqlite3_column_type(s, f);
      if (type == SQLITE_NULL) {
        r.nullFields |= 1u << f;
      } else {
        // A BLOB is read as its bytes, anything else as the text SQLite
        // gives for it, as a column read by text would be.
        const void* bytes = type == SQLITE_BLOB ? sqlite3_column_blob(s, f)
                                                : sqlite3_column_text(s, f);
        const int n = sqlite3_column_bytes(s, f);
        if (bytes != nullptr) r.text.append(static_cast<const char*>(bytes), n);
        if (type != SQLITE_TEXT) r.blobFields |= 1u << f;
      }
      r.text += '\0';
    }
    r.start[kFieldCount] = static_cast<uint32_t>(r.text.size());
    r.text.shrink_to_fit();
    r.trustTypeIsInteger = sqlite3_column_type(s, kFieldCount) == SQLITE_INTEGER;
    r.trustType = sqlite3_column_int(s, kFieldCount);
    if (r.trustTypeIsInteger &&
        sqlite3_column_int64(s, kFieldCount) != r.trustType)
      r.trustTypeIsInteger = false;  // no lookup kind is that large
    r.hitcount = sqlite3_column_int(s, kFieldCount + 1);
    r.id = sqlite3_column_int64(s, kFieldCount + 2);
    const std::string_view name = r.Value(kProcessName);
    r.processNameHasWildcard =
        !r.IsNull(kProcessName) &&
        name.find_first_of("?*") != std::string_view::npos;
    m_rules.push_back(std::move(r));
    File(static_cast<uint32_t>(m_rules.size() - 1));
  }
  sqlite3_finalize(s);
  return rc == SQLITE_DONE;
}

bool BRIXTrustRuleIndex::LoadNewUserListRows(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  if (db == nullptr ||
      sqlite3_prepare_v2(db,
                         "SELECT rowid, id, user FROM UserList WHERE rowid > "
                         "?1 ORDER BY rowid;",
                         -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return false;
  }
  sqlite3_bind_int64(s, 1, m_highestUserListRow);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    m_highestUserListRow = sqlite3_column_int64(s, 0);
    const int idType = sqlite3_column_type(s, 1);
    if (idType == SQLITE_NULL) continue;  // joins with no rule
    const void* id = idType == SQLITE_BLOB ? sqlite3_column_blob(s, 1)
                                           : sqlite3_column_text(s, 1);
    const std::string key = ListKey(
        idType == SQLITE_TEXT,
        std::string_view(static_cast<const char*>(id),
                         id ? sqlite3_column_bytes(s, 1) : 0));
    UserLists::List& list = m_lists->lists[key];
    ++list.rows;
    if (sqlite3_column_type(s, 2) != SQLITE_TEXT) continue;
    const std::string user(
        reinterpret_cast<const char*>(sqlite3_column_text(s, 2)),
        sqlite3_column_bytes(s, 2));
    if (list.textUsers[user]++ == 0) m_lists->ofUser[user].push_back(key);
  }
  sqlite3_finalize(s);
  return rc == SQLITE_DONE;
}

// Files a rule under the key that every event it can apply to carries.  A
// rule that no lookup can return is not filed at all.
void BRIXTrustRuleIndex::File(uint32_t position) {
  const Rule& r = m_rules[position];
  if (!r.trustTypeIsInteger || r.trustType < 0 || r.trustType > 4) return;
  Buckets& b = *m_buckets[r.trustType];
  auto add = [&](Key key, std::string_view value) {
    RuleList& list = b.maps[key][std::string(value)];
    if (list.empty() || list.back() != position) list.push_back(position);
  };

  // Conditions no bound value can meet.
  for (const auto& sf : kSignatureFields)
    if (!r.IsNull(sf.field) && !r.IsText(sf.field)) return;
  const bool hasDigest = !r.IsNull(kSha256);
  if (hasDigest && (r.IsText(kSha256) || r.Value(kSha256).size() != 32))
    return;
  const bool exactName = !r.IsNull(kProcessName) && !r.processNameHasWildcard;
  if (exactName && !r.IsText(kProcessName)) return;
  if (r.IsNull(kUserList) && !r.IsNull(kProcUser) && !r.IsText(kProcUser))
    return;
  std::optional<std::vector<std::string_view>> pathKeys;
  if (const char* paths = r.CStr(kPaths)) {
    pathKeys = FolderKeys(paths);
    if (pathKeys && pathKeys->empty()) return;  // an empty list matches nothing
  }
  std::optional<std::vector<std::string_view>> processKeys;
  if (r.processNameHasWildcard) {
    processKeys = FolderKeys(r.CStr(kProcessName));
    if (processKeys && processKeys->empty()) return;
  }
  const char* group = r.CStr(kProcGroup);
  if (group != nullptr && *group == '\0') return;  // no group is empty

  if (hasDigest) return add(kKeySha256, r.Value(kSha256));
  if (exactName) return add(kKeyProcessName, r.Value(kProcessName));
  for (const auto& sf : kSignatureFields)
    if (!r.IsNull(sf.field)) return add(sf.key, r.Value(sf.field));
  // Folder keys of more than the root first: they name a place.
  auto named = [](const std::vector<std::string_view>& keys) {
    for (std::string_view k : keys)
      if (k.size() < 2) return false;
    return true;
  };
  if (pathKeys && named(*pathKeys)) {
    for (std::string_view k : *pathKeys) add(kKeyPathDir, k);
    return;
  }
  if (processKeys && named(*processKeys)) {
    for (std::string_view k : *processKeys) add(kKeyProcessDir, k);
    return;
  }
  if (!r.IsNull(kUserList)) {
    add(kKeyUserList, ListKey(r.IsText(kUserList), r.Value(kUserList)));
    if (r.IsText(kProcUser)) add(kKeyProcUser, r.Value(kProcUser));
    return;
  }
  if (!r.IsNull(kProcUser)) return add(kKeyProcUser, r.Value(kProcUser));
  if (group != nullptr) return add(kKeyGroup, group);
  if (pathKeys) {
    for (std::string_view k : *pathKeys) add(kKeyPathDir, k);
    return;
  }
  if (processKeys) {
    for (std::string_view k : *processKeys) add(kKeyProcessDir, k);
    return;
  }
  b.rest.push_back(position);
}

uint32_t BRIXTrustRuleIndex::QueryRows(const Rule& r,
                                       const TrustProbe& p) const {
  if (!r.trustTypeIsInteger || (r.trustType != 0 && r.trustType != p.kind))
    return 0;
  if (!r.IsNull(kProcessName) && !r.processNameHasWildcard &&
      !(r.IsText(kProcessName) && r.Value(kProcessName) == p.processName))
    return 0;
  for (const auto& sf : kSignatureFields) {
    if (!r.IsNull(sf.field) &&
        !(r.IsText(sf.field) && r.Value(sf.field) == ProbeValue(p, sf.field)))
      return 0;
  }
  if (!r.IsNull(kSha256) &&
      !(!r.IsText(kSha256) && p.sha256 != nullptr &&
        r.Value(kSha256).size() == 32 &&
        memcmp(r.Value(kSha256).data(), p.sha256, 32) == 0))
    return 0;
  if (!r.IsNull(kProcGroup) && !SqlInstr(p.procGroup, r.Value(kProcGroup)))
    return 0;

  // The user-list join: a rule without a list is one row; a rule with one
  // is a row per member of the list (one row of NULLs for a list without
  // members), each kept when the rule's user or the member is the event's.
  const bool userIs =
      r.IsText(kProcUser) && r.Value(kProcUser) == p.procUser;
  if (r.IsNull(kUserList)) return r.IsNull(kProcUser) || userIs ? 1 : 0;
  const auto list = m_lists->lists.find(
      ListKey(r.IsText(kUserList), r.Value(kUserList)));
  if (list == m_lists->lists.end()) return userIs ? 1 : 0;
  if (userIs) return list->second.rows;
  const auto member = list->second.textUsers.find(p.procUser);
  return member == list->second.textUsers.end() ? 0 : member->second;
}

// The checks the lookup makes in code on each row the query returns.
bool BRIXTrustRuleIndex::Applies(const Rule& r, const TrustProbe& p) const {
  if (const char* ruleProcess = r.CStr(kProcessName)) {
    if (!MatchEventPathWithRulePath(*p.eventProcessName, ruleProcess))
      return false;
  }
  if (const char* ruleGroup = r.CStr(kProcGroup)) {
    bool member = false;
    ForEachGroup(*p.eventGroup,
                 [&](std::string_view g) { member |= g == ruleGroup; });
    if (!member) return false;
  }
  if (const char* rulePaths = r.CStr(kPaths)) {
    if (!MatchEventPathWithRulePath(*p.eventName, rulePaths)) return false;
    BRIX_LOG_AS(BRIX_TRACE, kLookup, kLogFileDAL,
                "process %s with path %s is found in trust rule",
                p.eventProcessName->c_str(), p.eventName->c_str());
  } else {
    BRIX_LOG_AS(BRIX_TRACE, kLookup, kLogFileDAL,
                "No path specified for trust rule. Allow all path");
    BRIX_LOG_AS(BRIX_TRACE, kLookup, kLogFileDAL,
                "process %s is found in trust rule",
                p.eventProcessName->c_str());
  }
  return true;
}

const Rule* BRIXTrustRuleIndex::Find(const TrustProbe& p,
                                     bool everyRule) const {
  auto check = [&](const Rule& r) {
    const uint32_t rows = QueryRows(r, p);
    for (uint32_t i = 0; i < rows; ++i) {
      BRIX_LOG_AS(BRIX_TRACE, kLookup, kLogFileDAL,
                  "Found potential trust rule to apply to drift. Checking "
                  "for trusted path, process name and groups");
      if (Applies(r, p)) return true;
    }
    return false;
  };
  if (everyRule) {
    for (const Rule& r : m_rules)
      if (check(r)) return &r;
    return nullptr;
  }

  std::vector<uint32_t> candidates;
  auto take = [&](const RuleList& list) {
    candidates.insert(candidates.end(), list.begin(), list.end());
  };
  auto probe = [&](const Buckets& b, Key key, std::string_view value) {
    const auto& map = b.maps[key];
    if (map.empty()) return;
    const auto it = map.find(value);
    if (it != map.end()) take(it->second);
  };
  // Every folder prefix of a path ("/", "/opt/", "/opt/app/", ...).
  auto probeFolders = [&](const Buckets& b, Key key, const std::string& path) {
    if (b.maps[key].empty()) return;
    for (size_t i = 0; i < path.size(); ++i)
      if (IsSeparator(path[i])) probe(b, key, std::string_view(path).substr(0, i + 1));
  };
  const int kinds[] = {DAL_TRUST_ANY, p.kind};
  for (int k = 0; k < 2; ++k) {
    if (k == 1 && (p.kind <= DAL_TRUST_ANY || p.kind > DAL_TRUST_BLOCK)) break;
    const Buckets& b = *m_buckets[kinds[k]];
    if (p.sha256 != nullptr)
      probe(b, kKeySha256,
            std::string_view(reinterpret_cast<const char*>(p.sha256), 32));
    probe(b, kKeyProcessName, p.processName);
    for (const auto& sf : kSignatureFields)
      probe(b, sf.key, ProbeValue(p, sf.field));
    probe(b, kKeyProcUser, p.procUser);
    if (!b.maps[kKeyUserList].empty()) {
      const auto lists = m_lists->ofUser.find(p.procUser);
      if (lists != m_lists->ofUser.end())
        for (const std::string& key : lists->second) probe(b, kKeyUserList, key);
    }
    if (!b.maps[kKeyGroup].empty())
      ForEachGroup(*p.eventGroup,
                   [&](std::string_view g) { probe(b, kKeyGroup, g); });
    probeFolders(b, kKeyPathDir, *p.eventName);
    probeFolders(b, kKeyProcessDir, *p.eventProcessName);
    take(b.rest);
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()),
                   candidates.end());
  for (uint32_t position : candidates)
    if (check(m_rules[position])) return &m_rules[position];
  return nullptr;
}

void BRIXTrustRuleIndex::SetHitcount(int64_t id, int32_t hitcount) {
  const auto it = std::lower_bound(
      m_rules.begin(), m_rules.end(), id,
      [](const Rule& r, int64_t value) { return r.id < value; });
  if (it != m_rules.end() && it->id == id) it->hitcount = hitcount;
}
