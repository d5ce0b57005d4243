// Tests of the event records: digest values, the conversion of a host
// record into an ac_event, the response written back, and the time helpers.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "Event.h"
#include "FileUtil.h"
#include "Hash.h"
#include "test_util.h"

namespace {

// n bytes counting up from `first` (wrapping), so every nibble value shows.
std::vector<unsigned char> Bytes(size_t n, unsigned first) {
  std::vector<unsigned char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + i * 7);
  return b;
}

std::string LowerHex(const std::vector<unsigned char>& b) {
  std::string s;
  char pair[3];
  for (unsigned char c : b) {
    snprintf(pair, sizeof(pair), "%02x", c);
    s += pair;
  }
  return s;
}

std::vector<unsigned char> BytesOf(const Hash& h) {
  if (!h.HasBytes()) return {};
  return std::vector<unsigned char>(h.GetBytes(), h.GetBytes() + h.GetSize());
}

void ExpectEmptyHash(const Hash& h, uint32_t size) {
  EXPECT_EQ(h.GetSize(), size);
  EXPECT_FALSE(h.HasBytes());
  EXPECT_EQ(h.GetBytes(), nullptr);
  EXPECT_EQ(h.GetText(), "");
}

// ---------------------------------------------------------------- Hash

TEST(HashValue, TextIsLowerCaseHexOfTheBytes) {
  const auto b256 = Bytes(32, 0xa0);
  const auto b1 = Bytes(20, 0xf3);
  const auto b5 = Bytes(16, 0x09);
  const SHA256Hash sha256(b256.data());
  const SHA1Hash sha1(b1.data());
  const MD5Hash md5(b5.data());

  EXPECT_EQ(sha256.GetSize(), 32u);
  EXPECT_EQ(sha1.GetSize(), 20u);
  EXPECT_EQ(md5.GetSize(), 16u);
  EXPECT_EQ(sha256.GetText(), LowerHex(b256));
  EXPECT_EQ(sha1.GetText(), LowerHex(b1));
  EXPECT_EQ(md5.GetText(), LowerHex(b5));
  EXPECT_EQ(sha256.GetText().size(), 64u);
  EXPECT_EQ(sha1.GetText().size(), 40u);
  EXPECT_EQ(md5.GetText().size(), 32u);
  EXPECT_EQ(BytesOf(sha256), b256);
  EXPECT_EQ(BytesOf(sha1), b1);
  EXPECT_EQ(BytesOf(md5), b5);

  // High nibble first.
  const unsigned char edge[16] = {0x00, 0x0f, 0xf0, 0xff, 0xab, 0xcd, 0xef,
                                  0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x01};
  EXPECT_EQ(MD5Hash(edge).GetText(), "000ff0ffabcdef120000000000000001");
}

TEST(HashValue, EmptyHashKeepsItsSize) {
  ExpectEmptyHash(SHA256Hash(), 32);
  ExpectEmptyHash(SHA1Hash(), 20);
  ExpectEmptyHash(MD5Hash(), 16);
  ExpectEmptyHash(Hash(Hash::SHA1, nullptr), 20);
  EXPECT_EQ(Hash::SHA256, 32u);
  EXPECT_EQ(Hash::SHA1, 20u);
  EXPECT_EQ(Hash::MD5, 16u);
}

TEST(HashValue, CopiesAreDeep) {
  const auto b = Bytes(32, 1);
  auto original = std::make_unique<SHA256Hash>(b.data());
  SHA256Hash copy(*original);
  EXPECT_NE(copy.GetBytes(), original->GetBytes());
  EXPECT_EQ(BytesOf(copy), b);
  EXPECT_EQ(copy.GetText(), original->GetText());
  original.reset();
  EXPECT_EQ(BytesOf(copy), b);
  EXPECT_EQ(copy.GetText(), LowerHex(b));

  // Assignment both ways between empty and filled values.
  SHA256Hash target;
  target = copy;
  EXPECT_NE(target.GetBytes(), copy.GetBytes());
  EXPECT_EQ(BytesOf(target), b);
  target = SHA256Hash();
  ExpectEmptyHash(target, 32);

  SHA256Hash empty;
  SHA256Hash emptyCopy(empty);
  ExpectEmptyHash(emptyCopy, 32);
}

TEST(HashValue, SetHashFromTextKeepsTextAndDecodesEitherCase) {
  const auto b = Bytes(32, 0x9c);
  std::string lower = LowerHex(b);
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  ASSERT_NE(upper, lower);

  SHA256Hash fromUpper;
  fromUpper.SetHash(upper);
  EXPECT_EQ(fromUpper.GetSize(), 32u);
  EXPECT_EQ(fromUpper.GetText(), upper);
  EXPECT_EQ(BytesOf(fromUpper), b);

  // Replaces a previous value.
  SHA256Hash fromLower(Bytes(32, 0).data());
  fromLower.SetHash(lower);
  EXPECT_EQ(fromLower.GetText(), lower);
  EXPECT_EQ(BytesOf(fromLower), b);

  SHA256Hash mixed;
  mixed.SetHash(std::string("aB") + std::string(62, '0'));
  ASSERT_TRUE(mixed.HasBytes());
  EXPECT_EQ(mixed.GetBytes()[0], 0xab);
  EXPECT_EQ(mixed.GetBytes()[1], 0x00);
}

TEST(HashValue, SetHashFromShortTextClearsTheRest) {
  SHA256Hash h(Bytes(32, 0x55).data());
  h.SetHash(std::string("0102"));
  EXPECT_EQ(h.GetSize(), 32u);
  EXPECT_EQ(h.GetText(), "0102");
  std::vector<unsigned char> want(32, 0);
  want[0] = 1;
  want[1] = 2;
  EXPECT_EQ(BytesOf(h), want);
}

TEST(HashValue, SetHashFromBytes) {
  const auto first = Bytes(32, 3);
  SHA256Hash h(first.data());
  h.SetHash(static_cast<const char*>(nullptr));
  EXPECT_EQ(BytesOf(h), first);
  EXPECT_EQ(h.GetText(), LowerHex(first));

  SHA256Hash empty;
  empty.SetHash(static_cast<const char*>(nullptr));
  ExpectEmptyHash(empty, 32);

  // Bytes rebuild the text in lower case, even after an upper-case text.
  const auto second = Bytes(32, 0xd0);
  std::string upper = LowerHex(first);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  h.SetHash(upper);
  h.SetHash(reinterpret_cast<const char*>(second.data()));
  EXPECT_EQ(BytesOf(h), second);
  EXPECT_EQ(h.GetText(), LowerHex(second));
}

// ------------------------------------------------------------ ac_event

TEST(EventRecord, NewEventDefaults) {
  const ac_event e;
  EXPECT_EQ(e.pid, 0u);
  EXPECT_EQ(e.itemType, 1u);
  EXPECT_EQ(e.action, 0u);
  EXPECT_EQ(e.source, 0u);
  EXPECT_EQ(e.isAuthorized, 0u);
  EXPECT_EQ(e.stat.st_ctim.tv_sec, 0);
  EXPECT_EQ(e.stat.st_ctim.tv_nsec, 0);
  ExpectEmptyHash(e.fileSha256, 32);
  ExpectEmptyHash(e.fileSha1, 20);
  ExpectEmptyHash(e.fileMd5, 16);
  ExpectEmptyHash(e.processSha256, 32);
}

TEST(EventRecord, CopyIsDeep) {
  const auto b = Bytes(32, 0x11);
  auto e = std::make_unique<ac_event>();
  e->name = "/usr/bin/tool";
  e->fileIssuer[4] = "Org";
  e->fileSha256.SetHash(reinterpret_cast<const char*>(b.data()));
  const ac_event copy(*e);
  EXPECT_NE(copy.fileSha256.GetBytes(), e->fileSha256.GetBytes());
  e.reset();
  EXPECT_EQ(copy.name, "/usr/bin/tool");
  EXPECT_EQ(copy.fileIssuer[4], "Org");
  EXPECT_EQ(BytesOf(copy.fileSha256), b);
  EXPECT_EQ(copy.fileSha256.GetText(), LowerHex(b));
}

// ------------------------------------------------------- ConvertEvent

class ConvertEventTest : public ::testing::Test {
 protected:
  void SetUp() override { engine_ = std::make_unique<BRIXEngine>(); }
  void TearDown() override { engine_.reset(); }

  ac_event Convert(const ac_wrapper_event_s& w) {
    ac_event e;
    engine_->ConvertEvent(&w, e);
    return e;
  }

  std::unique_ptr<BRIXEngine> engine_;
};

TEST_F(ConvertEventTest, MinimalRecordLeavesDefaults) {
  ac_wrapper_event_s w{};
  w.pid = 4321;
  w.type = 23;
  w.name = "/usr/bin/tool";
  const ac_event e = Convert(w);

  EXPECT_EQ(e.pid, 4321u);
  EXPECT_EQ(e.type, 23u);
  EXPECT_EQ(e.op, 23u);
  EXPECT_EQ(e.name, "/usr/bin/tool");
  EXPECT_EQ(e.itemType, 1u);
  EXPECT_EQ(e.action, 0u);
  EXPECT_EQ(e.source, 0u);
  EXPECT_EQ(e.isAuthorized, 0u);
  EXPECT_EQ(e.decision, 0u);
  for (const std::string* s :
       {&e.processName, &e.processPath, &e.processFileName, &e.fileName,
        &e.extension, &e.path, &e.oldName, &e.user, &e.group, &e.ruleset,
        &e.cmdLine, &e.processSignerName, &e.processCompanyName,
        &e.processProductName, &e.fileSignerName, &e.fileCompanyName,
        &e.fileProductName})
    EXPECT_EQ(*s, "");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(e.processIssuer[i], "") << i;
    EXPECT_EQ(e.fileIssuer[i], "") << i;
  }
  ExpectEmptyHash(e.fileSha256, 32);
  ExpectEmptyHash(e.fileSha1, 20);
  ExpectEmptyHash(e.fileMd5, 16);
  ExpectEmptyHash(e.processSha256, 32);

  ac_wrapper_response_s r;
  memset(&r, 0xAB, sizeof(r));
  BRIXEngine::UpdateResponse(e, &r);
  EXPECT_EQ(r.source, 0u);
  EXPECT_EQ(r.isAuthorized, 0u);
  EXPECT_EQ(r.type, 23u);
  EXPECT_EQ(r.itemType, 1u);
  EXPECT_EQ(r.changeTime, 0u);
  EXPECT_EQ(r.ruleset[0], '\0');
}

TEST_F(ConvertEventTest, EveryFieldLandsInItsMember) {
  const auto fs256 = Bytes(32, 0xc1);
  const auto fs1 = Bytes(20, 0xe2);
  const auto fmd5 = Bytes(16, 0xa3);
  const auto ps256 = Bytes(32, 0xf4);

  ac_wrapper_event_s w{};
  w.reserved0 = 0xdead;
  w.pid = 1;
  w.auxiliary1 = 2;
  w.flags = 0x240;
  w.result = 4;
  w.auxiliary2 = 5;
  w.size = 6;
  w.mode = 0755;
  w.auxiliary3 = 8;
  w.dirty = 1;
  w.isexec = 2;  // any non-zero byte is true
  w.trusted = 0;
  w.isSymlink = 1;
  w.type = 53;
  w.processName = "/usr/bin/python3";
  w.name = "/opt/app/run.py";
  w.cmdLine = "python3 run.py";
  w.processSignerName = "pSigner";
  w.processIssuerCN = "pCN";
  w.processIssuerC = "pC";
  w.processIssuerS = "pS";
  w.processIssuerL = "pL";
  w.processIssuerO = "pO";
  w.processIssuerOU = "pOU";
  w.processCompanyName = "pCompany";
  w.processProductName = "pProduct";
  w.fileSignerName = "fSigner";
  w.fileIssuerCN = "fCN";
  w.fileIssuerC = "fC";
  w.fileIssuerS = "fS";
  w.fileIssuerL = "fL";
  w.fileIssuerO = "fO";
  w.fileIssuerOU = "fOU";
  w.fileCompanyName = "fCompany";
  w.fileProductName = "fProduct";
  w.fileSha256 = fs256.data();
  w.fileSha1 = fs1.data();
  w.fileMd5 = fmd5.data();
  w.processSha256 = ps256.data();
  w.user = "alice";
  w.group = "staff";
  w.oldName = "/opt/app/old.py";
  const ac_event e = Convert(w);

  EXPECT_EQ(e.auxiliary0, 0u);
  EXPECT_EQ(e.pid, 1u);
  EXPECT_EQ(e.auxiliary1, 2u);
  EXPECT_EQ(e.flags, 0x240u);
  EXPECT_EQ(e.result, 4u);
  EXPECT_EQ(e.auxiliary2, 5u);
  EXPECT_EQ(e.size, 6u);
  EXPECT_EQ(e.mode, 0755u);
  EXPECT_EQ(e.auxiliary3, 8u);
  EXPECT_TRUE(e.dirty);
  EXPECT_TRUE(e.isexec);
  EXPECT_FALSE(e.trusted);
  EXPECT_TRUE(e.isSymlink);
  EXPECT_FALSE(e.lockdownBlocked);
  EXPECT_EQ(e.type, 53u);
  EXPECT_EQ(e.op, 53u);
  EXPECT_EQ(e.processName, "/usr/bin/python3");
  EXPECT_EQ(e.name, "/opt/app/run.py");
  EXPECT_EQ(e.cmdLine, "python3 run.py");
  EXPECT_EQ(e.processSignerName, "pSigner");
  EXPECT_EQ(e.fileSignerName, "fSigner");
  EXPECT_EQ(e.processCompanyName, "pCompany");
  EXPECT_EQ(e.processProductName, "pProduct");
  EXPECT_EQ(e.fileCompanyName, "fCompany");
  EXPECT_EQ(e.fileProductName, "fProduct");
  EXPECT_EQ(e.user, "alice");
  EXPECT_EQ(e.group, "staff");
  EXPECT_EQ(e.oldName, "/opt/app/old.py");

  const char* const processIssuer[] = {"pCN", "pC", "pS", "pL", "pO", "pOU"};
  const char* const fileIssuer[] = {"fCN", "fC", "fS", "fL", "fO", "fOU"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(e.processIssuer[i], processIssuer[i]) << i;
    EXPECT_EQ(e.fileIssuer[i], fileIssuer[i]) << i;
  }

  EXPECT_EQ(BytesOf(e.fileSha256), fs256);
  EXPECT_EQ(BytesOf(e.fileSha1), fs1);
  EXPECT_EQ(BytesOf(e.fileMd5), fmd5);
  EXPECT_EQ(BytesOf(e.processSha256), ps256);
  EXPECT_EQ(e.fileSha256.GetText(), LowerHex(fs256));
  EXPECT_EQ(e.fileSha1.GetText(), LowerHex(fs1));
  EXPECT_EQ(e.fileMd5.GetText(), LowerHex(fmd5));
  EXPECT_EQ(e.processSha256.GetText(), LowerHex(ps256));
  EXPECT_EQ(e.fileSha1.GetSize(), 20u);
  EXPECT_EQ(e.fileMd5.GetSize(), 16u);

  // Nothing derived is filled in by the conversion.
  EXPECT_EQ(e.processPath, "");
  EXPECT_EQ(e.fileName, "");
  EXPECT_EQ(e.extension, "");
  EXPECT_EQ(e.itemType, 1u);
}

TEST_F(ConvertEventTest, TrailingBlanksAreTrimmedFromNames) {
  ac_wrapper_event_s w{};
  w.processCompanyName = "Acme Corp   ";
  w.processProductName = "     ";
  w.fileCompanyName = "Tab Co\t";
  w.fileProductName = "  Lead \t ";
  w.fileSignerName = "Signer  ";  // only the four names are trimmed
  const ac_event e = Convert(w);
  EXPECT_EQ(e.processCompanyName, "Acme Corp");
  EXPECT_EQ(e.processProductName, "");
  EXPECT_EQ(e.fileCompanyName, "Tab Co\t");
  EXPECT_EQ(e.fileProductName, "  Lead \t");
  EXPECT_EQ(e.fileSignerName, "Signer  ");

  ac_wrapper_event_s w2{};
  w2.processCompanyName = "";
  w2.processProductName = "Prod \n";
  w2.fileCompanyName = " ";
  w2.fileProductName = "X";
  const ac_event e2 = Convert(w2);
  EXPECT_EQ(e2.processCompanyName, "");
  EXPECT_EQ(e2.processProductName, "Prod \n");
  EXPECT_EQ(e2.fileCompanyName, "");
  EXPECT_EQ(e2.fileProductName, "X");
}

TEST_F(ConvertEventTest, LogsEachGivenFieldInOrder) {
  BRIXLogger* logger = BRIXLogger::GetInstance();
  logger->InitLogger(LogCapture::Callback, BRIX_TRACE);
  // The singleton may have been set up by an earlier test in this process.
  logger->SetLogMask(BRIX_TRACE);
  LogCapture::Clear();
  const unsigned char digest[32] = {0xAB, 0xCD, 0xEF};
  ac_wrapper_event_s w{};
  w.processName = "/bin/sh";
  w.user = "u";
  w.group = "g";
  w.name = "/t";
  w.oldName = "/o";
  w.cmdLine = "sh -c x";
  w.processSignerName = "ps";
  w.processIssuerCN = "a";
  w.processIssuerC = "b";
  w.processIssuerS = "c";
  w.processIssuerL = "d";
  w.processIssuerO = "e";
  w.processIssuerOU = "f";
  w.processCompanyName = "Acme  ";
  w.processProductName = "Shell";
  w.processSha256 = digest;
  w.fileSignerName = "fs";
  w.fileIssuerCN = "A";
  w.fileIssuerOU = "F";
  w.fileCompanyName = "FC ";
  w.fileProductName = "FP";
  w.fileSha256 = digest;
  w.fileSha1 = digest;
  w.fileMd5 = digest;
  Convert(w);

  const std::string hex = "abcdef" + std::string(58, '0');
  const std::vector<std::string> expected = {
      "Start ConvertEvent",
      "processName from plugin:'/bin/sh'",
      "user from plugin:'u'",
      "group from plugin:'g'",
      "name from plugin:'/t'",
      "oldName from plugin:'/o'",
      "cmdLine from plugin:'sh -c x'",
      "processSignerName from plugin:'ps'",
      "processIssuerCN from plugin:'a'",
      "processIssuerC from plugin:'b'",
      "processIssuerS from plugin:'c'",
      "processIssuerL from plugin:'d'",
      "processIssuerO from plugin:'e'",
      "processIssuerOU from plugin:'f'",
      "processCompanyName from plugin:'Acme  '",
      "processProductName from plugin:'Shell'",
      "processSha256 from plugin: " + hex,
      "fileSignerName from plugin:'fs'",
      "fileIssuerCN from plugin:'A'",
      "fileIssuerOU from plugin:'F'",
      "fileCompanyName from plugin:'FC '",
      "fileProductName from plugin:'FP'",
      "fileSha256 from plugin: " + hex,
  };
  std::vector<std::string> messages;
  for (const auto& line : LogCapture::Lines()) {
    messages.push_back(line.message);
    EXPECT_EQ(line.level, 8u) << line.message;
    EXPECT_EQ(line.function, "ConvertEvent") << line.message;
    EXPECT_EQ(line.file, "BRIX/BRIXEventAbstraction") << line.message;
  }
  EXPECT_EQ(messages, expected);
}

// ------------------------------------------------------ UpdateResponse

ac_event DecidedEvent() {
  ac_event e;
  e.action = 10;
  e.itemType = 3;
  e.source = 2;
  e.isAuthorized = 2;
  e.type = 1;
  e.decision = 2;
  return e;
}

TEST(UpdateResponse, NullResponseIsIgnored) {
  const ac_event e = DecidedEvent();
  BRIXEngine::UpdateResponse(e, nullptr);
}

TEST(UpdateResponse, ClearsThenFills) {
  ac_event e = DecidedEvent();
  e.ruleset = "agent";
  e.stat.st_ctim.tv_sec = 1700000000;
  e.stat.st_ctim.tv_nsec = 123456789;
  // Other time members are not what the response reports.
  e.stat.st_mtim.tv_sec = 5;
  e.stat.st_atim.tv_sec = 6;

  ac_wrapper_response_s r;
  memset(&r, 0xAB, sizeof(r));
  BRIXEngine::UpdateResponse(e, &r);
  EXPECT_EQ(r.action, 10u);
  EXPECT_EQ(r.itemType, 3u);
  EXPECT_EQ(r.source, 2u);
  EXPECT_EQ(r.isAuthorized, 2u);
  EXPECT_EQ(r.type, 1u);
  EXPECT_EQ(r.reserved, 0u);
  EXPECT_EQ(r.decision, 2u);
  EXPECT_EQ(r.padding, 0u);
  EXPECT_EQ(r.changeTime, 1700000000123456789ull);
  EXPECT_STREQ(r.ruleset, "agent");
  for (size_t i = 5; i < sizeof(r.ruleset); ++i)
    EXPECT_EQ(r.ruleset[i], '\0') << i;
}

TEST(UpdateResponse, EmptyRulesetLeavesFieldZero) {
  const ac_event e = DecidedEvent();
  ac_wrapper_response_s r;
  memset(&r, 0xAB, sizeof(r));
  BRIXEngine::UpdateResponse(e, &r);
  for (size_t i = 0; i < sizeof(r.ruleset); ++i)
    EXPECT_EQ(r.ruleset[i], '\0') << i;
  EXPECT_EQ(r.changeTime, 0u);
}

TEST(UpdateResponse, LongRulesetIsCutAt80Bytes) {
  ac_event e = DecidedEvent();
  for (int i = 0; i < 100; ++i) e.ruleset += static_cast<char>('0' + i % 10);
  ac_wrapper_response_s r;
  memset(&r, 0xAB, sizeof(r));
  BRIXEngine::UpdateResponse(e, &r);
  EXPECT_EQ(std::string(r.ruleset, 80), e.ruleset.substr(0, 80));
  EXPECT_EQ(r.padding, 0u);
  // The padding ends the text.
  EXPECT_EQ(strlen(r.ruleset), 80u);

  ac_event exact = DecidedEvent();
  exact.ruleset = std::string(80, 'r');
  BRIXEngine::UpdateResponse(exact, &r);
  EXPECT_EQ(std::string(r.ruleset, 80), exact.ruleset);
  EXPECT_EQ(r.padding, 0u);

  ac_event shorter = DecidedEvent();
  shorter.ruleset = std::string(79, 's');
  BRIXEngine::UpdateResponse(shorter, &r);
  EXPECT_EQ(std::string(r.ruleset), shorter.ruleset);
}

TEST(UpdateResponse, ChangeTimeUsesFullNanoseconds) {
  ac_event e;
  e.stat.st_ctim.tv_sec = 4102444800;  // beyond 32-bit seconds
  e.stat.st_ctim.tv_nsec = 999999999;
  ac_wrapper_response_s r{};
  BRIXEngine::UpdateResponse(e, &r);
  EXPECT_EQ(r.changeTime, 4102444800999999999ull);
}

// ---------------------------------------------------------- time helpers

TEST(TimeHelpers, ConvertTimeToMillisBoundaries) {
  EXPECT_EQ(convertTimeToMillis(0), 0u);
  EXPECT_EQ(convertTimeToMillis(1), 1000u);
  EXPECT_EQ(convertTimeToMillis(1700000000), 1700000000000u);
  EXPECT_EQ(convertTimeToMillis(9999999999ull), 9999999999000ull);
  EXPECT_EQ(convertTimeToMillis(10000000000ull), 10000000000ull);
  EXPECT_EQ(convertTimeToMillis(1700000000000ull), 1700000000000ull);
  EXPECT_EQ(convertTimeToMillis(9999999999999ull), 9999999999999ull);
  EXPECT_EQ(convertTimeToMillis(10000000000000ull), 10000000000ull);
  EXPECT_EQ(convertTimeToMillis(1700000000000000ull), 1700000000000ull);
  EXPECT_EQ(convertTimeToMillis(~0ull), ~0ull / 1000);
}

TEST(TimeHelpers, CurrentTimeInMillisFollowsTheClock) {
  const uint64_t before = static_cast<uint64_t>(time(nullptr)) * 1000;
  const uint64_t now = GetCurrentTimeInMillis();
  const uint64_t after = static_cast<uint64_t>(time(nullptr)) * 1000;
  EXPECT_GE(now + 2000, before);
  EXPECT_LE(now, after + 2000);
}

}  // namespace
