// ModeOptions.h: the words a person types for numbers, times and the
// maintenance window, shared by every host front end so that brixctl and
// brixd accept exactly the same command lines for the operating modes.
// Plain functions; safe from any thread.
#ifndef BRIX_TOOLS_HOST_MODEOPTIONS_H_
#define BRIX_TOOLS_HOST_MODEOPTIONS_H_

#include <cstdint>
#include <string>

#include "EngineSession.h"

namespace brix_host {

// A decimal number from 0 to `limit`.
bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* out);

// Milliseconds since the epoch from a number of milliseconds, "now", or
// an ISO 8601 date and time: 2024-05-01, 2024-05-01T08:30,
// 2024-05-01T08:30:15, 2024-05-01 08:30:15.250Z, 2024-05-01T08:30+02:00.
// Without a zone the time is local.
bool ParseTime(const std::string& text, uint64_t* millis);

// The maintenance window's bounds; END must lie after START.  Sets the
// bounds in `modes` (not the mode bit).
bool ParseWindow(const std::string& start, const std::string& end,
                 Modes* modes, std::string* error);

// The mode switches without a value ("--lockdown", "--inventory-exists",
// "--ruleset-exists", "--allowlist-inventory"): their BRIX_MODE_* bit.
bool ParseModeFlag(const std::string& option, uint32_t* bit);

// Help text lines for the mode options, identical in every tool.
extern const char kModeOptionsHelp[];

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_MODEOPTIONS_H_
