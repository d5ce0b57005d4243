// BRIXEventAbstraction.h: the decision engine.
//
// One BRIXEngine exists between engine_start and engine_stop.  For every
// app_ctl call it converts the host record into a stack ac_event, answers a
// type-0 event from the allow cache when it can, abstracts the host code
// into a decision category, applies the exclusion trust rules, dispatches
// to the category's handler and writes the verdict into the host's
// response.  Handlers report only whether they handled the event; the
// verdict itself is recorded in the event.
//
// Threads: ProcessEvent runs on any host thread, several at once.  The
// engine's tables are read-only after construction; the caches and the
// rule store guard themselves.
#ifndef BRIX_BRIXEVENTABSTRACTION_H_
#define BRIX_BRIXEVENTABSTRACTION_H_

#include <atomic>
#include <cstdint>

#include "BRIXQuery.h"
#include "Event.h"
#include "brix.h"

class BRIXEngine {
 public:
  BRIXEngine();
  ~BRIXEngine();
  BRIXEngine(const BRIXEngine&) = delete;
  BRIXEngine& operator=(const BRIXEngine&) = delete;

  // The live engine, or null.
  static BRIXEngine* GetEngine() {
    return s_instance.load(std::memory_order_acquire);
  }

  uint64_t ProcessEvent(const ac_wrapper_event_s* event,
                        ac_wrapper_response_s* response);
  uint64_t ProcessEvent(ac_event& event);
  // `askCache` false: the allow cache was already asked about this event.
  uint64_t ProcessEventInternal(ac_event& event, bool askCache);
  uint64_t HandleEvent(ac_event& event);

  void ConvertEvent(const ac_wrapper_event_s* wrapper, ac_event& event);
  static void UpdateResponse(const ac_event& event,
                             ac_wrapper_response_s* response);

  // Splits the paths, folds the host type code into a category (1 program
  // start, 4 file-system change, 7 delete, 8 script start, 9 executable
  // mapping) and drops events in excluded folders.  Non-zero: the event
  // goes on to a handler.
  uint64_t AbstractEvent(ac_event& event);
  // One per group of host codes; non-zero: the event goes on.
  uint64_t EventExecPre(ac_event& event);
  uint64_t EventCreatePre(ac_event& event, ac_process_info& info);
  uint64_t EventCreatePost(ac_event& event, ac_process_info& info);
  uint64_t EventCleanupPre(ac_event& event);
  uint64_t EventOpenPost(ac_event& event);
  uint64_t EventChmodPost(ac_event& event);
  uint64_t EventClosePost(ac_event& event);
  uint64_t EventRenamePost(ac_event& event);
  uint64_t EventChownPost(ac_event& event);
  uint64_t EventDeletePost(ac_event& event);
  uint64_t EventMmapPre(ac_event& event);
  // 0 when the change lies in an excluded or hidden folder.
  uint64_t DirectoryExclude(ac_event& event);
  // Non-zero when the target's file name occurs in the command line.
  uint64_t IsOnCommandLine(ac_event& event);
  // Drops events covered by an exclusion trust rule; non-zero: goes on.
  uint64_t CheckExcludeTrustRules(ac_event& event);

  // Asks the rule store, then the engine's own ways of authorising
  // software.  Non-zero when the store answered or a trust rule matched;
  // 0 on an error (action 8 for a bad target).
  uint64_t IsAllowedToRun(ac_event& event, bool checkExec);
  // Non-zero when the target's birth and modification times lie in the
  // window [start, end] (end open when unset) and in the past.
  uint64_t AutoAuthorizeByFileTime(ac_event& event, uint64_t start,
                                   uint64_t end);

  uint64_t HandleProcessStartEvent(ac_event& event);
  uint64_t HandleMmapStartEvent(ac_event& event);
  uint64_t HandleScriptStartEvent(ac_event& event);
  uint64_t HandleFileSystemMonitorEvent(ac_event& event);
  uint64_t HandleDeleteEvent(ac_event& event);

  BRIXQuery& GetQuery() { return m_query; }
  BRIXAllowCache& GetAllowCache() { return m_query.GetAllowCache(); }

 private:
  static std::atomic<BRIXEngine*> s_instance;

  BRIXQuery m_query;
};

#endif  // BRIX_BRIXEVENTABSTRACTION_H_
