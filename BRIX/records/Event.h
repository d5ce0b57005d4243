// Event.h: the engine's internal event record and the codes stored in it.
//
// ac_event is the owning form of one host event: the host's texts as
// strings, its digests as Hash values, and everything the engine derives
// and decides (category, operation, verdict, source, authorisation).  It
// lives on the stack of the call that made it; copies (buffered inventory
// writes) own their data.
#ifndef BRIX_EVENT_H_
#define BRIX_EVENT_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "Hash.h"

// Host type codes and the internal categories and operations written to
// ac_event::type and ac_event::op.
enum ac_type : uint32_t {
  AC_TYPE_NONE = 0,
  // Internal categories (type) and operations (op).
  AC_TYPE_PROGRAM_START = 1,
  AC_TYPE_ATTRIBUTE = 4,  // op: attribute change; type: file-system change
  AC_TYPE_FILE_SYSTEM = 4,
  AC_TYPE_RENAME = 5,
  AC_TYPE_WRITE = 6,
  AC_TYPE_DELETE = 7,
  AC_TYPE_SCRIPT_START = 8,
  AC_TYPE_MMAP = 9,
  AC_TYPE_RUN_BLOCKED = 10,
  AC_TYPE_RUN_LOG_ONLY = 11,
  // Host codes.
  AC_HOST_CREATE_PRE = 15,
  AC_HOST_CREATE_POST = 16,
  AC_HOST_CLEANUP_PRE = 17,
  AC_HOST_EXEC_PRE = 23,
  AC_HOST_CREATE_PRE2 = 29,
  AC_HOST_OPEN_POST = 30,
  AC_HOST_CHMOD_POST = 32,
  AC_HOST_CHMOD_POST2 = 34,
  AC_HOST_CLOSE_POST = 36,
  AC_HOST_RENAME_POST = 40,
  AC_HOST_CHOWN_POST = 42,
  AC_HOST_CHOWN_POST2 = 44,
  AC_HOST_CHOWN_POST3 = 46,
  AC_HOST_CHOWN_POST4 = 48,
  AC_HOST_DELETE_POST = 50,
  AC_HOST_MMAP_PRE = 53,
  AC_HOST_DELETE_POST2 = 57,
};

// Verdicts (ac_event::action).
enum ac_action : uint32_t {
  AC_ACTION_NONE = 0,
  AC_ACTION_NOT_RELEVANT = 7,
  AC_ACTION_ERROR = 8,
  AC_ACTION_ALLOW = 9,
  AC_ACTION_BLOCK = 10,
};

// Rule-store decisions (ac_event::decision).
enum ac_decision : uint32_t {
  AC_DECISION_UNKNOWN = 0,
  AC_DECISION_ALLOWED = 1,
  AC_DECISION_BLOCKED = 2,
};

// Authorisation states (ac_event::isAuthorized).
enum ac_authorization : uint32_t {
  AC_AUTH_NOT_AUTHORIZED = 0,
  AC_AUTH_MAINTENANCE_WINDOW = 1,
  AC_AUTH_NOT_APPROVED = 2,
  AC_AUTH_ALLOW_LIST = 3,
  AC_AUTH_TRUSTED = 4,
  AC_AUTH_EXCLUDED = 5,
};

inline constexpr int kIssuerFieldCount = 6;  // CN, C, S, L, O, OU
// The item type of an event that nothing has classified yet.
inline constexpr uint32_t kDefaultItemType = 1;

struct ac_event {
  ac_event() = default;
  ac_event(const ac_event&) = default;
  ac_event& operator=(const ac_event&) = delete;  // no part assigns events
  ~ac_event() = default;

  uint64_t auxiliary0 = 0;
  uint64_t pid = 0;
  uint64_t auxiliary1 = 0;
  uint64_t flags = 0;
  uint64_t result = 0;
  uint64_t driftTrust = 0;
  uint64_t auxiliary2 = 0;
  uint64_t size = 0;
  uint64_t auxiliary4 = 0;
  uint64_t mode = 0;
  uint64_t auxiliary3 = 0;
  uint64_t auxiliary5 = 0;
  uint64_t auxiliary6 = 0;
  uint64_t recordTime = 0;
  bool dirty = false;
  bool isexec = false;
  bool lockdownBlocked = false;
  bool trusted = false;
  bool isSymlink = false;
  uint32_t action = AC_ACTION_NONE;
  uint32_t type = AC_TYPE_NONE;
  uint32_t op = AC_TYPE_NONE;
  uint32_t reserved = 0;
  uint32_t decision = AC_DECISION_UNKNOWN;
  uint32_t itemType = kDefaultItemType;
  uint32_t source = 0;
  uint32_t isAuthorized = AC_AUTH_NOT_AUTHORIZED;
  std::string processName;
  std::string processPath;
  std::string processFileName;
  std::string fileName;
  std::string name;
  std::string extension;
  std::string path;
  std::string oldName;
  std::string lookupName;
  std::string nativePath;
  std::string text1;
  std::string text2;
  std::string user;
  std::string group;
  std::string text3;
  std::string ruleset;
  std::string cmdLine;
  std::string processSignerName;
  std::string processIssuer[kIssuerFieldCount];
  std::string processCompanyName;
  std::string processProductName;
  std::string fileSignerName;
  std::string fileIssuer[kIssuerFieldCount];
  std::string fileCompanyName;
  std::string fileProductName;
  struct stat stat = {};
  SHA256Hash fileSha256;
  SHA1Hash fileSha1;
  MD5Hash fileMd5;
  SHA256Hash processSha256;
};

// The acting process of an event, as the abstraction sees it.
struct ac_process_info {
  uint64_t pid = 0;
  std::string path;      // directory of the image, with its trailing "/"
  std::string fileName;  // last component of the image path
  SHA256Hash hash;
};

#endif  // BRIX_EVENT_H_
