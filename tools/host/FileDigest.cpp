#include "FileDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace brix_host {

namespace {

// Large enough that the three digest updates, not the system calls,
// dominate; small enough to live on every worker thread at once.
constexpr size_t kReadBlock = 256 * 1024;

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// The three running digests of one pass.
class TripleDigest {
 public:
  bool Init() {
    for (size_t i = 0; i < 3; ++i) {
      contexts_[i].reset(EVP_MD_CTX_new());
      if (!contexts_[i] ||
          EVP_DigestInit_ex(contexts_[i].get(), Algorithm(i), nullptr) != 1)
        return false;
    }
    return true;
  }

  bool Update(const void* data, size_t length) {
    for (Context& context : contexts_)
      if (EVP_DigestUpdate(context.get(), data, length) != 1) return false;
    return true;
  }

  bool Final(FileDigests* out) {
    unsigned char* targets[3] = {out->sha256.data(), out->sha1.data(),
                                 out->md5.data()};
    const size_t sizes[3] = {out->sha256.size(), out->sha1.size(),
                             out->md5.size()};
    for (size_t i = 0; i < 3; ++i) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (EVP_DigestFinal_ex(contexts_[i].get(), digest, &length) != 1 ||
          length != sizes[i])
        return false;
      memcpy(targets[i], digest, length);
    }
    return true;
  }

 private:
  static const EVP_MD* Algorithm(size_t i) {
    switch (i) {
      case 0: return EVP_sha256();
      case 1: return EVP_sha1();
      default: return EVP_md5();
    }
  }

  Context contexts_[3];
};

}  // namespace

bool HashBytes(const void* data, size_t length, FileDigests* out) {
  TripleDigest digest;
  if (!digest.Init() || !digest.Update(data, length) || !digest.Final(out))
    return false;
  out->size = length;
  return true;
}

HashEnd HashDescriptorBounded(int fd, const HashLimits& limits, FileDigests* out,
                              std::string* error) {
  TripleDigest digest;
  if (!digest.Init()) {
    *error = "OpenSSL could not set up the digests";
    return HashEnd::kFailed;
  }
  std::vector<unsigned char> block(kReadBlock);
  uint64_t total = 0;
  for (;;) {
    if (limits.stop != nullptr && limits.stop->load(std::memory_order_relaxed)) {
      *error = "stopped";
      return HashEnd::kStopped;
    }
    if (limits.notAfterNanos != 0) {
      struct timespec now {};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec) >
          limits.notAfterNanos) {
        *error = "took too long to hash";
        return HashEnd::kStopped;
      }
    }
    const ssize_t n = pread(fd, block.data(), block.size(), static_cast<off_t>(total));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = strerror(errno);
      return HashEnd::kFailed;
    }
    total += static_cast<uint64_t>(n);
    if (total > limits.maxBytes) {
      *error = "larger than " + std::to_string(limits.maxBytes) + " bytes";
      return HashEnd::kTooLarge;
    }
    if (!digest.Update(block.data(), static_cast<size_t>(n))) {
      *error = "OpenSSL digest update failed";
      return HashEnd::kFailed;
    }
  }
  if (!digest.Final(out)) {
    *error = "OpenSSL digest final failed";
    return HashEnd::kFailed;
  }
  out->size = total;
  return HashEnd::kDone;
}

bool HashDescriptor(int fd, FileDigests* out, std::string* error) {
  return HashDescriptorBounded(fd, HashLimits{}, out, error) == HashEnd::kDone;
}

bool HashFile(const std::string& path, FileDigests* out, std::string* error) {
  // Non-blocking, so that a FIFO swapped in for the file cannot hang us;
  // the type is checked on the open descriptor, not on the name.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = false;
  if (fstat(fd, &st) != 0) {
    *error = strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? "is a folder, not a regular file"
                                 : "not a regular file";
  } else {
    ok = HashDescriptor(fd, out, error);
  }
  close(fd);
  return ok;
}

std::string ToHex(const unsigned char* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return text;
}

bool FromHex(std::string_view text, unsigned char* bytes, size_t length) {
  if (text.size() != 2 * length) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < length; ++i) {
    const int high = nibble(text[2 * i]);
    const int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

}  // namespace brix_host
