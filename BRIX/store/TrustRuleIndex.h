// TrustRuleIndex.h: the trust rules and user lists of the open database,
// held in memory and filed so that a lookup reads only the rules that can
// apply to its event.
//
// A rule applies to a lookup when it passes the candidate conditions of the
// lookup query (kind, exact or wildcard process name, signer, product,
// company, issuer attributes, digest, group, user or user list) and then the
// checks on its process name patterns, its group and its paths, taken in
// ascending trustRuleId order; the first rule that applies wins.  The index
// answers exactly that question.  Each rule is filed under keys that every
// event it can apply to carries: its digest, its exact process name, one of
// its signature fields, the folder part of the literal start of each of its
// path patterns or process name patterns (the text before the first '*' or
// '?', up to and including its last separator, which a matching path must
// begin with), its user or user list, its group.  Rules with none of these
// sit in a remainder that every lookup reads.  A lookup gathers the rules
// filed under the event's keys, sorts them by id and checks them in that
// order, so the same first rule wins as when every rule is checked.
//
// With trace logging on, a lookup walks every rule in id order instead, so
// that each rule the query would have returned writes its trace lines (once
// per joined user-list row, as the query returns it); the log output is then
// itself proportional to the number of rules.
//
// The index mirrors committed rows only: new rules are read back from the
// table once committed (the rows above the highest id read so far), user
// lists are read whole after a change, and everything is read anew after a
// purge, a deletion or an open.  Rows that another process writes into the
// file are seen at the next open.
//
// Threads: no lock of its own; its owner (BRIXDAL) guards it with the DAL
// mutex.
#ifndef BRIX_TRUSTRULEINDEX_H_
#define BRIX_TRUSTRULEINDEX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Event.h"
#include "TrustRule.h"

struct sqlite3;

// What one lookup compares the rules with.  The views hold what a bound
// text parameter carries (the text up to its first NUL); the strings are the
// event's own, which the pattern and group checks read whole.
struct TrustProbe {
  DALTrustType kind = DAL_TRUST_ANY;
  std::string_view processName;
  std::string_view signerName;
  std::string_view productName;
  std::string_view companyName;
  std::string_view issuer[kIssuerFieldCount];
  std::string_view procUser;
  std::string_view procGroup;
  const unsigned char* sha256 = nullptr;  // 32 bytes, or none
  const std::string* eventProcessName = nullptr;
  const std::string* eventName = nullptr;
  const std::string* eventGroup = nullptr;
};

class BRIXTrustRuleIndex {
 public:
  // One TrustRules row.  Its texts sit in one buffer, each followed by a
  // NUL; a column's storage class is kept because a BLOB never equals a
  // bound text.
  enum Field : uint8_t {
    kProcessName,
    kPaths,
    kSignerName,
    kProductName,
    kCompanyName,
    kIssuerFirst,
    kRuleset = kIssuerFirst + kIssuerFieldCount,
    kProcUser,
    kProcGroup,
    kUserList,
    kSha256,
    kFieldCount
  };
  struct Rule {
    int64_t id = 0;
    int32_t hitcount = 0;
    int32_t trustType = 0;
    bool trustTypeIsInteger = false;
    bool processNameHasWildcard = false;
    uint32_t nullFields = 0;  // bit per Field
    uint32_t blobFields = 0;  // bit per Field
    uint32_t start[kFieldCount + 1] = {};
    std::string text;

    bool IsNull(Field f) const { return (nullFields >> f) & 1; }
    bool IsText(Field f) const { return !IsNull(f) && !((blobFields >> f) & 1); }
    // The column's whole value.
    std::string_view Value(Field f) const {
      return std::string_view(text.data() + start[f],
                              start[f + 1] - start[f] - 1);
    }
    // The value as a C string reads it (up to its first NUL); null for NULL.
    const char* CStr(Field f) const {
      return IsNull(f) ? nullptr : text.data() + start[f];
    }
  };

  BRIXTrustRuleIndex();
  ~BRIXTrustRuleIndex();
  BRIXTrustRuleIndex(const BRIXTrustRuleIndex&) = delete;
  BRIXTrustRuleIndex& operator=(const BRIXTrustRuleIndex&) = delete;

  // Forgets every rule and user list row.
  void Clear();
  // Forgets the user list rows only (their row ids may have changed).
  void ClearUserLists();
  // Read the rules above the highest id held, and the user list rows above
  // the highest row id held.  False, with the rows read so far kept, when
  // a read fails; the next call goes on from there.
  bool LoadNewRules(sqlite3* db);
  bool LoadNewUserListRows(sqlite3* db);

  // The first rule in id order that applies to the probe's event, or null.
  // Writes the per-candidate trace lines of the lookup.  everyRule walks
  // all rules instead of the filed candidates (for trace logging).
  const Rule* Find(const TrustProbe& probe, bool everyRule) const;
  // How many times the lookup query returns the rule for the probe: 0 when
  // it fails a candidate condition, more than 1 for a rule joined with
  // several matching user-list rows.
  uint32_t QueryRows(const Rule& rule, const TrustProbe& probe) const;
  // Records a hit count that was stored for the rule.
  void SetHitcount(int64_t id, int32_t hitcount);

  size_t RuleCount() const { return m_rules.size(); }
  size_t RemainderCount() const;
  int64_t HighestId() const { return m_rules.empty() ? 0 : m_rules.back().id; }

 private:
  struct Buckets;
  struct UserLists;
  void File(uint32_t position);
  bool Applies(const Rule& rule, const TrustProbe& probe) const;

  std::vector<Rule> m_rules;  // ascending id
  // Per stored trustType 0 to 4; rules of other kinds serve no lookup.
  std::unique_ptr<Buckets> m_buckets[5];
  std::unique_ptr<UserLists> m_lists;
  int64_t m_highestUserListRow = 0;
};

#endif  // BRIX_TRUSTRULEINDEX_H_
