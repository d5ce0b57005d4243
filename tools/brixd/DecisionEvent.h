// DecisionEvent.h: which events brixd asks the engine about, and the
// host event it sends for each.
//
// A program start is always decided.  Of the plain opens on the watched
// file systems (most of them: headers read by a compiler, data read by a
// service) only two sorts go to the engine:
//   * the open of an ELF object that can be mapped as code, whoever opens
//     it: a library the loader or dlopen is about to map, or a program run
//     as `ld.so ./prog`.  It becomes the executable-mapping event (host
//     code 53, protection with execute), decided by the file's digests
//     like a program start but without asking for its execute bit, which
//     the loader does not need either;
//   * an open by a process the engine treats as an interpreter.  It
//     becomes the event a monitor reports when a process opens a file
//     (host code 15) with the process's command line, so that the
//     engine's interpreter rules decide whether it is a script start.  The
//     target is reported executable whatever its mode bits: the
//     interpreter is about to run it, and `python3 evil.py` must be
//     decided by the digest of evil.py, not waved through for lacking an
//     execute bit.
// Every other open is answered by brixd at once, without hashing.
#ifndef BRIX_TOOLS_BRIXD_DECISIONEVENT_H_
#define BRIX_TOOLS_BRIXD_DECISIONEVENT_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "FileDigest.h"
#include "HostEvent.h"
#include "InterpreterCache.h"
#include "ObjectKind.h"
#include "ProcessReader.h"
#include "VerdictTable.h"

namespace brixd {

// What to do with a plain open (not a program start).
enum class OpenRoute : uint8_t {
  kAllow,     // answered at once: not code, not an interpreter's
  kLibrary,   // decide as a mapping
  kScript,    // decide as an interpreter's open
  kProbe,     // learn first whether the process is an interpreter
};

// `regular` is false for directories, devices, FIFOs and sockets: the
// loader maps and interpreters run regular files only.
OpenRoute RouteOpen(bool regular, ObjectKind kind, Interpreter process);

// The event for the engine: target `path` with status `st` and its
// digests, acted on by `pid`, described by `process` (whose command line
// a script open needs).  `dataRead` marks an interpreter's open of a file
// that is not its script (ScriptArguments.h): reported as a read, not a
// run, so that only the file's extension can make it a script.
brix_host::HostEvent BuildDecisionEvent(EventKind kind, pid_t pid, const std::string& path,
                                        const struct stat& st,
                                        const brix_host::FileDigests& digests,
                                        const ActingProcess& process, bool dataRead = false);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_DECISIONEVENT_H_
