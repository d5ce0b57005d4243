// BRIXDALRowJson.h: turns one row of a rule-store query into JSON members.
//
// The metrics document and the inventory export print the same columns in
// slightly different forms (32- or 64-bit numbers, member names), so each
// keeps a table of {member, column, form} in output order and this code
// walks it.  Not part of any interface; the caller holds the DAL mutex
// while the row's statement is positioned on the row.
#ifndef BRIX_BRIXDALROWJSON_H_
#define BRIX_BRIXDALROWJSON_H_

#include <cjson/cJSON.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "Hash.h"

namespace brix_dal {

// Column positions of the trust-rule queries of the metrics document and
// of the export, which select the same columns in the same order.
enum TrustRuleColumn : int {
  kRuleId = 0,
  kRulePaths,
  kRuleHitcount,
  kRuleProcessName,
  kRuleRuleset,
  kRuleTrustType,
  kRuleSignerName,
  kRuleProductName,
  kRuleCompanyName,
  kRuleSha256,
  kRuleIssuerCN,
  kRuleIssuerC,
  kRuleIssuerS,
  kRuleIssuerL,
  kRuleIssuerO,
  kRuleIssuerOU,
  kRuleProcUser,
  kRuleProcGroup,
  kRuleUserList,
};

enum class ColumnForm {
  kText,           // string; a NULL column adds no member
  kInt,            // number: the column read as a signed 32-bit value
  kInt64,          // number: the column read as a signed 64-bit value
  kDigestOrEmpty,  // lower-case hex of digestSize bytes; "" when NULL
  kDigestIfSet,    // the same, but a NULL column adds no member
};

struct ColumnMember {
  const char* name;
  int column;
  ColumnForm form;
  size_t digestSize = 0;  // 16, 20 or 32 for the digest forms
};

// Lower-case hex of the first `size` bytes of a blob column, or "" when
// the column is NULL or empty.  A blob shorter than the digest is padded
// with zero bytes rather than read past its end, so every exported digest
// keeps its fixed width.
inline std::string DigestText(sqlite3_stmt* row, int column, size_t size) {
  const void* bytes = sqlite3_column_blob(row, column);
  const int length = sqlite3_column_bytes(row, column);
  if (bytes == nullptr || length <= 0) return std::string();
  unsigned char digest[Hash::SHA256] = {};
  size = std::min(size, sizeof(digest));
  memcpy(digest, bytes, std::min(static_cast<size_t>(length), size));
  return Hash::ToHex(digest, size);
}

// Adds the members of the table, in its order, from the current row.
// With a null object (an allocation failed) nothing is added; the caller
// finds that out when it prints.
template <size_t N>
void AddRowMembers(cJSON* object, sqlite3_stmt* row,
                   const ColumnMember (&members)[N]) {
  for (const ColumnMember& m : members) {
    switch (m.form) {
      case ColumnForm::kText: {
        const unsigned char* text = sqlite3_column_text(row, m.column);
        if (text != nullptr)
          cJSON_AddStringToObject(object, m.name,
                                  reinterpret_cast<const char*>(text));
        break;
      }
      case ColumnForm::kInt:
        cJSON_AddNumberToObject(object, m.name,
                                sqlite3_column_int(row, m.column));
        break;
      case ColumnForm::kInt64:
        cJSON_AddNumberToObject(
            object, m.name,
            static_cast<double>(sqlite3_column_int64(row, m.column)));
        break;
      case ColumnForm::kDigestOrEmpty:
        cJSON_AddStringToObject(
            object, m.name, DigestText(row, m.column, m.digestSize).c_str());
        break;
      case ColumnForm::kDigestIfSet: {
        const std::string hex = DigestText(row, m.column, m.digestSize);
        if (!hex.empty()) cJSON_AddStringToObject(object, m.name, hex.c_str());
        break;
      }
    }
  }
}

}  // namespace brix_dal

#endif  // BRIX_BRIXDALROWJSON_H_
