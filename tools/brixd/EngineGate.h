// EngineGate.h: the engine is restarted only when no thread is inside it.
//
// brixd restarts the engine when the rule database is changed by another
// process (an import, a scan, a purge by brixctl): the engine reads its
// trust rules, rule counts and caches at start, so a restart is the one way
// through its exported functions to see everything that changed.  Every
// call into the engine (app_ctl, get_metrics_mem) holds an EngineCall; the
// restart closes the gate, waits for the threads inside to leave, restarts
// and opens it again.  A closed gate holds new callers back at once (a
// steady stream of decisions cannot keep a restart waiting); they wait for
// the restart, within their events' deadlines, which the reader keeps.
// Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_ENGINEGATE_H_
#define BRIX_TOOLS_BRIXD_ENGINEGATE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace brixd {

class EngineGate {
 public:
  EngineGate() = default;
  EngineGate(const EngineGate&) = delete;
  EngineGate& operator=(const EngineGate&) = delete;

  void Enter();
  void Leave();

  // Closes the gate and waits up to `wait` for every caller to leave.
  // False (the gate open again) when one is still inside then: a call
  // that waits on a locked database; the caller tries again later.
  bool Close(std::chrono::milliseconds wait);
  void Open();

 private:
  // State below is protected by mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned inside_ = 0;
  bool closed_ = false;
};

// The gate of the one engine in this process.
EngineGate& TheEngineGate();

// Holds the gate open for one call into the engine.
class EngineCall {
 public:
  EngineCall() { TheEngineGate().Enter(); }
  ~EngineCall() { TheEngineGate().Leave(); }
  EngineCall(const EngineCall&) = delete;
  EngineCall& operator=(const EngineCall&) = delete;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_ENGINEGATE_H_
