#include "CommandLine.h"

#include <cstring>

namespace brixctl {

namespace {

// Splits "--name=value" into its two halves.
bool SplitInline(const std::string& arg, std::string* name, std::string* value) {
  const size_t equals = arg.find('=');
  if (arg.rfind("--", 0) != 0 || equals == std::string::npos) return false;
  *name = arg.substr(0, equals);
  *value = arg.substr(equals + 1);
  return true;
}

}  // namespace

bool ParseSource(const std::string& text, DALSource* source) {
  struct Name {
    const char* name;
    DALSource source;
  };
  static const Name kNames[] = {
      {"all", DAL_SOURCE_ALL},
      {"agent", DAL_SOURCE_AGENT_RULES},
      {"execution", DAL_SOURCE_EXECUTION_RULES},
      {"scanned", DAL_SOURCE_SCANNED_ITEMS},
      {"drift", DAL_SOURCE_APPROVED_DRIFT},
      {"prelink", DAL_SOURCE_PRELINK},
      {"trust", DAL_SOURCE_TRUST_RULES},
  };
  uint64_t number = 0;
  if (ParseUnsigned(text, DAL_SOURCE_TRUST_RULES, &number)) {
    *source = static_cast<DALSource>(number);
    return true;
  }
  for (const Name& name : kNames) {
    if (text == name.name) {
      *source = name.source;
      return true;
    }
  }
  return false;
}

bool ParseInvocation(int argc, char** argv, Invocation* out, std::string* error) {
  Invocation result;
  bool endOfOptions = false;
  bool levelGiven = false;
  bool maintenance = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
      if (result.command.empty()) {
        result.command = arg;
      } else {
        result.args.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      // Command options still come after the command; keep the marker
      // for the command's own parser.
      if (!result.command.empty()) result.args.push_back(arg);
      endOfOptions = true;
      continue;
    }
    std::string name = arg;
    std::string inlineValue;
    const bool hasInline = SplitInline(arg, &name, &inlineValue);
    auto value = [&](std::string* into) {
      if (hasInline) {
        *into = inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      *into = argv[++i];
      return true;
    };
    uint32_t bit = 0;
    if (name == "--help" || name == "-h") {
      result.help = true;
    } else if (name == "--version") {
      result.version = true;
    } else if (name == "--json") {
      result.global.json = true;
    } else if (brix_host::ParseModeFlag(name, &bit)) {
      result.global.modes.bits |= bit;
    } else if (name == "--db") {
      if (!value(&result.global.db)) return false;
      if (result.global.db.empty()) {
        *error = "--db needs a path";
        return false;
      }
    } else if (name == "--log-file") {
      if (!value(&result.global.log.filePath)) return false;
    } else if (name == "--log-level") {
      std::string text;
      if (!value(&text)) return false;
      if (!brix_host::ParseLogMask(text, &result.global.log.mask)) {
        *error = "--log-level takes a mask from 0 to 15 or level names "
                 "(info,warning,error,trace,all,none), not '" + text + "'";
        return false;
      }
      levelGiven = true;
    } else if (name == "--maintenance") {
      if (hasInline || i + 2 >= argc) {
        *error = "--maintenance needs START and END";
        return false;
      }
      if (!ParseWindow(argv[i + 1], argv[i + 2], &result.global.modes, error))
        return false;
      i += 2;
      maintenance = true;
    } else if (!result.command.empty()) {
      result.args.push_back(arg);  // the command's own option
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (maintenance) result.global.modes.bits |= BRIX_MODE_AUTO_AUTHORIZE;
  // A log file asked for without a level gets everything but the trace.
  if (!result.global.log.filePath.empty() && !levelGiven)
    result.global.log.mask = BRIX_LOG_INFO | BRIX_LOG_WARNING | BRIX_LOG_ERROR;
  *out = std::move(result);
  return true;
}

bool ParseCommandArgs(const std::string& command,
                      const std::vector<std::string>& args,
                      const std::vector<OptionDecl>& declared, CommandArgs* out,
                      std::string* error) {
  CommandArgs result;
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
      result.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      endOfOptions = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    const bool hasInline = SplitInline(arg, &name, &value);
    const OptionDecl* option = nullptr;
    for (const OptionDecl& candidate : declared)
      if (name == candidate.name) option = &candidate;
    if (option == nullptr) {
      *error = command + ": unknown option " + name;
      return false;
    }
    if (result.Has(name)) {
      *error = command + ": " + name + " given twice";
      return false;
    }
    if (option->takesValue && !hasInline) {
      if (i + 1 >= args.size()) {
        *error = command + ": " + name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!option->takesValue && hasInline) {
      *error = command + ": " + name + " takes no value";
      return false;
    }
    result.options[name] = value;
  }
  *out = std::move(result);
  return true;
}

}  // namespace brixctl
