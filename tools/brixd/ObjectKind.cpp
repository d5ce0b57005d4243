#include "ObjectKind.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace brixd {

namespace {

constexpr uint16_t kTypeExec = 2;  // ET_EXEC
constexpr uint16_t kTypeDyn = 3;   // ET_DYN
constexpr uint32_t kSegmentInterp = 3;  // PT_INTERP
// One page holds the ELF header and, in every linker's layout, the
// program headers that follow it.
constexpr size_t kHeadBytes = 4096;

// A little- or big-endian field of `width` bytes at `offset`.
uint64_t Field(const unsigned char* data, size_t offset, size_t width, bool little) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    const unsigned byte = data[offset + (little ? width - 1 - i : i)];
    value = (value << 8) | byte;
  }
  return value;
}

}  // namespace

ObjectKind ObjectKindOf(const unsigned char* data, size_t length) {
  if (length < 4 || memcmp(data, "\177ELF", 4) != 0) return ObjectKind::kNotElf;
  if (length < 20) return ObjectKind::kOtherElf;
  const bool wide = data[4] == 2;  // ELFCLASS64
  const bool little = data[5] != 2;  // ELFDATA2MSB is 2
  if ((data[4] != 1 && data[4] != 2)) return ObjectKind::kOtherElf;
  const uint16_t type = static_cast<uint16_t>(Field(data, 16, 2, little));
  if (type == kTypeExec) return ObjectKind::kExecutable;
  if (type != kTypeDyn) return ObjectKind::kOtherElf;
  // ET_DYN: a program interpreter makes it a program (PIE).
  const size_t headerSize = wide ? 64 : 52;
  if (length < headerSize) return ObjectKind::kSharedObject;
  const uint64_t tableOffset = wide ? Field(data, 32, 8, little) : Field(data, 28, 4, little);
  const uint64_t entrySize = Field(data, wide ? 54 : 42, 2, little);
  const uint64_t entries = Field(data, wide ? 56 : 44, 2, little);
  if (entrySize < 4) return ObjectKind::kSharedObject;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t at = tableOffset + i * entrySize;
    if (at > length || length - at < 4) break;  // beyond what was read
    if (Field(data, static_cast<size_t>(at), 4, little) == kSegmentInterp)
      return ObjectKind::kExecutable;
  }
  return ObjectKind::kSharedObject;
}

bool ReadObjectKind(int fd, uint64_t size, bool nowait, ObjectKind* out, int* error) {
  if (size < 4) {
    *out = ObjectKind::kNotElf;
    return true;
  }
  unsigned char head[kHeadBytes];
  struct iovec part = {head, size < kHeadBytes ? static_cast<size_t>(size) : kHeadBytes};
  ssize_t got;
  do {
    got = preadv2(fd, &part, 1, 0, nowait ? RWF_NOWAIT : 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    // A file system without non-blocking reads: the caller reads it where
    // waiting is allowed.
    *error = nowait && errno == EOPNOTSUPP ? EAGAIN : errno;
    return false;
  }
  *out = ObjectKindOf(head, static_cast<size_t>(got));
  return true;
}

bool ObjectKindCache::Find(const FileIdentity& id, ObjectKind* out) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  *out = it->second;
  return true;
}

void ObjectKindCache::Insert(const FileIdentity& id, ObjectKind kind) {
  if (capacity_ == 0) return;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (entries_.size() >= capacity_ && entries_.find(id) == entries_.end())
    entries_.erase(entries_.begin());
  entries_[id] = kind;
}

}  // namespace brixd
