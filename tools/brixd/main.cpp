// brixd: the brix engine enforcing program starts, libraries and scripts
// on Linux.
//
// Loads brix.so through its exported functions, starts the engine on the
// rule database with the operating modes of the command line, and answers
// the kernel's fanotify checks of program starts, library loads and
// interpreters' opens on the watched file systems with the engine's
// verdicts, while changes on those file systems are reported to the
// engine as drift.  The main thread only waits for
// signals and writes the stats file; the work is done by the monitors'
// own threads.
#include <fcntl.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <thread>

#include "AsyncLog.h"
#include "DigestCache.h"
#include "DriftMonitor.h"
#include "EngineGate.h"
#include "EngineSession.h"
#include "HostEvent.h"
#include "HostStatus.h"
#include "Journal.h"
#include "KernelGuard.h"
#include "ModeOptions.h"
#include "Options.h"
#include "PermissionMonitor.h"
#include "InterpreterCache.h"
#include "ProcessReader.h"
#include "ProcessTable.h"
#include "RuleWatch.h"
#include "ServiceNotify.h"
#include "Stats.h"

namespace brixd {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kStopLimitMillis = 1800;
// Processes remembered for drift: far more than run at once.
constexpr size_t kProcessTableEntries = 32768;
// A change of the rules is applied once the database has been quiet this
// long, and at the latest this long after the first write, so that an
// import's many writes cost few restarts and a change shows within a second.
constexpr uint64_t kReloadQuietNanos = 100000000ull;
constexpr uint64_t kReloadLatestNanos = 400000000ull;
// How long a reload waits for the decisions inside the engine.
constexpr std::chrono::milliseconds kReloadWait{300};
// A failed reload (the database being replaced) is tried again so soon.
constexpr uint64_t kReloadRetryNanos = 250000000ull;

uint64_t EpochMillis() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000ull +
         static_cast<uint64_t>(now.tv_nsec) / 1000000ull;
}

// Set while brixd asks the engine a question of its own: the engine's
// lines about it are not about any real program.
std::atomic<bool> g_probing{false};

void EngineLine(unsigned level, unsigned line, const char* function,
                const char* file, const char* message) {
  if (EngineLinesMuted()) return;  // an interpreter probe's own complaints
  if (g_probing.load(std::memory_order_relaxed)) return;
  // brixd logs every block itself, with the process and user: the
  // engine's own line would only repeat it.
  if (level == BRIX_LOG_WARNING && function != nullptr && strcmp(function, "app_ctl") == 0 &&
      message != nullptr && strncmp(message, "Blocking event:", 15) == 0)
    return;
  if (g_log == nullptr) {
    // The engine may still log while the process unwinds.
    fprintf(stderr, "brixd: engine %s:%u %s: %s\n", file ? file : "?", line,
            function ? function : "?", message ? message : "");
    return;
  }
  g_log->Printf(level, "engine %s:%u %s: %s", file ? file : "?", line,
                function ? function : "?", message ? message : "");
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What can be checked before anything is opened or created.  A start that
// fails here leaves nothing behind and names its cause in one line.
bool Preflight(const Options& options, std::string* error) {
  if (!brix_host::CheckDatabase(options.db, true, error)) {
    if (error->rfind("no rule database", 0) == 0)
      *error += " (brixd never creates one: 'brixctl --db " + options.db +
                " scan DIR...' and 'brixctl --db " + options.db +
                " import agent-manifest FILE' do)";
    return false;
  }
  for (const std::string& folder : options.watch) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
      *error = "cannot watch " + folder + ": " + strerror(errno);
      return false;
    }
  }
  const int group = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
  if (group < 0) {
    *error = std::string("cannot use fanotify: ") + strerror(errno) +
             (errno == EPERM ? " (brixd runs as root: it needs CAP_SYS_ADMIN)" : "");
    return false;
  }
  close(group);
  for (const std::string* path : {&options.log.filePath, &options.journal, &options.statsFile}) {
    if (path->empty()) continue;
    // A missing folder is made later, one level only, under a parent that
    // exists.
    std::string folder = FolderOf(*path);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 && errno == ENOENT) folder = FolderOf(folder);
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      *error = "cannot write " + *path + ": folder " + folder + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

// Makes the folder of `path` when it is missing, readable by root and its
// group only: the guide's first command works on a machine where nothing
// made /var/log/brix yet.
bool MakeFolderFor(const std::string& path, std::string* error) {
  if (path.empty()) return true;
  const std::string folder = FolderOf(path);
  if (mkdir(folder.c_str(), 0750) == 0 || errno == EEXIST) return true;
  *error = "cannot create folder " + folder + ": " + strerror(errno);
  return false;
}

enum class Enforcement { kLogOnly, kLockdown, kWaitingManifest, kUnknown };

// Asks the engine what lockdown does now.  Until an agent manifest is
// imported it lets its blocks through; a program nobody knows shows which
// is the case: blocked, or blocked in the response and let through.  The
// probe names no real file and carries digests no file has, so it can
// match no rule; the engine remembers no process for pid 0.
Enforcement ProbeEnforcement(bool lockdown, std::string* detail) {
  if (!lockdown) return Enforcement::kLogOnly;
  static const unsigned char kSha256[32] = {
      0x62, 0x72, 0x69, 0x78, 0x64, 0x20, 0x6c, 0x6f, 0x63, 0x6b, 0x64,
      0x6f, 0x77, 0x6e, 0x20, 0x70, 0x72, 0x6f, 0x62, 0x65, 0x00, 0x01};
  static const unsigned char kSha1[20] = {0x62, 0x72, 0x69, 0x78, 0x64, 0x00, 0x02};
  static const unsigned char kMd5[16] = {0x62, 0x72, 0x69, 0x78, 0x64, 0x00, 0x03};
  ac_wrapper_event_s probe{};
  probe.type = brix_host::kHostTypeProgramStart;
  probe.pid = 0;
  probe.isexec = 1;
  probe.size = 1;
  probe.processName = "/brixd-lockdown-probe";
  probe.name = "/brixd-lockdown-probe/unknown-program";
  probe.cmdLine = "/brixd-lockdown-probe/unknown-program";
  probe.fileSha256 = kSha256;
  probe.fileSha1 = kSha1;
  probe.fileMd5 = kMd5;
  probe.user = "root";
  probe.group = "root";
  ac_wrapper_response_s response{};
  g_probing.store(true);
  const uint32_t status = app_ctl(nullptr, &probe, &response);
  g_probing.store(false);
  if (status == BRIX_STATUS_BLOCK) return Enforcement::kLockdown;
  if (status == BRIX_STATUS_SUCCESS && response.action == BRIX_ACTION_BLOCK)
    return Enforcement::kWaitingManifest;
  *detail = "an unknown program got " + brix_host::DescribeStatus(status) + ", action " +
            brix_host::ActionName(response.action);
  return Enforcement::kUnknown;
}

void WriteStats(const Options& options, const Stats& stats, const AsyncLog& log,
                DaemonState* state) {
  if (options.statsFile.empty()) return;
  std::string metrics;
  {
    EngineCall call;
    if (brix_host::ReadMetrics(&metrics) != BRIX_STATUS_SUCCESS) metrics.clear();
  }
  state->writtenMillis = EpochMillis();
  std::string error;
  if (!WriteStatsFile(options.statsFile, stats, log.dropped(), metrics, &error, state))
    g_log->Printf(BRIX_LOG_ERROR, "stats: %s", error.c_str());
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// Drops everything brixd remembers that the rules decided: nothing decided
// under the old rules may be answered again.  This is the one place that
// drops them all, called with no thread inside the engine; every new cache
// of verdicts or of allowed files, in brixd or in the kernel, adds its
// drop here.
void DropEveryCache(PermissionMonitor* starts) {
  // Remembered allows, the kernel's ignore marks and its table of allowed
  // versions (the BPF programs'), learnt interpreters.
  starts->DropCaches();
}

// The engine reads trust rules, rule counts and its caches when it starts,
// so a change of the database by another process (brixctl import, scan,
// purge) reaches it by a restart on the same database, done while no
// thread is inside it, followed by DropEveryCache.  False when the engine
// could not be restarted (the caller tries again); events meanwhile get
// the failure policy.
bool ReloadRules(const Options& options, const brix_host::LogSettings& engineLog,
                 brix_host::EngineSession* session, PermissionMonitor* starts, Stats* stats,
                 DaemonState* state, const char* why) {
  const uint64_t began = NowNanos();
  if (!TheEngineGate().Close(kReloadWait)) {
    g_log->Printf(BRIX_LOG_WARNING, "rules changed (%s): a decision is still inside the "
                  "engine; trying again", why);
    return false;
  }
  std::string error;
  bool restarted;
  {
    // The engine's shutdown and start are routine here (two dozen lines
    // each time); a failure is logged below from the session's own words.
    MutedEngineLines muted;
    session->Stop();
    restarted = session->Start(options.db, engineLog, &error) == BRIX_STATUS_SUCCESS;
    if (restarted) {
      const uint32_t status = session->ApplyModes(options.modes);
      if (status != BRIX_STATUS_SUCCESS) {
        restarted = false;
        error = "cannot set the operating modes: " + brix_host::DescribeStatus(status);
      }
    }
  }
  // With the gate still closed: the first decision of the new engine
  // finds nothing of the old one.
  DropEveryCache(starts);
  TheEngineGate().Open();
  if (!restarted) {
    stats->reloadFailures.fetch_add(1, std::memory_order_relaxed);
    g_log->Printf(BRIX_LOG_ERROR, "rules changed (%s) but the engine did not restart: %s; "
                  "decisions get the failure policy until it does", why, error.c_str());
    return false;
  }
  stats->engineReloads.fetch_add(1, std::memory_order_relaxed);
  state->lastReloadMillis = EpochMillis();
  g_log->Printf(BRIX_LOG_INFO, "rules reloaded (%s) in %llu ms", why,
                static_cast<unsigned long long>((NowNanos() - began) / 1000000));
  return true;
}

// Under lockdown the kernel's BPF LSM decides mappings and keeps deciding
// starts when brixd is gone; otherwise what an earlier lockdown pinned is
// removed, or it would go on refusing with a table nobody updates.
// `lockdown`: lockdown enforces.  While the engine waits for its manifest
// it does not, and kernel programs refusing what it lets through would
// make brixd's word on what it enforces untrue.
void StartKernelGuard(const Options& options, bool lockdown, KernelGuard* guard,
                      PermissionMonitor* starts) {
  std::string report;
  if (!lockdown || options.noBpf) {
    struct stat st {};
    if (lstat(options.bpfPinFolder.c_str(), &st) == 0) {
      const bool done = KernelGuard::Release(options.bpfPinFolder, &report);
      g_log->Printf(done ? BRIX_LOG_INFO : BRIX_LOG_ERROR, "%s: %s",
                    lockdown ? "BPF LSM turned off" : "lockdown is off", report.c_str());
    }
    if (lockdown) g_log->Write(BRIX_LOG_WARNING, "BPF LSM not used (--no-bpf): lockdown ends with brixd");
    return;
  }
  if (!guard->Load(options.bpfPinFolder, options.watch, &report)) {
    g_log->Printf(BRIX_LOG_WARNING, "BPF LSM not available: %s", report.c_str());
    // An earlier brixd's programs would refuse every version this one
    // allows, as nobody records them any more.
    struct stat st {};
    if (lstat(options.bpfPinFolder.c_str(), &st) == 0) {
      const bool done = KernelGuard::Release(options.bpfPinFolder, &report);
      g_log->Printf(done ? BRIX_LOG_WARNING : BRIX_LOG_ERROR, "the earlier kernel programs: %s",
                    report.c_str());
    }
    return;
  }
  starts->SetKernelGuard(guard);
  g_log->Printf(BRIX_LOG_INFO,
                "BPF LSM: mappings with execute and program starts on the watched file systems "
                "are decided in the kernel, also without brixd (pinned at %s)",
                options.bpfPinFolder.c_str());
}

int Run(const Options& options) {
  // Signals are taken from a descriptor by the main thread alone; every
  // thread started below inherits the blocked mask.
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGHUP);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
  if (signals < 0) {
    fprintf(stderr, "brixd: signalfd: %s\n", strerror(errno));
    return kExitFailure;
  }

  std::string error;
  if (!Preflight(options, &error)) {
    fprintf(stderr, "brixd: %s\n", error.c_str());
    close(signals);
    return kExitFailure;
  }
  if (!MakeFolderFor(options.log.filePath, &error) || !MakeFolderFor(options.journal, &error) ||
      !MakeFolderFor(options.statsFile, &error)) {
    fprintf(stderr, "brixd: %s\n", error.c_str());
    close(signals);
    return kExitFailure;
  }

  AsyncLog log;
  g_log = &log;
  if (!log.Start(options.log.filePath, UnderSystemd(), &error)) {
    fprintf(stderr, "brixd: %s\n", error.c_str());
    close(signals);
    return kExitFailure;
  }
  // The cause of a failed start comes first on standard error (all that
  // the system journal gets of it under the unit), and into the log file
  // after what the log holds so far.
  const bool logIsFile = !options.log.filePath.empty();
  auto startFailed = [&](const std::string& cause) {
    fprintf(stderr, "brixd: %s\n", cause.c_str());
    if (logIsFile) log.Write(BRIX_LOG_ERROR, cause.c_str());
  };
  auto endLog = [&] {
    log.Stop();
    g_log = nullptr;  // the engine may still log while the process unwinds
    close(signals);
  };

  brix_host::EngineSession session;
  brix_host::LogSettings engineLog = options.log;
  engineLog.filePath.clear();
  engineLog.forward = &EngineLine;
  if (session.Start(options.db, engineLog, &error) != BRIX_STATUS_SUCCESS) {
    startFailed(error);
    endLog();
    return kExitFailure;
  }
  const uint32_t status = session.ApplyModes(options.modes);
  if (status != BRIX_STATUS_SUCCESS) {
    startFailed("cannot set the operating modes: " + brix_host::DescribeStatus(status));
    session.Stop();
    endLog();
    return kExitFailure;
  }
  const bool lockdown = (options.modes.bits & BRIX_MODE_LOCKDOWN) != 0;
  std::string probeDetail;
  const Enforcement enforcement = ProbeEnforcement(lockdown, &probeDetail);
  const std::string importHint =
      "'brixctl --db " + options.db + " import agent-manifest FILE' ends that";
  std::string lockdownText;
  Stats stats;
  switch (enforcement) {
    case Enforcement::kLogOnly:
      lockdownText = "lockdown off (only logging what it would block)";
      stats.enforcement = "log only";
      break;
    case Enforcement::kLockdown:
      lockdownText = "lockdown on";
      stats.enforcement = "lockdown";
      break;
    case Enforcement::kWaitingManifest:
      lockdownText = "lockdown NOT enforced: only logging, because " + options.db +
                     " holds no agent manifest (" + importHint + ")";
      stats.enforcement = "log only: lockdown waits for an agent manifest";
      break;
    case Enforcement::kUnknown:
      lockdownText = "lockdown on, but whether it enforces is unknown: " + probeDetail;
      stats.enforcement = "unknown: " + probeDetail;
      break;
  }
  if (options.requireManifest && (enforcement == Enforcement::kWaitingManifest ||
                                  enforcement == Enforcement::kUnknown)) {
    startFailed(enforcement == Enforcement::kWaitingManifest
                    ? "lockdown refused (--require-manifest): " + options.db +
                          " holds no agent manifest, so lockdown would only log; " + importHint
                    : "lockdown refused (--require-manifest): " + probeDetail);
    session.Stop();
    endLog();
    return kExitFailure;
  }

  DaemonState state;
  state.pid = static_cast<int>(getpid());
  state.startedMillis = EpochMillis();
  state.lockdown = (options.modes.bits & BRIX_MODE_LOCKDOWN) != 0;
  state.maintenance = (options.modes.bits & BRIX_MODE_AUTO_AUTHORIZE) != 0;
  state.windowStart = options.modes.windowStart;
  state.windowEnd = options.modes.windowEnd;
  state.failOpen = options.failOpen;
  state.deadlineMillis = options.deadlineMillis;
  state.watch = options.watch;
  state.db = options.db;
  state.journal = options.journal;
  state.logFile = options.log.filePath;
  DigestCache cache(options.cacheEntries);
  ProcessReader processes;
  PermissionMonitor::Settings settings;
  settings.threads = options.threads;
  settings.deadlineNanos = options.deadlineMillis * 1000000ull;
  settings.failOpen = options.failOpen;
  settings.maxHashBytes = options.maxHashBytes;
  settings.watchdogNanos = ServiceWatchdogNanos();
  settings.lockdown = lockdown;
  ProcessTable table(kProcessTableEntries);
  PermissionMonitor starts(settings, &stats, &cache, &processes, &table);
  DriftMonitor drift(&stats, &cache, &processes, &table, options.maxHashBytes);
  JournalSettings journalSettings;
  journalSettings.path = options.journal;
  journalSettings.maxSize = options.journalMaxSize;
  journalSettings.keep = static_cast<unsigned>(options.journalKeep);
  Journal journal(journalSettings, [](const std::string& problem) {
    g_log->Printf(BRIX_LOG_WARNING, "%s", problem.c_str());
  });
  starts.SetJournal(&journal);
  drift.SetJournal(&journal);
  if (!journal.Start(&error) || !starts.Open(options.watch, &error) ||
      !drift.Open(options.watch, &error)) {
    startFailed(error);
    starts.Stop(UINT64_MAX);
    drift.Stop(UINT64_MAX);
    journal.Stop();
    session.Stop();
    endLog();
    return kExitFailure;
  }
  RuleWatch rules;
  const bool rulesWatched = rules.Open(options.db, &error);
  if (!rulesWatched)
    log.Printf(BRIX_LOG_WARNING, "%s: rule changes apply on SIGHUP or at the next start, "
               "and no verdict is left in the kernel", error.c_str());
  starts.SetRulesWatched(rulesWatched);
  KernelGuard guard;
  StartKernelGuard(options, enforcement == Enforcement::kLockdown, &guard, &starts);
  if (state.lockdown) state.kernelEnforcement = guard.active() ? "loaded" : "not loaded";
  starts.Start();
  drift.Start();
  log.Release();
  // Before the ready line: whoever sees brixd ready finds its state.
  WriteStats(options, stats, log, &state);
  log.Printf(enforcement == Enforcement::kLockdown || enforcement == Enforcement::kLogOnly
                 ? BRIX_LOG_INFO
                 : BRIX_LOG_WARNING,
             "ready: watching %s; %s, maintenance window %s, deadline %llu ms, "
             "fail-%s, %u threads, hash cap %llu bytes",
             Joined(options.watch).c_str(), lockdownText.c_str(),
             (options.modes.bits & BRIX_MODE_AUTO_AUTHORIZE) ? "open" : "closed",
             static_cast<unsigned long long>(options.deadlineMillis),
             options.failOpen ? "open" : "closed", options.threads,
             static_cast<unsigned long long>(options.maxHashBytes));
  NotifyService("READY=1");

  const uint64_t interval = options.statsIntervalSeconds * 1000000000ull;
  uint64_t nextStats = NowNanos() + interval;
  // A change waiting to be applied: when it was first seen (0: none) and
  // when to apply it.
  uint64_t changedFirst = 0, reloadAt = 0;
  for (bool running = true; running;) {
    uint64_t now = NowNanos();
    if (changedFirst != 0 && now >= reloadAt) {
      if (ReloadRules(options, engineLog, &session, &starts, &stats, &state, "database written"))
        changedFirst = 0;
      else
        reloadAt = NowNanos() + kReloadRetryNanos;
      now = NowNanos();
    }
    if (now >= nextStats) {
      WriteStats(options, stats, log, &state);
      nextStats = now + interval;
    }
    const uint64_t wakeAt = changedFirst != 0 ? std::min(nextStats, reloadAt) : nextStats;
    struct pollfd fds[3] = {{signals, POLLIN, 0}, {rules.writes(), POLLIN, 0},
                            {rules.names(), POLLIN, 0}};
    const int ready = poll(fds, 3, wakeAt <= now ? 0 : static_cast<int>((wakeAt - now) / 1000000 + 1));
    if (ready <= 0) continue;
    if ((fds[1].revents | fds[2].revents) & POLLIN) {
      if (rules.Drain()) {
        // What brixd remembers goes at once; the engine is restarted on
        // the new rules once the writes end.
        starts.RulesChanged();
        const uint64_t seen = NowNanos();
        if (changedFirst == 0) changedFirst = seen;
        reloadAt = std::min(seen + kReloadQuietNanos, changedFirst + kReloadLatestNanos);
      }
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    struct signalfd_siginfo info {};
    if (read(signals, &info, sizeof(info)) != sizeof(info)) continue;
    switch (info.ssi_signo) {
      case SIGHUP:
        // systemctl reload: the log after a rotation, and the rules now.
        log.RequestReopen();
        log.Write(BRIX_LOG_INFO, "log file reopened");
        if (ReloadRules(options, engineLog, &session, &starts, &stats, &state, "SIGHUP")) {
          changedFirst = 0;
        } else {
          if (changedFirst == 0) changedFirst = NowNanos();
          reloadAt = NowNanos() + kReloadRetryNanos;
        }
        break;
      case SIGTERM:
      case SIGINT:
        log.Printf(BRIX_LOG_INFO, "stopping on %s", strsignal(static_cast<int>(info.ssi_signo)));
        running = false;
        break;
      default:
        break;
    }
  }

  NotifyService("STOPPING=1");
  // A stop must end within two seconds whatever brixd is doing: a unit's
  // stop timeout or a shutdown waits on it.  Should the engine hold a
  // thread longer (a locked database), the process ends without it.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopLimitMillis));
    fprintf(stderr, "brixd: not stopped within %d ms; ending now\n", kStopLimitMillis);
    _exit(kExitFailure);
  }).detach();
  const bool startsStopped = starts.Stop(300000000ull);
  const bool driftStopped = drift.Stop(800000000ull);
  // After the monitors: their last decisions are still written.
  journal.Stop();
  if (!options.journal.empty())
    log.Printf(BRIX_LOG_INFO, "journal: %llu lines written, %llu records dropped",
               static_cast<unsigned long long>(journal.written()),
               static_cast<unsigned long long>(journal.dropped()));
  state.running = false;
  WriteStats(options, stats, log, &state);
  if (guard.active() && options.releaseOnStop) {
    std::string report;
    KernelGuard::Release(options.bpfPinFolder, &report);
    log.Printf(BRIX_LOG_INFO, "kernel guard: %s (--release-on-stop)", report.c_str());
  }
  if (!startsStopped || !driftStopped) {
    log.Write(BRIX_LOG_ERROR, "stopped without unloading the engine: a thread is still inside it");
    log.Stop();
    _exit(kExitFailure);
  }
  session.Stop();
  log.Printf(BRIX_LOG_INFO, "stopped: %llu program starts, %llu allowed, %llu blocked, "
             "%llu answered at the deadline",
             static_cast<unsigned long long>(stats.execEvents.load()),
             static_cast<unsigned long long>(stats.allowed.load()),
             static_cast<unsigned long long>(stats.blocked.load()),
             static_cast<unsigned long long>(stats.deadlineAnswers.load()));
  log.Stop();
  g_log = nullptr;
  close(signals);
  return kExitOk;
}

}  // namespace

}  // namespace brixd

int main(int argc, char** argv) {
  brixd::Options options;
  std::string error;
  if (!brixd::ParseOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "brixd: %s\nTry 'brixd --help'.\n", error.c_str());
    return brixd::kExitUsage;
  }
  if (options.help) {
    printf(brixd::kUsage, brix_host::kModeOptionsHelp);
    return brixd::kExitOk;
  }
  if (options.version) {
    printf("brixd %s\n", BRIX_HOST_VERSION);
    return brixd::kExitOk;
  }
  if (options.release) {
    std::string report;
    const bool done = brixd::KernelGuard::Release(options.bpfPinFolder, &report);
    fprintf(done ? stdout : stderr, "brixd: %s\n", report.c_str());
    return done ? brixd::kExitOk : brixd::kExitFailure;
  }
  return brixd::Run(options);
}
