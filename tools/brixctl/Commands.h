// Commands.h: brixctl's commands.
//
// Each command parses its own arguments first and starts the engine only
// when they are sound, then does one job and returns the exit status.
#ifndef BRIX_TOOLS_BRIXCTL_COMMANDS_H_
#define BRIX_TOOLS_BRIXCTL_COMMANDS_H_

#include <cjson/cJSON.h>

#include <functional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "EngineSession.h"

namespace brixctl {

struct Command {
  const char* name;
  const char* synopsis;  // arguments, for the usage lines
  const char* help;      // the command's --help text after the usage line
  int (*run)(const GlobalOptions& global, const std::vector<std::string>& args);
};

// Every command, in the order the help lists them.
const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// The tool's help, and one command's.
void PrintToolHelp(FILE* out);
void PrintCommandHelp(const Command& command, FILE* out);

// What a command does to the database.  Only commands that store what
// the user asked for make a missing database; the others fail on it, so
// that a mistyped --db never leaves an empty database behind.  Every
// command that writes first makes sure it may: the engine would
// otherwise open a file it cannot write read-only and lose the writes.
enum class DbAccess { kRead, kWrite, kCreate };

// Starts the engine on the run's database with its log settings and
// applies its modes.  On failure prints the error and returns false.
bool StartEngine(const GlobalOptions& global, DbAccess access,
                 brix_host::EngineSession* session);

// The metrics document, parsed; null (after printing the error) when the
// engine cannot produce it.
cJSON* ReadMetricsJson();

// The folder part of a path: "." for a bare name, "/" for the root.
std::string FolderPart(const std::string& path);

// Prints the metrics document (pretty, or raw with --json); false after
// printing the error when the engine cannot produce it.
bool PrintMetricsDocument(const GlobalOptions& global);

// Pages through get_inventory for one source and calls `line` with every
// exported line (without its line ending) and its parsed form, in id
// order.  The page file is a temporary file in `scratchFolder`.  False
// with `error` set when a page cannot be written or read.
bool ReadInventory(DALSource source, uint64_t pageSize, const std::string& scanId,
                   const std::string& scratchFolder,
                   const std::function<bool(const std::string&, const cJSON*)>& line,
                   std::string* error);

int RunScan(const GlobalOptions& global, const std::vector<std::string>& args);
int RunImport(const GlobalOptions& global, const std::vector<std::string>& args);
int RunDecide(const GlobalOptions& global, const std::vector<std::string>& args);
int RunReplay(const GlobalOptions& global, const std::vector<std::string>& args);
int RunMetrics(const GlobalOptions& global, const std::vector<std::string>& args);
int RunExport(const GlobalOptions& global, const std::vector<std::string>& args);
int RunPurge(const GlobalOptions& global, const std::vector<std::string>& args);
int RunDeleteDb(const GlobalOptions& global, const std::vector<std::string>& args);
int RunFlush(const GlobalOptions& global, const std::vector<std::string>& args);
int RunReport(const GlobalOptions& global, const std::vector<std::string>& args);
int RunStatus(const GlobalOptions& global, const std::vector<std::string>& args);
int RunSuggest(const GlobalOptions& global, const std::vector<std::string>& args);

}  // namespace brixctl

#endif  // BRIX_TOOLS_BRIXCTL_COMMANDS_H_
