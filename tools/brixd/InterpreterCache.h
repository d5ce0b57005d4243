// InterpreterCache.h: which programs the engine treats as script
// interpreters, learnt from the engine itself.
//
// The engine recognises an interpreter by the path and file name of the
// acting program's image alone (its interpreter rules match names, name
// fragments and directories; rules by hash never match a host event,
// whose process description carries no hash).  So the answer for one
// program path never changes, and brixd asks once per path instead of
// keeping a copy of the engine's tables that could drift apart from them:
// a probe event (host code 15, no acting pid, a target named on the
// command line and reported executable) becomes a script start (category
// 8) exactly when the program is an interpreter.  The probe carries no
// digests, so the engine's inventory lookup stops at once and nothing is
// recorded; the engine counts it as one "RunScript" and logs an error
// about the missing digest, which brixd mutes (EngineLinesMuted).
//
// With the answer cached, an open by a process that is not an interpreter
// costs one map lookup.  Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_INTERPRETERCACHE_H_
#define BRIX_TOOLS_BRIXD_INTERPRETERCACHE_H_

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace brixd {

enum class Interpreter : uint8_t { kUnknown, kYes, kNo };

class InterpreterCache {
 public:
  explicit InterpreterCache(size_t capacity) : capacity_(capacity) {}
  InterpreterCache(const InterpreterCache&) = delete;
  InterpreterCache& operator=(const InterpreterCache&) = delete;

  // kUnknown until Probe has learnt the answer for `executable`.
  Interpreter Find(const std::string& executable) const;

  // Asks the engine about `executable` and remembers the answer.  False
  // with the app_ctl status when the engine could not be asked; nothing is
  // remembered then.
  bool Probe(const std::string& executable, Interpreter* out, uint32_t* status);

  // Forgets every answer: the engine's interpreter rules may have changed.
  void Clear();

 private:
  // Constant after construction
  const size_t capacity_;

  // State below is protected by mutex_
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, bool> known_;
};

// True on a thread inside a probe or an engine restart: the engine's log
// lines there are the probe's own, or its shutdown's and start's routine,
// and are not worth an operator's attention.
bool EngineLinesMuted();

// Mutes the engine's log lines on this thread while it lives.
class MutedEngineLines {
 public:
  MutedEngineLines();
  ~MutedEngineLines();
  MutedEngineLines(const MutedEngineLines&) = delete;
  MutedEngineLines& operator=(const MutedEngineLines&) = delete;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_INTERPRETERCACHE_H_
