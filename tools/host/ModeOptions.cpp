#include "ModeOptions.h"

#include <sys/time.h>

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace brix_host {

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

}  // namespace

const char kModeOptionsHelp[] =
    "  --lockdown            block unknown software instead of logging it\n"
    "  --maintenance START END\n"
    "                        maintenance window: new software whose file times\n"
    "                        fall inside it is authorised; START and END are\n"
    "                        milliseconds since the epoch, ISO dates such as\n"
    "                        2024-05-01T08:00 (local time unless a zone is given)\n"
    "                        or \"now\"\n"
    "  --inventory-exists    the host already holds an inventory\n"
    "  --ruleset-exists      the host already holds a ruleset\n"
    "  --allowlist-inventory\n"
    "                        the inventory is being built as an allow list\n";

bool ParseModeFlag(const std::string& option, uint32_t* bit) {
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
    if (option == flag.name) {
      *bit = flag.bit;
      return true;
    }
  }
  return false;
}

bool ParseWindow(const std::string& start, const std::string& end,
                 Modes* modes, std::string* error) {
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

}  // namespace brix_host
