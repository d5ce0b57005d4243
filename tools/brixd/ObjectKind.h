// ObjectKind.h: which opened files are code that may be mapped.
//
// The dynamic loader opens a program's libraries, a dlopen'ed library and
// (when run as `ld.so ./prog`) the program itself with a plain read-only
// open before it maps them executable; fanotify tells brixd nothing of
// the mapping itself.  So the open of an ELF object that can be mapped as
// code (type ET_EXEC, or ET_DYN: shared objects and position-independent
// executables alike) is judged as a mapping; object files (ET_REL), core
// dumps and everything that is not ELF are not code to the loader.  The
// kind is read from the file's first page and remembered by file identity,
// so a file is read once per version; the caller remembers it only for
// files that no user can write (WriteAccess.h).  The cache is safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_OBJECTKIND_H_
#define BRIX_TOOLS_BRIXD_OBJECTKIND_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <unordered_map>

#include "DigestCache.h"

namespace brixd {

enum class ObjectKind : uint8_t {
  kNotElf,
  kExecutable,    // ET_EXEC, or ET_DYN with a program interpreter (PIE)
  kSharedObject,  // ET_DYN without one (the loader itself, most libraries)
  kOtherElf,      // relocatable objects, core dumps, truncated headers
};

inline bool IsCode(ObjectKind kind) {
  return kind == ObjectKind::kExecutable || kind == ObjectKind::kSharedObject;
}

// The kind of a file whose first `length` bytes are `data`.
ObjectKind ObjectKindOf(const unsigned char* data, size_t length);

// Reads the start of the open file `fd` (of size `size`).  With `nowait`
// only what the page cache holds is read: false with *error EAGAIN when
// the read would wait for the disk (the caller hands the event to a
// thread that may wait).  False with *error set on other failures.
bool ReadObjectKind(int fd, uint64_t size, bool nowait, ObjectKind* out, int* error);

// Kinds by file identity; bounded, an arbitrary entry makes room.
class ObjectKindCache {
 public:
  explicit ObjectKindCache(size_t capacity) : capacity_(capacity) {}
  ObjectKindCache(const ObjectKindCache&) = delete;
  ObjectKindCache& operator=(const ObjectKindCache&) = delete;

  bool Find(const FileIdentity& id, ObjectKind* out) const;
  void Insert(const FileIdentity& id, ObjectKind kind);

 private:
  // Constant after construction
  const size_t capacity_;

  // State below is protected by mutex_
  mutable std::shared_mutex mutex_;
  std::unordered_map<FileIdentity, ObjectKind, FileIdentityHash> entries_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_OBJECTKIND_H_
