// ScriptArguments.h: which file named on an interpreter's command line is
// the script it runs, and which are only its data.
//
// The engine takes every file named on an interpreter's command line for a
// script run when the host reports it executable, so `python3 tool.py
// data.txt` would have data.txt judged as a script, and an unknown data
// file refused under lockdown.  An interpreter runs one script: the first
// file of its command line that it opens.  The operands after it are the
// script's arguments, which it may read as data.  So, for one process
// image, the first command-line file that the interpreter opens is its
// script; opens of the other command-line files are plain reads (still
// judged by their extension, as every other file an interpreter reads).
// A new execve starts again.
//
// "Named on the command line" is decided by identity, not by text: each
// operand is resolved as the process would resolve it (its root and
// working folder) and compared with the opened file by device and inode,
// so neither a symbolic link nor a name that merely contains another
// name's text makes a file a command-line file.  What cannot be resolved,
// or a process whose command line cannot be read, is "not named", which
// leaves the engine's own, stricter rule in place.
//
// A process image is its pid, start time, executable, command line and
// stack address: an execve keeps the pid and the start time but (with
// address-space randomisation, the default) never the stack, and
// everything that changes what the operands name changes the command line.
// A child forked without an execve (a shell's subshell) has its parent's
// image: it takes over its parent's script, so that a subshell reading the
// script's data is not taken for a new interpreter.  Safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_SCRIPTARGUMENTS_H_
#define BRIX_TOOLS_BRIXD_SCRIPTARGUMENTS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brixd {

enum class ArgumentRole : uint8_t {
  kNotNamed,   // not a file of the command line (or it cannot be told)
  kScript,     // the script: the first command-line file opened
  kPlainRead,  // another command-line file: data for the script
};

// One process image as /proc shows it; empty `commandLine` when it is gone.
struct ProcessImage {
  uint64_t startTime = 0;
  uint64_t stack = 0;
  pid_t parent = 0;
  std::string executable;
  std::string commandLine;  // the raw arguments, each ended by '\0'
  std::string cwd;          // /proc/PID/cwd's target

  bool SameAs(const ProcessImage& other) const {
    return startTime == other.startTime && ForkOf(other);
  }
  // The same program and memory, in another process.
  bool ForkOf(const ProcessImage& other) const {
    return stack == other.stack && executable == other.executable &&
           commandLine == other.commandLine;
  }
};

// Reads `pid`'s image from /proc; false when the process is gone or hides.
bool ReadProcessImage(pid_t pid, const std::string& executable, ProcessImage* out);

// The identity (device, inode) of every operand after the program's name,
// resolved in `pid`'s root from its working folder; {0, 0} for one that
// cannot be resolved.  At most `limit` operands.
std::vector<std::pair<dev_t, ino_t>> ResolveOperands(pid_t pid, const ProcessImage& image,
                                                     size_t limit);

class ScriptArguments {
 public:
  explicit ScriptArguments(size_t capacity) : capacity_(capacity) {}
  ScriptArguments(const ScriptArguments&) = delete;
  ScriptArguments& operator=(const ScriptArguments&) = delete;

  // The role of the file `opened` (its status, at `path`) opened by
  // interpreter `pid` running `executable` (through the dynamic loader
  // when `throughLoader`: the operands are then those after the program
  // the loader runs).  For the script, `commandLine`
  // gets the process's command line with the operand that named it
  // replaced by `path` (blanks between the arguments): the engine looks
  // for the script's name there, and an operand that is a symbolic link
  // or a relative path would hide it.
  ArgumentRole Classify(pid_t pid, const std::string& executable, bool throughLoader,
                        const struct stat& opened, const std::string& path,
                        std::string* commandLine);

  // Forgets every process; the next command-line file each opens is taken
  // for its script again, which is never less strict.
  void Clear();

  // Operands looked at per process: enough for any script's data files; a
  // file named beyond them is "not named".
  static constexpr size_t kMaxOperands = 256;

 private:
  struct Entry {
    ProcessImage image;
    std::vector<std::pair<dev_t, ino_t>> operands;
    size_t script = SIZE_MAX;  // index into operands; SIZE_MAX: none opened yet
    size_t program = 0;  // through the loader: the argument naming the program
  };

  // Constant after construction
  const size_t capacity_;

  // State below is protected by mutex_
  std::mutex mutex_;
  std::unordered_map<pid_t, Entry> processes_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_SCRIPTARGUMENTS_H_
