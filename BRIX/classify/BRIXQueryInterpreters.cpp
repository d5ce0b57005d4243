// BRIXQueryInterpreters.cpp: the script interpreter rules, which map a
// running program to its process type.
//
// Rules are walked in order and the first match wins, so a more specific
// rule must come before a broader one (the "java" fragment before
// "python": a name holding both is java).  Callers keep the answer per
// process id in the process cache, so the walk runs once per process.
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "FileUtil.h"

namespace {
constexpr const char* kFile = kLogFileQuery;
}  // namespace

void BRIXQuery::InitScriptInterpreterRules() {
  constexpr ac_interpreter_rule_type kNone = AC_INTERPRETER_RULE_NONE;
  constexpr ac_interpreter_rule_type kPathName =
      AC_INTERPRETER_RULE_PATH_AND_NAME;
  constexpr ac_interpreter_rule_type kName = AC_INTERPRETER_RULE_NAME;
  constexpr ac_interpreter_rule_type kContains =
      AC_INTERPRETER_RULE_NAME_CONTAINS;

  // Rule 0 is a placeholder that the walk skips.  No built-in rule matches
  // by hash; that kind is for rules that carry one.
  std::vector<ScriptInterpreter> rules = {
      // rule  kind       path                  processName
      //       nameFragment    process type (PTI)
      /*  0 */ {kNone,     "", "",                            "", ""},
      /*  1 */ {kName,     "", "powershell.exe",              "", "power"},
      /*  2 */ {kName,     "", "powershell_ise.exe",          "", "power"},
      /*  3 */ {kName,     "", "cmd.exe",                     "", "batch"},
      /*  4 */ {kName,     "", "cscript.exe",                 "", "wscript"},
      /*  5 */ {kName,     "", "wscript.exe",                 "", "wscript"},
      /*  6 */ {kName,     "", "mscorsvw.exe",                "", "dotnet"},
      /*  7 */ {kName,     "", "tiworker.exe",                "", "tiworker"},
      /*  8 */ {kName,     "", "ngentask.exe",                "", "tiworker"},
      /*  9 */ {kName,     "", "ngen.exe",                    "", "tiworker"},
      /* 10 */ {kName,     "", "wmiprvse.exe",                "", "wmiprvse"},
      /* 11 */ {kName,     "", "spoolsv.exe",                 "", "spoolsv"},
      /* 12 */ {kName,     "", "trustedinstaller.exe",        "", "trustedinstaller"},
      /* 13 */ {kName,     "", "RemoteFXvGPUDisablement.exe", "", "trustedinstaller"},
      /* 14 */ {kName,     "", "updateplatform.exe",          "", "trustedinstaller"},
      /* 15 */ {kName,     "", "csc.exe",                     "", "trustedinstaller"},
      /* 16 */ {kName,     "", "msiexec.exe",                 "", "msiexec"},
      /* 17 */ {kName,     "", "mpsigstub.exe",               "", "mpsigstub"},
      /* 18 */ {kName,     "", "sdiagnhost.exe",              "", "sdiagnhost"},
      /* 19 */ {kName,     "", "msmpeng.exe",                 "", "msmpeng"},
      /* 20 */ {kName,     "", "wuauclt.exe",                 "", "msmpeng"},
      /* 21 */ {kName,     "", "cleanmgr.exe",                "", "cleanmgr"},
      /* 22 */ {kName,     "", "mrt.exe",                     "", "mrt"},
      /* 23 */ {kName,     "", "patch.exe",                   "", "patch"},
      /* 24 */ {kName,     "", "dism.exe",                    "", "dism"},
      /* 25 */ {kName,     "", "taskhostw.exe",               "", "svchost"},
      /* 26 */ {kName,     "", "svchost.exe",                 "", "svchost"},
      /* 27 */ {kName,     "", "poqexec.exe",                 "", "poqexec"},
      /* 28 */ {kName,     "", "sh.exe",                      "", "shell"},
      /* 29 */ {kName,     "", "sh",                          "", "shell"},
      /* 30 */ {kName,     "", "processexplorer.exe",         "", "aspentech"},
      /* 31 */ {kName,     "", "aspensplash.exe",             "", "aspentech"},
      /* 32 */ {kName,     "", "iqtask.exe",                  "", "aspentech"},
      /* 33 */ {kName,     "", "sihclient.exe",               "", "sihclient"},
      /* 34 */ {kName,     "", "git.exe",                     "", "web"},
      /* 35 */ {kName,     "", "mismatchop.exe",              "", "mismatchop"},
      /* 36 */ {kName,     "", "devcon.exe",                  "", "driver"},
      /* 37 */ {kName,     "", "pnputil.exe",                 "", "driver"},
      /* 38 */ {kName,     "", "drvinst.exe",                 "", "driver"},
      /* 39 */ {kName,     "", "InfDefaultInstall.exe",       "", "driver"},
      /* 40 */ {kPathName, "/opt/tq_agent/bin/", "tar",       "", "trustedtar"},
      /* 41 */ {kName,     "", "rundll32.exe",                "", "control"},
      /* 42 */ {kName,     "", "hh.exe",                      "", "chm"},
      /* 43 */ {kName,     "", "calibre-parallel.exe",        "", "chm"},
      /* 44 */ {kContains, "", "", "sumatrapdf",                  "chm"},
      /* 45 */ {kName,     "", "cr3.exe",                     "", "chm"},
      /* 46 */ {kName,     "", "freechmreader.exe",           "", "chm"},
      /* 47 */ {kName,     "", "chmviewer.exe",               "", "chm"},
      /* 48 */ {kContains, "", "", "kb2901983",                   "kb2901983"},
      /* 49 */ {kContains, "", "", "kb890830",                    "kb890830"},
      /* 50 */ {kContains, "", "", "mpam-",                       "mpam"},
      /* 51 */ {kContains, "", "", "ie11-windows",                "ie"},
      /* 52 */ {kContains, "", "", "java",                        "java"},
      /* 53 */ {kContains, "", "", "sma_lsam",                    "java"},
      /* 54 */ {kContains, "", "", "python",                      "python"},
      /* 55 */ {kContains, "", "", "php",                         "php"},
      /* 56 */ {kContains, "", "", "nginx",                       "web"},
      /* 57 */ {kContains, "", "", "apache2",                     "web"},
      /* 58 */ {kContains, "", "", "httpd",                       "web"},
      /* 59 */ {kContains, "", "", "lighttpd",                    "web"},
      /* 60 */ {kContains, "", "", "perl",                        "perl"},
      /* 61 */ {kContains, "", "", "bash",                        "shell"},
      /* 62 */ {kContains, "", "", "dash",                        "shell"},
      /* 63 */ {kContains, "", "", "csh",                         "shell"},
      /* 64 */ {kContains, "", "", "ksh",                         "shell"},
      /* 65 */ {kContains, "", "", "kmod",                        "linuxmod"},
      /* 66 */ {kPathName, "/usr/sbin/", "prelink",           "", "prelink"},
      /* 67 */ {kName,     "", "chromium",                    "", "browser"},
      /* 68 */ {kName,     "", "chrome",                      "", "browser"},
      /* 69 */ {kName,     "", "firefox",                     "", "browser"},
  };
  m_scriptInterpreters = std::move(rules);
}

unsigned long BRIXQuery::ApplyInterpreterRule(ac_process_info& process,
                                              ScriptInterpreter& rule) {
  switch (rule.ruleType) {
    case AC_INTERPRETER_RULE_NONE:
      return kNoProcessType;

    case AC_INTERPRETER_RULE_SHA256: {
      const Hash& have = process.hash;
      const Hash& want = rule.hash;
      if (!have.HasBytes() || !want.HasBytes()) return kNoProcessType;
      // Both are SHA-256 values; the size test only guards the compare.
      if (have.GetSize() > want.GetSize() ||
          std::memcmp(want.GetBytes(), have.GetBytes(), have.GetSize()) != 0)
        return kNoProcessType;
      break;
    }

    case AC_INTERPRETER_RULE_PATH_AND_NAME:
      if (process.path != rule.path || process.fileName != rule.processName)
        return kNoProcessType;
      break;

    case AC_INTERPRETER_RULE_NAME:
      if (process.fileName != rule.processName) return kNoProcessType;
      break;

    case AC_INTERPRETER_RULE_NAME_CONTAINS: {
      // The stem: the name without its last extension, so "python3.11"
      // is matched on "python3" but "libjava.so.1" on "libjava.so".
      std::string_view stem = process.fileName;
      stem = stem.substr(0, stem.rfind('.'));
      if (stem.find(rule.nameFragment) == std::string_view::npos)
        return kNoProcessType;
      break;
    }

    default:
      BRIX_LOG(BRIX_WARNING, kFile, "Unknown rule type %d",
               static_cast<int>(rule.ruleType));
      return kNoProcessType;
  }
  return GetProcessTypeId(rule);
}

unsigned long BRIXQuery::GetProcessInterpreterType(ac_process_info& process) {
  BRIX_LOG(BRIX_TRACE, kFile, "GetProcessInterpreterType");
  // Rule 0 is the placeholder; the walk starts after it.
  for (size_t i = 1; i < m_scriptInterpreters.size(); ++i) {
    const unsigned long pti =
        ApplyInterpreterRule(process, m_scriptInterpreters[i]);
    if (pti == kNoProcessType) continue;

    const bool signatureCheck =
        pti < m_processTypes.size() && m_processTypes[pti].signatureCheck;
    BRIX_LOG(BRIX_TRACE, kFile, "Signature check %s",
             signatureCheck ? "true" : "false");
    BRIX_LOG(BRIX_TRACE, kFile, "ScriptInterpreter Match rule match for %s",
             process.fileName.c_str());
    if (!signatureCheck) return pti;
    // A program that only looks like a trusted one by name must prove it by
    // its signature; one that cannot is judged by the later rules.
    if (VerifyCert(process.path + process.fileName)) return pti;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "No ScriptInterpreter Match rule match for %s",
           process.fileName.c_str());
  return kDefaultProcessType;
}

unsigned long BRIXQuery::GetProcessInterpreterType(ac_event& event) {
  ac_process_info process;
  process.pid = event.pid;
  process.path = event.processPath;
  process.fileName = event.processFileName;
  // The hash stays empty: hash rules never match through this overload.
  return GetProcessInterpreterType(process);
}
