// suggest: rulesets that would let what the journals saw keep running.
//
// Three kinds of rule, from the narrowest to the widest:
//   1. an execution rule by hash for each unknown file: it allows exactly
//      that content wherever it lies;
//   2. only when asked (--folder-rules): a trust rule on the target folder
//      where a folder holds at least --folder-threshold unknown files: it
//      allows whatever lies directly in that folder, now and later, so a
//      program put there tomorrow runs too;
//   3. a trust rule on a writer whose output later ran as unknown
//      (a compiler, an updater, an installer): what it writes into those
//      folders is recorded as trusted drift.
// A rule by path is only as safe as the folder is closed to others, so no
// path rule is ever suggested for a world-writable place (/tmp, /var/tmp,
// /dev/shm, a home's Downloads, any folder on the way with the o+w bit, or
// one that cannot be checked on this machine), nor for a general-purpose
// tool as writer (a shell, cp, curl ...): those are listed for review by
// hand, as are files blocked by a rule and files whose start brixd could
// only answer by its fail policy.  The rulesets are written to files in
// the `brixctl import` formats; nothing is imported here.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "Commands.h"
#include "JournalAnalysis.h"
#include "Output.h"

namespace brixctl {

namespace {

using brix_host::JournalKind;

const char kExecutionFile[] = "suggested-rules.json";
const char kExecutionName[] = "suggested-rules";
const char kTrustFile[] = "suggested-trustrules.json";
const char kTrustName[] = "suggested-trustrules";

constexpr uint64_t kDefaultFolderThreshold = 5;
constexpr int kTrustSource = 1;  // the writer of drift is trusted
constexpr int kTrustTarget = 2;  // the target file is trusted

// Folders that anyone may write to by design, whatever their mode says
// on the machine that reads the journal.
const char* const kSharedFolders[] = {"/tmp", "/var/tmp", "/dev/shm"};

// Writers that write whatever they are told to: trusting one trusts
// anything its users hand it.  Names, and name prefixes ending in '*'.
const char* const kGeneralWriters[] = {
    "sh",    "bash",  "dash",  "zsh",   "ksh",    "mksh", "csh",         "tcsh",
    "fish",  "busybox", "cp",  "mv",    "cat",    "tee",  "dd",          "install",
    "ln",    "rsync", "scp",   "sftp-server", "curl", "wget", "git",     "tar",
    "cpio",  "unzip", "python*", "perl*", "ruby*", "php*", "node*",      "lua*",
    "tclsh*", "env",  "sudo",  "su",    "ssh",    "sshd", "rclone"};

bool InFolder(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// Why no path rule may trust `folder`; empty when one may.
std::string UntrustableFolder(const std::string& folder) {
  for (const char* shared : kSharedFolders)
    if (InFolder(folder, shared)) return std::string("lies in ") + shared + ", which anyone may write to";
  // /home/NAME/Downloads and /root/Downloads: what a browser saved.
  const size_t downloads = folder.find("/Downloads");
  if (downloads != std::string::npos) {
    const std::string home = folder.substr(0, downloads);
    const bool isHome = home == "/root" || (home.rfind("/home/", 0) == 0 &&
                                            home.find('/', 6) == std::string::npos);
    const size_t end = downloads + strlen("/Downloads");
    if (isHome && (end == folder.size() || folder[end] == '/'))
      return "lies in a home's Downloads folder";
  }
  if (folder.find_first_of("*?;\\") != std::string::npos)
    return "its name holds a character that rule patterns read as a wildcard or separator";
  // Every folder from the root down: a world-writable one on the way lets
  // others put a folder of the same name in place.
  for (size_t end = 0; end != std::string::npos;) {
    end = folder.find('/', end + 1);
    const std::string prefix = end == std::string::npos ? folder : folder.substr(0, end);
    struct stat st {};
    if (stat(prefix.empty() ? "/" : prefix.c_str(), &st) != 0)
      return "cannot be checked on this machine (" + prefix + ": " + strerror(errno) + ")";
    if (!S_ISDIR(st.st_mode)) return prefix + " is not a folder on this machine";
    if (st.st_mode & S_IWOTH) return (prefix.empty() ? "/" : prefix) + " is world-writable (o+w)";
  }
  return "";
}

bool IsGeneralWriter(const std::string& executable) {
  const std::string name = executable.substr(executable.find_last_of('/') + 1);
  for (const char* entry : kGeneralWriters) {
    const size_t length = strlen(entry);
    if (entry[length - 1] == '*' ? name.compare(0, length - 1, entry, length - 1) == 0
                                 : name == entry)
      return true;
  }
  return false;
}

std::string FileName(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

struct Refusal {
  std::string what;
  std::string reason;
};

struct WriterRule {
  std::string writer;
  std::set<std::string> folders;
  std::set<std::string> outputs;
};

struct Suggestion {
  std::vector<const SeenFile*> hashRules;
  std::vector<const FolderCount*> folderRules;
  std::vector<WriterRule> writerRules;
  std::vector<Refusal> review;
};

// `threshold` 0: no folder rules.
Suggestion Suggest(const JournalAnalysis& analysis, uint64_t threshold) {
  Suggestion out;
  std::set<std::string> trustedFolders;
  for (const FolderCount& folder : analysis.folders) {
    if (threshold == 0 || folder.files.size() < threshold) continue;
    const std::string why = UntrustableFolder(folder.folder);
    if (why.empty()) {
      out.folderRules.push_back(&folder);
      trustedFolders.insert(folder.folder);
    } else {
      out.review.push_back({folder.folder + "/ (" + std::to_string(folder.files.size()) +
                                " unknown files)",
                            "no folder rule: " + why});
    }
  }

  std::set<std::string> hashes;
  for (const SeenFile& file : analysis.unknown) {
    const std::string folder = FolderPart(file.path);
    if (file.blockedByRule) {
      out.review.push_back({file.path, "blocked by a rule: a suggestion never overrides a block"});
    } else if (file.sha256.empty()) {
      out.review.push_back({file.path, "no digest was recorded: it cannot be allowed by hash"});
    } else if (trustedFolders.count(folder) != 0) {
      continue;  // the folder rule covers it
    } else if (const std::string why = UntrustableFolder(folder); !why.empty()) {
      out.review.push_back({file.path + " (sha256 " + file.sha256 + ")",
                            "no rule: its folder " + why});
    } else if (hashes.insert(file.sha256).second) {
      out.hashRules.push_back(&file);
    }
  }

  std::map<std::string, WriterRule> writers;
  std::set<std::string> refusedWriters;
  for (const DriftWrite& write : analysis.drift) {
    if (!write.ranUnknown || write.writer.empty()) continue;
    const std::string folder = FolderPart(write.path);
    std::string why;
    if (IsGeneralWriter(write.writer))
      why = "a general-purpose tool writes whatever it is told: trusting it would trust anything";
    else if (const std::string writerWhy = UntrustableFolder(FolderPart(write.writer));
             !writerWhy.empty())
      why = "the writer itself " + writerWhy;
    else if (const std::string folderWhy = UntrustableFolder(folder); !folderWhy.empty())
      why = "its output folder " + folderWhy;
    if (!why.empty()) {
      if (refusedWriters.insert(write.writer + "\n" + folder).second)
        out.review.push_back({"writer " + write.writer + " of " + write.path,
                              "no process trust: " + why});
      continue;
    }
    WriterRule& rule = writers[write.writer];
    rule.writer = write.writer;
    rule.folders.insert(folder);
    rule.outputs.insert(write.path);
  }
  for (auto& entry : writers) out.writerRules.push_back(std::move(entry.second));

  for (const SeenFile& file : analysis.undecided)
    out.review.push_back({file.path, "answered by brixd's fail policy" +
                                         (file.reason.empty() ? std::string() : " (" + file.reason + ")") +
                                         ": nothing is known of its content"});
  return out;
}

std::string FolderPattern(const std::string& folder) {
  return (folder == "/" ? "" : folder) + "/*";
}

cJSON* ExecutionRuleset(const Suggestion& suggestion) {
  cJSON* root = cJSON_CreateObject();
  cJSON* rules = cJSON_AddArrayToObject(root, "rules");
  for (const SeenFile* file : suggestion.hashRules) {
    cJSON* rule = cJSON_CreateObject();
    cJSON_AddStringToObject(rule, "fileName", FileName(file->path).c_str());
    cJSON_AddStringToObject(rule, "sha256", file->sha256.c_str());
    // The engine keeps sizes as 32-bit numbers; a larger file is named by
    // its digest alone.
    cJSON_AddNumberToObject(rule, "size", file->size <= INT32_MAX ? static_cast<double>(file->size) : 0);
    cJSON_AddStringToObject(rule, "action", "allow");
    cJSON_AddItemToArray(rules, rule);
  }
  return root;
}

cJSON* TrustRuleset(const Suggestion& suggestion) {
  cJSON* root = cJSON_CreateObject();
  cJSON* rules = cJSON_AddArrayToObject(root, "Trustrules");
  for (const FolderCount* folder : suggestion.folderRules) {
    cJSON* rule = cJSON_CreateObject();
    cJSON_AddStringToObject(rule, "paths", FolderPattern(folder->folder).c_str());
    cJSON_AddNumberToObject(rule, "trustType", kTrustTarget);
    cJSON_AddItemToArray(rules, rule);
  }
  for (const WriterRule& writer : suggestion.writerRules) {
    std::string paths;
    for (const std::string& folder : writer.folders)
      paths += (paths.empty() ? "" : ";") + FolderPattern(folder);
    cJSON* rule = cJSON_CreateObject();
    cJSON_AddStringToObject(rule, "processName", writer.writer.c_str());
    cJSON_AddStringToObject(rule, "paths", paths.c_str());
    cJSON_AddNumberToObject(rule, "trustType", kTrustSource);
    cJSON_AddItemToArray(rules, rule);
  }
  return root;
}

// Written beside its final name and renamed into place: a reader never
// sees half a ruleset.
bool WriteDocument(const std::string& path, const cJSON* document, std::string* error) {
  char* text = cJSON_Print(document);
  if (text == nullptr) {
    *error = "cannot format " + path;
    return false;
  }
  const std::string temporary = path + ".partial";
  FILE* out = fopen(temporary.c_str(), "wex");
  if (out == nullptr && errno == EEXIST && unlink(temporary.c_str()) == 0)
    out = fopen(temporary.c_str(), "wex");
  bool ok = out != nullptr;
  if (ok) {
    ok = fputs(text, out) >= 0 && fputc('\n', out) != EOF;
    ok = fclose(out) == 0 && ok;
  }
  cJSON_free(text);
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

// `text` as one shell word.
std::string ShellQuoted(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+=:,@") == std::string::npos)
    return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void PrintText(const Suggestion& suggestion, const std::string& executionPath,
               const std::string& trustPath, const GlobalOptions& global) {
  printf("%s: %zu execution %s by hash\n", executionPath.c_str(), suggestion.hashRules.size(),
         suggestion.hashRules.size() == 1 ? "rule" : "rules");
  for (const SeenFile* file : suggestion.hashRules)
    printf("  allows %s (%s, sha256 %.16s...)\n", file->path.c_str(),
           KindHeading(file->kind), file->sha256.c_str());
  printf("%s: %zu trust %s\n", trustPath.c_str(),
         suggestion.folderRules.size() + suggestion.writerRules.size(),
         suggestion.folderRules.size() + suggestion.writerRules.size() == 1 ? "rule" : "rules");
  for (const FolderCount* folder : suggestion.folderRules)
    printf("  trusts every file directly in %s/ (%zu unknown files seen there): files put\n"
           "    there later, never seen, will run under lockdown too\n",
           folder->folder == "/" ? "" : folder->folder.c_str(), folder->files.size());
  for (const WriterRule& writer : suggestion.writerRules) {
    std::string folders;
    for (const std::string& folder : writer.folders) folders += (folders.empty() ? "" : ", ") + folder + "/";
    printf("  trusts what %s writes directly in %s (%zu of its files ran)\n",
           writer.writer.c_str(), folders.c_str(), writer.outputs.size());
  }
  if (!suggestion.review.empty()) {
    printf("Review by hand (no rule suggested):\n");
    for (const Refusal& refusal : suggestion.review)
      printf("  %s: %s\n", refusal.what.c_str(), refusal.reason.c_str());
  }
  // Named always: a command pasted elsewhere must reach brixd's database.
  const std::string db = " --db " + ShellQuoted(global.db);
  printf("Nothing was imported.  To use these rules (--append keeps the rules you have):\n"
         "  brixctl%s import --append %s %s\n"
         "  brixctl%s import --append %s %s\n",
         db.c_str(), kExecutionName, executionPath.c_str(), db.c_str(), kTrustName,
         trustPath.c_str());
}

void PrintJson(const Suggestion& suggestion, const std::string& executionPath,
               const std::string& trustPath) {
  Json json(cJSON_CreateObject());
  cJSON* root = json.get();
  cJSON* files = cJSON_AddArrayToObject(root, "files");
  const struct {
    const std::string& path;
    const char* name;
    size_t rules;
  } written[] = {
      {executionPath, kExecutionName, suggestion.hashRules.size()},
      {trustPath, kTrustName, suggestion.folderRules.size() + suggestion.writerRules.size()}};
  for (const auto& file : written) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "path", file.path.c_str());
    cJSON_AddStringToObject(item, "importAs", file.name);
    cJSON_AddNumberToObject(item, "rules", static_cast<double>(file.rules));
    cJSON_AddItemToArray(files, item);
  }
  cJSON* hashes = cJSON_AddArrayToObject(root, "hashRules");
  for (const SeenFile* file : suggestion.hashRules) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "path", file->path.c_str());
    cJSON_AddStringToObject(item, "kind", brix_host::JournalKindName(file->kind));
    cJSON_AddStringToObject(item, "sha256", file->sha256.c_str());
    cJSON_AddItemToArray(hashes, item);
  }
  cJSON* folders = cJSON_AddArrayToObject(root, "folderRules");
  for (const FolderCount* folder : suggestion.folderRules)
    cJSON_AddItemToArray(folders, cJSON_CreateString(FolderPattern(folder->folder).c_str()));
  cJSON* writers = cJSON_AddArrayToObject(root, "writerRules");
  for (const WriterRule& writer : suggestion.writerRules) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "writer", writer.writer.c_str());
    cJSON* paths = cJSON_AddArrayToObject(item, "paths");
    for (const std::string& folder : writer.folders)
      cJSON_AddItemToArray(paths, cJSON_CreateString(FolderPattern(folder).c_str()));
    cJSON_AddItemToArray(writers, item);
  }
  cJSON* review = cJSON_AddArrayToObject(root, "review");
  for (const Refusal& refusal : suggestion.review) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "what", refusal.what.c_str());
    cJSON_AddStringToObject(item, "reason", refusal.reason.c_str());
    cJSON_AddItemToArray(review, item);
  }
  PrintJsonLine(root);
}

}  // namespace

int RunSuggest(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("suggest", args,
                        {{"--out", true}, {"--folder-rules", false},
                         {"--folder-threshold", true}, {"--since", true}, {"--until", true}},
                        &parsed, &error))
    return Fail(error);
  const std::string out = parsed.Get("--out", "");
  if (out.empty()) return Fail("suggest needs --out DIR, the folder for the rulesets");
  uint64_t threshold = kDefaultFolderThreshold;
  if (parsed.Has("--folder-threshold") &&
      !ParseUnsigned(parsed.Get("--folder-threshold", ""), 1000000, &threshold))
    return Fail("suggest: --folder-threshold takes a number of files, not '" +
                parsed.Get("--folder-threshold", "") + "'");
  if (threshold < 2)
    return Fail("suggest: --folder-threshold must be at least 2: one file is a hash rule's job");
  if (parsed.Has("--folder-threshold") && !parsed.Has("--folder-rules"))
    return Fail("suggest: --folder-threshold sets when --folder-rules writes a folder rule; "
                "give --folder-rules too");
  if (!parsed.Has("--folder-rules")) threshold = 0;
  JournalAnalysis analysis;
  if (!ReadJournalArgs("suggest", parsed, &analysis)) return kExitError;

  if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST)
    return Fail("suggest: cannot create " + out + ": " + strerror(errno));
  struct stat st {};
  if (stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Fail("suggest: " + out + " is not a folder");

  const Suggestion suggestion = Suggest(analysis, threshold);
  const std::string executionPath = out + "/" + kExecutionFile;
  const std::string trustPath = out + "/" + kTrustFile;
  Json execution(ExecutionRuleset(suggestion));
  Json trust(TrustRuleset(suggestion));
  if (!WriteDocument(executionPath, execution.get(), &error) ||
      !WriteDocument(trustPath, trust.get(), &error))
    return Fail("suggest: " + error);
  if (global.json) PrintJson(suggestion, executionPath, trustPath);
  else PrintText(suggestion, executionPath, trustPath, global);
  return kExitOk;
}

}  // namespace brixctl
