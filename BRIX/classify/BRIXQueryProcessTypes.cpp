// BRIXQueryProcessTypes.cpp: the built-in process type table.
//
// A row's position is its process type index (PTI).  Indexes are compared
// against literals (2 is prelink) and kept in the process cache between
// events, so rows are only ever appended, never reordered or removed.
#include <string>
#include <utility>
#include <vector>

#include "BRIXQuery.h"

void BRIXQuery::InitProcessTypes() {
  // Flag cells, in the order isInterpreter (I), isNormal (N), trustedUpdate
  // (T), signatureCheck (S).
  constexpr bool X = true;
  constexpr bool _ = false;
  // Operation filter of trusted updates: any operation, or only a completed
  // rename (the host's code 40).
  constexpr ac_type kAny = AC_TYPE_NONE;
  constexpr ac_type kRenamed = AC_HOST_RENAME_POST;

  // Windows paths are raw strings: each backslash is one stored character.
  std::vector<ProcessType> types = {
      // PTI   name                I  N  T  S  op
      //       extensions
      //       paths
      //       enableSetting
      /*  0 */ {"",                _, _, _, _, kAny, {}, {}, ""},
      /*  1 */ {"normal",          _, X, _, _, kAny, {}, {}, ""},
      /*  2 */ {"prelink",         _, _, X, _, kRenamed, {}, {}, ""},
      /*  3 */ {"java",            X, _, X, _, kAny,
                {"class", "jar", "ear", "war"},
                {"/opt/IBM/WebSphere/AppServer/profiles",
                 "/opt/apps/lsam18s/tmp/SMA"},
                ""},
      /*  4 */ {"python",          X, _, _, _, kAny,
                {"py", "pyc", "pyo", "pyz", "pyd", "rb", "erb"}, {}, ""},
      /*  5 */ {"php",             X, _, _, _, kAny, {"php"}, {}, ""},
      /*  6 */ {"web",             X, _, X, _, kAny,
                {"php", "py", "pyc", "pyo", "pyz", "pyd", "rb", "erb"},
                {R"(\xampp\htdocs\portal)"},
                ""},
      /*  7 */ {"perl",            X, _, _, _, kAny, {"pl"}, {}, ""},
      /*  8 */ {"shell",           X, _, X, _, kAny,
                {"sh"},
                {"/opt/IBM/WebSphere/AppServer/profiles",
                 "/opt/apps/lsam18s/tmp/SMA"},
                ""},
      /*  9 */ {"power",           X, _, X, _, kAny,
                {"ps1", "psm1"},
                {R"(\temp\)", R"(\AppData\Local\Microsoft_Corporation\)"},
                ""},
      /* 10 */ {"batch",           X, _, _, _, kAny, {"bat", "cmd"}, {}, ""},
      /* 11 */ {"wscript",         X, _, _, _, kAny,
                {"wsh", "vb", "vbs", "js", "jse", "ws", "wsf"}, {}, ""},
      /* 12 */ {"sihclient",       X, _, X, _, kAny,
                {"dll"}, {R"(\windows\softwaredistribution\)"}, ""},
      /* 13 */ {"linuxmod",        X, _, X, _, kAny, {"ko"}, {"/tq_agent/"}, ""},
      /* 14 */ {"driver",          X, _, X, _, kAny,
                {"inf", "sys"}, {R"(\quorvex\)"}, ""},
      /* 15 */ {"trustedtar",      _, _, X, _, kAny, {}, {"/opt/tq_agent/"}, ""},
      /* 16 */ {"control",         X, _, _, _, kAny, {"cpl"}, {}, ""},
      /* 17 */ {"dotnet",          _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\windows\assembly)"}, ""},
      /* 18 */ {"spoolsv",         _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\windows\system32\spool\drivers)",
                 R"(\windows\syswow64)"},
                ""},
      /* 19 */ {"patch",           _, _, X, _, kAny, {}, {R"(\zorn\)"}, ""},
      /* 20 */ {"wmiprvse",        _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\windows\microsoft.net)"}, ""},
      /* 21 */ {"sdiagnhost",      _, _, X, _, kAny, {}, {R"(\temp\)"}, ""},
      /* 22 */ {"mpam",            _, _, X, _, kAny, {}, {R"(\temp\)"}, ""},
      /* 23 */ {"cleanmgr",        _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\users\)"}, ""},
      /* 24 */ {"dism",            _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\users\)"}, ""},
      /* 25 */ {"ie",              _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\users\)"}, ""},
      /* 26 */ {"mrt",             _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\windows\system32\)"}, ""},
      /* 27 */ {"poqexec",         _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\program files)", R"(\windows\system32)"},
                ""},
      /* 28 */ {"trustedinstaller", _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\windows\softwaredistribution)",
                 R"(\windows\winsxs)", R"(\windows\system32)",
                 R"(\windows\syswow64)", R"(\users)"},
                ""},
      /* 29 */ {"msiexec",         _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\windows\)", R"(\program files\quorvex)"},
                ""},
      /* 30 */ {"mpsigstub",       _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\windows\system32)"}, ""},
      /* 31 */ {"msmpeng",         _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\programdata\microsoft)",
                 R"(\windows\winsxs)", R"(\windows\softwaredistribution\)"},
                ""},
      /* 32 */ {"kb2901983",       _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\8b5bc664f2d37f112f84bdc9)"}, ""},
      /* 33 */ {"kb890830",        _, _, X, _, kAny,
                {}, {R"(\temp\)", R"(\windows\system32)"}, ""},
      /* 34 */ {"svchost",         _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\windows\winsxs)", R"(\windows\microsoft.net)",
                 R"(\windows\softwaredistribution)"},
                ""},
      /* 35 */ {"tiworker",        _, _, X, _, kAny,
                {},
                {R"(\temp\)", R"(\boot\)", R"(\windows\system32)",
                 R"(\windows\assembly)", R"(\windows\winsxs)",
                 R"(\windows\softwaredistribution\download)",
                 R"(\windows\microsoft.net)", R"(\windows\inf)"},
                ""},
      /* 36 */ {"aspentech",       _, _, X, _, kAny,
                {}, {R"(\aspentech\)", R"(\safenet sentinel\)"}, ""},
      /* 37 */ {"mismatchop",      X, _, X, _, kRenamed, {}, {R"(\temp\)"}, ""},
      /* 38 */ {"chm",             X, _, _, _, kAny, {"chm"}, {}, "enableHTML"},
      /* 39 */ {"browser",         X, _, _, _, kRenamed,
                {"html", "htm", "js"}, {}, "enableHTML"},
  };
  m_processTypes = std::move(types);
}
