// The limits brixd hashes within: a size cap, a stop flag and a time
// limit, each ending the hash early with its own outcome.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "FileDigest.h"
#include "test_util.h"

namespace {

class BrixdHashLimitsTest : public TempDirTest {
 protected:
  int OpenFile(size_t size) {
    const std::string path = PathIn("data");
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
};

TEST_F(BrixdHashLimitsTest, EachLimitEndsTheHashWithItsOwnOutcome) {
  const int fd = OpenFile(3 << 20);
  ASSERT_GE(fd, 0);
  brix_host::FileDigests whole, bounded;
  std::string error;
  ASSERT_TRUE(brix_host::HashDescriptor(fd, &whole, &error)) << error;

  // Within the limits: the same digests, read from the start whatever the
  // descriptor's position.
  brix_host::HashLimits limits;
  limits.maxBytes = 3 << 20;
  ASSERT_EQ(lseek(fd, 12345, SEEK_SET), 12345);
  EXPECT_EQ(brix_host::HashDescriptorBounded(fd, limits, &bounded, &error),
            brix_host::HashEnd::kDone);
  EXPECT_EQ(bounded.sha256, whole.sha256);
  EXPECT_EQ(bounded.size, 3u << 20);

  limits.maxBytes = (3 << 20) - 1;
  EXPECT_EQ(brix_host::HashDescriptorBounded(fd, limits, &bounded, &error),
            brix_host::HashEnd::kTooLarge);

  std::atomic<bool> stop{true};
  limits = brix_host::HashLimits{};
  limits.stop = &stop;
  EXPECT_EQ(brix_host::HashDescriptorBounded(fd, limits, &bounded, &error),
            brix_host::HashEnd::kStopped);

  limits = brix_host::HashLimits{};
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  limits.notAfterNanos = static_cast<uint64_t>(now.tv_sec) * 1000000000ull - 1;
  EXPECT_EQ(brix_host::HashDescriptorBounded(fd, limits, &bounded, &error),
            brix_host::HashEnd::kStopped);
  EXPECT_EQ(error, "took too long to hash");
  close(fd);
}

}  // namespace
