#include "TraceReader.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

namespace brix_host {

namespace {

struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};

// Exactly representable integers of a JSON number (a double).
constexpr double kLargestExactInteger = 9007199254740992.0;  // 2^53

// A non-negative integer: a JSON number, or a text of decimal digits for
// values a double cannot carry exactly.
bool ReadUnsigned(const cJSON* item, uint64_t limit, uint64_t* out) {
  if (cJSON_IsNumber(item)) {
    const double value = item->valuedouble;
    if (!(value >= 0) || value != std::floor(value) ||
        value > kLargestExactInteger || value > static_cast<double>(limit))
      return false;
    *out = static_cast<uint64_t>(value);
    return true;
  }
  if (cJSON_IsString(item)) {
    const char* text = item->valuestring;
    if (*text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9') return false;
      const uint64_t digit = static_cast<uint64_t>(*p - '0');
      if (value > (limit - digit) / 10) return false;
      value = value * 10 + digit;
    }
    *out = value;
    return true;
  }
  return false;
}

bool IsPathField(const char* name) {
  return strcmp(name, "name") == 0 || strcmp(name, "oldName") == 0 ||
         strcmp(name, "processName") == 0;
}

std::string Quoted(const char* name) { return std::string("\"") + name + "\""; }

// Applies one member to the event; false with `error` set when the
// member is unknown or its value does not fit.
bool ApplyMember(const cJSON* item, const std::string& baseDir,
                 TraceEvent* out, std::string* error) {
  const char* key = item->string;
  ac_wrapper_event_s& numbers = out->event.numbers();
  if (strcmp(key, "type") == 0) {
    uint64_t value = 0;
    if (!ReadUnsigned(item, UINT32_MAX, &value)) {
      *error = "\"type\" must be a host event code from 0 to 4294967295";
      return false;
    }
    numbers.type = static_cast<uint32_t>(value);
    return true;
  }
  for (const NumberField& field : kNumberFields) {
    if (strcmp(key, field.name) != 0) continue;
    uint64_t value = 0;
    if (!ReadUnsigned(item, UINT64_MAX, &value)) {
      *error = Quoted(key) + " must be a non-negative integer";
      return false;
    }
    numbers.*field.member = value;
    return true;
  }
  for (const FlagField& field : kFlagFields) {
    if (strcmp(key, field.name) != 0) continue;
    uint64_t value = 0;
    if (cJSON_IsBool(item)) {
      value = cJSON_IsTrue(item) ? 1 : 0;
    } else if (!ReadUnsigned(item, 1, &value)) {
      *error = Quoted(key) + " must be true, false, 0 or 1";
      return false;
    }
    numbers.*field.member = static_cast<uint8_t>(value);
    return true;
  }
  for (size_t i = 0; i < std::size(kTextFields); ++i) {
    if (strcmp(key, kTextFields[i].name) != 0) continue;
    if (!cJSON_IsString(item)) {
      *error = Quoted(key) + " must be a string";
      return false;
    }
    std::string value = item->valuestring;
    if (IsPathField(key) && !value.empty() && value[0] != '/' &&
        !baseDir.empty())
      value = baseDir + "/" + value;
    out->event.SetText(i, std::move(value));
    return true;
  }
  for (size_t i = 0; i < std::size(kDigestFields); ++i) {
    if (strcmp(key, kDigestFields[i].name) != 0) continue;
    unsigned char bytes[32];
    if (!cJSON_IsString(item) ||
        !FromHex(item->valuestring, bytes, kDigestFields[i].size)) {
      *error = Quoted(key) + " must be " +
               std::to_string(2 * kDigestFields[i].size) +
               " hexadecimal digits";
      return false;
    }
    out->event.SetDigest(i, bytes);
    return true;
  }
  if (strcmp(key, "expect") == 0) {
    Verdict verdict;
    if (!cJSON_IsString(item) || !ParseVerdict(item->valuestring, &verdict)) {
      *error = "\"expect\" must name a verdict (allowed, blocked, logged only, ...)";
      return false;
    }
    out->expect = verdict;
    return true;
  }
  if (strcmp(key, "comment") == 0) {
    if (!cJSON_IsString(item)) {
      *error = "\"comment\" must be a string";
      return false;
    }
    out->comment = item->valuestring;
    return true;
  }
  *error = "unknown field " + Quoted(key);
  return false;
}

}  // namespace

TraceLine ParseTraceLine(const std::string& line, const std::string& baseDir,
                         TraceEvent* out, std::string* error) {
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos || line[first] == '#') return TraceLine::kSkip;

  const char* end = nullptr;
  std::unique_ptr<cJSON, JsonFree> root(
      cJSON_ParseWithLengthOpts(line.data(), line.size(), &end, false));
  if (!root) {
    const size_t column = end != nullptr ? static_cast<size_t>(end - line.data()) + 1 : 1;
    *error = "not valid JSON (near column " + std::to_string(column) + ")";
    return TraceLine::kError;
  }
  const size_t rest = line.find_first_not_of(
      " \t\r", end != nullptr ? static_cast<size_t>(end - line.data()) : line.size());
  if (rest != std::string::npos) {
    *error = "text after the JSON object (column " + std::to_string(rest + 1) + ")";
    return TraceLine::kError;
  }
  if (!cJSON_IsObject(root.get())) {
    *error = "a trace line must be one JSON object";
    return TraceLine::kError;
  }
  TraceEvent parsed;
  std::set<std::string> seen;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (!seen.insert(item->string).second) {
      *error = "field " + Quoted(item->string) + " given twice";
      return TraceLine::kError;
    }
    if (!ApplyMember(item, baseDir, &parsed, error)) return TraceLine::kError;
  }
  *out = std::move(parsed);
  return TraceLine::kEvent;
}

}  // namespace brix_host
