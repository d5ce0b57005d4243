// The export prints rows without building cJSON objects; its text must be
// the very text cJSON's unformatted printer gives for the same members.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "BRIXDALRowJson.h"

namespace {

using brix_dal::ColumnForm;
using brix_dal::ColumnMember;

const ColumnMember kMembers[] = {
    {"id", 0, ColumnForm::kInt64},
    {"text", 1, ColumnForm::kText},
    {"small", 2, ColumnForm::kInt},
    {"md5", 3, ColumnForm::kDigestOrEmpty, 16},
    {"sha", 3, ColumnForm::kDigestIfSet, 32},
    {"na\"me", 1, ColumnForm::kText},
};

std::string ViaCJson(sqlite3_stmt* row) {
  cJSON* object = cJSON_CreateObject();
  brix_dal::AddRowMembers(object, row, kMembers);
  cJSON_AddStringToObject(object, "scanUuid", "scan\\1");
  char* printed = cJSON_PrintUnformatted(object);
  std::string text(printed);
  cJSON_free(printed);
  cJSON_Delete(object);
  return text;
}

std::string Direct(sqlite3_stmt* row) {
  std::string text;
  brix_dal::AppendRowJson(text, row, kMembers);
  text += ",\"scanUuid\":";
  brix_dal::AppendJsonString(text, "scan\\1");
  text += '}';
  return text;
}

TEST(RowJson, SameTextAsCJsonForEveryKindOfValue) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  const char* values[] = {
      "0, 'plain', 0, x'00112233445566778899aabbccddeeff'",
      "-1, 'quote \" back \\ slash', -5, NULL",
      "2147483647, char(1) || char(8) || char(9) || char(10) || char(12) || "
      "char(13) || char(31) || char(127), 2147483647, x''",
      "2147483648, 'utf8 é ü 中', -2147483648, x'01'",
      "-2147483648, '', 1, x'0102030405060708090a0b0c0d0e0f10111213'",
      "-2147483649, NULL, 7, NULL",
      "999999999999999, '/usr/bin/ls', 3, NULL",
      "1000000000000000, 'x', 3, NULL",
      "-1000000000000000, 'x', 3, NULL",
      "9007199254740993, 'x', 3, NULL",
      "9223372036854775807, 'x', 3, NULL",
      "-9223372036854775808, 'x', 3, NULL",
      "1733443200123, 'ms', 3, NULL",
  };
  for (const char* v : values) {
    sqlite3_stmt* row = nullptr;
    const std::string sql = std::string("SELECT ") + v;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &row, nullptr),
              SQLITE_OK)
        << sql;
    ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
    EXPECT_EQ(Direct(row), ViaCJson(row)) << sql;
    sqlite3_finalize(row);
  }
  sqlite3_close(db);
}

}  // namespace
