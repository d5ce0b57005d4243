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

// The same text cJSON's unformatted printer gives a string member's value:
// quotes, backslashes and control characters escaped, everything else
// (bytes above 127 included) copied.
inline void AppendJsonString(std::string& out, const char* text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
       *p != 0; ++p) {
    const unsigned char c = *p;
    if (c > 31 && c != '"' && c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    out += '\\';
    switch (c) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case '\b': out += 'b'; break;
      case '\f': out += 'f'; break;
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      default:
        out += "u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
        break;
    }
  }
  out += '"';
}

// The same text cJSON's printer gives a number member's value.  Integers
// below 10^15 print as their digits there, which is the common case and is
// done here without a printf; anything else takes cJSON's own route.
inline void AppendJsonNumber(std::string& out, double d) {
  if (d > -1e15 && d < 1e15 && d == static_cast<double>(
                                       static_cast<long long>(d))) {
    char digits[24];
    char* end = digits + sizeof(digits);
    char* p = end;
    long long v = static_cast<long long>(d);
    const bool negative = v < 0;
    unsigned long long u = negative ? 0ULL - static_cast<unsigned long long>(v)
                                    : static_cast<unsigned long long>(v);
    do {
      *--p = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (negative) *--p = '-';
    out.append(p, end);
    return;
  }
  cJSON* number = cJSON_CreateNumber(d);
  char* printed = number != nullptr ? cJSON_PrintUnformatted(number) : nullptr;
  out += printed != nullptr ? printed : "null";
  cJSON_free(printed);
  cJSON_Delete(number);
}

// Appends the row as cJSON's unformatted printer would print an object
// built by AddRowMembers, without the closing brace, so the caller can add
// members of its own.
template <size_t N>
void AppendRowJson(std::string& out, sqlite3_stmt* row,
                   const ColumnMember (&members)[N]) {
  out += '{';
  bool first = true;
  auto name = [&](const char* member) {
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, member);
    out += ':';
  };
  for (const ColumnMember& m : members) {
    switch (m.form) {
      case ColumnForm::kText: {
        const unsigned char* text = sqlite3_column_text(row, m.column);
        if (text == nullptr) break;
        name(m.name);
        AppendJsonString(out, reinterpret_cast<const char*>(text));
        break;
      }
      case ColumnForm::kInt:
        name(m.name);
        AppendJsonNumber(out, sqlite3_column_int(row, m.column));
        break;
      case ColumnForm::kInt64:
        name(m.name);
        AppendJsonNumber(
            out, static_cast<double>(sqlite3_column_int64(row, m.column)));
        break;
      case ColumnForm::kDigestOrEmpty:
        name(m.name);
        AppendJsonString(out,
                         DigestText(row, m.column, m.digestSize).c_str());
        break;
      case ColumnForm::kDigestIfSet: {
        const std::string hex = DigestText(row, m.column, m.digestSize);
        if (hex.empty()) break;
        name(m.name);
        AppendJsonString(out, hex.c_str());
        break;
      }
    }
  }
}

}  // namespace brix_dal

#endif  // BRIX_BRIXDALROWJSON_H_
