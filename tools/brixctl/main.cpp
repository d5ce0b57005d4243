// brixctl: the brix engine from a shell.
//
// One job per run: brixctl starts the engine on a database, applies the
// operating modes given for this run, does the command and stops the
// engine.  It reaches the engine only through brix.so's exported
// functions, as a host agent does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "HostStatus.h"
#include "Output.h"

namespace brixctl {

namespace {

const char kGlobalHelp[] =
    "Global options (before or after the command):\n"
    "  --db PATH             rule database (default: $BRIX_DB, else\n"
    "                        /var/lib/brix/ac.db, the one brixd uses); only\n"
    "                        scan, import and replay create it\n"
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
    "                        the inventory is being built as an allow list\n"
    "  --log-level MASK      engine log levels: a mask (1 info, 2 warning,\n"
    "                        4 error, 8 trace; add them up) or names such as\n"
    "                        warning,error (default: none; with --log-file:\n"
    "                        info,warning,error)\n"
    "  --log-file PATH       append engine log lines to PATH instead of stderr\n"
    "  --json                machine-readable output\n"
    "  --help                this help; COMMAND --help for a command's\n"
    "  --version             brixctl's version\n"
    "\n"
    "Exit status: 0 success or allowed, 1 blocked (decide) or a trace\n"
    "expectation not met (replay), 2 any error.\n";

const std::vector<Command> kCommands = {
    {"scan", "[--replace] [--threads N] DIR...",
     "Walks the folder trees (or single files), hashes every regular file with\n"
     "SHA-256, SHA-1 and MD5 on all cores and stores each as a scanned item\n"
     "(source 3, on the allow list).  Symbolic links are not followed and\n"
     "pseudo file systems such as /proc are not entered.  Files that cannot\n"
     "be read are skipped, counted and reported with the reason.\n"
     "Files already in the inventory with the same content are not stored\n"
     "again.\n"
     "  --replace    forget every scanned item first (purge source 3)\n"
     "  --threads N  hashing threads (default: one per core)\n",
     &RunScan},
    {"import", "[--append] NAME FILE",
     "Imports the ruleset in FILE under NAME.  The name decides the kind: a\n"
     "name containing \"agent\" is the agent manifest (its \"rules\" become\n"
     "agent rules), one containing \"trustrules\" a trust ruleset\n"
     "(\"Trustrules\" and \"Userlists\"), any other an execution ruleset\n"
     "(\"rules\").  The file is checked before the engine sees it.\n"
     "  --append  keep the rules of that kind already stored (default:\n"
     "            replace them; a manifest replaces every ruleset)\n",
     &RunImport},
    {"decide", "[--type exec|mmap|script] [--process PATH] [--user U] [--group G]\n"
               "             [--cmdline TEXT] [--pid N] [--metrics] FILE",
     "Builds the event a monitor would report for FILE (its resolved path,\n"
     "digests, size and execute permission), lets the engine decide it and\n"
     "prints the verdict: allowed, logged only, blocked or error, with the\n"
     "response's source, authorisation, decision and ruleset.\n"
     "  --type     exec: a program start (default); mmap: an executable\n"
     "             mapping; script: an interpreter opening a script\n"
     "  --process  the acting program (default: for exec and mmap the program\n"
     "             that runs brixctl, for script the interpreter named on\n"
     "             FILE's #! line)\n"
     "  --user, --group  the acting user and group (default: yours)\n"
     "  --cmdline  the acting process's command line (default for script:\n"
     "             \"PROCESS FILE\")\n"
     "  --pid      the acting process id (default: brixctl's)\n"
     "  --metrics  print the metrics document afterwards\n"
     "Exit status: 0 allowed, 1 blocked, 2 error.\n",
     &RunDecide},
    {"replay", "[--metrics] TRACE",
     "Sends every event of the trace to the engine in order and prints one\n"
     "result line per event and a summary.  A trace holds one JSON object a\n"
     "line, with the members of ac_wrapper_event_s (\"type\", \"pid\",\n"
     "\"processName\", \"name\", \"isexec\", \"fileSha256\" as hex ...), and\n"
     "optionally \"expect\" (a verdict: allowed, logged only, blocked, excluded,\n"
     "ignored, drift trusted, drift untrusted, ...) and \"comment\".  Relative\n"
     "paths are taken from the trace's folder.  The whole trace is checked\n"
     "before the first event is sent.\n"
     "  --metrics  print the metrics document after the last event (its\n"
     "             counters cover this replay)\n"
     "Exit status: 0 done, 1 some event did not get its expected verdict.\n",
     &RunReplay},
    {"metrics", "",
     "Prints the engine's metrics document: counters, rulesets, trust rule\n"
     "hits, allow cache and database figures (raw JSON with --json).\n",
     &RunMetrics},
    {"export", "[--source N] [--page-size N] [--scan-id ID] OUT",
     "Writes the inventory to OUT as JSON lines, one item a line, paging\n"
     "through get_inventory by the last item id.  OUT is replaced only when\n"
     "the export is complete.\n"
     "  --source     all (0, default), agent (1), execution (2), scanned (3),\n"
     "               drift (4), prelink (5) or trust (6: trust rules)\n"
     "  --page-size  items a page (default 1000)\n"
     "  --scan-id    the \"scanUuid\" written on every line (default: a new\n"
     "               random id)\n",
     &RunExport},
    {"purge", "SOURCE",
     "Removes the items of one source (agent, execution, scanned, drift,\n"
     "prelink or 1-5), every trust rule and user list (trust or 6), or the\n"
     "whole database (all or 0: deleted and created again empty).\n",
     &RunPurge},
    {"delete-db", "", "Closes and deletes the database file.\n", &RunDeleteDb},
    {"flush", "",
     "Writes the engine's write buffers.  Every brixctl command flushes what\n"
     "it buffered before it ends, so this finds nothing to write unless the\n"
     "engine changes; it is here to exercise flush_db_buffer.\n",
     &RunFlush},
    {"report", "[--since T] [--until T] JOURNAL...",
     "Reads brixd's decision journals (each with its rotated files JOURNAL.1\n"
     "...) and shows what lockdown would have stopped: every unknown program,\n"
     "library and script with its digest, how often, when and by which\n"
     "processes and users it ran; the folders that hold several of them; the\n"
     "files written on watched file systems with their writers; what brixd\n"
     "answered by its fail policy.  Bad and cut-off lines are skipped and\n"
     "counted.  No engine is started.\n"
     "  --since T, --until T  only records inside this time (ISO dates such as\n"
     "                        2026-01-31T08:00, milliseconds, \"now\", or a time\n"
     "                        ago: 30s, 5m, 2h, 7d)\n"
     "With --json one JSON document.\n",
     &RunReport},
    {"suggest", "--out DIR [--folder-rules [--folder-threshold N]] [--since T] [--until T]\n"
                "             JOURNAL...",
     "Writes rulesets that would let what the journals saw keep running:\n"
     "DIR/suggested-rules.json (execution rules by hash, one per unknown\n"
     "file) and DIR/suggested-trustrules.json (trust rules for writers such\n"
     "as compilers whose output later ran and, with --folder-rules, for\n"
     "folders that hold at least N unknown files).  No rule ever trusts a world-writable folder (/tmp,\n"
     "/var/tmp, /dev/shm, a home's Downloads, any folder with the o+w bit)\n"
     "or a general-purpose tool by path: those are listed for review by hand.\n"
     "Prints what each file would allow and what was refused and why.\n"
     "Nothing is imported: use brixctl import --append on the files.\n"
     "  --out DIR               folder for the rulesets (created if missing)\n"
     "  --folder-rules          trust whole folders instead of their files' hashes:\n"
     "                          any file put there later runs too\n"
     "  --folder-threshold N    unknown files that make a folder rule (default 5)\n"
     "  --since T, --until T    as for report\n",
     &RunSuggest},
    {"status", "[--stats-file F]",
     "Shows brixd's state: whether it runs (and should), its mode (log-only,\n"
     "lockdown, a maintenance window and until when), the fail policy, what\n"
     "it watches, whether kernel-side enforcement is loaded, the database's\n"
     "size and rule counts, the journal's path and size, when the rules were\n"
     "last reloaded, and the counters since brixd started: allowed, blocked,\n"
     "failure-policy answers by reason, decision latency p50 and p99.  Read\n"
     "from brixd's stats file and /proc; no engine is started, and any user\n"
     "sees what the files let them read.\n"
     "  --stats-file F  brixd's stats file (default /run/brix/stats.json, as\n"
     "                  the unit writes it)\n"
     "With --json one JSON document; members brixd did not write are left out.\n"
     "Exit status: 0, or 3 when brixd should run (its unit is enabled, or it\n"
     "ended without a stop) and does not.\n",
     &RunStatus},
};

}  // namespace

const std::vector<Command>& Commands() { return kCommands; }

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

void PrintToolHelp(FILE* out) {
  // brixctl(1) is made from this text: "Usage:" and a second column on
  // every command line are what the generator reads.
  fputs("Usage: brixctl [GLOBAL OPTIONS] COMMAND [ARGS...]\n\nCommands:\n", out);
  for (const Command& command : kCommands)
    fprintf(out, "  %-10s %s\n", command.name,
            *command.synopsis ? command.synopsis : "(no arguments)");
  fputs("\n", out);
  fputs(kGlobalHelp, out);
}

void PrintCommandHelp(const Command& command, FILE* out) {
  // report and suggest only read journals: the engine's options mean
  // nothing to them.
  const bool engine = strcmp(command.name, "report") != 0 && strcmp(command.name, "suggest") != 0;
  fprintf(out, "Usage: brixctl [%s] %s %s\n\n%s\n", engine ? "GLOBAL OPTIONS" : "--json",
          command.name, command.synopsis, command.help);
  if (engine) {
    fputs(kGlobalHelp, out);
  } else if (strcmp(command.name, "suggest") == 0) {
    fputs("Global options:\n"
          "  --db PATH   the database the printed import commands name (default:\n"
          "              $BRIX_DB, else /var/lib/brix/ac.db); it is not opened\n"
          "  --json      machine-readable output\n",
          out);
  } else {
    fputs("Global options:\n  --json      machine-readable output\n", out);
  }
}

bool StartEngine(const GlobalOptions& global, DbAccess access,
                 brix_host::EngineSession* session) {
  std::string error;
  bool created = false;
  struct stat st {};
  if (access == DbAccess::kCreate && stat(global.db.c_str(), &st) != 0 && errno == ENOENT) {
    // Made here, empty, so that it gets the mode of brixd's files: rules
    // and inventory are nobody else's business.  The engine takes an
    // empty file for a new database.
    const int fd = open(global.db.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
      Fail("cannot create the rule database " + global.db + ": " + strerror(errno));
      return false;
    }
    fchmod(fd, 0640);  // whatever the umask says
    close(fd);
    created = true;
  } else if (!brix_host::CheckDatabase(global.db, access != DbAccess::kRead, &error)) {
    if (error.rfind("no rule database", 0) == 0)
      error += " (brixctl --db " + global.db + " scan or import creates one)";
    Fail(error);
    return false;
  }
  if (session->Start(global.db, global.log, &error) != BRIX_STATUS_SUCCESS) {
    if (created) unlink(global.db.c_str());
    Fail(error);
    return false;
  }
  const uint32_t status = session->ApplyModes(global.modes);
  if (status != BRIX_STATUS_SUCCESS) {
    Fail("cannot set the operating modes: set_config: " +
         brix_host::DescribeStatus(status));
    return false;
  }
  return true;
}

cJSON* ReadMetricsJson() {
  std::string text;
  const uint32_t status = brix_host::ReadMetrics(&text);
  if (status != BRIX_STATUS_SUCCESS) {
    Fail("cannot read the metrics: get_metrics_mem: " +
         brix_host::DescribeStatus(status));
    return nullptr;
  }
  cJSON* json = cJSON_Parse(text.c_str());
  if (json == nullptr) Fail("the engine's metrics document is not valid JSON");
  return json;
}

}  // namespace brixctl

int main(int argc, char** argv) {
  using namespace brixctl;
  Invocation invocation;
  std::string error;
  if (!ParseInvocation(argc, argv, &invocation, &error))
    return Fail(error + " (brixctl --help lists the options)");

  if (invocation.version) {
    printf("brixctl %s\n", BRIX_HOST_VERSION);
    return kExitOk;
  }
  if (invocation.command.empty()) {
    if (invocation.help) {
      PrintToolHelp(stdout);
      return kExitOk;
    }
    PrintToolHelp(stderr);
    return Fail("no command given");
  }
  if (invocation.command == "help") {
    if (invocation.args.empty()) {
      PrintToolHelp(stdout);
      return kExitOk;
    }
    const Command* command = FindCommand(invocation.args[0]);
    if (command == nullptr)
      return Fail("unknown command '" + invocation.args[0] + "'");
    PrintCommandHelp(*command, stdout);
    return kExitOk;
  }
  const Command* command = FindCommand(invocation.command);
  if (command == nullptr)
    return Fail("unknown command '" + invocation.command +
                "' (brixctl --help lists the commands)");
  if (invocation.help) {
    PrintCommandHelp(*command, stdout);
    return kExitOk;
  }
  return command->run(invocation.global, invocation.args);
}
