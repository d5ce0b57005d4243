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
  uint64_t HandleEvent(ac_event& event);

  void ConvertEvent(const ac_wrapper_event_s* wrapper, ac_event& event);
  static void UpdateResponse(const ac_event& event,
                             ac_wrapper_response_s* response);

  // Folds the host type code into a category; non-zero: the event goes on.
  uint64_t AbstractEvent(ac_event& event);
  // Drops events covered by an exclusion trust rule; non-zero: goes on.
  uint64_t CheckExcludeTrustRules(ac_event& event);

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
