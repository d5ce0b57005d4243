// TrustRule.h: the in-memory forms of a trust rule and of one user-list
// row, as the ruleset import builds them and the rule store writes them.
#ifndef BRIX_TRUSTRULE_H_
#define BRIX_TRUSTRULE_H_

#include <cstdint>
#include <string>

#include "Event.h"
#include "Hash.h"

// The purpose of a trust-rule lookup, and the kind stored with a rule
// (0 in a stored rule serves every purpose).
enum DALTrustType : int32_t {
  DAL_TRUST_ANY = 0,
  DAL_TRUST_SOURCE = 1,   // the process changing a file is a trusted updater
  DAL_TRUST_TARGET = 2,   // the target file is trusted
  DAL_TRUST_EXCLUDE = 3,  // the process is excluded from decisions
  DAL_TRUST_BLOCK = 4,    // the target file is blocked
};

// Value type: copies copy the digest too.  Empty texts mean "any".
struct ac_trust_rule {
  std::string processName;
  std::string paths;
  int32_t trustType = DAL_TRUST_ANY;
  std::string signerName;
  std::string productName;
  std::string companyName;
  SHA256Hash sha256;
  std::string issuer[kIssuerFieldCount];
  std::string ruleset;
  std::string procUser;
  std::string procGroup;
  std::string userList;
};

struct ac_user_list {
  std::string id;
  std::string user;
};

#endif  // BRIX_TRUSTRULE_H_
