// brixctl: use the brix engine from a shell.
//
//   brixctl [--db PATH] [--log-level MASK] decide [options] TARGET
//   brixctl [--db PATH] metrics
//
// `decide` starts the engine on the database, sends one event built from
// the options, and prints the engine's response and its metrics.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "brix.h"

namespace {

const char kUsage[] =
    "usage: brixctl [--db PATH] [--log-level MASK] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  decide [--type CODE] [--pid N] [--process PATH] [--user U]\n"
    "         [--group G] [--cmdline TEXT] [--exec] [--dirty] TARGET\n"
    "      send one event about TARGET and print the verdict and metrics\n"
    "      (CODE is the host event code; 23 = program start, the default)\n"
    "  metrics\n"
    "      print the engine's metrics document\n"
    "\n"
    "options:\n"
    "  --db PATH         rule database (default: ac.db in this folder)\n"
    "  --log-level MASK  engine log lines to stderr: 1 info, 2 warning,\n"
    "                    4 error, 8 trace; add them up (default 0: none)\n";

int LogToStderr(unsigned level, unsigned line, const char* function,
                const char* file, const char* message, unsigned /*length*/) {
  static const char* const kNames[] = {"?", "INFO", "WARNING", "?", "ERROR",
                                       "?", "?",    "?",       "TRACE"};
  fprintf(stderr, "[%s] %s:%u %s: %s\n", level < 9 ? kNames[level] : "?",
          file ? file : "", line, function ? function : "",
          message ? message : "");
  return 0;
}

bool ParseUnsigned(const char* text, uint64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return false;
  *out = v;
  return true;
}

const char* StatusName(uint32_t status) {
  switch (status) {
    case BRIX_STATUS_SUCCESS: return "success";
    case BRIX_STATUS_BLOCK: return "block";
    case BRIX_STATUS_FAILED: return "failed";
    case BRIX_STATUS_NULL_LENGTH: return "null length";
    case BRIX_STATUS_NOT_STARTED: return "engine not started";
    case BRIX_STATUS_BAD_PATH: return "bad or refused path";
    case BRIX_STATUS_DB_INIT_FAILED: return "database could not be opened";
    case BRIX_STATUS_LOGGER_INIT_FAILED: return "logger failed";
    case BRIX_STATUS_NULL_EVENT: return "null event";
    case BRIX_STATUS_INCOMPLETE_ITEM: return "incomplete item";
    case BRIX_STATUS_NULL_RULESET: return "null ruleset";
    case BRIX_STATUS_NULL_START_RECORD: return "null start record";
    case BRIX_STATUS_BUFFER_TOO_SMALL: return "buffer too small";
    default: return "unknown status";
  }
}

const char* ActionName(uint32_t action) {
  switch (action) {
    case BRIX_ACTION_NONE: return "no verdict";
    case BRIX_ACTION_NOT_RELEVANT: return "not relevant";
    case BRIX_ACTION_ERROR: return "error";
    case BRIX_ACTION_ALLOW: return "allow";
    case BRIX_ACTION_BLOCK: return "block";
    default: return "unknown";
  }
}

int Fail(const char* what) {
  fprintf(stderr, "brixctl: %s\n", what);
  return 2;
}

int PrintMetrics() {
  uint32_t length = 0;
  uint32_t status = get_metrics_mem(nullptr, &length);
  // The document may grow between the two calls; retry until it fits.
  std::vector<char> buffer;
  while (status == BRIX_STATUS_BUFFER_TOO_SMALL) {
    buffer.resize(length);
    status = get_metrics_mem(buffer.data(), &length);
  }
  if (status != BRIX_STATUS_SUCCESS) {
    fprintf(stderr, "brixctl: get_metrics_mem: %s (0x%08x)\n",
            StatusName(status), status);
    return 1;
  }
  printf("metrics: %s\n", buffer.data());
  return 0;
}

int Decide(int argc, char** argv) {
  ac_wrapper_event_s event{};
  event.type = 23;
  event.pid = static_cast<uint64_t>(getpid());
  const char* target = nullptr;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "brixctl: %s needs a value\n", name);
        exit(2);
      }
      return argv[++i];
    };
    uint64_t number = 0;
    if (arg == "--type") {
      if (!ParseUnsigned(value("--type"), &number) || number > UINT32_MAX)
        return Fail("--type needs an event code");
      event.type = static_cast<uint32_t>(number);
    } else if (arg == "--pid") {
      if (!ParseUnsigned(value("--pid"), &number))
        return Fail("--pid needs a number");
      event.pid = number;
    } else if (arg == "--process") {
      event.processName = value("--process");
    } else if (arg == "--user") {
      event.user = value("--user");
    } else if (arg == "--group") {
      event.group = value("--group");
    } else if (arg == "--cmdline") {
      event.cmdLine = value("--cmdline");
    } else if (arg == "--exec") {
      event.isexec = 1;
    } else if (arg == "--dirty") {
      event.dirty = 1;
    } else if (!arg.empty() && arg[0] == '-') {
      fprintf(stderr, "brixctl: unknown decide option %s\n", arg.c_str());
      return 2;
    } else if (target == nullptr) {
      target = argv[i];
    } else {
      return Fail("decide takes one target");
    }
  }
  if (target == nullptr) return Fail("decide needs a target path");
  event.name = target;

  ac_wrapper_response_s response{};
  const uint32_t status = app_ctl(nullptr, &event, &response);
  char ruleset[sizeof(response.ruleset) + 1] = {};
  memcpy(ruleset, response.ruleset, sizeof(response.ruleset));
  printf("target: %s\n", target);
  printf("status: 0x%08x (%s)\n", status, StatusName(status));
  printf("action: %u (%s)\n", response.action, ActionName(response.action));
  printf("type: %u  itemType: %u  source: %u  isAuthorized: %u  "
         "decision: %u\n",
         response.type, response.itemType, response.source,
         response.isAuthorized, response.decision);
  printf("ruleset: %s\n", ruleset);
  printf("changeTime: %" PRIu64 "\n", response.changeTime);
  const int rc = PrintMetrics();
  if (rc != 0) return rc;
  return status == BRIX_STATUS_BLOCK ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* db = "ac.db";
  uint64_t mask = 0;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "brixctl: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (arg == "--db") {
      db = argv[++i];
    } else if (arg == "--log-level") {
      if (!ParseUnsigned(argv[++i], &mask) || mask > 15)
        return Fail("--log-level takes a mask from 0 to 15");
    } else {
      fprintf(stderr, "brixctl: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (i >= argc) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[i++];
  if (command != "decide" && command != "metrics") {
    fprintf(stderr, "brixctl: unknown command %s\n%s", command.c_str(),
            kUsage);
    return 2;
  }

  ac_engine_start_s start{};
  start.dbPath = db;
  start.logMask = static_cast<uint32_t>(mask);
  start.logCallback = &LogToStderr;
  const uint32_t status = engine_start(&start);
  if (status != BRIX_STATUS_SUCCESS) {
    fprintf(stderr, "brixctl: engine_start on %s: %s (0x%08x)\n", db,
            StatusName(status), status);
    return 2;
  }
  const int rc = command == "decide" ? Decide(argc - i, argv + i)
                                     : PrintMetrics();
  engine_stop();
  return rc;
}
