// ProcessReader.h: the acting process as /proc shows it.
//
// For each event brixd names the process that acts: its executable, its
// command line and its user and group.  Names of user and group ids are
// never looked up while an event waits: a name service (sssd, userdbd,
// LDAP) may itself start a program that waits on brixd.  The local files
// (/etc/passwd, /etc/group) are read at start; an id found there is named
// at once, any other id is sent as its number while a thread of its own
// asks the name service and remembers the answer for the next event.  A
// process that has already gone leaves the fields empty: the engine takes
// empty as "not given".  Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_PROCESSREADER_H_
#define BRIX_TOOLS_BRIXD_PROCESSREADER_H_

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "HostEvent.h"

namespace brixd {

struct ActingProcess {
  std::string executable;   // resolved path of its image
  std::string commandLine;  // arguments joined by blanks
  std::string user;
  std::string group;
  // The image is the dynamic loader and `executable` the program it runs:
  // the command line is given from that program on.
  bool throughLoader = false;
};

// Puts what is known of the acting process into the event; unknown parts
// stay unset, as a host leaves them when it cannot tell.
void SetActingProcess(brix_host::HostEvent& event,
                      const ActingProcess& process);

class ProcessReader {
 public:
  ProcessReader();
  ~ProcessReader();
  ProcessReader(const ProcessReader&) = delete;
  ProcessReader& operator=(const ProcessReader&) = delete;

  // Fills what can be read; never fails as a whole.
  void Read(pid_t pid, ActingProcess* out);
  // Executable, user and group only: what identifies the process to the
  // engine's allow cache, without the cost of the command line.
  void ReadIdentity(pid_t pid, ActingProcess* out);
  // The command line only.
  void ReadCommandLine(pid_t pid, ActingProcess* out);

  // The remembered name, or the number while the name is looked up.
  std::string UserName(uid_t uid);
  std::string GroupName(gid_t gid);

 private:
  struct Request {
    bool user;
    unsigned id;
  };

  // Shared with the resolver thread, which may outlive the reader when
  // a name service never answers.
  struct Names {
    // State below is protected by mutex
    std::mutex mutex;
    std::condition_variable wake;
    std::unordered_map<unsigned, std::string> users;
    std::unordered_map<unsigned, std::string> groups;
    std::deque<Request> requests;
    bool stopping = false;
  };

  std::string Name(bool user, unsigned id);
  static void Resolve(std::shared_ptr<Names> names);

  const std::shared_ptr<Names> names_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PROCESSREADER_H_
