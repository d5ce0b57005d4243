// Options.h: brixd's command line.
//
// Parsing only: nothing is opened or started, so a mistyped command line
// changes nothing on the machine.
#ifndef BRIX_TOOLS_BRIXD_OPTIONS_H_
#define BRIX_TOOLS_BRIXD_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "EngineSession.h"

namespace brixd {

struct Options {
  std::string db;  // empty until parsed: brix_host::DefaultDatabasePath()
  std::vector<std::string> watch;  // folders; their file systems are watched
  brix_host::Modes modes;
  brix_host::LogSettings log;      // engine log mask; log.filePath: the log
  unsigned threads = 2;
  uint64_t deadlineMillis = 1000;
  bool failOpen = true;            // set from the modes unless given
  bool failPolicyGiven = false;
  std::string statsFile;
  uint64_t statsIntervalSeconds = 60;
  uint64_t cacheEntries = 65536;
  uint64_t maxHashBytes = 256ull << 20;
  std::string journal;  // decision journal; empty: none
  uint64_t journalMaxSize = 32ull << 20;
  uint64_t journalKeep = 3;
  bool requireManifest = false;  // lockdown without a manifest: refuse to start
  // The kernel programs that hold lockdown while brixd is gone.
  std::string bpfPinFolder = "/sys/fs/bpf/brixd";
  bool noBpf = false;
  bool releaseOnStop = false;
  bool release = false;  // only remove what is pinned, then exit
  bool help = false;
  bool version = false;
};

// False with `error` set on a bad command line.
bool ParseOptions(int argc, char** argv, Options* out, std::string* error);

extern const char kUsage[];

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_OPTIONS_H_
