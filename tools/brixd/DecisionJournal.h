// DecisionJournal.h: what brixd's monitors tell the decision journal.
//
// The monitors call these once an event has its answer, so the journal
// never stands between the kernel and its answer.  Each call decides
// whether the event is worth a line, only a count or nothing, and builds
// the line from the facts the monitor already holds; the parent's
// executable is the one fact read here.  A null or stopped journal makes
// every call a no-op.  Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_DECISIONJOURNAL_H_
#define BRIX_TOOLS_BRIXD_DECISIONJOURNAL_H_

#include <cstdint>

#include "Journal.h"
#include "PendingEvent.h"
#include "brix.h"

namespace brixd {

// A permission event answered by `outcome`.
void JournalPermissionEvent(Journal* journal, const PendingEvent& event,
                            const Outcome& outcome);

// A change handed to the engine as drift (`record`, with its answer).
void JournalDrift(Journal* journal, const ac_wrapper_event_s& record, uint32_t status,
                  const ac_wrapper_response_s& response);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_DECISIONJOURNAL_H_
