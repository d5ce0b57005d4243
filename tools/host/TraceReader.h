// TraceReader.h: event traces, one host event a line.
//
// A trace is a text file of JSON objects, one a line.  Each object names
// the members of ac_wrapper_event_s exactly as the record does ("type",
// "pid", "processName", "name", "isexec", "fileSha256" ...); digests are
// hexadecimal texts of their full length.  Two members are not part of
// the record: "expect", the verdict the line should get (a VerdictName),
// and "comment", free text.  Empty lines and lines starting with '#' are
// skipped.  Relative paths in "name", "oldName" and "processName" are
// taken relative to a base folder (the trace's own folder), so a trace
// can travel with the files it names.  Plain functions; thread-safe.
#ifndef BRIX_TOOLS_HOST_TRACEREADER_H_
#define BRIX_TOOLS_HOST_TRACEREADER_H_

#include <optional>
#include <string>

#include "HostEvent.h"
#include "HostStatus.h"

namespace brix_host {

struct TraceEvent {
  HostEvent event;
  std::optional<Verdict> expect;
  std::string comment;
};

enum class TraceLine { kEvent, kSkip, kError };

// Parses one line (without its line feed).  kError comes with `error`
// naming the offending member or the column of a syntax error.
TraceLine ParseTraceLine(const std::string& line, const std::string& baseDir,
                         TraceEvent* out, std::string* error);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_TRACEREADER_H_
