// decide: one event built from a real file.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Commands.h"
#include "HostEvent.h"
#include "HostStatus.h"
#include "Output.h"

namespace brixctl {

namespace {

using brix_host::FileOperation;

std::string UserName() {
  if (const passwd* entry = getpwuid(geteuid())) return entry->pw_name;
  return std::to_string(geteuid());
}

std::string GroupName() {
  if (const group* entry = getgrgid(getegid())) return entry->gr_name;
  return std::to_string(getegid());
}

// The program of the process that runs brixctl: the one that "starts"
// the file, as far as a shell user is concerned.
std::string ParentProgram() {
  char target[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(getppid()) + "/exe";
  const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return "";
  return std::string(target, static_cast<size_t>(n));
}

// Finds a program on PATH, as env does.
std::string FindOnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// The interpreter named on a script's "#!" line, with "/usr/bin/env NAME"
// looked up on PATH; empty when the file has no such line.
std::string ShebangInterpreter(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line) || line.rfind("#!", 0) != 0) return "";
  std::istringstream words(line.substr(2));
  std::string interpreter;
  words >> interpreter;
  if (interpreter.empty()) return "";
  const size_t slash = interpreter.find_last_of('/');
  if (interpreter.substr(slash == std::string::npos ? 0 : slash + 1) == "env") {
    std::string word;
    while (words >> word) {
      if (word[0] == '-') continue;  // env's own options, such as -S
      if (word.find('=') != std::string::npos) continue;  // NAME=value
      return FindOnPath(word);
    }
    return "";
  }
  return interpreter;
}

bool ParseKind(const std::string& text, FileOperation::Kind* kind) {
  if (text == "exec") *kind = FileOperation::Kind::kProgramStart;
  else if (text == "mmap") *kind = FileOperation::Kind::kMapping;
  else if (text == "script") *kind = FileOperation::Kind::kScriptOpen;
  else return false;
  return true;
}

// Why an error or no verdict came back, when the event tells.
std::string ExplainError(const FileOperation& operation,
                         const ac_wrapper_event_s& event,
                         const ac_wrapper_response_s& response) {
  if (operation.kind == FileOperation::Kind::kScriptOpen && response.type != 8)
    return "the engine did not take this as a script run: " +
           operation.processPath + " is not an interpreter it knows for " +
           operation.path;
  if (!event.isexec && (response.type == 1 || response.type == 8))
    return operation.path +
           " has no execute permission; the engine judges only executable "
           "programs and scripts";
  return "";
}

// Fills the operation from the command's options and their defaults;
// false with `error` set when an option is wrong or the files are missing.
bool DescribeOperation(const CommandArgs& parsed, FileOperation* operation,
                       std::string* error) {
  operation->path = parsed.positional[0];
  std::string resolved;
  if (!brix_host::ResolvePath(operation->path, &resolved, error)) {
    *error = "cannot read " + operation->path + ": " + *error;
    return false;
  }
  if (!ParseKind(parsed.Get("--type", "exec"), &operation->kind)) {
    *error = "--type must be exec, mmap or script, not '" + parsed.Get("--type", "") + "'";
    return false;
  }
  operation->user = parsed.Get("--user", UserName());
  operation->group = parsed.Get("--group", GroupName());
  operation->pid = static_cast<uint64_t>(getpid());
  if (parsed.Has("--pid") &&
      !ParseUnsigned(parsed.Get("--pid", ""), UINT64_MAX, &operation->pid)) {
    *error = "--pid needs a process id";
    return false;
  }
  const bool script = operation->kind == FileOperation::Kind::kScriptOpen;
  if (parsed.Has("--process")) {
    const std::string process = parsed.Get("--process", "");
    if (!brix_host::ResolvePath(process, &operation->processPath, error)) {
      *error = "cannot find the process " + process + ": " + *error;
      return false;
    }
  } else if (script) {
    const std::string interpreter = ShebangInterpreter(resolved);
    if (interpreter.empty() ||
        !brix_host::ResolvePath(interpreter, &operation->processPath, error)) {
      *error = operation->path +
               " names no interpreter on a #! line that exists; give one with --process";
      return false;
    }
  } else {
    operation->processPath = ParentProgram();
  }
  if (parsed.Has("--cmdline")) {
    operation->commandLine = parsed.Get("--cmdline", "");
  } else if (script) {
    // The engine looks for the script's name on the interpreter's command
    // line when the extension alone does not tell.
    operation->commandLine = operation->processPath + " " + operation->path;
  }
  return true;
}

void PrintDecision(const GlobalOptions& global, const FileOperation& operation,
                   const ac_wrapper_event_s& record, uint32_t status,
                   const ac_wrapper_response_s& response) {
  using namespace brix_host;
  if (global.json) {
    Json json(ResponseToJson(status, response));
    cJSON_AddStringToObject(json.get(), "file", operation.path.c_str());
    cJSON_AddStringToObject(json.get(), "process", operation.processPath.c_str());
    cJSON_AddNumberToObject(json.get(), "hostType", record.type);
    cJSON_AddStringToObject(json.get(), "sha256", ToHex(record.fileSha256, 32).c_str());
    cJSON_AddNumberToObject(json.get(), "size", static_cast<double>(record.size));
    PrintJsonLine(json.get());
    return;
  }
  printf("%s: %s\n", VerdictName(ClassifyResponse(status, response)),
         operation.path.c_str());
  printf("  event          %s by %s (pid %llu, user %s, group %s)\n",
         CategoryName(response.type),
         operation.processPath.empty() ? "(unknown)" : operation.processPath.c_str(),
         static_cast<unsigned long long>(operation.pid), operation.user.c_str(),
         operation.group.c_str());
  printf("  sha256         %s (%llu bytes)\n", ToHex(record.fileSha256, 32).c_str(),
         static_cast<unsigned long long>(record.size));
  printf("  action         %u %s\n", response.action, ActionName(response.action));
  printf("  source         %u %s\n", response.source, SourceName(response.source));
  printf("  authorisation  %u %s\n", response.isAuthorized,
         AuthorisationName(response.isAuthorized));
  printf("  decision       %u %s\n", response.decision, DecisionName(response.decision));
  const std::string ruleset = ResponseRuleset(response);
  printf("  ruleset        %s\n", ruleset.empty() ? "-" : ruleset.c_str());
  printf("  app_ctl        %s\n", DescribeStatus(status).c_str());
}

}  // namespace

int RunDecide(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("decide", args,
                        {{"--type", true}, {"--process", true}, {"--user", true},
                         {"--group", true}, {"--cmdline", true}, {"--pid", true},
                         {"--metrics", false}},
                        &parsed, &error))
    return Fail(error);
  if (parsed.positional.size() != 1)
    return Fail("decide needs exactly one FILE (brixctl decide --help)");

  FileOperation operation;
  if (!DescribeOperation(parsed, &operation, &error)) return Fail("decide: " + error);
  brix_host::HostEvent event;
  if (!brix_host::BuildFileEvent(operation, &event, &error))
    return Fail("decide: cannot read " + operation.path + ": " + error);
  operation.path = *event.Text(&ac_wrapper_event_s::name);

  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kRead, &session)) return kExitError;
  const ac_wrapper_event_s record = event.Record();
  ac_wrapper_response_s response{};
  const uint32_t status = app_ctl(nullptr, &record, &response);
  PrintDecision(global, operation, record, status, response);
  if (parsed.Has("--metrics") && !PrintMetricsDocument(global)) return kExitError;
  session.Stop();

  const std::string why = ExplainError(operation, record, response);
  switch (brix_host::ClassifyResponse(status, response)) {
    case brix_host::Verdict::kBlocked:
      return kExitBlocked;
    case brix_host::Verdict::kError:
      return Fail("decide: the engine could not decide " + operation.path +
                  ": app_ctl: " + brix_host::DescribeStatus(status) +
                  (why.empty() ? "" : "; " + why));
    case brix_host::Verdict::kIgnored:
      if (!why.empty()) Warn(why);
      return kExitOk;
    case brix_host::Verdict::kWaitingManifest:
      Warn("the engine blocks " + operation.path +
           " but lets blocks through until the agent manifest is imported "
           "(brixctl import agent-manifest FILE)");
      return kExitOk;
    default:
      return kExitOk;
  }
}

}  // namespace brixctl
