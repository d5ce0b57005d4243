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
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <thread>

#include "AsyncLog.h"
#include "DigestCache.h"
#include "DriftMonitor.h"
#include "EngineSession.h"
#include "HostStatus.h"
#include "Journal.h"
#include "KernelGuard.h"
#include "ModeOptions.h"
#include "Options.h"
#include "PermissionMonitor.h"
#include "InterpreterCache.h"
#include "ProcessReader.h"
#include "ProcessTable.h"
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

void EngineLine(unsigned level, unsigned line, const char* function,
                const char* file, const char* message) {
  if (EngineLinesMuted()) return;  // an interpreter probe's own complaints
  if (g_log == nullptr) {
    // The engine may still log while the process unwinds.
    fprintf(stderr, "brixd: engine %s:%u %s: %s\n", file ? file : "?", line,
            function ? function : "?", message ? message : "");
    return;
  }
  g_log->Printf(level, "engine %s:%u %s: %s", file ? file : "?", line,
                function ? function : "?", message ? message : "");
}

void WriteStats(const Options& options, const Stats& stats, const AsyncLog& log) {
  if (options.statsFile.empty()) return;
  std::string metrics;
  if (brix_host::ReadMetrics(&metrics) != BRIX_STATUS_SUCCESS) metrics.clear();
  std::string error;
  if (!WriteStatsFile(options.statsFile, stats, log.dropped(), metrics, &error))
    g_log->Printf(BRIX_LOG_ERROR, "stats: %s", error.c_str());
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// Under lockdown the kernel's BPF LSM decides mappings and keeps deciding
// starts when brixd is gone; otherwise what an earlier lockdown pinned is
// removed, or it would go on refusing with a table nobody updates.
void StartKernelGuard(const Options& options, KernelGuard* guard, PermissionMonitor* starts) {
  const bool lockdown = (options.modes.bits & BRIX_MODE_LOCKDOWN) != 0;
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

  AsyncLog log;
  g_log = &log;
  std::string error;
  if (!log.Start(options.log.filePath, &error)) {
    fprintf(stderr, "brixd: %s\n", error.c_str());
    return kExitFailure;
  }

  brix_host::EngineSession session;
  brix_host::LogSettings engineLog = options.log;
  engineLog.filePath.clear();
  engineLog.forward = &EngineLine;
  if (session.Start(options.db, engineLog, &error) != BRIX_STATUS_SUCCESS) {
    log.Printf(BRIX_LOG_ERROR, "%s", error.c_str());
    log.Stop();
    g_log = nullptr;  // the engine may still log while the process unwinds
    fprintf(stderr, "brixd: %s\n", error.c_str());
    return kExitFailure;
  }
  const uint32_t status = session.ApplyModes(options.modes);
  if (status != BRIX_STATUS_SUCCESS) {
    error = "cannot set the operating modes: " + brix_host::DescribeStatus(status);
    log.Printf(BRIX_LOG_ERROR, "%s", error.c_str());
    session.Stop();
    log.Stop();
    g_log = nullptr;  // the engine may still log while the process unwinds
    fprintf(stderr, "brixd: %s\n", error.c_str());
    return kExitFailure;
  }

  Stats stats;
  DigestCache cache(options.cacheEntries);
  ProcessReader processes;
  PermissionMonitor::Settings settings;
  settings.threads = options.threads;
  settings.deadlineNanos = options.deadlineMillis * 1000000ull;
  settings.failOpen = options.failOpen;
  settings.maxHashBytes = options.maxHashBytes;
  settings.watchdogNanos = ServiceWatchdogNanos();
  settings.lockdown = (options.modes.bits & BRIX_MODE_LOCKDOWN) != 0;
  settings.dbPath = options.db;
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
    log.Printf(BRIX_LOG_ERROR, "%s", error.c_str());
    starts.Stop(UINT64_MAX);
    drift.Stop(UINT64_MAX);
    session.Stop();
    log.Stop();
    g_log = nullptr;  // the engine may still log while the process unwinds
    fprintf(stderr, "brixd: %s\n", error.c_str());
    return kExitFailure;
  }
  KernelGuard guard;
  StartKernelGuard(options, &guard, &starts);
  starts.Start();
  drift.Start();
  log.Printf(BRIX_LOG_INFO,
             "ready: watching %s; lockdown %s, maintenance window %s, deadline %llu ms, "
             "fail-%s, %u threads, hash cap %llu bytes",
             Joined(options.watch).c_str(),
             (options.modes.bits & BRIX_MODE_LOCKDOWN) ? "on" : "off",
             (options.modes.bits & BRIX_MODE_AUTO_AUTHORIZE) ? "open" : "closed",
             static_cast<unsigned long long>(options.deadlineMillis),
             options.failOpen ? "open" : "closed", options.threads,
             static_cast<unsigned long long>(options.maxHashBytes));
  WriteStats(options, stats, log);
  NotifyService("READY=1");

  const uint64_t interval = options.statsIntervalSeconds * 1000000000ull;
  uint64_t nextStats = NowNanos() + interval;
  for (bool running = true; running;) {
    const uint64_t now = NowNanos();
    if (now >= nextStats) {
      WriteStats(options, stats, log);
      nextStats = now + interval;
    }
    struct pollfd fd = {signals, POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>((nextStats - now) / 1000000 + 1));
    if (ready <= 0) continue;
    struct signalfd_siginfo info {};
    if (read(signals, &info, sizeof(info)) != sizeof(info)) continue;
    switch (info.ssi_signo) {
      case SIGHUP:
        log.RequestReopen();
        log.Write(BRIX_LOG_INFO, "log file reopened");
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
  WriteStats(options, stats, log);
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
  if (options.release) {
    std::string report;
    const bool done = brixd::KernelGuard::Release(options.bpfPinFolder, &report);
    fprintf(done ? stdout : stderr, "brixd: %s\n", report.c_str());
    return done ? brixd::kExitOk : brixd::kExitFailure;
  }
  return brixd::Run(options);
}
