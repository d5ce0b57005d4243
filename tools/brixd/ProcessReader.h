// ProcessReader.h: the acting process as /proc shows it.
//
// For each event brixd names the process that acts: its executable, its
// command line and its user and group.  The names of user and group ids
// come from the system's user database, which may be slow (NSS, LDAP), so
// each id is resolved once and remembered.  A process that has already
// gone leaves the fields empty: the engine takes empty as "not given".
// Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_PROCESSREADER_H_
#define BRIX_TOOLS_BRIXD_PROCESSREADER_H_

#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "HostEvent.h"

namespace brixd {

struct ActingProcess {
  std::string executable;   // resolved path of its image
  std::string commandLine;  // arguments joined by blanks
  std::string user;
  std::string group;
};

// Puts what is known of the acting process into the event; unknown parts
// stay unset, as a host leaves them when it cannot tell.
void SetActingProcess(brix_host::HostEvent& event,
                      const ActingProcess& process);

class ProcessReader {
 public:
  // Fills what can be read; never fails as a whole.
  void Read(pid_t pid, ActingProcess* out);
  // Executable, user and group only: what identifies the process to the
  // engine's allow cache, without the cost of the command line.
  void ReadIdentity(pid_t pid, ActingProcess* out);
  // The command line only.
  void ReadCommandLine(pid_t pid, ActingProcess* out);

  std::string UserName(uid_t uid);
  std::string GroupName(gid_t gid);

 private:
  // State below is protected by mutex_
  std::mutex mutex_;
  std::unordered_map<uid_t, std::string> users_;
  std::unordered_map<gid_t, std::string> groups_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PROCESSREADER_H_
