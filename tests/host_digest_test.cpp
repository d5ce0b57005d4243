// Tests of the host library's hashing: the three digests against published
// test vectors, and whole files across read blocks.  The hex decoder is
// tested through the trace reader, which refuses what it cannot decode.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "FileDigest.h"
#include "test_util.h"

namespace {

using brix_host::FileDigests;
using brix_host::ToHex;

// The three digests in hex, and the size.
std::vector<std::string> HexOf(const FileDigests& d) {
  return {ToHex(d.sha256.data(), 32), ToHex(d.sha1.data(), 20), ToHex(d.md5.data(), 16),
          std::to_string(d.size)};
}

class HostDigestFileTest : public TempDirTest {};

// Published vectors, from memory and from a file; a million 'a' spans four
// read blocks.
TEST_F(HostDigestFileTest, KnownVectorsFromBytesAndFromFiles) {
  const struct {
    std::string text;
    std::vector<std::string> want;
  } kCases[] = {
      {"",
       {"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "da39a3ee5e6b4b0d3255bfef95601890afd80709", "d41d8cd98f00b204e9800998ecf8427e", "0"}},
      {"abc",
       {"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "a9993e364706816aba3e25717850c26c9cd0d89d", "900150983cd24fb0d6963f7d28e17f72", "3"}},
      {std::string(1000000, 'a'),
       {"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
        "34aa973cd4c4daa4f61eeb2bdbad27316534016f", "7707d6ae4e027c70eea2a935c2296f21",
        "1000000"}},
  };
  for (const auto& c : kCases) {
    std::ofstream(PathIn("f"), std::ios::binary) << c.text;
    FileDigests fromBytes, fromFile;
    std::string error;
    ASSERT_TRUE(brix_host::HashBytes(c.text.data(), c.text.size(), &fromBytes));
    ASSERT_TRUE(brix_host::HashFile(PathIn("f"), &fromFile, &error)) << error;
    EXPECT_EQ(HexOf(fromBytes), c.want);
    EXPECT_EQ(HexOf(fromFile), c.want);
  }
}

// A missing file and a folder are refused in the scan and decide tests.
TEST_F(HostDigestFileTest, AFifoIsRefusedWithoutBlocking) {
  FileDigests d;
  std::string error;
  ASSERT_EQ(mkfifo(PathIn("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(brix_host::HashFile(PathIn("fifo"), &d, &error)) << "must not block";
  EXPECT_EQ(error, "not a regular file");
}

}  // namespace
