#include "Options.h"

#include "ModeOptions.h"
#include "brix.h"

namespace brixd {

const char kUsage[] =
    "Usage: brixd --watch DIR [--watch DIR ...] [OPTIONS]\n"
    "\n"
    "Answers the kernel's checks of program starts, library loads and\n"
    "interpreters' opens on the file systems that hold the given folders\n"
    "(through every mount of them) with the brix engine's verdicts, answers\n"
    "every other open at once, and reports changes on them to the engine as\n"
    "drift.  Anything short of the engine's allow gets the failure policy.\n"
    "Runs until SIGTERM or SIGINT; SIGHUP reopens the log file and reloads\n"
    "the rules (changes written to the database by another process are\n"
    "reloaded within a second without it).\n"
    "\n"
    "  --watch DIR           watch the file system holding DIR (repeatable;\n"
    "                        nothing is watched unless named)\n"
    "  --db PATH             rule database (default $BRIX_DB, else\n"
    "                        /var/lib/brix/ac.db); brixd never creates one:\n"
    "                        brixctl scan or import does\n"
    "%s"  // the mode options
    "  --require-manifest    with --lockdown: refuse to start while the database\n"
    "                        holds no agent manifest (until one is imported\n"
    "                        the engine only logs what it would block)\n"
    "  --log-file PATH       brixd's and the engine's log (default: stderr)\n"
    "  --log-level MASK      engine log levels: mask or names such as\n"
    "                        warning,error (default: info,warning,error)\n"
    "  --threads N           threads answering program starts (default 2)\n"
    "  --deadline MS         answer every program start within MS\n"
    "                        milliseconds (default 1000)\n"
    "  --fail-open           the failure policy (past the deadline, on errors,\n"
    "                        unreadable or too large files): allow (the\n"
    "                        default without --lockdown)\n"
    "  --fail-closed         ... deny (the default with --lockdown)\n"
    "  --stats-file PATH     write counters and the decision latency as JSON\n"
    "  --stats-interval S    seconds between stats writes (default 60)\n"
    "  --cache-entries N     digests remembered by file identity (default 65536)\n"
    "  --max-hash-size SIZE  larger files are not hashed: their starts get the\n"
    "                        failure policy (bytes, or with K, M, G; default 256M)\n"
    "  --journal PATH        write decisions that matter as JSON lines (see\n"
    "                        brixctl report and suggest)\n"
    "  --journal-max-size SIZE  rotate the journal at SIZE (default 32M)\n"
    "  --journal-keep N      rotated journals kept (default 3)\n"
    "  --bpf-pin-dir DIR     where the kernel programs that keep lockdown when\n"
    "                        brixd is gone are pinned (a folder on a BPF file\n"
    "                        system; default /sys/fs/bpf/brixd)\n"
    "  --no-bpf              enforce with fanotify alone: lockdown ends with brixd\n"
    "  --release-on-stop     remove the pinned programs when stopped by SIGTERM\n"
    "  --release             remove the pinned programs and exit: the way out of\n"
    "                        a lockdown that outlived brixd\n"
    "  --help                this help\n"
    "  --version             brixd's version\n"
    "\n"
    "Under systemd, decisions (blocked, would be blocked, fail policy) also\n"
    "go to the system journal with fields BRIX_VERDICT, BRIX_PATH,\n"
    "BRIX_PROCESS, BRIX_PID, BRIX_USER, BRIX_KIND and BRIX_REASON.\n";

namespace {

// A byte count, optionally with K, M, G or T (powers of 1024).
bool ParseSize(const std::string& text, uint64_t* bytes) {
  std::string digits = text;
  uint64_t unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': unit = 1ull << 10; break;
      case 'M': case 'm': unit = 1ull << 20; break;
      case 'G': case 'g': unit = 1ull << 30; break;
      case 'T': case 't': unit = 1ull << 40; break;
      default: break;
    }
    if (unit != 1) digits.pop_back();
  }
  uint64_t count = 0;
  const uint64_t limit = (1ull << 40) / unit;
  if (!brix_host::ParseUnsigned(digits, limit, &count) || count == 0) return false;
  *bytes = count * unit;
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* out, std::string* error) {
  Options result;
  result.db = brix_host::DefaultDatabasePath();
  result.log.mask = BRIX_LOG_INFO | BRIX_LOG_WARNING | BRIX_LOG_ERROR;
  bool maintenance = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string inlineValue;
    bool hasInline = false;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name = name.substr(0, equals);
      hasInline = true;
    }
    auto value = [&](std::string* into) {
      if (hasInline) {
        *into = inlineValue;
      } else if (i + 1 < argc) {
        *into = argv[++i];
      } else {
        *error = name + " needs a value";
        return false;
      }
      if (into->empty()) {
        *error = name + " needs a non-empty value";
        return false;
      }
      return true;
    };
    auto number = [&](uint64_t low, uint64_t high, uint64_t* into) {
      std::string text;
      if (!value(&text)) return false;
      if (!brix_host::ParseUnsigned(text, high, into) || *into < low) {
        *error = name + " takes a number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not '" + text + "'";
        return false;
      }
      return true;
    };
    uint32_t bit = 0;
    uint64_t n = 0;
    auto flag = [&]() {
      // "--lockdown=no" must not pass for --lockdown.
      if (hasInline) *error = name + " takes no value";
      return !hasInline;
    };
    if (name == "--help" || name == "-h") {
      if (!flag()) return false;
      result.help = true;
    } else if (name == "--version") {
      if (!flag()) return false;
      result.version = true;
    } else if (name == "--require-manifest") {
      if (!flag()) return false;
      result.requireManifest = true;
    } else if (brix_host::ParseModeFlag(name, &bit)) {
      if (!flag()) return false;
      result.modes.bits |= bit;
    } else if (name == "--maintenance") {
      if (hasInline || i + 2 >= argc) {
        *error = "--maintenance needs START and END";
        return false;
      }
      if (!brix_host::ParseWindow(argv[i + 1], argv[i + 2], &result.modes, error))
        return false;
      i += 2;
      maintenance = true;
    } else if (name == "--watch") {
      std::string folder;
      if (!value(&folder)) return false;
      result.watch.push_back(folder);
    } else if (name == "--db") {
      if (!value(&result.db)) return false;
    } else if (name == "--log-file") {
      if (!value(&result.log.filePath)) return false;
    } else if (name == "--log-level") {
      std::string text;
      if (!value(&text)) return false;
      if (!brix_host::ParseLogMask(text, &result.log.mask)) {
        *error = "--log-level takes a mask from 0 to 15 or level names "
                 "(info,warning,error,trace,all,none), not '" + text + "'";
        return false;
      }
    } else if (name == "--threads") {
      if (!number(1, 256, &n)) return false;
      result.threads = static_cast<unsigned>(n);
    } else if (name == "--deadline") {
      // Below a millisecond the watchdog could not keep it; above a minute
      // a stuck engine would look like a hung machine.
      if (!number(1, 60000, &result.deadlineMillis)) return false;
    } else if (name == "--fail-open" || name == "--fail-closed") {
      if (!flag()) return false;
      const bool open = name == "--fail-open";
      if (result.failPolicyGiven && result.failOpen != open) {
        *error = "--fail-open and --fail-closed exclude each other";
        return false;
      }
      result.failOpen = open;
      result.failPolicyGiven = true;
    } else if (name == "--stats-file") {
      if (!value(&result.statsFile)) return false;
    } else if (name == "--stats-interval") {
      if (!number(1, 86400, &result.statsIntervalSeconds)) return false;
    } else if (name == "--max-hash-size") {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseSize(text, &result.maxHashBytes)) {
        *error = "--max-hash-size takes a size from 1 byte to 1T (as 4096, 64K, 256M, 2G), not '" +
                 text + "'";
        return false;
      }
    } else if (name == "--journal") {
      if (!value(&result.journal)) return false;
    } else if (name == "--journal-max-size") {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseSize(text, &result.journalMaxSize)) {
        *error = "--journal-max-size takes a size (as 64K, 32M, 1G), not '" + text + "'";
        return false;
      }
    } else if (name == "--journal-keep") {
      if (!number(0, 1000, &result.journalKeep)) return false;
    } else if (name == "--bpf-pin-dir") {
      if (!value(&result.bpfPinFolder)) return false;
      if (result.bpfPinFolder.size() < 2 || result.bpfPinFolder[0] != '/' ||
          result.bpfPinFolder.back() == '/') {
        *error = "--bpf-pin-dir takes an absolute folder path, not '" + result.bpfPinFolder + "'";
        return false;
      }
    } else if (name == "--no-bpf") {
      if (!flag()) return false;
      result.noBpf = true;
    } else if (name == "--release") {
      if (!flag()) return false;
      result.release = true;
    } else if (name == "--release-on-stop") {
      if (!flag()) return false;
      result.releaseOnStop = true;
    } else if (name == "--cache-entries") {
      if (!number(0, 100000000, &result.cacheEntries)) return false;
    } else {
      *error = "unknown option " + std::string(argv[i]);
      return false;
    }
  }
  if (maintenance) result.modes.bits |= BRIX_MODE_AUTO_AUTHORIZE;
  // Under lockdown an unanswerable start is an unknown program: deny it,
  // unless the administrator chose otherwise.
  if (!result.failPolicyGiven)
    result.failOpen = (result.modes.bits & BRIX_MODE_LOCKDOWN) == 0;
  if (!result.help && !result.version && !result.release && result.watch.empty()) {
    *error = "nothing to watch: name the folders whose mounts brixd guards with --watch DIR";
    return false;
  }
  *out = std::move(result);
  return true;
}

}  // namespace brixd
