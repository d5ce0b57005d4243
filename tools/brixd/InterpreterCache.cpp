#include "InterpreterCache.h"

#include <mutex>

#include "EngineGate.h"
#include "HostEvent.h"
#include "brix.h"

namespace brixd {

namespace {

thread_local bool t_muted = false;

// The probe's target: named on the probe's command line, so that an
// interpreter takes it for the script it was asked to run.
constexpr char kProbeTarget[] = "/brixd-interpreter-probe";
constexpr char kProbeFileName[] = "brixd-interpreter-probe";
constexpr uint32_t kCategoryScriptStart = 8;

}  // namespace

bool EngineLinesMuted() { return t_muted; }

MutedEngineLines::MutedEngineLines() { t_muted = true; }
MutedEngineLines::~MutedEngineLines() { t_muted = false; }

Interpreter InterpreterCache::Find(const std::string& executable) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = known_.find(executable);
  if (it == known_.end()) return Interpreter::kUnknown;
  return it->second ? Interpreter::kYes : Interpreter::kNo;
}

void InterpreterCache::Clear() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  known_.clear();
}

bool InterpreterCache::Probe(const std::string& executable, Interpreter* out,
                             uint32_t* status) {
  const std::string commandLine = executable + " " + kProbeFileName;
  ac_wrapper_event_s probe{};
  probe.type = brix_host::kHostTypeScriptOpen;
  probe.pid = 0;  // the engine remembers no process for pid 0
  probe.isexec = 1;
  probe.processName = executable.c_str();
  probe.name = kProbeTarget;
  probe.cmdLine = commandLine.c_str();
  ac_wrapper_response_s response{};
  {
    EngineCall call;
    t_muted = true;
    *status = app_ctl(nullptr, &probe, &response);
    t_muted = false;
  }
  // A probe of an interpreter ends without a verdict (no digest to look
  // up): status 0, action 0.  Anything else means the engine did not run.
  if (*status != BRIX_STATUS_SUCCESS) return false;
  const bool interpreter = response.type == kCategoryScriptStart;
  *out = interpreter ? Interpreter::kYes : Interpreter::kNo;
  if (capacity_ == 0) return true;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (known_.size() >= capacity_ && known_.find(executable) == known_.end())
    known_.erase(known_.begin());
  known_[executable] = interpreter;
  return true;
}

}  // namespace brixd
