#include "Output.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "CommandLine.h"

namespace brixctl {

namespace {

constexpr int kBarWidth = 30;

void PrintScalar(const cJSON* json) {
  if (cJSON_IsString(json)) {
    fputs(json->valuestring[0] == '\0' ? "\"\"" : json->valuestring, stdout);
  } else if (cJSON_IsNumber(json)) {
    const double value = json->valuedouble;
    if (value == std::floor(value) && std::fabs(value) < 9.2e18)
      printf("%lld", static_cast<long long>(value));
    else
      printf("%g", value);
  } else if (cJSON_IsBool(json)) {
    fputs(cJSON_IsTrue(json) ? "true" : "false", stdout);
  } else {
    fputs("null", stdout);
  }
}

bool IsContainer(const cJSON* json) {
  return cJSON_IsObject(json) || cJSON_IsArray(json);
}

// One member a line, `depth` levels in.  An array element that is an
// object starts on its dash's line, as YAML writes it.
void PrintTree(const cJSON* json, int depth, bool firstInline) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  const bool inArray = cJSON_IsArray(json);
  for (const cJSON* item = json->child; item != nullptr; item = item->next) {
    if (!(firstInline && item == json->child)) fputs(indent.c_str(), stdout);
    if (inArray) fputs("-", stdout);
    else printf("%s:", item->string);
    if (IsContainer(item) && item->child == nullptr) {
      puts(" (none)");
    } else if (inArray && cJSON_IsObject(item)) {
      putchar(' ');
      PrintTree(item, depth + 1, true);
    } else if (IsContainer(item)) {
      putchar('\n');
      PrintTree(item, depth + 1, false);
    } else {
      putchar(' ');
      PrintScalar(item);
      putchar('\n');
    }
  }
}

}  // namespace

int Fail(const std::string& message) {
  fprintf(stderr, "brixctl: %s\n", message.c_str());
  return kExitError;
}

void Warn(const std::string& message) {
  fprintf(stderr, "brixctl: warning: %s\n", message.c_str());
}

void PrintJsonLine(const cJSON* json) {
  char* text = cJSON_PrintUnformatted(json);
  if (text == nullptr) {
    Fail("out of memory while printing JSON");
    return;
  }
  puts(text);
  cJSON_free(text);
}

void PrintPretty(const cJSON* json) {
  if (IsContainer(json)) PrintTree(json, 0, false);
  else {
    PrintScalar(json);
    putchar('\n');
  }
}

double NumberMember(const cJSON* object, const char* name, double otherwise) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsNumber(item) ? item->valuedouble : otherwise;
}

std::string HumanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

cJSON* ResponseToJson(uint32_t status, const ac_wrapper_response_s& response) {
  using namespace brix_host;
  cJSON* json = cJSON_CreateObject();
  cJSON_AddStringToObject(json, "verdict",
                          VerdictName(ClassifyResponse(status, response)));
  cJSON_AddNumberToObject(json, "status", status);
  cJSON_AddStringToObject(json, "statusName", StatusName(status));
  cJSON_AddNumberToObject(json, "action", response.action);
  cJSON_AddStringToObject(json, "actionName", ActionName(response.action));
  cJSON_AddNumberToObject(json, "category", response.type);
  cJSON_AddStringToObject(json, "categoryName", CategoryName(response.type));
  cJSON_AddNumberToObject(json, "source", response.source);
  cJSON_AddStringToObject(json, "sourceName", SourceName(response.source));
  cJSON_AddNumberToObject(json, "isAuthorized", response.isAuthorized);
  cJSON_AddStringToObject(json, "authorisation",
                          AuthorisationName(response.isAuthorized));
  cJSON_AddNumberToObject(json, "decision", response.decision);
  cJSON_AddStringToObject(json, "decisionName", DecisionName(response.decision));
  cJSON_AddStringToObject(json, "ruleset", ResponseRuleset(response).c_str());
  cJSON_AddNumberToObject(json, "itemType", response.itemType);
  cJSON_AddNumberToObject(json, "changeTime",
                          static_cast<double>(response.changeTime));
  return json;
}

std::string ResponseSummary(const ac_wrapper_response_s& response) {
  using namespace brix_host;
  std::string text = "source " + std::to_string(response.source) + " " +
                     SourceName(response.source) + ", authorisation " +
                     std::to_string(response.isAuthorized) + " " +
                     AuthorisationName(response.isAuthorized) + ", decision " +
                     std::to_string(response.decision) + " " +
                     DecisionName(response.decision);
  const std::string ruleset = ResponseRuleset(response);
  if (!ruleset.empty()) text += ", ruleset " + ruleset;
  return text;
}

ProgressBar::ProgressBar(std::string label, uint64_t total)
    : enabled_(isatty(STDERR_FILENO) == 1), label_(std::move(label)), total_(total) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(uint64_t done, const std::string& detail) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && (total_ == 0 || done < total_) &&
      now - lastDraw_ < std::chrono::milliseconds(100))
    return;
  lastDraw_ = now;
  drawn_ = true;
  if (total_ == 0) {
    // Nothing told us how much there is: count without a bar.
    fprintf(stderr, "\r\033[K%s  %s", label_.c_str(), detail.c_str());
    fflush(stderr);
    return;
  }
  const double fraction =
      std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kBarWidth, '.');
  fprintf(stderr, "\r\033[K%s [%s] %3d%%  %s", label_.c_str(), bar.c_str(),
          static_cast<int>(fraction * 100), detail.c_str());
  fflush(stderr);
}

void ProgressBar::Finish() {
  if (!enabled_ || !drawn_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  drawn_ = false;
}

BusyBar::BusyBar(std::string label)
    : enabled_(isatty(STDERR_FILENO) == 1), label_(std::move(label)) {
  if (!enabled_) return;
  thread_ = std::thread([this] {
    const auto start = std::chrono::steady_clock::now();
    int position = 0;
    int direction = 1;
    while (!stop_.load()) {
      std::string bar(kBarWidth, ' ');
      bar.replace(static_cast<size_t>(position), 3, "<=>");
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      fprintf(stderr, "\r\033[K%s [%s] %.1f s", label_.c_str(), bar.c_str(), seconds);
      fflush(stderr);
      position += direction;
      if (position == 0 || position == kBarWidth - 3) direction = -direction;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fputs("\r\033[K", stderr);
    fflush(stderr);
  });
}

BusyBar::~BusyBar() { Stop(); }

void BusyBar::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
}

}  // namespace brixctl
