#include "CommandLine.h"

#include <sys/time.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace brixctl {

namespace {

bool TakeDigits(const std::string& text, size_t* pos, size_t count, int* out) {
  if (*pos + count > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[*pos + i];
    if (!isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  *pos += count;
  *out = value;
  return true;
}

bool TakeChar(const std::string& text, size_t* pos, char c) {
  if (*pos < text.size() && text[*pos] == c) {
    ++*pos;
    return true;
  }
  return false;
}

bool ParseIsoTime(const std::string& text, uint64_t* millis) {
  size_t pos = 0;
  struct tm parts {};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  long fraction = 0;  // milliseconds
  if (!TakeDigits(text, &pos, 4, &year) || !TakeChar(text, &pos, '-') ||
      !TakeDigits(text, &pos, 2, &month) || !TakeChar(text, &pos, '-') ||
      !TakeDigits(text, &pos, 2, &day))
    return false;
  if (TakeChar(text, &pos, 'T') || TakeChar(text, &pos, ' ')) {
    if (!TakeDigits(text, &pos, 2, &hour) || !TakeChar(text, &pos, ':') ||
        !TakeDigits(text, &pos, 2, &minute))
      return false;
    if (TakeChar(text, &pos, ':')) {
      if (!TakeDigits(text, &pos, 2, &second)) return false;
      if (TakeChar(text, &pos, '.')) {
        long scale = 100;
        size_t digits = 0;
        while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos]))) {
          fraction += (text[pos] - '0') * scale;
          scale /= 10;
          ++pos;
          ++digits;
        }
        if (digits == 0) return false;
      }
    }
  }
  bool zoned = false;
  long offsetSeconds = 0;
  if (TakeChar(text, &pos, 'Z')) {
    zoned = true;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    int offsetHours = 0, offsetMinutes = 0;
    if (!TakeDigits(text, &pos, 2, &offsetHours)) return false;
    TakeChar(text, &pos, ':');
    if (!TakeDigits(text, &pos, 2, &offsetMinutes)) return false;
    if (offsetHours > 14 || offsetMinutes > 59) return false;
    zoned = true;
    offsetSeconds = sign * (offsetHours * 3600L + offsetMinutes * 60L);
  }
  if (pos != text.size()) return false;
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour > 23 || minute > 59 || second > 60)
    return false;
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  const int requestedDay = day;
  time_t seconds = zoned ? timegm(&parts) - offsetSeconds : mktime(&parts);
  // mktime and timegm roll 31 April over into May; such a date is a typo.
  if (seconds < 0 || parts.tm_mday != requestedDay) return false;
  *millis = static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(fraction);
  return true;
}

bool IsGlobalFlag(const std::string& arg, uint32_t* bit) {
  struct Flag {
    const char* name;
    uint32_t bit;
  };
  static const Flag kFlags[] = {
      {"--lockdown", BRIX_MODE_LOCKDOWN},
      {"--inventory-exists", BRIX_MODE_INVENTORY_EXISTS},
      {"--ruleset-exists", BRIX_MODE_RULESET_EXISTS},
      {"--allowlist-inventory", BRIX_MODE_ALLOWLIST_INVENTORY},
  };
  for (const Flag& flag : kFlags) {
    if (arg == flag.name) {
      *bit = flag.bit;
      return true;
    }
  }
  return false;
}

// Splits "--name=value" into its two halves.
bool SplitInline(const std::string& arg, std::string* name, std::string* value) {
  const size_t equals = arg.find('=');
  if (arg.rfind("--", 0) != 0 || equals == std::string::npos) return false;
  *name = arg.substr(0, equals);
  *value = arg.substr(equals + 1);
  return true;
}

}  // namespace

bool ParseWindow(const std::string& start, const std::string& end,
                 brix_host::Modes* modes, std::string* error) {
  if (!ParseTime(start, &modes->windowStart)) {
    *error = "--maintenance START '" + start +
             "' is neither milliseconds since the epoch nor an ISO date";
    return false;
  }
  if (!ParseTime(end, &modes->windowEnd)) {
    *error = "--maintenance END '" + end +
             "' is neither milliseconds since the epoch nor an ISO date";
    return false;
  }
  // The engine takes a start of 0 for "no window" and an end before the
  // start for "open until now"; neither is what a person typing two
  // times means.
  if (modes->windowStart == 0) {
    *error = "--maintenance START must lie after the epoch";
    return false;
  }
  if (modes->windowEnd <= modes->windowStart) {
    *error = "--maintenance END must lie after START";
    return false;
  }
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool ParseTime(const std::string& text, uint64_t* millis) {
  if (text == "now") {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    *millis = static_cast<uint64_t>(now.tv_sec) * 1000 +
              static_cast<uint64_t>(now.tv_usec) / 1000;
    return true;
  }
  // Eight digits and more without dashes are milliseconds; a date always
  // has its dashes.
  if (text.find('-') == std::string::npos)
    return ParseUnsigned(text, UINT64_MAX - 1, millis);
  return ParseIsoTime(text, millis);
}

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
    } else if (name == "--json") {
      result.global.json = true;
    } else if (IsGlobalFlag(name, &bit)) {
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
