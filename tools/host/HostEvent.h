// HostEvent.h: an event record that owns what it points to.
//
// ac_wrapper_event_s is a flat record of numbers and borrowed pointers.  A
// HostEvent keeps the texts and digests itself and hands out a record
// whose pointers lead into it, valid until the HostEvent changes or dies.
// The field tables name every member exactly as the record does, so event
// traces, logs and the record agree on one vocabulary.  A HostEvent is a
// value; it is not shared between threads.
#ifndef BRIX_TOOLS_HOST_HOSTEVENT_H_
#define BRIX_TOOLS_HOST_HOSTEVENT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FileDigest.h"
#include "brix.h"

namespace brix_host {

// Host event codes of the operations a shell host can produce from a file.
constexpr uint32_t kHostTypeScriptOpen = 15;   // interpreter opens a script
constexpr uint32_t kHostTypeProgramStart = 23;  // exec, before it happens
constexpr uint32_t kHostTypeMapping = 53;       // mmap, before it happens
constexpr uint64_t kMappingProtectionExec = 4;

// The record's members by name.
struct NumberField {
  const char* name;
  uint64_t ac_wrapper_event_s::*member;
};
struct FlagField {
  const char* name;
  uint8_t ac_wrapper_event_s::*member;
};
struct TextField {
  const char* name;
  const char* ac_wrapper_event_s::*member;
};
struct DigestField {
  const char* name;
  const unsigned char* ac_wrapper_event_s::*member;
  size_t size;
};

extern const NumberField kNumberFields[8];
extern const FlagField kFlagFields[4];
extern const TextField kTextFields[24];
extern const DigestField kDigestFields[4];

class HostEvent {
 public:
  HostEvent();

  // Numbers and flags live in the record itself.
  ac_wrapper_event_s& numbers() { return base_; }
  const ac_wrapper_event_s& numbers() const { return base_; }

  // Texts by their index in kTextFields; unset means a null pointer.
  void SetText(size_t index, std::string value) { texts_[index] = std::move(value); }
  const std::optional<std::string>& Text(size_t index) const { return texts_[index]; }
  // By record member, for code that names the field directly.
  void SetText(const char* ac_wrapper_event_s::*member, std::string value);
  const std::optional<std::string>& Text(const char* ac_wrapper_event_s::*member) const;

  // Digests by their index in kDigestFields; the bytes must have the
  // field's size.
  void SetDigest(size_t index, const unsigned char* bytes);
  bool HasDigest(size_t index) const { return digests_[index].has_value(); }

  // The file digests of the target (fileSha256, fileSha1, fileMd5) and its
  // size.
  void SetFileDigests(const FileDigests& digests);

  // The record to hand to app_ctl.  Its pointers lead into this object.
  ac_wrapper_event_s Record() const;

 private:
  ac_wrapper_event_s base_{};  // pointers always null here
  std::array<std::optional<std::string>, std::size(kTextFields)> texts_;
  std::array<std::optional<std::array<unsigned char, 32>>, std::size(kDigestFields)>
      digests_;
};

// What a host knows about one operation on a real file.
struct FileOperation {
  enum class Kind { kProgramStart, kMapping, kScriptOpen };
  Kind kind = Kind::kProgramStart;
  std::string path;         // target; made absolute and resolved
  std::string processPath;  // acting program; empty: not given
  std::string commandLine;  // empty: not given
  std::string user;         // empty: not given
  std::string group;        // empty: not given
  uint64_t pid = 0;
};

// Builds the event a monitor would report for `operation`: the target's
// resolved absolute path, its digests, size, mode and executable bit, and
// the host code of the operation.  False with `error` set when the target
// cannot be resolved, is not a regular file or cannot be read.
bool BuildFileEvent(const FileOperation& operation, HostEvent* event,
                    std::string* error);

// The absolute form of `path` with symbolic links resolved, as the kernel
// reports the file it opens.  False with `error` when it does not exist.
bool ResolvePath(const std::string& path, std::string* resolved,
                 std::string* error);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_HOSTEVENT_H_
