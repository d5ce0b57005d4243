#include "JournalFormat.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

#include "ModeOptions.h"

namespace brix_host {

namespace {

struct KindName {
  JournalKind kind;
  const char* name;
};

constexpr KindName kKindNames[] = {
    {JournalKind::kStart, "start"},   {JournalKind::kLibrary, "library"},
    {JournalKind::kScript, "script"}, {JournalKind::kDrift, "drift"},
    {JournalKind::kSummary, "summary"},
};

struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

void AddText(cJSON* object, const char* key, const std::string& value) {
  if (!value.empty()) cJSON_AddStringToObject(object, key, value.c_str());
}

// Whole numbers up to 2^53 survive a double exactly, which covers every
// size, count and id the journal holds.
bool TakeNumber(const cJSON* object, const char* key, uint64_t* out, std::string* error) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  if (item == nullptr) return true;
  if (!cJSON_IsNumber(item) || item->valuedouble < 0 ||
      item->valuedouble > 9007199254740992.0 ||
      item->valuedouble != std::floor(item->valuedouble)) {
    *error = std::string("\"") + key + "\" must be a whole number";
    return false;
  }
  *out = static_cast<uint64_t>(item->valuedouble);
  return true;
}

bool TakeCode(const cJSON* object, const char* key, uint32_t* out, std::string* error) {
  uint64_t value = 0;
  if (!TakeNumber(object, key, &value, error)) return false;
  if (value > UINT32_MAX) {
    *error = std::string("\"") + key + "\" is out of range";
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool TakeText(const cJSON* object, const char* key, std::string* out, std::string* error) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  if (item == nullptr) return true;
  if (!cJSON_IsString(item)) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = item->valuestring;
  return true;
}

bool TakeTime(const cJSON* object, const char* key, uint64_t* out, std::string* error) {
  std::string text;
  if (!TakeText(object, key, &text, error)) return false;
  if (!ParseTime(text, out)) {
    *error = std::string("\"") + key + "\" must be a time such as 2026-01-31T12:00:00.000Z";
    return false;
  }
  return true;
}

}  // namespace

const char* JournalKindName(JournalKind kind) {
  for (const KindName& entry : kKindNames)
    if (entry.kind == kind) return entry.name;
  return "start";
}

bool ParseJournalKind(const std::string& text, JournalKind* kind) {
  for (const KindName& entry : kKindNames) {
    if (text == entry.name) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

std::string FormatJournalTime(uint64_t millis) {
  const time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + length, sizeof(text) - length, ".%03uZ",
           static_cast<unsigned>(millis % 1000));
  return text;
}

std::string JournalLine(const JournalRecord& record) {
  Json json(cJSON_CreateObject());
  cJSON* object = json.get();
  cJSON_AddStringToObject(object, "time", FormatJournalTime(record.timeMillis).c_str());
  cJSON_AddStringToObject(object, "kind", JournalKindName(record.kind));
  if (record.kind == JournalKind::kSummary) {
    cJSON_AddStringToObject(object, "since", FormatJournalTime(record.sinceMillis).c_str());
    cJSON* counts = cJSON_AddObjectToObject(object, "inventoryAllowed");
    cJSON_AddNumberToObject(counts, "start", static_cast<double>(record.inventoryStarts));
    cJSON_AddNumberToObject(counts, "library", static_cast<double>(record.inventoryLibraries));
    cJSON_AddNumberToObject(counts, "script", static_cast<double>(record.inventoryScripts));
    cJSON_AddNumberToObject(object, "dropped", static_cast<double>(record.dropped));
  } else {
    cJSON_AddStringToObject(object, "verdict", record.verdict.c_str());
    cJSON_AddStringToObject(object, "answer", record.denied ? "deny" : "allow");
    AddText(object, "reason", record.reason);
    cJSON_AddStringToObject(object, "path", record.path.c_str());
    AddText(object, "oldPath", record.oldPath);
    AddText(object, "sha256", record.sha256);
    cJSON_AddNumberToObject(object, "size", static_cast<double>(record.size));
    cJSON_AddNumberToObject(object, "pid", static_cast<double>(record.pid));
    AddText(object, "process", record.process);
    AddText(object, "parent", record.parent);
    AddText(object, "user", record.user);
    AddText(object, "group", record.group);
    cJSON_AddNumberToObject(object, "source", record.source);
    cJSON_AddNumberToObject(object, "isAuthorized", record.isAuthorized);
    cJSON_AddNumberToObject(object, "decision", record.decision);
    AddText(object, "ruleset", record.ruleset);
  }
  char* text = cJSON_PrintUnformatted(object);
  std::string line = text != nullptr ? text : "{}";
  cJSON_free(text);
  return line;
}

bool ParseJournalLine(const std::string& line, JournalRecord* out, std::string* error) {
  Json json(cJSON_ParseWithOpts(line.c_str(), nullptr, true));
  if (!json || !cJSON_IsObject(json.get())) {
    *error = "not a JSON object";
    return false;
  }
  const cJSON* object = json.get();
  JournalRecord record;
  std::string kind;
  if (!TakeText(object, "kind", &kind, error)) return false;
  if (!ParseJournalKind(kind, &record.kind)) {
    *error = "\"kind\" must be start, library, script, drift or summary";
    return false;
  }
  if (cJSON_GetObjectItemCaseSensitive(object, "time") == nullptr) {
    *error = "no \"time\"";
    return false;
  }
  if (!TakeTime(object, "time", &record.timeMillis, error)) return false;
  if (record.kind == JournalKind::kSummary) {
    record.sinceMillis = record.timeMillis;
    const cJSON* counts = cJSON_GetObjectItemCaseSensitive(object, "inventoryAllowed");
    if (counts != nullptr && !cJSON_IsObject(counts)) {
      *error = "\"inventoryAllowed\" must be an object";
      return false;
    }
    if ((cJSON_GetObjectItemCaseSensitive(object, "since") != nullptr &&
         !TakeTime(object, "since", &record.sinceMillis, error)) ||
        !TakeNumber(counts, "start", &record.inventoryStarts, error) ||
        !TakeNumber(counts, "library", &record.inventoryLibraries, error) ||
        !TakeNumber(counts, "script", &record.inventoryScripts, error) ||
        !TakeNumber(object, "dropped", &record.dropped, error))
      return false;
    *out = std::move(record);
    return true;
  }
  std::string answer;
  if (!TakeText(object, "verdict", &record.verdict, error) ||
      !TakeText(object, "answer", &answer, error) ||
      !TakeText(object, "reason", &record.reason, error) ||
      !TakeText(object, "path", &record.path, error) ||
      !TakeText(object, "oldPath", &record.oldPath, error) ||
      !TakeText(object, "sha256", &record.sha256, error) ||
      !TakeNumber(object, "size", &record.size, error) ||
      !TakeNumber(object, "pid", &record.pid, error) ||
      !TakeText(object, "process", &record.process, error) ||
      !TakeText(object, "parent", &record.parent, error) ||
      !TakeText(object, "user", &record.user, error) ||
      !TakeText(object, "group", &record.group, error) ||
      !TakeCode(object, "source", &record.source, error) ||
      !TakeCode(object, "isAuthorized", &record.isAuthorized, error) ||
      !TakeCode(object, "decision", &record.decision, error) ||
      !TakeText(object, "ruleset", &record.ruleset, error))
    return false;
  if (record.path.empty() || record.path[0] != '/') {
    *error = "\"path\" must be an absolute path";
    return false;
  }
  if (record.verdict.empty()) {
    *error = "no \"verdict\"";
    return false;
  }
  if (answer != "allow" && answer != "deny") {
    *error = "\"answer\" must be allow or deny";
    return false;
  }
  record.denied = answer == "deny";
  if (!record.sha256.empty()) {
    bool hex = record.sha256.size() == 64;
    for (char& c : record.sha256) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    if (!hex) {
      *error = "\"sha256\" must be 64 hexadecimal digits";
      return false;
    }
  }
  *out = std::move(record);
  return true;
}

}  // namespace brix_host
