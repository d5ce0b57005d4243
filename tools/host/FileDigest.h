// FileDigest.h: the three digests the engine knows files by.
//
// The engine never reads files for their content; the host computes the
// SHA-256, SHA-1 and MD5 of a target and passes the bytes in the event or
// the inventory item.  These functions compute all three in one pass over
// the data with OpenSSL's EVP interface.  Stateless and thread-safe: every
// call owns its contexts, so any number of threads may hash at once.
#ifndef BRIX_TOOLS_HOST_FILEDIGEST_H_
#define BRIX_TOOLS_HOST_FILEDIGEST_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brix_host {

// A value: the digests of one file's content and the byte count hashed.
struct FileDigests {
  std::array<unsigned char, 32> sha256{};
  std::array<unsigned char, 20> sha1{};
  std::array<unsigned char, 16> md5{};
  uint64_t size = 0;
};

// Digests of a block of bytes.  False only when OpenSSL fails.
bool HashBytes(const void* data, size_t length, FileDigests* out);

// Digests of an open regular file, read from its start to the end.  On
// failure returns false and sets `error` to the reason
// ("Input/output error").
bool HashDescriptor(int fd, FileDigests* out, std::string* error);

// How a bounded hash ended.
enum class HashEnd {
  kDone,      // digests filled
  kFailed,    // read or OpenSSL error; `error` says which
  kTooLarge,  // the file holds more than the cap; nothing hashed
  kStopped,   // the stop flag was raised, or time ran out, before the end
};

// Limits of one hash: a daemon answering the kernel must not read a huge
// file to the end, nor go on once nobody waits for the answer.
struct HashLimits {
  uint64_t maxBytes = UINT64_MAX;
  const std::atomic<bool>* stop = nullptr;  // looked at before every block
  uint64_t notAfterNanos = 0;  // CLOCK_MONOTONIC; 0: no time limit
};

// Digests of an open descriptor from offset 0 (read with pread, so the
// descriptor's position is left alone) within `limits`.  The cap is
// checked against what is read, so a file that grows meanwhile is caught.
HashEnd HashDescriptorBounded(int fd, const HashLimits& limits, FileDigests* out,
                              std::string* error);

// Opens `path` (following symbolic links), checks that it is a regular
// file and hashes it.  On failure returns false and sets `error`, e.g.
// "Permission denied" or "not a regular file".
bool HashFile(const std::string& path, FileDigests* out, std::string* error);

// Lower-case hexadecimal, two digits a byte.
std::string ToHex(const unsigned char* bytes, size_t length);

// Decodes exactly `length` bytes from `text`, which must hold 2 * length
// hexadecimal digits of either case and nothing else.
bool FromHex(std::string_view text, unsigned char* bytes, size_t length);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_FILEDIGEST_H_
