// Output.h: what brixctl shows: errors, results, progress.
//
// Results go to standard output (text, or JSON with --json); errors,
// warnings and progress to standard error.  Every failure ends in one
// line "brixctl: ..." that says what failed and why.  Progress is drawn
// only when standard error is a terminal, so logs and pipes stay clean.
#ifndef BRIX_TOOLS_BRIXCTL_OUTPUT_H_
#define BRIX_TOOLS_BRIXCTL_OUTPUT_H_

#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "HostStatus.h"
#include "brix.h"

namespace brixctl {

// Prints "brixctl: <message>" to standard error and returns kExitError.
int Fail(const std::string& message);
// Prints "brixctl: warning: <message>" to standard error.
void Warn(const std::string& message);

// A cJSON tree that frees itself.
struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

// Prints a JSON value on one line of standard output.
void PrintJsonLine(const cJSON* json);

// Prints a JSON document indented, one member a line, for people.
void PrintPretty(const cJSON* json);

// The number member `name` of `object`, or `otherwise` when it is absent.
double NumberMember(const cJSON* object, const char* name, double otherwise);

// "12.3 MB", "512 B".
std::string HumanBytes(uint64_t bytes);

// The response of one app_ctl call, as a JSON object with both the codes
// and their names.
cJSON* ResponseToJson(uint32_t status, const ac_wrapper_response_s& response);

// "source 2 execution rules, authorisation 2 not approved, decision 2
// blocked, ruleset demo-execution".
std::string ResponseSummary(const ac_wrapper_response_s& response);

// A determinate progress bar on standard error.
class ProgressBar {
 public:
  ProgressBar(std::string label, uint64_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws at most ten times a second, and at the end.
  void Update(uint64_t done, const std::string& detail);
  // Clears the bar's line.
  void Finish();

 private:
  const bool enabled_;
  const std::string label_;
  const uint64_t total_;
  std::chrono::steady_clock::time_point lastDraw_{};
  bool drawn_ = false;
};

// An indeterminate progress bar for one long call that reports nothing
// while it runs; drawn by a thread of its own until Stop.
class BusyBar {
 public:
  explicit BusyBar(std::string label);
  ~BusyBar();
  BusyBar(const BusyBar&) = delete;
  BusyBar& operator=(const BusyBar&) = delete;
  void Stop();

 private:
  const bool enabled_;
  const std::string label_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace brixctl

#endif  // BRIX_TOOLS_BRIXCTL_OUTPUT_H_
