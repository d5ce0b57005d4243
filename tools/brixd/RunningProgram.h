// RunningProgram.h: which program a process runs, told by what its files
// are rather than by what they are called.
//
// Whether an open may run a script depends on the program that opens it:
// an interpreter's opens are decided by the engine, everybody else's are
// not.  The text of /proc/PID/exe is no answer to "which program":
//   * the dynamic loader run as a program (`ld.so /usr/bin/python3 x.py`)
//     has the loader as its image, and the program it loaded does the
//     work.  The loader is an interpreter of its first operand: from then
//     on the process is that program, for every decision;
//   * a copy of an interpreter under another name (`py`, `shell`) is the
//     interpreter, and so is an interpreter bind-mounted over another
//     file in a user's mount namespace (/proc shows the other name).
// So brixd learns at start which files the engine treats as interpreters
// (the programs in the usual program folders, asked one by one) and the
// loader, by device and inode, size and (when a size matches) digest, and
// recognises a process's program by those.  The path reported to the
// engine for a program recognised so is the interpreter's own path.
//
// Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_RUNNINGPROGRAM_H_
#define BRIX_TOOLS_BRIXD_RUNNINGPROGRAM_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "DigestCache.h"
#include "InterpreterCache.h"

namespace brixd {

// The program a process runs, as far as deciding its opens goes.
struct RunningProgram {
  std::string image;     // /proc/PID/exe as read
  std::string path;      // the program: the image, or what the loader loaded;
                         // for an interpreter, its own path (report this one)
  bool throughLoader = false;  // the image is the dynamic loader
  Interpreter interpreter = Interpreter::kUnknown;  // kUnknown: a worker must finish
};

// The index in `argv` (argv[0] the loader) of the program the dynamic
// loader runs: its first operand after the loader's own options; 0 when
// there is none.
size_t LoaderProgramArgument(const std::vector<std::string>& argv);

class ProgramIdentifier {
 public:
  explicit ProgramIdentifier(InterpreterCache* interpreters) : interpreters_(interpreters) {}
  ProgramIdentifier(const ProgramIdentifier&) = delete;
  ProgramIdentifier& operator=(const ProgramIdentifier&) = delete;

  // Learns the interpreters among the programs in `folders` (asking the
  // engine about each path once) and the dynamic loader brixd itself
  // runs with.  Counts the engine's probes in `*probes`.
  void Learn(const std::vector<std::string>& folders, uint64_t* probes);

  // What `pid` runs.  With `mayWait` false nothing here asks the engine or
  // hashes a file: an answer that needs either stays kUnknown.  False when
  // the process's image cannot be examined (`*error`: ENOENT when it is
  // gone, a kernel thread included).  `image`, when given, is the text of
  // /proc/PID/exe as just read.
  bool Identify(pid_t pid, bool mayWait, RunningProgram* out, int* error,
                const std::string* image = nullptr);

  size_t interpreters() const;

 private:
  struct Known {
    std::string path;
    uint64_t size = 0;
    bool loader = false;
    std::string sha256;  // hashed when first needed
  };
  using Key = std::pair<uint64_t, uint64_t>;  // device, inode

  // What the file `st` (opened for hashing through `openPath`, and named
  // `name` where the process sees it) is: an interpreter or the loader,
  // with the path to report.
  enum class Match { kNone, kInterpreter, kLoader, kUnknown };
  Match Classify(const std::string& name, const std::string& openPath, const struct stat& st,
                 bool mayWait, std::string* canonical);
  void Add(const std::string& path, const struct stat& st, bool loader);

  InterpreterCache* const interpreters_;

  // State below is protected by mutex_
  mutable std::shared_mutex mutex_;
  std::map<Key, Known> known_;
  std::unordered_multimap<uint64_t, Key> bySize_;
  // Copies told apart by digest, for files only root can write.
  // The match and the path to report.
  std::unordered_map<FileIdentity, std::pair<Match, std::string>, FileIdentityHash> copies_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_RUNNINGPROGRAM_H_
