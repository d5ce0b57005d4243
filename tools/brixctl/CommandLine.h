// CommandLine.h: brixctl's arguments.
//
// brixctl [GLOBAL OPTIONS] COMMAND [COMMAND OPTIONS] ARGS...  Global
// options may also follow the command; "--" ends option parsing, so a
// file named like an option can still be passed.  Parsing never touches
// the engine: a mistyped command line changes nothing.
#ifndef BRIX_TOOLS_BRIXCTL_COMMANDLINE_H_
#define BRIX_TOOLS_BRIXCTL_COMMANDLINE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "EngineSession.h"
#include "ModeOptions.h"
#include "brix.h"

namespace brixctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitBlocked = 1;  // decide: blocked; replay: unmet expectation
constexpr int kExitError = 2;

struct GlobalOptions {
  std::string db = brix_host::DefaultDatabasePath();
  brix_host::Modes modes;
  brix_host::LogSettings log;
  bool json = false;
};

struct Invocation {
  GlobalOptions global;
  std::string command;            // empty: none given
  std::vector<std::string> args;  // the command's own arguments
  bool help = false;              // --help anywhere
  bool version = false;           // --version anywhere
};

// Splits argv into global options, the command and its arguments.
bool ParseInvocation(int argc, char** argv, Invocation* out, std::string* error);

// A command's options: which ones it knows and whether they take a value.
struct OptionDecl {
  const char* name;  // "--type"
  bool takesValue;
};

struct CommandArgs {
  std::map<std::string, std::string> options;  // "--append" -> ""
  std::vector<std::string> positional;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& otherwise) const {
    auto it = options.find(name);
    return it == options.end() ? otherwise : it->second;
  }
};

// Parses a command's arguments ("--name value", "--name=value", "--").
bool ParseCommandArgs(const std::string& command,
                      const std::vector<std::string>& args,
                      const std::vector<OptionDecl>& declared, CommandArgs* out,
                      std::string* error);

// The number, time and window parsers are shared with the other hosts.
using brix_host::ParseTime;
using brix_host::ParseUnsigned;
using brix_host::ParseWindow;

// A DALSource by number (0-6) or name (all, agent, execution, scanned,
// drift, prelink, trust).
bool ParseSource(const std::string& text, DALSource* source);

}  // namespace brixctl

#endif  // BRIX_TOOLS_BRIXCTL_COMMANDLINE_H_
