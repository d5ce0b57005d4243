#include "DecisionEvent.h"

namespace brixd {

OpenRoute RouteOpen(bool regular, ObjectKind kind, Interpreter process) {
  if (!regular) return OpenRoute::kAllow;
  if (IsCode(kind)) return OpenRoute::kLibrary;
  switch (process) {
    case Interpreter::kYes: return OpenRoute::kScript;
    case Interpreter::kNo: return OpenRoute::kAllow;
    case Interpreter::kUnknown: break;
  }
  return OpenRoute::kProbe;
}

brix_host::HostEvent BuildDecisionEvent(EventKind kind, pid_t pid, const std::string& path,
                                        const struct stat& st,
                                        const brix_host::FileDigests& digests,
                                        const ActingProcess& process, bool dataRead) {
  brix_host::HostEvent event;
  ac_wrapper_event_s& numbers = event.numbers();
  numbers.pid = static_cast<uint64_t>(pid);
  numbers.isexec = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  numbers.mode = st.st_mode;
  switch (kind) {
    case EventKind::kProgramStart:
      numbers.type = brix_host::kHostTypeProgramStart;
      break;
    case EventKind::kLibrary:
      numbers.type = brix_host::kHostTypeMapping;
      numbers.mode = brix_host::kMappingProtectionExec;
      break;
    case EventKind::kScript:
      numbers.type = brix_host::kHostTypeScriptOpen;
      // About to be run, whatever its mode bits, unless it is the data
      // of the script that runs.
      numbers.isexec = dataRead ? 0 : 1;
      break;
    case EventKind::kOpen:
    case EventKind::kUnknown:
      break;  // never sent
  }
  event.SetFileDigests(digests);
  numbers.size = static_cast<uint64_t>(st.st_size);
  event.SetText(&ac_wrapper_event_s::name, path);
  SetActingProcess(event, process);
  return event;
}

}  // namespace brixd
