// RuleWatch.h: changes of the rule database made by other processes.
//
// An import, a scan or a purge by brixctl writes the database while brixd
// runs; brixd's engine must then be restarted to see them (EngineGate.h).
// brixd's own engine writes the same file (drift, the maintenance
// window's approvals), and restarting on those would never end, so writes
// are told apart by the writer: a fanotify group reports every write to a
// file of the database's folder with the writing process, and brixd's own
// are left out.  An inotify watch adds the database replaced or removed
// as a whole (a restored copy renamed over it), which writes nothing.
// Only the main thread uses it.
#ifndef BRIX_TOOLS_BRIXD_RULEWATCH_H_
#define BRIX_TOOLS_BRIXD_RULEWATCH_H_

#include <sys/types.h>

#include <string>

namespace brixd {

class RuleWatch {
 public:
  RuleWatch() = default;
  ~RuleWatch();
  RuleWatch(const RuleWatch&) = delete;
  RuleWatch& operator=(const RuleWatch&) = delete;

  // Watches the folder of `dbPath`.  False with `error` when it cannot:
  // the caller then has no reload on change (SIGHUP still reloads).
  bool Open(const std::string& dbPath, std::string* error);

  // The descriptors to poll for reading; -1 when not open.
  int writes() const { return writes_; }
  int names() const { return names_; }

  // Reads what both hold; true when another process changed the database.
  bool Drain();

 private:
  bool DrainWrites();
  bool DrainNames();

  // Constant after Open
  pid_t self_ = 0;
  std::string name_;  // the database's file name; its journal files start so
  int writes_ = -1;  // fanotify: writes, with the writer
  int names_ = -1;   // inotify: the database renamed over, created, removed
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_RULEWATCH_H_
